// The segmentation session: regions kept between cuts, results repainted
// where the object changed.
#include <varnex/segmentation_run.h>

#include <kalvio/message.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

SegmentationSession::SegmentationSession(Contour& contour) : m_contour(contour) { m_contour.m_bSession = true; }

SegmentationSession::~SegmentationSession() {
    forget_regions();
    m_contour.m_bSession = false;
}

void SegmentationSession::forget_regions() {
    m_contour.ReleaseRegions();
    m_contour.ReleaseRunData();
    m_bRegions = false;
    m_bCut = false;
    m_objectMask = {};
    m_wasObject = {};
    m_seedKinds = {};
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
    m_bRegions = m_contour.ComputeRegions();
    seconds_regions = seconds_since(phase);
    if (!m_bRegions) return false;
    const MyImage* image = m_contour.image;
    const std::size_t pixels = static_cast<std::size_t>(image->width) * static_cast<std::size_t>(image->height);
    try {
        m_seedKinds.assign(pixels, 0);
        m_objectMask.assign(pixels, 0);
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
    bool all = !c.result || levels != m_shownLevels;
    if (!c.result) {
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
    const int n = c.region_count();
    for (int r = 1; r <= n; ++r) {
        const bool object = c.marks[r] == 1;
        if (!all && object == (m_wasObject[static_cast<std::size_t>(r)] != 0)) continue;
        m_wasObject[static_cast<std::size_t>(r)] = object ? 1 : 0;
        paint_region(r, object);
        m_changedRegions.push_back(r);
    }
    if (all) m_changed = Box{0, 0, image->width, image->height};
    return true;
}

// Paints region r into the result and the object mask and widens the box
// of changed pixels around it.
void SegmentationSession::paint_region(int r, bool object) {
    Contour& c = m_contour;
    c.paint_region(r, object);
    const SeqList<CPoint>* pixels = c.regions.GetAt(r);
    const CPoint* p = pixels->data();
    const std::size_t width = static_cast<std::size_t>(c.image->width);
    Box& box = m_changed;
    for (int i = 0; i < pixels->GetCount(); ++i) {
        m_objectMask[static_cast<std::size_t>(p[i].y) * width + static_cast<std::size_t>(p[i].x)] = object ? 255 : 0;
        if (box.empty()) {
            box = Box{p[i].x, p[i].y, p[i].x + 1, p[i].y + 1};
        } else {
            box.x0 = std::min(box.x0, p[i].x);
            box.y0 = std::min(box.y0, p[i].y);
            box.x1 = std::max(box.x1, p[i].x + 1);
            box.y1 = std::max(box.y1, p[i].y + 1);
        }
    }
}
