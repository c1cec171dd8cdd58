#include "render/TextRunDevice.h"

#include <algorithm>
#include <cmath>
#include <mupdf/fitz.h>

namespace quarnel::render {

namespace {

struct TextRunDevice
{
    fz_device super; // first: MuPDF hands this device's calls the address of this member
    fz_device* target;
    bool knockout;
};

fz_device* targetOf(fz_device* device)
{
    return reinterpret_cast<TextRunDevice*>(device)->target;
}

// A run's height on the page, in points: a few lines of body text, well under a band.
constexpr float kRunHeight = 36;

float pageY(const fz_text_item& item, fz_matrix ctm)
{
    return fz_transform_point_xy(item.x, item.y, ctm).y;
}

// Passes the text's glyphs on in their order, a run at a time; `run` is the one being filled.
void passOnInRuns(fz_context* ctx, fz_device* target, const fz_text* text, fz_matrix ctm, fz_colorspace* space,
                  const float* color, float alpha, fz_color_params params, fz_text*& run)
{
    float top = 0;
    float bottom = 0;
    for (const fz_text_span* span = text->head; span; span = span->next) {
        for (int i = 0; i < span->len; ++i) {
            const fz_text_item& item = span->items[i];
            const float y = pageY(item, ctm);
            // A glyph of several characters continues on items without a glyph of their own.
            if (run && item.gid >= 0 && std::max(bottom, y) - std::min(top, y) > kRunHeight) {
                fz_fill_text(ctx, target, run, ctm, space, color, alpha, params);
                fz_drop_text(ctx, run);
                run = nullptr;
            }
            if (!run) {
                run = fz_new_text(ctx);
                top = bottom = y;
            }
            top = std::min(top, y);
            bottom = std::max(bottom, y);
            fz_matrix trm = span->trm;
            trm.e = item.x;
            trm.f = item.y;
            fz_show_glyph(ctx, run, span->font, trm, item.gid, item.ucs, span->wmode, span->bidi_level,
                          static_cast<fz_bidi_direction>(span->markup_dir),
                          static_cast<fz_text_language>(span->language));
        }
    }
    if (run)
        fz_fill_text(ctx, target, run, ctm, space, color, alpha, params);
}

void fillText(fz_context* ctx, fz_device* device, const fz_text* text, fz_matrix ctm, fz_colorspace* space,
              const float* color, float alpha, fz_color_params params)
{
    float top = HUGE_VALF;
    float bottom = -HUGE_VALF;
    for (const fz_text_span* span = text->head; span; span = span->next) {
        for (int i = 0; i < span->len; ++i) {
            const float y = pageY(span->items[i], ctm);
            top = std::min(top, y);
            bottom = std::max(bottom, y);
        }
    }
    fz_device* target = targetOf(device);
    if (reinterpret_cast<TextRunDevice*>(device)->knockout || !(bottom - top > kRunHeight)) {
        fz_fill_text(ctx, target, text, ctm, space, color, alpha, params);
        return;
    }
    fz_text* run = nullptr;
    fz_var(run);
    fz_try(ctx) passOnInRuns(ctx, target, text, ctm, space, color, alpha, params, run);
    fz_always(ctx) fz_drop_text(ctx, run);
    fz_catch(ctx) fz_rethrow(ctx);
}

void beginGroup(fz_context* ctx, fz_device* device, fz_rect area, fz_colorspace* space, int isolated, int knockout,
                int blendmode, float alpha)
{
    auto* self = reinterpret_cast<TextRunDevice*>(device);
    self->knockout = self->knockout || knockout;
    fz_begin_group(ctx, self->target, area, space, isolated, knockout, blendmode, alpha);
}

// Everything else goes on as it came.
void closeDevice(fz_context* ctx, fz_device* d)
{
    fz_close_device(ctx, targetOf(d));
}
void fillPath(fz_context* ctx, fz_device* d, const fz_path* path, int evenOdd, fz_matrix ctm, fz_colorspace* space,
              const float* color, float alpha, fz_color_params params)
{
    fz_fill_path(ctx, targetOf(d), path, evenOdd, ctm, space, color, alpha, params);
}
void strokePath(fz_context* ctx, fz_device* d, const fz_path* path, const fz_stroke_state* stroke, fz_matrix ctm,
                fz_colorspace* space, const float* color, float alpha, fz_color_params params)
{
    fz_stroke_path(ctx, targetOf(d), path, stroke, ctm, space, color, alpha, params);
}
void clipPath(fz_context* ctx, fz_device* d, const fz_path* path, int evenOdd, fz_matrix ctm, fz_rect scissor)
{
    fz_clip_path(ctx, targetOf(d), path, evenOdd, ctm, scissor);
}
void clipStrokePath(fz_context* ctx, fz_device* d, const fz_path* path, const fz_stroke_state* stroke, fz_matrix ctm,
                    fz_rect scissor)
{
    fz_clip_stroke_path(ctx, targetOf(d), path, stroke, ctm, scissor);
}
void strokeText(fz_context* ctx, fz_device* d, const fz_text* text, const fz_stroke_state* stroke, fz_matrix ctm,
                fz_colorspace* space, const float* color, float alpha, fz_color_params params)
{
    fz_stroke_text(ctx, targetOf(d), text, stroke, ctm, space, color, alpha, params);
}
void clipText(fz_context* ctx, fz_device* d, const fz_text* text, fz_matrix ctm, fz_rect scissor)
{
    fz_clip_text(ctx, targetOf(d), text, ctm, scissor);
}
void clipStrokeText(fz_context* ctx, fz_device* d, const fz_text* text, const fz_stroke_state* stroke, fz_matrix ctm,
                    fz_rect scissor)
{
    fz_clip_stroke_text(ctx, targetOf(d), text, stroke, ctm, scissor);
}
void ignoreText(fz_context* ctx, fz_device* d, const fz_text* text, fz_matrix ctm)
{
    fz_ignore_text(ctx, targetOf(d), text, ctm);
}
void fillShade(fz_context* ctx, fz_device* d, fz_shade* shade, fz_matrix ctm, float alpha, fz_color_params params)
{
    fz_fill_shade(ctx, targetOf(d), shade, ctm, alpha, params);
}
void fillImage(fz_context* ctx, fz_device* d, fz_image* image, fz_matrix ctm, float alpha, fz_color_params params)
{
    fz_fill_image(ctx, targetOf(d), image, ctm, alpha, params);
}
void fillImageMask(fz_context* ctx, fz_device* d, fz_image* image, fz_matrix ctm, fz_colorspace* space,
                   const float* color, float alpha, fz_color_params params)
{
    fz_fill_image_mask(ctx, targetOf(d), image, ctm, space, color, alpha, params);
}
void clipImageMask(fz_context* ctx, fz_device* d, fz_image* image, fz_matrix ctm, fz_rect scissor)
{
    fz_clip_image_mask(ctx, targetOf(d), image, ctm, scissor);
}
void popClip(fz_context* ctx, fz_device* d)
{
    fz_pop_clip(ctx, targetOf(d));
}
void beginMask(fz_context* ctx, fz_device* d, fz_rect area, int luminosity, fz_colorspace* space, const float* bc,
               fz_color_params params)
{
    fz_begin_mask(ctx, targetOf(d), area, luminosity, space, bc, params);
}
void endMask(fz_context* ctx, fz_device* d)
{
    fz_end_mask(ctx, targetOf(d));
}
void endGroup(fz_context* ctx, fz_device* d)
{
    fz_end_group(ctx, targetOf(d));
}
int beginTile(fz_context* ctx, fz_device* d, fz_rect area, fz_rect view, float xstep, float ystep, fz_matrix ctm,
              int id)
{
    return fz_begin_tile_id(ctx, targetOf(d), area, view, xstep, ystep, ctm, id);
}
void endTile(fz_context* ctx, fz_device* d)
{
    fz_end_tile(ctx, targetOf(d));
}
void renderFlags(fz_context* ctx, fz_device* d, int set, int clear)
{
    fz_render_flags(ctx, targetOf(d), set, clear);
}
void setDefaultColorspaces(fz_context* ctx, fz_device* d, fz_default_colorspaces* spaces)
{
    fz_set_default_colorspaces(ctx, targetOf(d), spaces);
}
void beginLayer(fz_context* ctx, fz_device* d, const char* name)
{
    fz_begin_layer(ctx, targetOf(d), name);
}
void endLayer(fz_context* ctx, fz_device* d)
{
    fz_end_layer(ctx, targetOf(d));
}

} // namespace

fz_device* NewTextRunDevice(fz_context* ctx, fz_device* target)
{
    auto* device = fz_new_derived_device(ctx, TextRunDevice);
    device->target = target;
    device->knockout = false;
    fz_device& super = device->super;
    // What the target asks of those who call it, and what it leaves out, it does through this device.
    super.hints = target->hints;
    super.flags = target->flags;
    super.close_device = target->close_device ? closeDevice : nullptr;
    super.fill_path = target->fill_path ? fillPath : nullptr;
    super.stroke_path = target->stroke_path ? strokePath : nullptr;
    super.clip_path = target->clip_path ? clipPath : nullptr;
    super.clip_stroke_path = target->clip_stroke_path ? clipStrokePath : nullptr;
    super.fill_text = target->fill_text ? fillText : nullptr;
    super.stroke_text = target->stroke_text ? strokeText : nullptr;
    super.clip_text = target->clip_text ? clipText : nullptr;
    super.clip_stroke_text = target->clip_stroke_text ? clipStrokeText : nullptr;
    super.ignore_text = target->ignore_text ? ignoreText : nullptr;
    super.fill_shade = target->fill_shade ? fillShade : nullptr;
    super.fill_image = target->fill_image ? fillImage : nullptr;
    super.fill_image_mask = target->fill_image_mask ? fillImageMask : nullptr;
    super.clip_image_mask = target->clip_image_mask ? clipImageMask : nullptr;
    super.pop_clip = target->pop_clip ? popClip : nullptr;
    super.begin_mask = target->begin_mask ? beginMask : nullptr;
    super.end_mask = target->end_mask ? endMask : nullptr;
    super.begin_group = target->begin_group ? beginGroup : nullptr;
    super.end_group = target->end_group ? endGroup : nullptr;
    super.begin_tile = target->begin_tile ? beginTile : nullptr;
    super.end_tile = target->end_tile ? endTile : nullptr;
    super.render_flags = target->render_flags ? renderFlags : nullptr;
    super.set_default_colorspaces = target->set_default_colorspaces ? setDefaultColorspaces : nullptr;
    super.begin_layer = target->begin_layer ? beginLayer : nullptr;
    super.end_layer = target->end_layer ? endLayer : nullptr;
    return &super;
}

} // namespace quarnel::render
