// One segmentation run: the single entry point the application, the
// command line and the tests share.
#pragma once

#include <varnex/contour.h>

#include <string>

/// Runs the whole segmentation of a Contour's picture on construction, in
/// order: LoadRegionMap, ComputeRegions, BuildGraph, LocalGraphCut. While
/// the object lives the Contour keeps what the run left (`result`, `marks`,
/// the region tables), so the caller can take what it needs; the
/// destructor releases it all (ReleaseRegions, then ReleaseRunData).
/// Set the Contour's `parameter` and `result_levels` before.
class SegmentationRun {
public:
    SegmentationRun(Contour& contour, const std::string& regions_path);
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
    Contour& m_contour;
    bool m_bRegions = false;
};
