// Drives CVideo for check_video.py, one sub-command a run:
//
//   write_video read MOVIE OUT [STEPS]   open MOVIE and dump its frames
//   write_video write IN.f32 OUT.avi     write the pictures of IN.f32 as an AVI
//   write_video yuv IN.yuv ROWS COLS FRAMES CHROMA HALF OUT
//                                        VideoFromYUV, then dump the movie
//
// A dump starts with the text line "opened frames rows cols color kind
// datatype"; then, when the movie opened, one record for frame 0 as
// OpenVideo loaded it and one per step of STEPS (comma separated: a frame
// index for GetFrame, "n" for GetNextFrame, "p" for GetPreviousFrame): the
// call's result as one byte, `current` as a little-endian int32 and, when
// the call succeeded, the frame as little-endian floats (rows x cols x 1 or
// 3). A movie VideoFromYUV refuses dumps as the line "null". IN.f32 holds
// .f32 pictures (f32.h) back to back, grey or colour, all of one size.
#include <kalvio/image.h>
#include <kalvio/video.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

namespace {

int fail(const std::string& why) {
    std::fprintf(stderr, "write_video: %s\n", why.c_str());
    return 1;
}

bool record(std::ofstream& out, CVideo& video, int result) {
    const char ok = char(result);
    const std::int32_t current = video.current;
    out.write(&ok, 1).write(reinterpret_cast<const char*>(&current), 4);
    if (!result) return true;
    const CImage* f = video.frame;
    const int channels = video.color ? 3 : 1;
    if (!f || f->nrows != video.nrows || f->ncols != video.ncols || (f->color ? 3 : 1) != channels) return false;
    for (int r = 0; r < f->nrows; ++r)
        out.write(reinterpret_cast<const char*>(f->data[r]), std::streamsize(4) * f->ncols * channels);
    return true;
}

int dump(const char* movie, const char* path, const std::string& steps) {
    CVideo video;
    const int opened = video.OpenVideo(movie);
    std::ofstream out(path, std::ios::binary);
    out << opened << " " << video.nframes << " " << video.nrows << " " << video.ncols << " " << video.color << " "
        << video.kind << " " << video.datatype << "\n";
    if (!opened) {
        // A movie that failed to open is closed: every frame access says 0.
        if (video.GetFrame(0) || video.GetNextFrame() || video.GetPreviousFrame() || video.frame)
            return fail(std::string(movie) + ": refused, yet a frame can be read");
        return out ? 0 : 1;
    }
    if (!record(out, video, 1)) return fail("frame 0 has another size than the movie");
    std::stringstream list(steps);
    for (std::string step; std::getline(list, step, ',');) {
        const int result = step == "n"   ? video.GetNextFrame()
                           : step == "p" ? video.GetPreviousFrame()
                                         : video.GetFrame(std::atoi(step.c_str()));
        if (!record(out, video, result)) return fail("step " + step + ": frame of another size than the movie");
    }
    return video.CloseVideo() == 1 && out ? 0 : fail("close or dump failed");
}

int write(const char* in_path, const char* avi) {
    std::ifstream in(in_path, std::ios::binary);
    std::unique_ptr<CVideo> video;
    int rows, cols, channels, count = 0;
    while (in >> rows >> cols >> channels && in.get() == '\n') {
        CImage image(rows, cols, channels == 3, KALVIO_FORMAT_QVF, KALVIO_TYPE_FLOAT);
        for (int r = 0; r < rows; ++r)
            in.read(reinterpret_cast<char*>(image.data[r]), std::streamsize(4) * cols * channels);
        // Promise more frames than come: the file must record those written.
        if (!video) video = std::make_unique<CVideo>(avi, rows, cols, 1000, KALVIO_VIDEO_AVI, KALVIO_TYPE_UINT8, 1);
        if (video->WriteCurrentFrame(&image) != 1 || video->current != ++count)
            return fail("frame " + std::to_string(count) + " not written");
    }
    if (!video || video->CloseVideo() != 1) return fail("movie not completed");
    return std::filesystem::exists(avi) ? 0 : fail("movie not published");
}

int yuv(char** arg) {
    CVideo* movie = VideoFromYUV(arg[0], std::atoi(arg[1]), std::atoi(arg[2]), std::atoi(arg[3]), std::atoi(arg[4]),
                                 std::atoi(arg[5]));
    if (!movie) {
        std::ofstream(arg[6]) << "null\n";
        return 0;
    }
    const std::string name = movie->name;
    std::string steps;
    for (int i = 1; i < movie->nframes; ++i) steps += "n,";
    const bool closed = movie->kind == KALVIO_VIDEO_AVI && movie->temporary && !movie->avifile && !movie->writer;
    int status = closed ? dump(name.c_str(), arg[6], steps) : fail("the movie is not a closed temporary AVI");
    delete movie;
    if (std::filesystem::exists(name)) status = fail(name + ": temporary movie left behind");
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "read" && (argc == 4 || argc == 5)) return dump(argv[2], argv[3], argc == 5 ? argv[4] : "");
    if (command == "write" && argc == 4) return write(argv[2], argv[3]);
    if (command == "yuv" && argc == 9) return yuv(argv + 2);
    std::fprintf(stderr, "usage: %s read MOVIE OUT [STEPS] | write IN.f32 OUT.avi | "
                         "yuv IN ROWS COLS FRAMES CHROMA HALF OUT\n", argv[0]);
    return 2;
}
