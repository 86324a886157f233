// The grey look-up table through which grey pictures are shown.
#pragma once

#include <vector>

class CImage;

namespace varnex {

/// How grey values become display levels: entry = trunc((v - origin) *
/// scale), clamped to 0 .. length - 1, and the level is lut[entry]. Byte and
/// 16-bit pictures use origin 0 and scale 1, so a pixel of 2.9 takes entry 2.
/// Does not own `lut`.
struct GreyTable {
    const int* lut = nullptr;  ///< `length` display levels, each 0..255
    int length = 0;
    float origin = 0.0f;
    float scale = 1.0f;

    /// The table entry of grey value `v`; NaN takes the first entry.
    int EntryOf(float v) const;
    /// The display level (0..255) of grey value `v`.
    int LevelOf(float v) const { return lut[EntryOf(v)] & 0xFF; }
};

/// The table a picture is shown with when it opens: 256 entries for byte
/// samples and 4096 for 16-bit ones, one per level from 0; float and 32-bit
/// pictures get 4096 entries spread over their own finite value range.
/// Entry i holds i * 255 / length. Owns its levels.
struct OpeningGreyTable {
    explicit OpeningGreyTable(const CImage& picture);
    OpeningGreyTable(const OpeningGreyTable&) = delete;
    OpeningGreyTable& operator=(const OpeningGreyTable&) = delete;

    std::vector<int> levels;
    GreyTable table;  ///< points into `levels`
};

}  // namespace varnex
