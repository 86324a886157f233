// CVideo: opening, frame access, writing and the sequence operations.
#include <kalvio/video.h>

#include "image/io_p.h"
#include "ops/bands_p.h"
#include "ops/image_checks_p.h"
#include "ops/simd_p.h"
#include "video/avi_reader_p.h"
#include "video/movie_writer_p.h"

#include <kalvio/dib.h>
#include <kalvio/message.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

using namespace kalvio::detail;

KALVIO_IMPLEMENT_DYNCREATE(CVideo, CObject);

namespace {

constexpr float kThird = 0.33333334f;

// True when both names lead to one existing file.
bool same_file(const std::string& a, const std::string& b) {
    struct stat sa {}, sb {};
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Copies a file through the library's safe output: the target is the old
// file or the whole copy.
bool copy_file(const std::string& from, const std::string& to) {
    FILE* in = open_for_reading(from.c_str());
    if (!in) return false;
    SafeOutput out;
    bool ok = out.create(to.c_str());
    std::vector<char> block(1 << 20);
    while (ok) {
        const std::size_t n = std::fread(block.data(), 1, block.size(), in);
        if (n > 0 && std::fwrite(block.data(), 1, n, out.fp()) != n) ok = false;
        if (n < block.size()) {
            ok = ok && !std::ferror(in);
            break;
        }
    }
    std::fclose(in);
    return ok && out.commit();
}

// Four pixels of blue, green, red bytes as 12 floats, in the bytes' order.
typedef std::uint8_t u8x4 __attribute__((vector_size(4)));
inline void bytes_to_floats(const std::uint8_t* in, f4* a, f4* b, f4* c) {
    *a = __builtin_convertvector(load<u8x4>(in), f4);
    *b = __builtin_convertvector(load<u8x4>(in + 4), f4);
    *c = __builtin_convertvector(load<u8x4>(in + 8), f4);
}

// Rows [begin, end) of a 24-bit bottom-up bitmap as floats: red, green,
// blue, or (red + green + blue) * kThird for a grey frame (the sums are
// whole numbers, exact in float whichever way they are added).
void bits_to_floats(const CDib& dib, CImage* frame, int begin, int end) {
    const int rows = dib.height, cols = dib.width;
    for (int y = begin; y < end; ++y) {
        const std::uint8_t* in = dib.bits + static_cast<std::size_t>(rows - 1 - y) * dib.row_bytes;
        float* out = frame->data[y];
        int x = 0;
        for (; x + 4 <= cols; x += 4, in += 12) {
            f4 a, b, c, blue, green, red;
            bytes_to_floats(in, &a, &b, &c);
            float triple[12];
            store(triple, a);
            store(triple + 4, b);
            store(triple + 8, c);
            deinterleave3(triple, &blue, &green, &red);
            if (frame->color == 1) {
                interleave3(out + 3 * x, red, green, blue);
            } else {
                store(out + x, (red + green + blue) * splat<f4>(kThird));
            }
        }
        for (; x < cols; ++x, in += 3) {
            if (frame->color == 1) {
                out[3 * x] = in[2];
                out[3 * x + 1] = in[1];
                out[3 * x + 2] = in[0];
            } else {
                out[x] = static_cast<float>(in[0] + in[1] + in[2]) * kThird;
            }
        }
    }
}

// The whole bitmap; frames of a quarter megapixel and more on several
// threads (the bits do not depend on the split).
void bits_to_floats(const CDib& dib, CImage* frame) {
    const std::size_t pixels = pixels_of(dib.height, dib.width);
    run_in_bands(dib.height, 1, band_threads(pixels, std::size_t{1} << 18), [&](int begin, int end) {
        bits_to_floats(dib, frame, begin, end);
        return true;
    });
}

bool all_grey(const CDib& dib) {
    for (int y = 0; y < dib.height; ++y) {
        const std::uint8_t* p = dib.bits + static_cast<std::size_t>(y) * dib.row_bytes;
        for (int x = 0; x < dib.width; ++x, p += 3) {
            if (p[0] != p[1] || p[1] != p[2]) return false;
        }
    }
    return true;
}

std::string numbered(const char* prefix, std::int64_t number, const char* suffix) {
    return std::string(prefix) + std::to_string(number) + suffix;
}

}  // namespace

CVideo::CVideo()
    : nrows(0), ncols(0), nframes(0), kind(0), datatype(0), color(0), framesize(0), frame(nullptr),
      dib(nullptr), file(nullptr), current(0), avifile(nullptr), writer(nullptr), temporary(false) {}

CVideo::CVideo(const char* path, int rows, int cols, int frames, int movie_kind, int type, int colour) : CVideo() {
    if (path) create(path, rows, cols, frames, movie_kind, type, colour, false);
}

CVideo::~CVideo() {
    CloseVideo();
    if (temporary && !name.empty()) ::unlink(name.c_str());
    delete dib;
    delete frame;
}

bool CVideo::create(const std::string& path, int rows, int cols, int frames, int movie_kind, int type, int colour,
                    bool scratch) {
    CloseVideo();
    const bool avi = movie_kind == KALVIO_VIDEO_AVI;
    const char* failure = avi ? "create_movie: Can't create AVI file" : "create_movie: Can't create movie file";
    // A qvf header promises its frames; one promising none could never be read.
    if ((!avi && movie_kind != KALVIO_VIDEO_QVF) || frames < (avi ? 0 : 1) || (colour != 0 && colour != 1)) {
        AfxMessageBox("create_movie: Bad movie size");
        return false;
    }
    const std::int64_t qvf_bytes = qvf_frame_bytes(rows, cols, colour, avi ? KALVIO_TYPE_UINT8 : type);
    if (qvf_bytes == 0 || (avi && static_cast<std::int64_t>(rows) * ((cols * 3LL + 3) & ~3LL) > 0xFFFF0000LL)) {
        AfxMessageBox("create_movie: Bad movie size");
        return false;
    }
    auto made = MovieWriter::create(path, movie_kind, rows, cols, frames, type, colour, scratch);
    if (!made) {
        AfxMessageBox(failure);
        return false;
    }
    auto* image = new CImage(rows, cols, colour, KALVIO_FORMAT_QVF, type);
    if (!image->data) {
        delete image;
        made->abort();
        return false;
    }
    delete frame;
    delete dib;
    frame = image;
    dib = nullptr;
    writer = made.release();
    nrows = rows;
    ncols = cols;
    nframes = frames;
    kind = movie_kind;
    datatype = type;
    color = colour;
    framesize = avi ? 0 : static_cast<int>(qvf_bytes);
    current = 0;
    name = path;
    return true;
}

void CVideo::release_reader() {
    delete avifile;
    avifile = nullptr;
    if (file) std::fclose(file);
    file = nullptr;
}

void CVideo::abandon() {
    if (writer) writer->abort();
    delete writer;
    writer = nullptr;
}

int CVideo::CloseVideo() {
    int ok = 1;
    if (writer) {
        ok = writer->finish() ? 1 : 0;
        delete writer;
        writer = nullptr;
    }
    release_reader();
    return ok;
}

int CVideo::OpenVideo(const char* path) {
    CloseVideo();
    if (!path) return 0;
    FILE* fp = open_for_reading(path);
    if (!fp) {
        AfxMessageBox("OpenMovie: Can't open file");
        return 0;
    }
    char line[256] = {};
    if (!std::fgets(line, sizeof line, fp)) line[0] = '\0';

    if (std::strncmp(line, "RIFF", 4) == 0) {
        std::fclose(fp);
        AviReader::Error error = AviReader::Error::None;
        std::unique_ptr<AviReader> reader = AviReader::open(path, &error);
        if (!reader) {
            if (error == AviReader::Error::NoModule) {
                AfxMessageBox("Can't load the movie decoder: " + AviReader::module_failure());
                return 0;
            }
            AfxMessageBox(error == AviReader::Error::Open       ? "Can't open AVI file"
                          : error == AviReader::Error::NoStream ? "Can't get video stream"
                                                                : "The decompressor is not open");
            return 0;
        }
        auto bitmap = std::make_unique<CDib>(reader->width(), reader->height(), 24);
        if (!bitmap->bits) return 0;
        if (!reader->read(0, bitmap->bits, bitmap->row_bytes)) {
            AfxMessageBox("The decompressor is not open");
            return 0;
        }
        const int colour = all_grey(*bitmap) ? 0 : 1;
        auto image = std::make_unique<CImage>(reader->height(), reader->width(), colour, KALVIO_FORMAT_QVF,
                                              KALVIO_TYPE_UINT8);
        if (!image->data) return 0;
        bits_to_floats(*bitmap, image.get());
        delete frame;
        delete dib;
        frame = image.release();
        dib = bitmap.release();
        avifile = reader.release();
        nrows = avifile->height();
        ncols = avifile->width();
        nframes = avifile->frames();
        kind = KALVIO_VIDEO_AVI;
        datatype = KALVIO_TYPE_UINT8;
        color = colour;
        framesize = 0;
    } else if (std::strncmp(line, "QV", 2) == 0) {
        char text[3][256] = {};
        int size[3] = {}, type = 0, flag = 0;
        bool header = true;
        for (auto& t : text) header = header && std::fgets(t, sizeof t, fp) != nullptr;
        header = header && read_ints(text[0], size, 3) == 3 && read_ints(text[1], &type, 1) == 1 &&
                 read_ints(text[2], &flag, 1) == 1 && size[2] > 0;
        const std::int64_t bytes = header ? qvf_frame_bytes(size[0], size[1], flag, type) : 0;
        if (bytes == 0) {
            std::fclose(fp);
            AfxMessageBox("OpenMovie: Bad movie header");
            return 0;
        }
        if (bytes_left(fp) < bytes * size[2]) {
            std::fclose(fp);
            AfxMessageBox("OpenMovie: Truncated file");
            return 0;
        }
        auto image = std::make_unique<CImage>(size[0], size[1], flag, 0, 0);
        if (!image->data) {
            std::fclose(fp);
            return 0;
        }
        try {
            m_buffer.resize(static_cast<std::size_t>(bytes));
        } catch (const std::bad_alloc&) {
            std::fclose(fp);
            AfxMessageBox("OpenMovie: Not enough memory for a frame");
            return 0;
        }
        delete frame;
        frame = image.release();
        file = fp;
        nrows = size[0];
        ncols = size[1];
        nframes = size[2];
        kind = KALVIO_VIDEO_QVF;
        datatype = type;
        color = flag;
        framesize = static_cast<int>(bytes);
        if (!load_qvf_frame(0, nullptr)) {
            release_reader();
            return 0;
        }
    } else {
        std::fclose(fp);
        return 0;
    }
    // A temporary movie that now shows another file is no longer needed.
    if (temporary && !same_file(path, name)) {
        ::unlink(name.c_str());
        temporary = false;
    }
    name = path;
    current = 0;
    return 1;
}

int CVideo::load_qvf_frame(int index, int* lut) {
    if (!file || !frame || !frame->data || index < 0 || index >= nframes) return 0;
    const auto back = static_cast<std::int64_t>(nframes - index) * framesize;
    if (::fseeko(file, static_cast<off_t>(-back), SEEK_END) != 0 || !read_exact(file, m_buffer.data(), m_buffer.size())) {
        return 0;
    }
    const unsigned char* p = m_buffer.data();
    if (color == 1) {
        for (int r = 0; r < nrows; ++r) {
            float* out = frame->data[r];
            for (int i = 0; i < 3 * ncols; ++i) out[i] = *p++;
        }
    } else {
        const int size = sample_size(datatype);
        for (int r = 0; r < nrows; ++r) {
            float* out = frame->data[r];
            for (int c = 0; c < ncols; ++c, p += size) out[c] = decode_sample(p, datatype);
        }
    }
    auto* bitmap = lut ? new CDib(frame, lut) : new CDib(frame, datatype == KALVIO_TYPE_UINT8 ? 0 : 1, 0.0f, 0.0f);
    delete dib;
    dib = bitmap;
    current = index;
    return 1;
}

int CVideo::load_avi_frame(int index) {
    if (!avifile || !dib || !dib->bits || !frame || !frame->data || index < 0 || index >= nframes) return 0;
    if (!avifile->read(index, dib->bits, dib->row_bytes)) return 0;
    bits_to_floats(*dib, frame);
    current = index;
    return 1;
}

int CVideo::GetFrame(int index, int* lut) {
    if (avifile) return load_avi_frame(index);
    return load_qvf_frame(index, lut);
}

int CVideo::GetNextFrame(int* lut) {
    if ((!avifile && !file) || nframes <= 0) return 0;
    return GetFrame(current + 1 >= nframes || current < 0 ? 0 : current + 1, lut);
}

int CVideo::GetPreviousFrame(int* lut) {
    if ((!avifile && !file) || nframes <= 0) return 0;
    return GetFrame(current <= 0 || current > nframes ? nframes - 1 : current - 1, lut);
}

int CVideo::WriteCurrentFrame(CImage* image) {
    if (!writer || !has_pixels(image) || image->nrows != nrows || image->ncols != ncols) return 0;
    if (!writer->write(*image)) return 0;
    current = writer->written();
    return 1;
}

bool CVideo::open_source(CVideo* source) const {
    return !name.empty() && source->OpenVideo(name.c_str()) == 1;
}

int CVideo::WriteVideo(const char* path, int target_kind, int colour, int normalize, int type) {
    if (writer) CloseVideo();
    if (!path) return 0;
    if (same_file(path, name)) {
        AfxMessageBox("WriteVideo: A movie cannot be written over itself");
        return 0;
    }
    CVideo source;
    if (!open_source(&source)) return 0;
    if (source.kind == KALVIO_VIDEO_AVI && target_kind == KALVIO_VIDEO_AVI) {
        source.CloseVideo();
        if (copy_file(name, path)) return 1;
        AfxMessageBox("WriteVideo: Can't write file");
        return 0;
    }
    CVideo target;
    if (!target.create(path, source.nrows, source.ncols, source.nframes, target_kind, type, colour, false)) return 0;
    for (int i = 0; i < source.nframes; ++i) {
        if (!source.GetFrame(i)) {
            target.abandon();
            return 0;
        }
        std::unique_ptr<CImage> stretched;
        CImage* image = source.frame;
        if (normalize && source.color == 0 && colour == 0) {
            stretched = std::make_unique<CImage>(*source.frame);
            stretched->Normalize(0.0f, 255.0f);
            image = stretched.get();
        }
        if (!target.WriteCurrentFrame(image)) {
            target.abandon();
            return 0;
        }
    }
    return target.CloseVideo();
}

int CVideo::ImagesFromVideo(const char* prefix, int first, const char* suffix, int format, int type) {
    if (writer) CloseVideo();
    if (!prefix || !suffix) return 0;
    CVideo source;
    if (!open_source(&source)) return 0;
    for (int i = 0; i < source.nframes; ++i) {
        const std::string path = numbered(prefix, static_cast<std::int64_t>(first) + i, suffix);
        if (same_file(path, name)) {
            AfxMessageBox("ImagesFromVideo: A frame cannot be written over the movie");
            return 0;
        }
        if (!source.GetFrame(i)) return 0;
        CImage copy(*source.frame);
        copy.format = format;
        copy.datatype = type;
        if (!copy.WriteImage(path.c_str())) return 0;
    }
    return 1;
}

CVideo* CVideo::temporary_movie(int movie_kind, int rows, int cols, int frames, int type, int colour) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error) folder = "/tmp";
    std::string path = (folder / "kalvio-movie-XXXXXX.avi").string();
    const int fd = ::mkstemps(path.data(), 4);
    if (fd < 0) {
        AfxMessageBox("create_movie: Can't create a temporary movie");
        return nullptr;
    }
    ::close(fd);
    auto* movie = new CVideo;
    movie->name = path;
    movie->temporary = true;
    if (!movie->create(path, rows, cols, frames, movie_kind, type, colour, true)) {
        delete movie;
        return nullptr;
    }
    return movie;
}

