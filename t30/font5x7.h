#pragma once

#include <QtGlobal>

// A 5 x 7 pixel bitmap font for printable ASCII, so page head lines need no Qt Gui.
namespace t30::font5x7 {

inline constexpr int Width = 5;
inline constexpr int Height = 7;

// The five columns of a glyph, left to right; bit 0 is the top row. Characters outside
// 32 to 126 give the glyph of '?'.
const quint8 *glyph(char32_t c);

} // namespace t30::font5x7
