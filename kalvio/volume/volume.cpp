// CVolume: construction, the V1 and V2 description readers, smoothing along
// three axes and the per-voxel Hessian eigenvalues.
#include "image/io_p.h"
#include "ops/bands_p.h"
#include "ops/gaussian_kernels_p.h"
#include "ops/image_checks_p.h"

#include <kalvio/arrays.h>
#include <kalvio/gaussian.h>
#include <kalvio/image.h>
#include <kalvio/message.h>
#include <kalvio/numeric.h>
#include <kalvio/volume.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

KALVIO_IMPLEMENT_DYNCREATE(CVolume, CObject);

using namespace kalvio::detail;

namespace {

// More slices than any scanner series holds: a description that asks for
// more is taken as damaged rather than allocated.
constexpr int kMaxSlices = 65536;

// A description line longer than this is not a description.
constexpr std::size_t kMaxLineLength = 65536;

using Slices = std::unique_ptr<CImage[]>;

// `count` empty slices, or null when memory is lacking.
Slices new_slices(int count) { return Slices(new (std::nothrow) CImage[count]); }

bool same_layout(const CImage& a, const CImage& b) {
    return a.nrows == b.nrows && a.ncols == b.ncols && a.color == b.color;
}

// Replaces the volume's slices with `count` slices shaped like the first,
// and sets its codes.
void install(CVolume& volume, Slices slices, int count, int datatype, int format) {
    delete[] volume.slices;
    volume.slices = slices.release();
    volume.nslices = count;
    volume.nrows = volume.slices[0].nrows;
    volume.ncols = volume.slices[0].ncols;
    volume.color = volume.slices[0].color;
    volume.datatype = datatype;
    volume.format = format;
}

// ---------------------------------------------------------------------------
// Description files

// Reads up to `count` lines of the text file `path`; a last line without a
// newline counts. False when the file cannot be opened (a FIFO is refused
// without waiting). A line too long to be a description ends the reading,
// so the lines after it are missing.
bool read_lines(const char* path, std::size_t count, std::vector<std::string>* lines) {
    FILE* fp = open_for_reading(path);
    if (!fp) return false;
    std::string line;
    int c = 0;
    while (lines->size() < count && line.size() <= kMaxLineLength && (c = std::getc(fp)) != EOF) {
        if (c == '\n') {
            lines->push_back(std::move(line));
            line.clear();
        } else {
            line.push_back(static_cast<char>(c));
        }
    }
    if (c == EOF && !line.empty() && line.size() <= kMaxLineLength && lines->size() < count)
        lines->push_back(std::move(line));
    std::fclose(fp);
    return true;
}

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The value of the line `index` when it begins with `key`: the rest of the
// line without the blanks before it and the blanks or CR after it. False
// when the line is missing or has another key.
bool text_field(const std::vector<std::string>& lines, std::size_t index, std::string_view key,
                std::string* value) {
    if (index >= lines.size()) return false;
    std::string_view line = lines[index];
    if (line.substr(0, key.size()) != key) return false;
    line.remove_prefix(key.size());
    while (!line.empty() && is_blank(line.front())) line.remove_prefix(1);
    while (!line.empty() && is_blank(line.back())) line.remove_suffix(1);
    value->assign(line);
    return true;
}

// A decimal int field: the whole value, optionally signed, within int.
bool int_field(const std::vector<std::string>& lines, std::size_t index, std::string_view key,
               int* value) {
    std::string text;
    if (!text_field(lines, index, key, &text) || text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long long number = std::strtoll(text.c_str(), &end, 10);
    if (*end != '\0' || errno == ERANGE || number < INT_MIN || number > INT_MAX) return false;
    *value = static_cast<int>(number);
    return true;
}

bool begins_with(const std::vector<std::string>& lines, std::string_view magic) {
    return !lines.empty() && std::string_view(lines[0]).substr(0, magic.size()) == magic;
}

// `name` from a description at `description`: relative names are taken
// relative to the description's folder.
std::string beside(const char* description, const std::string& name) {
    if (!name.empty() && name.front() == '/') return name;
    const std::string_view path(description);
    const std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return name;
    return std::string(path.substr(0, slash + 1)) + name;
}

// A V1 description: a numbered series of picture files.
struct Series {
    std::string directory, prefix, suffix;
    int start = 0, end = 0;
};

bool parse_series(const std::vector<std::string>& lines, Series* s) {
    return begins_with(lines, "V1") && text_field(lines, 1, "directory=", &s->directory) &&
           !s->directory.empty() && text_field(lines, 2, "prefix=", &s->prefix) &&
           int_field(lines, 3, "start slice=", &s->start) &&
           int_field(lines, 4, "end slice=", &s->end) &&
           text_field(lines, 5, "suffix=", &s->suffix) && s->start <= s->end &&
           std::int64_t{s->end} - s->start < kMaxSlices;
}

// The sample codes of V2 descriptions.
struct RawSample {
    int code, datatype, bytes;
};
constexpr RawSample kRawSamples[] = {{1, KALVIO_TYPE_UINT8, 1},
                                     {2, KALVIO_TYPE_INT16, 2},
                                     {4, KALVIO_TYPE_INT32, 4},
                                     {40, KALVIO_TYPE_FLOAT, 4}};

// A V2 description: one raw file of every slice.
struct RawVolume {
    std::string file;
    int slices = 0, rows = 0, cols = 0, code = 0;
    RawSample sample{};
    std::int64_t slice_bytes = 0;
};

bool parse_raw(const std::vector<std::string>& lines, RawVolume* v) {
    if (!begins_with(lines, "V2") || !text_field(lines, 1, "file=", &v->file) ||
        v->file.empty() || !int_field(lines, 2, "nbf=", &v->slices) ||
        !int_field(lines, 3, "row=", &v->rows) || !int_field(lines, 4, "col=", &v->cols) ||
        !int_field(lines, 5, "size=", &v->code))
        return false;
    const RawSample* sample = nullptr;
    for (const RawSample& known : kRawSamples)
        if (known.code == v->code) sample = &known;
    if (!sample || v->slices <= 0 || v->slices > kMaxSlices || !fits_image(v->rows, v->cols, 1) ||
        !pixel_bytes(v->rows, v->cols, 1, sample->bytes, &v->slice_bytes) ||
        v->slice_bytes > INT64_MAX / v->slices)
        return false;
    v->sample = *sample;
    return true;
}

// Reads the slices of `v` from `fp`, which holds enough bytes for them.
// Null when memory is lacking (after the allocator's message) or the file
// ends early after all (it shrank while being read).
Slices read_raw_slices(FILE* fp, const RawVolume& v) {
    Slices slices = new_slices(v.slices);
    std::vector<unsigned char> row;
    if (!slices) return nullptr;
    row.resize(static_cast<std::size_t>(v.cols) * static_cast<std::size_t>(v.sample.bytes));
    for (int k = 0; k < v.slices; ++k) {
        CImage& slice = slices[k];
        slice.data = make_2D_float_array(v.rows, v.cols);
        if (!slice.data) return nullptr;
        slice.nrows = v.rows;
        slice.ncols = v.cols;
        slice.color = 0;
        slice.format = KALVIO_FORMAT_RAW;
        slice.datatype = v.sample.datatype;
        for (int r = 0; r < v.rows; ++r) {
            if (!read_exact(fp, row.data(), row.size())) {
                AfxMessageBox("ReadV2Volume: Truncated file");
                return nullptr;
            }
            for (int c = 0; c < v.cols; ++c)
                slice.data[r][c] = decode_sample(&row[static_cast<std::size_t>(c) * v.sample.bytes], v.sample.datatype);
        }
    }
    return slices;
}

// ---------------------------------------------------------------------------
// Smoothing

// Smooths `source` along x and y into `out`, which takes the pixels with
// float samples and format qvf.
bool smooth_slice(CImage& source, float sigma, float** table, CImage& out) {
    CImage* smoothed = nullptr;
    if (source.color == 0) {
        smoothed = source.smooth_image(sigma);
    } else if (CImage* across = source.apply_IIR4_filter_x(table)) {
        smoothed = across->apply_IIR4_filter_y(table);
        delete across;
    }
    if (!smoothed) return false;
    std::swap(out.data, smoothed->data);
    out.nrows = source.nrows;
    out.ncols = source.ncols;
    out.color = source.color;
    out.datatype = KALVIO_TYPE_FLOAT;
    out.format = KALVIO_FORMAT_QVF;
    delete smoothed;
    return true;
}

// Floats the filter along z takes at a time when the slices' planes are
// whole blocks: long runs of memory read in order, while a segment of the
// filter's rows stays in a core's cache.
constexpr int kDepthRun = 2048;

// Whether every slice's grey rows lie back to back in one block.
bool planes_are_blocks(const CImage* slices, int count) {
    for (int k = 0; k < count; ++k) {
        const CImage& slice = slices[k];
        if (slice.color != 0) return false;
        for (int r = 1; r < slice.nrows; ++r)
            if (slice.data[r] != slice.data[0] + static_cast<std::size_t>(r) * slice.ncols)
                return false;
    }
    return true;
}

// A volume whose slices all hold pixels of its size.
bool has_voxels(const CVolume& volume) {
    if (!volume.slices || volume.nslices <= 0) return false;
    for (int k = 0; k < volume.nslices; ++k) {
        const CImage& slice = volume.slices[k];
        if (!has_pixels(&slice) || slice.nrows != volume.nrows || slice.ncols != volume.ncols ||
            slice.color != volume.color)
            return false;
    }
    return true;
}

std::size_t voxels(const CVolume& volume) {
    return static_cast<std::size_t>(volume.nslices) * static_cast<std::size_t>(volume.nrows) *
           static_cast<std::size_t>(volume.ncols);
}

// ---------------------------------------------------------------------------
// Hessian eigenvalues

// The Hessian of central differences at (r, c) of the slice S between P and
// N, every entry times 0.25; axes row, column, slice.
void hessian(const float* const* P, const float* const* S, const float* const* N, int r, int c,
             float* const* h) {
    const float centre = 2.0f * S[r][c];
    h[0][0] = (S[r - 1][c] - centre + S[r + 1][c]) * 0.25f;
    h[1][1] = (S[r][c - 1] - centre + S[r][c + 1]) * 0.25f;
    h[2][2] = (P[r][c] - centre + N[r][c]) * 0.25f;
    h[0][1] = h[1][0] =
        (S[r - 1][c - 1] + S[r + 1][c + 1] - S[r - 1][c + 1] - S[r + 1][c - 1]) * 0.25f;
    h[0][2] = h[2][0] = (N[r + 1][c] + P[r - 1][c] - N[r - 1][c] - P[r + 1][c]) * 0.25f;
    h[1][2] = h[2][1] = (N[r][c + 1] + P[r][c - 1] - P[r][c + 1] - N[r][c - 1]) * 0.25f;
}

// The eigenvalues of the row's interior voxels into the slice's planes.
void eigenvalues_of_row(CVolume& volume, int k, int r) {
    float h_rows[3][3];
    float* h[3] = {h_rows[0], h_rows[1], h_rows[2]};
    const float* const* P = volume.slices[k - 1].data;
    const float* const* N = volume.slices[k + 1].data;
    CImage& slice = volume.slices[k];
    for (int c = 1; c < volume.ncols - 1; ++c) {
        hessian(P, slice.data, N, r, c, h);
        float v[3];
        VNeumannEigens(h, 3, v, nullptr);  // the values alone are kept
        for (float& value : v) value = std::fabs(value);
        // Sorted increasing, as qsort with rank_float_increasing sorts them:
        // the values are finite (VNeumannEigens gives zeros otherwise).
        if (v[1] < v[0]) std::swap(v[0], v[1]);
        if (v[2] < v[1]) std::swap(v[1], v[2]);
        if (v[1] < v[0]) std::swap(v[0], v[1]);
        slice.mag[r][c] = v[0];
        slice.dir[r][c] = v[1];
        slice.scale[r][c] = v[2];
    }
}

// Gives every slice three new zero-filled planes in place of its old ones;
// false, with the old planes kept, when memory is lacking.
bool replace_planes(CVolume& volume) {
    const std::size_t count = static_cast<std::size_t>(volume.nslices) * 3;
    std::unique_ptr<float**[]> planes(new (std::nothrow) float**[count]());
    bool ok = planes != nullptr;
    for (std::size_t i = 0; ok && i < count; ++i)
        ok = add_plane(volume.slices[i / 3], &planes[i]);
    if (!ok) {
        for (std::size_t i = 0; planes && i < count; ++i) free_2D_float_array(planes[i]);
        return false;
    }
    for (int k = 0; k < volume.nslices; ++k) {
        CImage& slice = volume.slices[k];
        float*** own[3] = {&slice.mag, &slice.dir, &slice.scale};
        for (int p = 0; p < 3; ++p) {
            free_2D_float_array(*own[p]);
            *own[p] = planes[3 * static_cast<std::size_t>(k) + p];
        }
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------

CVolume::CVolume()
    : nrows(0), ncols(0), nslices(0), color(0), datatype(KALVIO_TYPE_FLOAT),
      format(KALVIO_FORMAT_QVF), slices(nullptr) {}

CVolume::CVolume(int nslices, int nrows, int ncols, int color, int format, int datatype)
    : CVolume() {
    if (nslices <= 0 || !fits_image(nrows, ncols, color == 1 ? 3 : 1) ||
        static_cast<std::size_t>(nrows) * static_cast<std::size_t>(ncols) >
            SIZE_MAX / sizeof(float) / 3 / static_cast<std::size_t>(nslices))
        return;
    Slices made = new_slices(nslices);
    if (!made) return;
    const int length = color == 0 ? ncols : color == 1 ? 3 * ncols : 0;
    for (int k = 0; k < nslices; ++k) {
        CImage& slice = made[k];
        slice.nrows = nrows;
        slice.ncols = ncols;
        slice.color = color;
        slice.datatype = datatype;
        if (length > 0 && !(slice.data = make_2D_float_array(nrows, length))) return;
    }
    install(*this, std::move(made), nslices, datatype, format);
}

CVolume::~CVolume() { delete[] slices; }

int CVolume::ReadVolume(const char* path) {
    std::vector<std::string> lines;
    if (!read_lines(path, 1, &lines)) {
        AfxMessageBox("ReadVolume: Can't open file");
        return 0;
    }
    if (begins_with(lines, "V1")) return ReadV1Volume(path);
    if (begins_with(lines, "V2")) return ReadV2Volume(path);
    return 0;
}

int CVolume::ReadV1Volume(const char* path) {
    std::vector<std::string> lines;
    if (!read_lines(path, 6, &lines)) return 0;
    Series series;
    if (!parse_series(lines, &series)) {
        AfxMessageBox("ReadV1Volume: Bad header");
        return 0;
    }
    const int count = series.end - series.start + 1;
    Slices read = new_slices(count);
    if (!read) {
        AfxMessageBox("ReadV1Volume: Can't allocate the slices");
        return 0;
    }
    const std::string stem = beside(path, series.directory) + "/" + series.prefix;
    for (int k = 0; k < count; ++k) {
        const std::string name = stem + std::to_string(series.start + k) + series.suffix;
        if (!read[k].ReadImage(name.c_str())) {
            AfxMessageBox("ReadV1Volume: Can't read a slice");
            return 0;
        }
        if (!same_layout(read[k], read[0])) {
            AfxMessageBox("ReadV1Volume: Slices differ in size");
            return 0;
        }
    }
    const int type = read[0].datatype;
    install(*this, std::move(read), count, type, KALVIO_FORMAT_V1_VOLUME);
    return 1;
}

int CVolume::ReadV2Volume(const char* path) {
    std::vector<std::string> lines;
    if (!read_lines(path, 6, &lines)) return 0;
    RawVolume raw;
    if (!parse_raw(lines, &raw)) {
        AfxMessageBox("ReadV2Volume: Bad header");
        return 0;
    }
    FILE* fp = open_for_reading(beside(path, raw.file).c_str());
    if (!fp) {
        AfxMessageBox("ReadV2Volume: Can't open file");
        return 0;
    }
    Slices read;
    if (bytes_left(fp) < raw.slice_bytes * raw.slices) {
        AfxMessageBox("ReadV2Volume: Truncated file");
    } else {
        read = read_raw_slices(fp, raw);
    }
    std::fclose(fp);
    if (!read) return 0;
    install(*this, std::move(read), raw.slices, raw.sample.datatype, KALVIO_FORMAT_V2_VOLUME);
    return 1;
}

CVolume* CVolume::smooth_volume(float sigma) {
    if (!has_voxels(*this)) return nullptr;
    std::unique_ptr<CVolume> result(new CVolume);
    Slices smoothed = new_slices(nslices);
    float** table = make_2D_float_array(5, 5);
    if (!smoothed || !table) {
        free_2D_float_array(table);
        return nullptr;
    }
    ga(sigma, table);
    // Slices of a megapixel or more are split across threads by the image
    // filters themselves; smaller ones are spread over the threads whole.
    const std::size_t slice_pixels =
        static_cast<std::size_t>(nrows) * static_cast<std::size_t>(ncols);
    const int slice_threads =
        slice_pixels < (std::size_t{1} << 20) ? band_threads(voxels(*this)) : 1;
    bool ok = run_in_bands(nslices, 1, slice_threads, [&](int k0, int k1) {
        for (int k = k0; k < k1; ++k)
            if (!smooth_slice(slices[k], sigma, table, smoothed[k])) return false;
        return true;
    });
    const Coefficients k = read_table(table);
    free_2D_float_array(table);
    // Along z, runs of every slice at a time: pieces of whole planes where
    // the slices' rows lie back to back (the new slices' do), else rows.
    // Runs are independent, so the split does not change the bits.
    const CImage* planes = smoothed.get();
    const bool blocks = ok && planes_are_blocks(planes, nslices);
    const std::int64_t plane = std::int64_t{nrows} * ncols;
    const int run = blocks ? static_cast<int>(std::min<std::int64_t>(plane, kDepthRun)) : ncols;
    const std::int64_t runs = blocks ? (plane + run - 1) / run : nrows;
    // The runs at one place in every slice stand as the rows of a picture,
    // and the image filter along y runs down them in place: each step of the
    // recursion covers a whole run of every slice, and every z-line gets the
    // bits of apply_IIR4_filter_z.
    ok = ok && runs <= INT_MAX &&
         run_in_bands(static_cast<int>(runs), 1, band_threads(voxels(*this)), [&](int p0, int p1) {
             std::unique_ptr<float*[]> rows(new (std::nothrow) float*[static_cast<std::size_t>(nslices)]);
             if (!rows) return false;
             for (int p = p0; p < p1; ++p) {
                 const std::int64_t start = std::int64_t{p} * run;
                 const auto width = static_cast<int>(std::min<std::int64_t>(run, plane - start));
                 for (int i = 0; i < nslices; ++i) rows[i] = blocks ? planes[i].data[0] + start : planes[i].data[p];
                 if (!filter_columns(k, rows.get(), rows.get(), nslices, 0, blocks ? width : ncols, false))
                     return false;
             }
             return true;
         });
    if (!ok) return nullptr;
    install(*result, std::move(smoothed), nslices, KALVIO_TYPE_FLOAT, format);
    return result.release();
}

void CVolume::ridges(float, float, int, int, int) {
    if (!has_voxels(*this) || !replace_planes(*this)) return;
    if (nslices < 3 || nrows < 3 || ncols < 3) return;
    // The interior rows of every interior slice, numbered in one sequence
    // and split into bands; each voxel depends on the pixels alone.
    const std::int64_t rows_inside = nrows - 2;
    const std::int64_t count = (nslices - 2) * rows_inside;
    const auto part = [&](std::int64_t i0, std::int64_t i1) {
        for (std::int64_t i = i0; i < i1; ++i)
            eigenvalues_of_row(*this, static_cast<int>(1 + i / rows_inside),
                               static_cast<int>(1 + i % rows_inside));
        return true;
    };
    const int threads = band_threads(voxels(*this));
    if (count <= INT_MAX) {
        run_in_bands(static_cast<int>(count), 1, threads,
                     [&](int i0, int i1) { return part(i0, i1); });
    } else {
        run_in_bands(nslices - 2, 1, threads, [&](int k0, int k1) {
            return part(std::int64_t{k0} * rows_inside, std::int64_t{k1} * rows_inside);
        });
    }
}
