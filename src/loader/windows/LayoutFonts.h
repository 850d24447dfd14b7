#pragma once
// Fonts of the window layouts, given as a face and a height in pixels.

#include <QFont>

namespace kestrel {

// The layouts' faces come from another desktop; where they are missing the
// nearest face of similar width stands in, so that captions still fit.
QFont pixel_font(const char* family, int pixels);

}  // namespace kestrel
