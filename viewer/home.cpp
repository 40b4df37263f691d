// viewer home: the Home key glides the camera to show the whole graph at its current turn.
#include "viewer/viewer.h"

#include <GL/gl.h>

#include <algorithm>

#include "camera/camera.h"
#include "profile/profile.h"

namespace {

// SDLK_HOME in SDL 1.2, written out so that SDL stays inside platform/.
const int32_t kHomeKey = 278;
// The share of the window the graph spans along its tighter direction.
const double kFill = 0.9;
const uint32_t kBoxCorners = 8;

// The graph's box, then the lower corners of the pies' plane: each group's pie hangs from y = 0
// at z = -1 with the group's span as its diameter.
uint32_t graph_points(double points[10][3])
{
    for (uint32_t corner = 0; corner < kBoxCorners; corner++) {
        points[corner][0] = corner & 1 ? 1.0 : -1.0;
        points[corner][1] = corner & 2 ? 1.0 : 0.0;
        points[corner][2] = corner & 4 ? 1.0 : -1.0;
    }
    const SectionTable* table = profile_table();
    double left = -1.0, right = 1.0, depth = 0.0;
    for (uint32_t i = 0; i < table->section_count; i++) {
        const Section& group = table->sections[i];
        if (group.type != SECTION_GROUP) continue;
        left = std::min(left, double(group.start));
        right = std::max(right, double(group.end));
        depth = std::max(depth, double(group.end) - double(group.start));
    }
    if (depth <= 0.0) return kBoxCorners;
    const double pie_corners[2][3] = {{left, -depth, -1.0}, {right, -depth, -1.0}};
    std::copy(&pie_corners[0][0], &pie_corners[0][0] + 6, &points[kBoxCorners][0]);
    return kBoxCorners + 2;
}

}  // namespace

void viewer_frame_graph(void)
{
    double points[10][3];
    uint32_t count = graph_points(points);
    double projection[16];
    glGetDoublev(GL_PROJECTION_MATRIX, projection);
    view_frame_points(nullptr, points, count, 1.0 / projection[0], 1.0 / projection[5], kFill);
}

void viewer_home_input(const InputState* input)
{
    for (uint32_t k = 0; k < input->key_count && k < 16; k++)
        if (input->keys[k].down && input->keys[k].symbol == kHomeKey) viewer_frame_graph();
}
