// The segmentation session: regions kept between cuts, results repainted
// where the object changed.
#include <varnex/segmentation_run.h>

#include <kalvio/formats.h>
#include <kalvio/message.h>
#include <kalvio/samples.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

SegmentationSession::SegmentationSession(Contour& contour, bool paint_result)
    : m_contour(contour), m_bPaint(paint_result) {
    m_contour.m_bSession = true;
    // Only painting needs every region's pixels at hand.
    m_contour.m_bListPixels = paint_result;
}

SegmentationSession::~SegmentationSession() {
    forget_regions();
    m_contour.m_bSession = false;
    m_contour.m_bListPixels = true;
}

void SegmentationSession::forget_regions() {
    m_contour.ReleaseRegions();
    m_contour.ReleaseRunData();
    m_bRegions = false;
    m_bCut = false;
    m_objectMask = {};
    m_wasObject = {};
    m_seedKinds.release();
    m_bShown = false;
    m_shownLevels.clear();
    m_changed = Box();
    m_changedRegions.clear();
}

bool SegmentationSession::LoadRegionMap(const std::string& path) {
    forget_regions();
    const auto phase = std::chrono::steady_clock::now();
    m_bMap = m_contour.LoadRegionMap(path);
    seconds_load = seconds_since(phase);
    return m_bMap;
}

bool SegmentationSession::SetRegionMap(MyImage* map, const std::string& label) {
    forget_regions();
    seconds_load = 0.0;
    m_bMap = m_contour.SetRegionMap(map, label);
    return m_bMap;
}

bool SegmentationSession::compute_regions() {
    const auto phase = std::chrono::steady_clock::now();
    // The label map holds all a session needs of a bitmap map, so the
    // bitmap goes as soon as its colours are there.
    m_contour.m_bDropSourceWhenRead = true;
    m_bRegions = m_contour.ComputeRegions();
    seconds_regions = seconds_since(phase);
    if (!m_bRegions) {
        // A map given up half way has to be read again.
        if (m_contour.region_map_width() == 0) m_bMap = false;
        return false;
    }
    const MyImage* image = m_contour.image;
    const std::size_t pixels = static_cast<std::size_t>(image->width) * static_cast<std::size_t>(image->height);
    try {
        // Only the pages that seeds fall in are ever written.
        if (!m_seedKinds.allocate_sparse(pixels)) throw std::bad_alloc();
        if (m_bPaint) m_objectMask.assign(pixels, 0);
        m_wasObject.assign(static_cast<std::size_t>(m_contour.region_count()) + 1, 0);
        // Every region at most once per cut: the list never grows later.
        m_changedRegions.reserve(static_cast<std::size_t>(m_contour.region_count()));
    } catch (const std::bad_alloc&) {
        forget_regions();
        AfxMessageBox("Not enough memory for the regions of the region map " + m_contour.path, MB_ICONSTOP);
        return false;
    }
    return true;
}

bool SegmentationSession::Cut() {
    m_bCut = false;
    m_changed = Box();
    seconds_regions = 0.0;
    if (!m_bMap) return false;
    if (!m_bRegions && !compute_regions()) return false;
    const auto phase = std::chrono::steady_clock::now();
    if (!m_contour.cut_again(m_seedKinds)) return false;
    try {
        m_bCut = update_result();
    } catch (const std::bad_alloc&) {
        // The result may be half repainted: the next cut repaints it all.
        delete m_contour.result;
        m_contour.result = nullptr;
        m_bShown = false;
        AfxMessageBox("Not enough memory for " + std::to_string(m_contour.region_count()) + " regions of the region map " +
                          m_contour.path,
                      MB_ICONSTOP);
    }
    seconds_cut = seconds_since(phase);
    return m_bCut;
}

// Repaints the regions whose side changed since the last cut, or all of
// them for the first result and when the grey levels it shows changed.
bool SegmentationSession::update_result() {
    Contour& c = m_contour;
    const MyImage* image = c.image;
    const bool colour = image->color == 1;
    const bool through_table = !colour && c.result_levels.lut && image->datatype != KALVIO_TYPE_UINT8;
    std::vector<int> levels;
    if (through_table) levels.assign(c.result_levels.lut, c.result_levels.lut + c.result_levels.length);
    const bool all = !m_bShown || (m_bPaint && (!c.result || levels != m_shownLevels));
    if (m_bPaint && !c.result) {
        c.result = new (std::nothrow) MyImage(image->height, image->width, 1, KALVIO_FORMAT_BMP, KALVIO_TYPE_UINT8);
        if (!c.result || !c.result->data) {
            delete c.result;
            c.result = nullptr;
            AfxMessageBox("Not enough memory for " + std::to_string(c.region_count()) + " regions of the region map " +
                              c.path,
                          MB_ICONSTOP);
            return false;
        }
    }
    m_shownLevels = std::move(levels);
    m_changedRegions.clear();
    if (m_bPaint) c.start_painting();
    const int n = c.region_count();
    for (int r = 1; r <= n; ++r) {
        const bool object = c.marks[r] == 1;
        if (!all && object == (m_wasObject[static_cast<std::size_t>(r)] != 0)) continue;
        m_wasObject[static_cast<std::size_t>(r)] = object ? 1 : 0;
        paint_region(r, object, !all);
        m_changedRegions.push_back(r);
    }
    if (all) m_changed = Box{0, 0, image->width, image->height};
    m_bShown = true;
    return true;
}

