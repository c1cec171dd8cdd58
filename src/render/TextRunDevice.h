#pragma once

struct fz_context;
struct fz_device;

namespace quarnel::render {

// A device that passes everything on to `target` (which it does not own), except that text spread over
// more than a few lines is passed on in runs of a few lines, glyphs in their order.
//
// Text a page shows in one piece (often the whole page) would be replayed in full for every band, each of
// its glyphs looked up in the glyph cache however far it lies outside the band. Recorded in runs, a band
// draws only the runs it crosses, and what is drawn does not change. Inside a knockout group each piece
// would knock out the ones before: once a page opens one, its text is passed on whole.
fz_device* NewTextRunDevice(fz_context* ctx, fz_device* target);

} // namespace quarnel::render
