// read_jpeg_image on arbitrary bytes.
#include "fuzz_common_p.h"

#include <kalvio/formats.h>
#include <kalvio/image.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::InputFile input(data, size);
    int nrows = -1, ncols = -1, color = -1, datatype = -1;
    float** image = read_jpeg_image(input.path(), &nrows, &ncols, &color, &datatype);
    if (fuzz::check_shape(image, nrows, ncols, color == 1 ? 3 : 1)) {
        FUZZ_CHECK(color == 0 || color == 1);
        FUZZ_CHECK(datatype == KALVIO_TYPE_UINT8);
        // The reader's bound: 1024 pixels a byte of the file.
        FUZZ_CHECK(fuzz::fits(1024 * (size + 1), nrows, ncols, 1, 1));
        FUZZ_CHECK(fuzz::samples_within(image, nrows, ncols, color, 255));
        free_2D_float_array(image);
    }
    return 0;
}
