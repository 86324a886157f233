// read_qvf_image on arbitrary bytes.
#include "fuzz_common_p.h"

#include <kalvio/formats.h>
#include <kalvio/image.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::InputFile input(data, size);
    const char* path = input.path();
    int nrows = -1, ncols = -1, color = -1, datatype = -1;
    float** image = read_qvf_image(path, &nrows, &ncols, &color, &datatype);
    if (image) {
        FUZZ_CHECK(color == 0 || color == 1);
        fuzz::check_shape(image, nrows, ncols, color == 1 ? 3 : 1);
        // Every sample was in the file. A grey image of any other sample
        // type is a scratch image without samples.
        int bytes = 0;
        switch (color == 1 ? KALVIO_TYPE_UINT8 : datatype) {
            case KALVIO_TYPE_UINT8: bytes = 1; break;
            case KALVIO_TYPE_INT16: bytes = 2; break;
            case KALVIO_TYPE_INT32:
            case KALVIO_TYPE_FLOAT: bytes = 4; break;
        }
        FUZZ_CHECK(fuzz::fits(size, nrows, ncols, color == 1 ? 3 : 1, bytes));
        free_2D_float_array(image);
    }
    return 0;
}
