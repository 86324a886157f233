// read_medical_image on arbitrary bytes.
#include "fuzz_common_p.h"

#include <kalvio/formats.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fuzz::InputFile input(data, size);
    const char* path = input.path();
    int nrows = -1, ncols = -1;
    float** image = read_medical_image(path, &nrows, &ncols);
    if (fuzz::check_shape(image, nrows, ncols, 1)) {
        // Square, two bytes a sample, all of them in the file.
        FUZZ_CHECK(nrows == ncols);
        FUZZ_CHECK(fuzz::fits(size, nrows, ncols, 1, 2));
        free_2D_float_array(image);
    }
    return 0;
}
