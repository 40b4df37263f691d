// draw: the primitive helpers. Their GL side effects are their contract.
#include "draw/draw.h"

void draw_set_blend(GLenum source, GLenum destination)
{
    glBlendFunc(source, destination);
    glEnable(GL_BLEND);
}

void draw_array(GLenum mode, const float* vertices, int32_t count, int32_t components, float r, float g, float b,
                float a)
{
    glColor4f(r, g, b, a);
    glEnableClientState(GL_VERTEX_ARRAY);
    glVertexPointer(components, GL_FLOAT, 0, vertices);
    glDrawArrays(mode, 0, count);
    // A colour array serves exactly one draw; later draws use their uniform colour.
    glDisableClientState(GL_COLOR_ARRAY);
    glDisableClientState(GL_NORMAL_ARRAY);
    glDisableClientState(GL_TEXTURE_COORD_ARRAY);
    glDisable(GL_TEXTURE_2D);
}

void draw_line(float x1, float y1, float z1, float x2, float y2, float z2, float r, float g, float b, float a)
{
    const float vertices[6] = {x1, y1, z1, x2, y2, z2};
    draw_array(GL_LINES, vertices, 2, 3, r, g, b, a);
}

void draw_set_color_array(const float* colours, int32_t count, int32_t components)
{
    // The count is not needed: the next draw_array reads one colour per vertex it draws.
    (void)count;
    glEnableClientState(GL_COLOR_ARRAY);
    glColorPointer(components, GL_FLOAT, 0, colours);
}
