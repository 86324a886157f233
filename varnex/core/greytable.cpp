// Grey tables of pictures.
#include <varnex/greytable.h>

#include <kalvio/image.h>

#include <cmath>

namespace varnex {

int GreyTable::EntryOf(float v) const {
    const float position = (v - origin) * scale;
    if (!(position > 0.0f)) return 0;  // negative, zero and NaN
    if (position >= static_cast<float>(length - 1)) return length - 1;
    return static_cast<int>(position);
}

OpeningGreyTable::OpeningGreyTable(const CImage& picture) {
    table.origin = 0.0f;
    table.scale = 1.0f;
    if (picture.datatype == KALVIO_TYPE_UINT8 || picture.datatype == KALVIO_TYPE_INT16) {
        table.length = picture.datatype == KALVIO_TYPE_UINT8 ? 256 : 4096;
    } else {
        // Float and 32-bit pictures: a table over their own value range.
        float low = 0.0f, high = 0.0f;
        bool any = false;
        const int per_row = picture.ncols * (picture.color == 1 ? 3 : 1);
        for (int r = 0; picture.data && r < picture.nrows; ++r)
            for (int c = 0; c < per_row; ++c) {
                const float v = picture.data[r][c];
                if (!std::isfinite(v)) continue;
                if (!any || v < low) low = v;
                if (!any || v > high) high = v;
                any = true;
            }
        table.length = 4096;
        table.origin = low;
        table.scale = high > low ? static_cast<float>(table.length - 1) / (high - low) : 1.0f;
        if (!std::isfinite(table.scale) || table.scale <= 0.0f) table.scale = 1.0f;
    }
    levels.resize(static_cast<std::size_t>(table.length));
    for (int i = 0; i < table.length; ++i) levels[static_cast<std::size_t>(i)] = i * 255 / table.length;
    table.lut = levels.data();
}

}  // namespace varnex