CVideo* CVideo::finish_sequence(CVideo* movie) {
    if (movie->CloseVideo() == 1) return movie;
    delete movie;
    return nullptr;
}

CVideo* CVideo::Extract(int firstframe, int lastframe, int row, int column, int rows, int cols) {
    if (writer) CloseVideo();
    CVideo source;
    if (!open_source(&source)) return nullptr;
    if (firstframe < 0 || lastframe < firstframe || lastframe >= source.nframes || rows <= 0 || cols <= 0 ||
        row < 0 || column < 0 || row > source.nrows - rows || column > source.ncols - cols) {
        return nullptr;
    }
    CVideo* out =
        temporary_movie(source.kind, rows, cols, lastframe - firstframe + 1, source.datatype, source.color);
    if (!out) return nullptr;
    for (int i = firstframe; i <= lastframe; ++i) {
        std::unique_ptr<CImage> cut(source.GetFrame(i) ? source.frame->Extract(row, column, rows, cols) : nullptr);
        if (!cut || !out->WriteCurrentFrame(cut.get())) {
            delete out;
            return nullptr;
        }
    }
    return finish_sequence(out);
}

CVideo* CVideo::Reduce(int factor, int mode) {
    if (writer) CloseVideo();
    CVideo source;
    if (!open_source(&source)) return nullptr;
    if (factor < 1 || factor > source.nrows || factor > source.ncols) return nullptr;
    CVideo* out = temporary_movie(source.kind, source.nrows / factor, source.ncols / factor, source.nframes,
                                  source.datatype, source.color);
    if (!out) return nullptr;
    for (int i = 0; i < source.nframes; ++i) {
        std::unique_ptr<CImage> small(source.GetFrame(i) ? source.frame->Reduce(factor, mode) : nullptr);
        if (!small || !out->WriteCurrentFrame(small.get())) {
            delete out;
            return nullptr;
        }
    }
    return finish_sequence(out);
}