// Paints region r into the result and the object mask and, with
// `widen_box`, widens the box of changed pixels around it.
void SegmentationSession::paint_region(int r, bool object, bool widen_box) {
    if (!m_bPaint) return;
    Contour& c = m_contour;
    c.paint_region(r, object);
    const std::uint32_t* p = c.regions.pixels(r);
    const std::size_t size = c.regions.size(r);
    const std::uint8_t value = object ? 255 : 0;
    std::uint32_t low = UINT32_MAX, high = 0;
    for (std::size_t i = 0; i < size; ++i) {
        m_objectMask[p[i]] = value;
        low = std::min(low, p[i]);
        high = std::max(high, p[i]);
    }
    if (size == 0 || !widen_box) return;
    // Rows from the first and last pixel; columns from every pixel only
    // when the region spans rows.
    const int y0 = c.regions.row(low), y1 = c.regions.row(high);
    int x0 = c.regions.column(low), x1 = c.regions.column(high);
    if (y0 != y1) {
        x0 = c.image->width;
        x1 = 0;
        for (std::size_t i = 0; i < size; ++i) {
            const int x = c.regions.column(p[i]);
            x0 = std::min(x0, x);
            x1 = std::max(x1, x);
        }
    }
    Box& box = m_changed;
    if (box.empty()) {
        box = Box{x0, y0, x1 + 1, y1 + 1};
    } else {
        box.x0 = std::min(box.x0, x0);
        box.y0 = std::min(box.y0, y0);
        box.x1 = std::max(box.x1, x1 + 1);
        box.y1 = std::max(box.y1, y1 + 1);
    }
}

bool SegmentationSession::WriteResult(const std::string& file) const {
    const Contour& c = m_contour;
    const MyImage* image = c.image;
    if (!m_bCut || !c.has_samples() || !c.has_labels() || !c.marks) {
        AfxMessageBox("write_bmp_image: No image to write");
        return false;
    }
    const bool colour = image->color == 1;
    const bool through_table = !colour && c.result_levels.lut && image->datatype != KALVIO_TYPE_UINT8;
    const int n = c.region_count();
    const int width = image->width;
    // A row's samples become bytes all at once; then the row goes by runs
    // of one region, white where it is not the object.
    std::vector<std::uint8_t> bytes;
    try {
        bytes.resize(static_cast<std::size_t>(width) * (colour ? 3 : 1));
    } catch (const std::bad_alloc&) {
        AfxMessageBox("write_bmp_image: No image to write");
        return false;
    }
    return write_bmp_rows(file.c_str(), width, image->height, [&](int y, std::uint8_t* out) {
        const int* labels = c.label_map ? c.label_map[y] : nullptr;
        // Row y's runs [from, end) of region r, from the label map or the runs.
        std::uint32_t k = labels ? 0 : c.m_runs.row_first[static_cast<std::size_t>(y)];
        const std::uint32_t row = static_cast<std::uint32_t>(y) * static_cast<std::uint32_t>(width);
        auto next_run = [&](int from, int& end) {
            if (!labels) {
                end = static_cast<int>(c.m_runs.start[k + 1] - row);
                return static_cast<int>(c.m_runs.region[k++]);
            }
            const int r = labels[from];
            end = from + 1;
            while (end < width && labels[end] == r) ++end;
            return r;
        };
        const std::size_t per_row = bytes.size();
        const std::uint8_t* plane = c.picture_bytes ? c.picture_bytes + per_row * static_cast<std::size_t>(y) : nullptr;
        const std::uint8_t* samples = bytes.data();
        if (through_table) {
            const float* in = plane ? nullptr : image->data[y];
            for (int x = 0; x < width; ++x) {
                const float value = plane ? plane[x] : in[x];
                bytes[static_cast<std::size_t>(x)] = kalvio::sample_to_byte(static_cast<float>(c.result_levels.LevelOf(value)));
            }
        } else if (plane) {
            samples = plane;
        } else {
            kalvio::samples_to_bytes(image->data[y], bytes.data(), per_row);
        }
        for (int x = 0; x < width;) {
            int end = 0;
            const int r = next_run(x, end);
            std::uint8_t* to = out + 3 * static_cast<std::size_t>(x);
            if (r < 1 || r > n || c.marks[r] != 1) {
                std::memset(to, 255, 3 * static_cast<std::size_t>(end - x));
            } else if (colour) {
                kalvio::swap_red_blue(samples + 3 * static_cast<std::size_t>(x), to, static_cast<std::size_t>(end - x));
            } else {
                // Four grey pixels make three words of blue, green, red
                // where the low byte comes first.
                const std::uint8_t* from = samples + x;
                if constexpr (std::endian::native == std::endian::little)
                for (; x + 4 <= end; x += 4, from += 4, to += 12) {
                    const std::uint32_t g0 = from[0], g1 = from[1], g2 = from[2], g3 = from[3];
                    const std::uint32_t words[3] = {g0 * 0x010101u | g1 << 24, g1 * 0x0101u | g2 * 0x01010000u,
                                                    g2 | g3 * 0x01010100u};
                    std::memcpy(to, words, 12);
                }
                for (; x < end; ++x, ++from, to += 3) to[0] = to[1] = to[2] = *from;
            }
            x = end;
        }
    }) == 1;
}
