// viewer: the profile graph: frame-total lines, span labels, item bands, pies and pie labels.
#include <GL/gl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "draw/draw.h"
#include "draw/text.h"
#include "profile/profile.h"
#include "viewer/graph_culling.h"
#include "viewer/graph_layout.h"
#include "viewer/viewer.h"

namespace {

const float kLabelSpacing = 0.3f;
const int32_t kSliceVertexCount = 72;
const double kPieLabelRadius = 0.7;
const double kPieLabelDepth = 0.2;
const double kPieLabelScale = 0.1;
// Kept band quads gathered into one draw; at least a strip's count - 1 are held.
const uint32_t kBandBatchQuads = 16384;
// A label's model-view worked out in double as the GL composes it, and the same product of
// absolute values, which bounds the GL's float rounding of it.
struct LabelFrame {
    double modelview[16];
    double magnitudes[16];
};

// The scratch arrays live from call to call and change size only with the frame count.
struct GraphState {
    std::unique_ptr<float[]> band_vertices;  // batch_capacity quads of 4 points
    std::unique_ptr<float[]> band_colors;
    std::unique_ptr<float[]> line_vertices;  // count lines of two points
    std::unique_ptr<BandEdge[]> band_edges;  // the frames of the strip being drawn
    std::unique_ptr<float[]> band_depths;  // each frame's edge depth, the same for every strip
    float band_depth_range[2];  // the least and greatest of them
    uint32_t band_capacity;
    uint32_t batch_capacity;  // quads band_vertices and band_colors hold
    uint32_t batch_quads;  // kept quads gathered at their front, not drawn yet
    const Section* batch_item;  // the item of the last strip gathered
    LabelFrame pass_frame;  // the model-view read once a pass, for leaving out labels
    float slice_vertices[3 * kSliceVertexCount];
    float kept_slice_vertices[3 * kSliceVertexCount];  // the triangles of a slice that can set a pixel
};

GraphState graph;

void release_scratch_arrays()
{
    graph.band_vertices.reset();
    graph.band_colors.reset();
    graph.line_vertices.reset();
    graph.band_edges.reset();
    graph.band_depths.reset();
    graph.band_capacity = 0;
    graph.batch_capacity = 0;
}

bool reserve_scratch_arrays(uint32_t count)
{
    if (count == graph.band_capacity) return graph.band_vertices != nullptr;
    release_scratch_arrays();
    const uint32_t batch = std::max(kBandBatchQuads, count - 1);
    size_t floats = size_t(batch) * 12;
    graph.band_vertices.reset(new (std::nothrow) float[floats]);
    graph.band_colors.reset(new (std::nothrow) float[floats]);
    graph.line_vertices.reset(new (std::nothrow) float[size_t(count) * 6]);
    graph.band_edges.reset(new (std::nothrow) BandEdge[count]);
    graph.band_depths.reset(new (std::nothrow) float[count]);
    graph.band_capacity = count;
    graph.batch_capacity = batch;
    // Without memory the bands are left out and the rest of the graph still draws.
    if (graph.band_vertices && graph.band_colors && graph.line_vertices && graph.band_edges && graph.band_depths)
        return true;
    release_scratch_arrays();
    return false;
}

// Every entry's values lie apart from the others', and a band reads its window faster than
// memory hands it over: asking for the next entry's window while a label draws hides the wait.
void prefetch_window(const SectionTable* table, const Section& next, uint32_t start, uint32_t count)
{
    const uint32_t kFloatsPerLine = 16;
    if (uint64_t(start) + count > profile_capacity(table)) return;
    for (uint32_t j = 0; j < count; j += kFloatsPerLine) __builtin_prefetch(next.values + start + j);
}

// Each segment of GL_LINES is drawn on its own, so one draw of all of them sets the pixels
// that a draw per line would.
void draw_frame_lines(const SectionTable* table, uint32_t start, uint32_t count, float frame_total_sum,
                      bool batched)
{
    if (!batched) {
        graph_for_each_frame_line(table, start, count, frame_total_sum, [](uint32_t, const float* ends) {
            draw_line(ends[0], ends[1], ends[2], ends[3], ends[4], ends[5], 1.0f, 1.0f, 1.0f, 1.0f);
        });
        return;
    }
    float* vertices = graph.line_vertices.get();
    graph_for_each_frame_line(table, start, count, frame_total_sum, [vertices](uint32_t j, const float* ends) {
        std::memcpy(vertices + 6 * j, ends, 6 * sizeof(float));
    });
    draw_array(GL_LINES, vertices, int32_t(2 * count), 3, 1.0f, 1.0f, 1.0f, 1.0f);
}

// The pass's model-view, which every label starts from: labels and bands restore what they change.
void read_pass_frame()
{
    LabelFrame& frame = graph.pass_frame;
    glGetDoublev(GL_MODELVIEW_MATRIX, frame.modelview);
    for (int i = 0; i < 16; i++) frame.magnitudes[i] = std::fabs(frame.modelview[i]);
}

// The frame times a translate, as glTranslatef composes it.
void frame_translate(LabelFrame* frame, float x, float y, float z)
{
    const double offset[3] = {x, y, z};
    for (int row = 0; row < 4; row++)
        for (int k = 0; k < 3; k++) {
            frame->modelview[12 + row] += frame->modelview[4 * k + row] * offset[k];
            frame->magnitudes[12 + row] += frame->magnitudes[4 * k + row] * std::fabs(offset[k]);
        }
}

// The frame times a scale, as glScalef composes it.
void frame_scale(LabelFrame* frame, float x, float y, float z)
{
    const double factor[3] = {x, y, z};
    for (int k = 0; k < 3; k++)
        for (int row = 0; row < 4; row++) {
            frame->modelview[4 * k + row] *= factor[k];
            frame->magnitudes[4 * k + row] *= std::fabs(factor[k]);
        }
}

// Whether a label drawn after translate, scale and text_draw's own translate (x, 0) can reach
// a pixel; always true for a label that must not be skipped.
bool label_shows(const float translate[3], const float scale[3], float x, float size, const char* text,
                 bool skippable)
{
    if (!skippable) return true;
    LabelFrame frame = graph.pass_frame;
    frame_translate(&frame, translate[0], translate[1], translate[2]);
    frame_scale(&frame, scale[0], scale[1], scale[2]);
    frame_translate(&frame, x, 0.0f, 0.0f);
    return text_label_may_reach_pixels(frame.modelview, frame.magnitudes, size, kLabelSpacing, text);
}

// Band quads in one draw, each corner with its colour.
void draw_band_quads(const Section& item, const float* vertices, const float* colours, uint32_t quads)
{
    draw_set_color_array(colours, int32_t(4 * quads), 3);
    draw_array(GL_QUADS, vertices, int32_t(4 * quads), 3, item.colour[0], item.colour[1], item.colour[2], 0.0f);
}

// One draw of the kept quads gathered so far. They lie inside the view volume, so each
// rasterises alone and one draw sets the pixels a draw per strip would.
void flush_band_batch()
{
    if (graph.batch_quads == 0) return;
    draw_band_quads(*graph.batch_item, graph.band_vertices.get(), graph.band_colors.get(), graph.batch_quads);
    graph.batch_quads = 0;
}

// A label drawn additively after translate and scale, at (x, 0) of text's plane; skippable: it
// may be left out, with no GL call at all, when it reaches no pixel.
void draw_label(const float translate[3], const float scale[3], float x, float size, const char* text,
                const float colour[3], bool skippable)
{
    if (!label_shows(translate, scale, x, size, text, skippable)) return;
    flush_band_batch();
    glPushMatrix();
    draw_set_blend(GL_ONE, GL_ONE);
    glTranslatef(translate[0], translate[1], translate[2]);
    glScalef(scale[0], scale[1], scale[2]);
    text_draw(x, 0.0f, size, kLabelSpacing, text, colour[0], colour[1], colour[2], 1.0f);
    draw_set_blend(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glPopMatrix();
}

void draw_span_label(const Section& entry, bool skippable)
{
    GraphLabel label = profile_graph_span_label(&entry, text_measure(1.0f, kLabelSpacing, entry.name, -1));
    const float translate[3] = {label.x, label.y, label.z}, scale[3] = {-1.0f, -1.0f, -1.0f};
    draw_label(translate, scale, 0.0f, label.size, entry.name, entry.colour, skippable);
}

// view: where geometry lands, for leaving out what reaches no pixel; null draws every quad.
void draw_band(const SectionTable* table, const Section& item, uint32_t start, uint32_t count,
               float frame_total_sum, const GraphWindowView* view)
{
    if (!view) {
        profile_graph_band(table, &item, start, count, frame_total_sum, graph.band_vertices.get(),
                           graph.band_colors.get());
        graph.batch_quads = count - 1;
        graph.batch_item = &item;
        flush_band_batch();
        return;
    }
    if (graph.batch_quads + (count - 1) > graph.batch_capacity) flush_band_batch();
    const size_t offset = 12 * size_t(graph.batch_quads);
    float* vertices = graph.band_vertices.get() + offset;
    float* colours = graph.band_colors.get() + offset;
    bool whole = false;
    const uint32_t quads = graph_reaching_strip(*view, table, item, start, count, graph.band_depths.get(),
                                                graph.band_depth_range, graph.band_edges.get(), vertices, colours,
                                                &whole);
    if (quads == 0) return;
    if (!whole) {
        graph.batch_quads += quads;
        graph.batch_item = &item;
        return;
    }
    // A draw that clips was seen to rasterise its other quads differently: a clipped strip draws
    // alone, after the quads gathered before it.
    flush_band_batch();
    draw_band_quads(item, vertices, colours, quads);
}

void draw_pie_label(const Section& item, double center_x, double radius, double fraction, double angle,
                    bool skippable)
{
    const double middle = (fraction * 0.5 + angle) * kGraphFullTurn;
    const float translate[3] = {graph_finite_float(center_x - kPieLabelRadius * radius * std::sin(middle)),
                                graph_finite_float(-radius - kPieLabelRadius * radius * std::cos(middle)),
                                graph_finite_float(-1.0 - kPieLabelDepth * fraction)};
    const float scale[3] = {graph_finite_float(-kPieLabelScale * fraction),
                            graph_finite_float(kPieLabelScale * fraction), 1.0f};
    const float x = graph_finite_float(-0.5 * text_measure(1.0f, kLabelSpacing, item.name, -1));
    const float white[3] = {1.0f, 1.0f, 1.0f};
    draw_label(translate, scale, x, 1.0f, item.name, white, skippable);
}

void draw_slice(const Section& item, const float* vertices, int32_t count)
{
    draw_array(GL_TRIANGLES, vertices, count, 3, item.colour[0], item.colour[1], item.colour[2], 1.0f);
}

// A slice's triangles go to GL in one draw of one colour each: a colour array would interpolate
// the colour with perspective and round it differently.
void draw_reaching_slice(const GraphWindowView& view, const Section& item)
{
    const int32_t kept = graph_reaching_slice(view, graph.slice_vertices, graph.kept_slice_vertices);
    if (kept < 0)
        draw_slice(item, graph.slice_vertices, kSliceVertexCount);
    else if (kept > 0)
        draw_slice(item, graph.kept_slice_vertices, 3 * kept);
}

// view: where geometry lands, for leaving out what reaches no pixel; null draws every slice whole.
// Returns the number of the last slice (from 1) whose label has text, 0 when none has.
uint32_t draw_pies(const SectionTable* table, const GraphWindowView* view)
{
    const Section* last = nullptr;
    uint32_t slices = 0, last_named = 0;
    graph_for_each_slice(table, [view, &last, &slices, &last_named](const Section& item, double center_x,
                                                                    double radius, double fraction, double angle) {
        profile_graph_slice(graph.slice_vertices, center_x, radius, fraction, angle);
        last = &item;
        slices++;
        if (item.name[0] != 0) last_named = slices;
        if (view)
            draw_reaching_slice(*view, item);
        else
            draw_slice(item, graph.slice_vertices, kSliceVertexCount);
    });
    if (!view || !last) return last_named;
    // The current colour ends as the last slice's, as when every slice is drawn on its own.
    glColor4f(last->colour[0], last->colour[1], last->colour[2], 1.0f);
    return last_named;
}

// last_named: draw_pies'. That label is always drawn, so the pass leaves GL as if none had been
// left out (a label without text makes no GL call either way).
void draw_pie_labels(const SectionTable* table, uint32_t last_named, bool skippable)
{
    uint32_t index = 0;
    graph_for_each_slice(table, [&index, last_named, skippable](const Section& item, double center_x,
                                                                double radius, double fraction, double angle) {
        index++;
        draw_pie_label(item, center_x, radius, fraction, angle, skippable && index < last_named);
    });
}

// The first and last entries whose span label has text (section_count when none has).
void named_span_labels(const SectionTable* table, uint32_t* first, uint32_t* last)
{
    *first = *last = table->section_count;
    for (uint32_t i = 0; i < table->section_count; i++) {
        if (table->sections[i].name[0] == 0) continue;
        if (*first == table->section_count) *first = i;
        *last = i;
    }
}

}  // namespace

void profile_draw_graph(uint32_t start, uint32_t count)
{
    SectionTable* table = profile_table();
    if (count == 0 || table->section_count == 0 || table->frame_count == 0) return;
    bool scratch = reserve_scratch_arrays(count);
    float frame_total_sum = profile_graph_layout(table, start, count);
    draw_frame_lines(table, start, count, frame_total_sum, scratch && draw_culling());
    // Labels restore the matrices they change, so one reading serves every band.
    GraphWindowView view;
    const GraphWindowView* band_view = nullptr;
    if (draw_culling()) {
        view = graph_window_view();
        band_view = &view;
        if (scratch) graph_band_depths(table, start, count, frame_total_sum, graph.band_depths.get(), graph.band_depth_range);
    }
    // A label out of sight makes no GL call. What it would have set is read by nothing before
    // the next label sets it again: band and slice draws set their own colour and vertex
    // pointer (gathered quads are drawn before the next label that draws), every label leaves
    // blend, matrix mode and projection as the one before left them, and the matrices come back
    // as they were. The first label with text sets the projection the bands are drawn under,
    // and the last ones leave the state a full pass leaves: those always draw.
    const bool skippable = draw_culling();
    if (skippable) read_pass_frame();
    uint32_t first_named = 0, last_named = 0;
    named_span_labels(table, &first_named, &last_named);
    graph.batch_quads = 0;
    for (uint32_t i = 0; i < table->section_count; i++) {
        const Section& entry = table->sections[i];
        if (i + 1 < table->section_count) prefetch_window(table, table->sections[i + 1], start, count);
        draw_span_label(entry, skippable && i > first_named && i != last_named);
        if (entry.type == SECTION_ITEM && scratch) draw_band(table, entry, start, count, frame_total_sum, band_view);
    }
    flush_band_batch();
    const uint32_t last_named_slice = draw_pies(table, band_view);
    draw_pie_labels(table, last_named_slice, skippable);
}
