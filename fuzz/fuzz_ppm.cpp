// read_ppm_image on arbitrary bytes.
#include "fuzz_common_p.h"

#include <kalvio/formats.h>
#include <kalvio/image.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::InputFile input(data, size);
    const char* path = input.path();
    int nrows = -1, ncols = -1, datatype = -1;
    float** image = read_ppm_image(path, &nrows, &ncols, &datatype);
    if (fuzz::check_shape(image, nrows, ncols, 3)) {
        FUZZ_CHECK(datatype == KALVIO_TYPE_UINT8 || datatype == KALVIO_TYPE_INT16);
        // Three samples a pixel, all in the file: one byte each, two above a
        // maximum of 255.
        FUZZ_CHECK(fuzz::fits(size, nrows, ncols, 3, datatype == KALVIO_TYPE_INT16 ? 2 : 1));
        free_2D_float_array(image);
    }
    return 0;
}
