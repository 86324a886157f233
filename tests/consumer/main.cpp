// Creates, copies, converts and destroys images through the installed headers,
// and reads back an AVI movie through the installed movie decoder module.
#include <kalvio/kalvio.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <memory>

int main() {
    std::printf("Kalvio %s\n", KALVIO_VERSION_STRING);

    CImage grey(3, 4, 0, 1, 4);
    if (!grey.data) return 1;
    for (int r = 0; r < grey.nrows; ++r)
        for (int c = 0; c < grey.ncols; ++c) grey.SetPixel(r, c, static_cast<float>(10 * r + c));

    CImage copy(&grey);
    grey.SetPixel(0, 0, 99.0f);
    if (copy.data[0][0] != 0.0f || copy.data[2][3] != 23.0f) return 2;

    CImage assigned;
    assigned = copy;
    std::unique_ptr<CImage> colour(assigned.MakeColor(1));
    if (!colour || colour->color != 1 || colour->data[2][9] != 255.0f) return 3;
    std::unique_ptr<CImage> back(colour->MakeGray());
    if (!back || back->color != 0) return 4;

    std::unique_ptr<CObject> made(KALVIO_RUNTIME_CLASS(CImage)->CreateObject());
    if (!made || !made->IsKindOf(KALVIO_RUNTIME_CLASS(CImage))) return 5;

    float** a = make_2D_float_array(2, 2);
    if (!a || a[1][1] != 0.0f) return 6;
    free_2D_float_array(a);

    // A movie written and read back: reading loads the decoder module from
    // where the package installed it.
    const char* scratch = std::getenv("TMPDIR");
    const std::string movie_path = std::string(scratch ? scratch : "/tmp") + "/kalvio-consumer-movie.avi";
    {
        CVideo movie(movie_path.c_str(), 3, 4, 2, KALVIO_VIDEO_AVI, KALVIO_TYPE_UINT8, 0);
        if (movie.WriteCurrentFrame(&copy) != 1 || movie.WriteCurrentFrame(&copy) != 1 || movie.CloseVideo() != 1)
            return 7;
    }
    CVideo video;
    const bool read = video.OpenVideo(movie_path.c_str()) == 1 && video.nframes == 2 && video.GetFrame(1) == 1 &&
                      video.frame && video.frame->data[2][3] == 23.0f;
    std::remove(movie_path.c_str());
    if (!read) return 8;

    std::printf("consumer: images created, copied, converted and destroyed; movie read back\n");
    return 0;
}
