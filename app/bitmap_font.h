// A 5 x 7 dot font of printable ASCII, for the text of pictures the app
// draws itself (the test page): no font files, no font library.
#ifndef QMX_APP_BITMAP_FONT_H_
#define QMX_APP_BITMAP_FONT_H_

#include <array>
#include <cstdint>

namespace app {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;

// Row r of a glyph is bits 4 (leftmost dot) to 0; a set bit is ink.
using Glyph = std::array<std::uint8_t, kGlyphHeight>;

// The glyph of `c`; '?' for anything outside ' ' to '~'.
const Glyph& glyphOf(char c);

}  // namespace app

#endif  // QMX_APP_BITMAP_FONT_H_
