// The .f32 picture files the interop writers hand to the Python checks: a
// text line "rows cols channels", then little-endian 32-bit floats row by
// row (f32.py reads them).
#pragma once

#include <kalvio/image.h>

#include <filesystem>
#include <fstream>

inline bool write_f32(const std::filesystem::path& path, const CImage& image) {
    std::ofstream out(path, std::ios::binary);
    const int channels = image.color == 1 ? 3 : 1;
    out << image.nrows << " " << image.ncols << " " << channels << "\n";
    for (int r = 0; r < image.nrows; ++r)
        out.write(reinterpret_cast<const char*>(image.data[r]),
                  std::streamsize(sizeof(float)) * image.ncols * channels);
    return static_cast<bool>(out);
}
