// The segmentation session, the one entry point the application and the
// command line share, and the plain one-cut run it is checked against.
#pragma once

#include <varnex/contour.h>

#include <cstdint>
#include <string>
#include <vector>

/// A region map of `picture` made by the library (CImage::MakeRegionMap),
/// as a working image; null when it cannot be made (no pixels, a region
/// size below 1, lack of memory). *regions receives the number of regions.
MyImage* make_region_map(CImage& picture, int region_size, int* regions);

/// A segmentation session of one Contour: its picture and one region map,
/// cut as often as the seeds change. The first cut after a map was set
/// divides it into regions (neighbour tables, histograms, means); later
/// cuts keep all of that and redo only the cut loop, then repaint only the
/// regions whose side changed. Every cut labels the regions exactly as a
/// fresh run (SegmentationRun) with the Contour's seed lists as they are
/// at the cut.
///
/// Each cut reads the Contour's `parameter`, `result_levels` and seed
/// lists; it leaves the result in `result` and the region marks in
/// `marks`, which stay valid until the next cut or the session ends. The
/// destructor releases everything the Contour holds for it (regions,
/// tables, result), as ReleaseRegions and ReleaseRunData do.
class SegmentationSession {
public:
    /// With `paint_result` false the cuts leave no `result` picture and no
    /// object mask, only the marks, for callers that only write the result
    /// (WriteResult): a float picture of the result is the largest block of
    /// a run. changed() is then empty.
    explicit SegmentationSession(Contour& contour, bool paint_result = true);
    ~SegmentationSession();
    SegmentationSession(const SegmentationSession&) = delete;
    SegmentationSession& operator=(const SegmentationSession&) = delete;

    /// Reads the region map file at `path` for the following cuts, in place
    /// of any earlier map. False after the Contour's message when it cannot
    /// be read or differs in size from the picture; no map is set then.
    bool LoadRegionMap(const std::string& path);
    /// The same with a map in memory (owned by the Contour from now on;
    /// `label` names it in messages).
    bool SetRegionMap(MyImage* map, const std::string& label);
    /// True when a region map is set.
    bool has_map() const { return m_bMap; }

    /// Cuts with every seed of the Contour's seed lists. True when `result`
    /// holds the object of this cut; false after a message when the map's
    /// regions do not fit in memory (or without a map).
    bool Cut();

    /// True when the last cut produced a result.
    bool ok() const { return m_bCut && (m_contour.result != nullptr || !m_bPaint); }
    /// Writes the object of the last cut in the picture's colours (a grey
    /// picture's through the Contour's `result_levels`, as `result` shows
    /// it) on white to `file` as a 24-bit BMP, the same file as `result`
    /// makes; the file is replaced only when complete. False after a
    /// message when there is no cut or the file cannot be written.
    bool WriteResult(const std::string& file) const;
    /// True when the region map is divided into regions.
    bool has_regions() const { return m_bRegions; }

    /// The object of the last cut, one byte per pixel row by row: 255 for
    /// object pixels, 0 for the others. Null before the first cut.
    const std::uint8_t* object_mask() const { return m_objectMask.empty() ? nullptr : m_objectMask.data(); }

    /// Pixels [x0, x1) x [y0, y1) hold every pixel whose side changed at the
    /// last cut (the whole picture after the first cut of a map, or when the
    /// result's grey levels changed); empty when nothing changed.
    struct Box {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        bool empty() const { return x1 <= x0 || y1 <= y0; }
    };
    Box changed() const { return m_changed; }
    /// The regions repainted at the last cut (every region after a whole
    /// repaint); their pixels are the Contour's `regions` lists.
    const std::vector<int>& changed_regions() const { return m_changedRegions; }

    /// Wall time in seconds of reading the region map, of dividing it into
    /// regions (0 when the cut reused them) and of the last cut with its
    /// result update.
    double seconds_load = 0.0;
    double seconds_regions = 0.0;
    double seconds_cut = 0.0;

private:
    void forget_regions();
    bool compute_regions();
    bool update_result();
    void paint_region(int r, bool object, bool widen_box);

    Contour& m_contour;
    bool m_bMap = false;
    bool m_bRegions = false;
    bool m_bCut = false;
    bool m_bPaint = true;   // cuts paint `result`
    bool m_bShown = false;  // the mask (and result) show a cut of this map
    std::vector<std::uint8_t> m_objectMask;
    std::vector<std::uint8_t> m_wasObject;  // per region: object at the last cut
    varnex::PixelBlock<std::uint8_t> m_seedKinds;  // per pixel: the kind of the seeds the last cut applied
    std::vector<int> m_shownLevels;         // the grey levels the result was painted with
    Box m_changed;
    std::vector<int> m_changedRegions;
};

/// One segmentation run on construction, by the Contour's own steps in
/// order: LoadRegionMap, ComputeRegions, BuildGraph, LocalGraphCut. While
/// the object lives the Contour keeps what the run left (`result`, `marks`,
/// the region tables), so the caller can take what it needs; the
/// destructor releases it all (ReleaseRegions, then ReleaseRunData).
/// Set the Contour's `parameter` and `result_levels` before. A session
/// gives the same labels; this is the fresh run it is checked against.
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