CVideo* CVideo::Superpose(const char* maskpath) {
    if (writer) CloseVideo();
    if (!maskpath) return nullptr;
    CVideo source, mask;
    if (!open_source(&source) || !mask.OpenVideo(maskpath)) return nullptr;
    if (mask.nrows != source.nrows || mask.ncols != source.ncols || mask.nframes < source.nframes) {
        AfxMessageBox("Superpose: The mask movie does not fit the movie");
        return nullptr;
    }
    CVideo* out =
        temporary_movie(source.kind, source.nrows, source.ncols, source.nframes, KALVIO_TYPE_UINT8, 1);
    if (!out) return nullptr;
    for (int i = 0; i < source.nframes; ++i) {
        const bool read = source.GetFrame(i) && mask.GetFrame(i);
        std::unique_ptr<CImage> over(read ? source.frame->Superpose(mask.frame) : nullptr);
        if (!over || !out->WriteCurrentFrame(over.get())) {
            delete out;
            return nullptr;
        }
    }
    return finish_sequence(out);
}

CVideo* VideoFromImages(const char* prefix, int first, int last, const char* suffix) {
    if (!prefix || !suffix || first > last) return nullptr;
    const std::int64_t count = static_cast<std::int64_t>(last) - first + 1;
    if (count > INT_MAX) return nullptr;
    CImage image;
    if (!image.ReadImage(numbered(prefix, first, suffix).c_str())) return nullptr;
    const int rows = image.nrows, cols = image.ncols, colour = image.color;
    int type = image.datatype;
    if (colour == 1) {
        type = KALVIO_TYPE_UINT8;
    } else if (sample_size(type) == 0) {
        type = KALVIO_TYPE_FLOAT;
    }
    CVideo* movie = CVideo::temporary_movie(KALVIO_VIDEO_QVF, rows, cols, static_cast<int>(count), type, colour);
    if (!movie) return nullptr;
    for (std::int64_t k = first; k <= last; ++k) {
        const bool read = k == first || image.ReadImage(numbered(prefix, k, suffix).c_str());
        if (!read || image.nrows != rows || image.ncols != cols || image.color != colour ||
            !movie->WriteCurrentFrame(&image)) {
            delete movie;
            return nullptr;
        }
    }
    return CVideo::finish_sequence(movie);
}
