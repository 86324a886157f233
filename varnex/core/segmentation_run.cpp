// One segmentation run from the region map to the result picture.
#include <varnex/segmentation_run.h>

#include <chrono>
#include <memory>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

MyImage* make_region_map(CImage& picture, int region_size, int* regions) {
    std::unique_ptr<CImage> made(picture.MakeRegionMap(region_size, regions));
    if (!made) return nullptr;
    // The pixels move into the working image instead of being copied.
    auto* map = new MyImage;
    map->nrows = made->nrows;
    map->ncols = made->ncols;
    map->color = made->color;
    map->format = made->format;
    map->datatype = made->datatype;
    map->data = made->data;
    made->data = nullptr;
    map->SetWindow();
    return map;
}

SegmentationRun::SegmentationRun(Contour& contour, const std::string& regions_path) : m_contour(contour) {
    const auto phase = std::chrono::steady_clock::now();
    const bool loaded = contour.LoadRegionMap(regions_path);
    seconds_load = seconds_since(phase);
    if (loaded) run();
}

SegmentationRun::SegmentationRun(Contour& contour, MyImage* map, const std::string& label) : m_contour(contour) {
    if (contour.SetRegionMap(map, label)) run();
}

void SegmentationRun::run() {
    auto phase = std::chrono::steady_clock::now();
    m_bRegions = m_contour.ComputeRegions();
    seconds_regions = seconds_since(phase);
    if (!m_bRegions) return;
    phase = std::chrono::steady_clock::now();
    m_contour.BuildGraph();
    m_contour.LocalGraphCut();
    seconds_cut = seconds_since(phase);
}

SegmentationRun::~SegmentationRun() {
    m_contour.ReleaseRegions();
    m_contour.ReleaseRunData();
}
