// One segmentation run from the region map to the result picture.
#include <varnex/segmentation_run.h>

#include <chrono>

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

SegmentationRun::SegmentationRun(Contour& contour, const std::string& regions_path) : m_contour(contour) {
    auto phase = std::chrono::steady_clock::now();
    const bool loaded = contour.LoadRegionMap(regions_path);
    seconds_load = seconds_since(phase);
    if (!loaded) return;
    phase = std::chrono::steady_clock::now();
    m_bRegions = contour.ComputeRegions();
    seconds_regions = seconds_since(phase);
    if (!m_bRegions) return;
    phase = std::chrono::steady_clock::now();
    contour.BuildGraph();
    contour.LocalGraphCut();
    seconds_cut = seconds_since(phase);
}

SegmentationRun::~SegmentationRun() {
    m_contour.ReleaseRegions();
    m_contour.ReleaseRunData();
}
