// One segmentation run: the single entry point the application, the
// command line and the tests share.
#pragma once

#include <varnex/contour.h>

#include <string>

/// A region map of `picture` made by the library (CImage::MakeRegionMap),
/// as a working image; null when it cannot be made (no pixels, a region
/// size below 1, lack of memory). *regions receives the number of regions.
MyImage* make_region_map(CImage& picture, int region_size, int* regions);

/// Runs the whole segmentation of a Contour's picture on construction, in
/// order: LoadRegionMap, ComputeRegions, BuildGraph, LocalGraphCut. While
/// the object lives the Contour keeps what the run left (`result`, `marks`,
/// the region tables), so the caller can take what it needs; the
/// destructor releases it all (ReleaseRegions, then ReleaseRunData).
/// Set the Contour's `parameter` and `result_levels` before.
class SegmentationRun {
public:
    SegmentationRun(Contour& contour, const std::string& regions_path);
    /// The same run over a region map already in memory (`map`, owned by
    /// the Contour from now on; `label` names it in messages).
    SegmentationRun(Contour& contour, MyImage* map, const std::string& label);
    ~SegmentationRun();
    SegmentationRun(const SegmentationRun&) = delete;
    SegmentationRun& operator=(const SegmentationRun&) = delete;

    /// True when the run produced a result. False after the Contour's
    /// message when the region map could not be read, does not fit the
    /// picture, or its regions do not fit in memory.
    bool ok() const { return m_contour.result != nullptr; }
    /// True when the region map was read and divided into regions.
    bool has_regions() const { return m_bRegions; }

    /// Wall time of the phases, in seconds: reading the region map,
    /// dividing it into regions, and the cuts with the result picture.
    double seconds_load = 0.0;
    double seconds_regions = 0.0;
    double seconds_cut = 0.0;

private:
    void run();

    Contour& m_contour;
    bool m_bRegions = false;
};
