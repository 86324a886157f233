// CImage::ReadImage, which picks the reader from the first line, on
// arbitrary bytes. The image read into already has pixels and a plane, so a
// refused file must leave them in place and an accepted one must release or
// keep them as the size says.
#include "fuzz_common_p.h"

#include <kalvio/image.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::InputFile input(data, size);
    const char* path = input.path();
    CImage image(2, 3, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    image.mag = make_2D_float_array(2, 3);
    float** const pixels = image.data;
    float** const mag = image.mag;
    if (image.ReadImage(path)) {
        FUZZ_CHECK(image.nrows > 0 && image.ncols > 0 && image.data);
        FUZZ_CHECK(image.color == 0 || image.color == 1);
        fuzz::check_shape(image.data, image.nrows, image.ncols, image.color == 1 ? 3 : 1);
        if (image.nrows != 2 || image.ncols != 3) FUZZ_CHECK(!image.mag);
    } else {
        FUZZ_CHECK(image.nrows == 2 && image.ncols == 3 && image.color == 0);
        FUZZ_CHECK(image.data == pixels && image.mag == mag);
        FUZZ_CHECK(image.format == KALVIO_FORMAT_PGM && image.datatype == KALVIO_TYPE_UINT8);
    }
    return 0;
}
