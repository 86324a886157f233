// read_tiff_image on arbitrary bytes.
#include "fuzz_common_p.h"

#include <kalvio/formats.h>
#include <kalvio/image.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::InputFile input(data, size);
    int nrows = -1, ncols = -1, color = -1, datatype = -1;
    float** image = read_tiff_image(input.path(), &nrows, &ncols, &color, &datatype);
    if (fuzz::check_shape(image, nrows, ncols, color == 1 ? 3 : 1)) {
        FUZZ_CHECK(color == 0 || color == 1);
        FUZZ_CHECK(datatype == KALVIO_TYPE_UINT8 || datatype == KALVIO_TYPE_INT16);
        // LZW, the compression that packs most, gives at most 4096 bytes a byte.
        FUZZ_CHECK(fuzz::fits(4096 * (size + 1), nrows, ncols, color == 1 ? 3 : 1,
                              datatype == KALVIO_TYPE_INT16 ? 2 : 1));
        FUZZ_CHECK(fuzz::samples_within(image, nrows, ncols, color, datatype == KALVIO_TYPE_INT16 ? 65535 : 255));
        free_2D_float_array(image);
    }
    return 0;
}
