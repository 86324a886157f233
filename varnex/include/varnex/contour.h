// The segmentation object: seeds, the region map and its regions, and the
// localized graph cut that labels whole regions as object or background.
#pragma once

#include <varnex/graph.h>
#include <varnex/greytable.h>
#include <varnex/myimage.h>
#include <varnex/pixelblock.h>
#include <varnex/seqlist.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

class CDib;

/// One segmentation object per opened picture. A run is, in order:
/// parameter = ...; LoadRegionMap(path); ComputeRegions(); BuildGraph();
/// LocalGraphCut(); (take `result`); ReleaseRegions(); ReleaseRunData().
///
/// Regions are the 4-connected areas of one exact colour (or value) of the
/// region map, numbered 1..N in raster order of their first pixel. Region r
/// is region r of `regions`, `histograms`, `neighbours` and
/// `lower_neighbours` and entry r of `marks`.
class Contour {
public:
    /// The pixels of all regions in one block, region by region, each
    /// region's in the order the flood fill reached them: region r's are
    /// pixels(r)[0 .. size(r) - 1], each the pixel's row * width + column.
    ///
    /// A session that paints no result keeps no pixel lists (`index` is
    /// empty, listed() false): the sizes stay, and a region's pixels in
    /// fill order are filled again from `first` when needed.
    struct RegionPixels {
        varnex::PixelBlock<std::uint32_t> index;
        std::vector<std::uint32_t> start;  ///< region r: index[start[r - 1] .. start[r])
        std::vector<std::uint32_t> first;  ///< region r: first[r - 1], the pixel its fill started from
        int width = 0;
        int GetCount() const { return start.empty() ? 0 : static_cast<int>(start.size()) - 1; }
        bool IsEmpty() const { return GetCount() == 0; }
        bool listed() const { return !index.empty() || start.empty() || start.back() == 0; }
        const std::uint32_t* pixels(int r) const { return index.data() + start[static_cast<std::size_t>(r) - 1]; }
        std::size_t size(int r) const {
            return start[static_cast<std::size_t>(r)] - start[static_cast<std::size_t>(r) - 1];
        }
        int column(std::uint32_t pixel) const { return static_cast<int>(pixel % static_cast<std::uint32_t>(width)); }
        int row(std::uint32_t pixel) const { return static_cast<int>(pixel / static_cast<std::uint32_t>(width)); }
    };
    /// The histograms of all regions, their non-zero bins only: region r's
    /// are (bin[k], value[k]) for k in [start[r - 1], start[r]), bins
    /// ascending. Bins 1..256 count red (or grey), 257..512 green and
    /// 513..768 blue sample values, truncated (below 0 in the first bin of
    /// the channel, 256 and above in the last); a value is the share of the
    /// region's pixels in its bin.
    struct RegionHistograms {
        std::vector<std::uint32_t> start;
        std::vector<std::uint16_t> bin;
        std::vector<float> value;
        /// Bin k (1..768) of region r; 0 for an empty bin.
        float at(int r, int k) const;
    };
    /// A neighbour table in one block: region r's entries are
    /// region[start[r]] .. region[start[r + 1] - 1], the regions in the
    /// order the scan first met them touching r. `entry` (only in the
    /// table of the higher regions) is the lower-table entry each stands for.
    struct RegionTable {
        std::vector<int> start, region, entry;
        long long size(int r) const {
            return start[static_cast<std::size_t>(r) + 1] - start[static_cast<std::size_t>(r)];
        }
    };

    MyImage* image;                 ///< the document's picture; not owned
    /// The picture's samples as bytes, row after row in one block as
    /// `image->data` would hold them, in place of `image->data` (then null;
    /// `image` gives the size and colour only). Not owned. Only a session
    /// that paints nothing reads a picture this way; any other division
    /// into regions is refused.
    const std::uint8_t* picture_bytes = nullptr;
    float parameter;                ///< neighbour capacity scale; set before each run
    std::string path;               ///< region file of the last LoadRegionMap
    /// The region map as a float image, owned; null when it was read from a
    /// BMP file, whose bytes are divided into regions directly.
    MyImage* region_map;
    MyImage* result;                ///< result of the run; owned
    /// When it has a table: the display levels that object pixels of a grey
    /// picture whose samples are not bytes take in `result`, so the result
    /// looks like the picture as it is shown. Without one (and for byte
    /// pictures) object pixels keep their values. Not owned.
    varnex::GreyTable result_levels;
    float* mean0;                   ///< per region: mean red (or grey); entry r - 1 is region r
    float* mean2;                   ///< per region: mean blue
    float* mean1;                   ///< per region: mean green
    RegionHistograms histograms;    ///< per region: the non-zero bins of its histogram
    int* marks;                     ///< entries 1..N: 0 unlabelled, 1 object, -1 background, 2 band
    /// Bytes the region tables may take (a few hundred per region beyond
    /// its pixels); 0 for the machine's physical memory. A map with more
    /// regions than fit is refused by ComputeRegions.
    double region_memory_limit = 0.0;
    int map_cols;
    int map_rows;
    int** label_map;                ///< region number of every pixel [row][column]
    int** seed_map;                 ///< seed kind of every pixel during a run: 0, 1 or 2
    Graph<int, int, int>* graph;    ///< graph of the current iteration
    int dist_object;
    int dist_background;
    float weight;                   ///< last neighbour weight
    RegionTable lower_neighbours;   ///< per region: the regions numbered below it that it touches
    RegionTable neighbours;         ///< per region: every region it touches
    RegionPixels regions;           ///< per region: its pixels in fill order
    SeqList<int> background_regions;
    SeqList<int> object_regions;
    SeqList<CPoint> object_seeds;             ///< in painting order, duplicates allowed
    SeqList<CPoint> background_seeds;

    explicit Contour(MyImage* image);
    ~Contour();
    Contour(const Contour&) = delete;
    Contour& operator=(const Contour&) = delete;

    /// Adds a seed of kind 1 (object) or 2 (background) at column x, row y.
    /// False for a point outside the picture (or when memory runs out); true
    /// (nothing stored) for another kind.
    bool AddSeed(int x, int y, int kind);

    /// Reads the region map. False after a message when it cannot be read
    /// ("Can't open image %s \n(it might be a type problem)") or differs in
    /// size from the picture ("The region map %s does not have the size of
    /// the picture"); the later steps then do nothing. A BMP file is kept as
    /// its bytes (`region_map` stays null), other formats as a float image.
    bool LoadRegionMap(const std::string& path);
    /// Takes `map` (owned from now on) as the region map, as if read from
    /// a file: `label` names it in messages. False after LoadRegionMap's
    /// size message when it differs in size from the picture.
    bool SetRegionMap(MyImage* map, const std::string& label);
    /// Divides the region map into regions and computes their neighbour
    /// tables, histograms and mean colours. False when there is no usable
    /// region map, and after a message ("Not enough memory for N regions of
    /// the region map PATH") when the tables do not fit in memory; nothing
    /// of the run is kept then. O(pixels).
    bool ComputeRegions();
    /// Prepares the seed map of the run.
    void BuildGraph();
    /// Labels the regions by a sequence of minimum cuts growing outwards from
    /// the seeded regions and paints `result`: object regions in the
    /// picture's colours, everything else white. Does nothing without
    /// regions. When memory runs out, `result` stays null after a message
    /// ("Not enough memory for N regions of the region map PATH").
    void LocalGraphCut();
    /// Releases the region tables, histograms, means and marks.
    void ReleaseRegions();
    /// Releases `result`, the seed map and the neighbour tables.
    void ReleaseRunData();

    /// Sets dist_object and dist_background of region r: the distance of its
    /// mean colour to the nearest object and background region.
    void DistancesToLabelled(int r);
    /// Half the symmetric chi-square distance of the histograms of regions
    /// a and b, times 255.
    float HistogramDistance(int a, int b);

    /// What a session's last cut took for region r: the level it was
    /// labelled at (0 seeded, -1 never) and its distances to the object and
    /// to the background there. All -1 outside a session's cut.
    struct RingDistances {
        int level = -1, object = -1, background = -1;
        bool operator==(const RingDistances&) const = default;
    };
    RingDistances ring_distances_of(int r) const;

    /// Number of minimum cuts of the last LocalGraphCut.
    int cut_count() const { return m_nCuts; }
    /// Number of regions of the current run (0 between runs).
    int region_count() const { return regions.GetCount(); }
    /// The region of pixel (x, y) from the label map or, in a session that
    /// divided its map by runs and keeps no label map, from the runs; 0
    /// outside the map or when the map is not divided.
    int region_at(int x, int y) const;

private:
    friend class SegmentationSession;

    // A map divided by runs, kept in place of a label map: the runs of one
    // colour along each row, in scan order. Before the division `region`
    // holds each run's colour word, after it the run's region.
    struct RegionRuns {
        std::vector<std::uint32_t> start;      // first pixel of each run, then the number of pixels
        std::vector<std::uint32_t> region;     // of each run
        std::vector<std::uint32_t> row_first;  // the runs of row y: row_first[y] .. row_first[y + 1]
        bool empty() const { return row_first.empty(); }
        void clear() { *this = RegionRuns(); }
        // Appends the runs of a row of colour words whose first pixel is `row_start`.
        void add_row(std::uint32_t row_start, const std::uint32_t* words, std::size_t width);
        // The same from a row of blue, green, red bytes.
        void add_bgr_row(std::uint32_t row_start, const std::uint8_t* bgr, std::size_t width);
        // The run holding pixel `at`, which lies on row y.
        std::uint32_t run_at(std::size_t at, std::size_t y) const;
    };

    // The labelled regions of one side, bucketed by mean colour for
    // nearest-region searches: a coarse grid of 16 cells per axis over
    // 0..255 (values beyond fall in the border cells), each divided into
    // fine cells of 8 grey levels per axis for colour, or of 1 level along
    // the grey axis. The coarse cells count their members, the fine cells
    // list them.
    struct SideIndex {
        static constexpr int kCells = 16;
        static constexpr float kCellSize = 16.0f;
        struct Member {
            float m0, m1, m2;  // the region's means, kept beside it for the scans
            int region;
            int level = 0;     // the level it was labelled at
            int until = 2147483647;  // the last level it counts for
        };
        std::vector<std::vector<Member>> cells;  // fine cells
        std::vector<std::uint64_t> filled;       // one bit per fine cell: it has members
        std::vector<int> coarse_count;
        std::vector<int> occupied;       // the coarse cells with members
        std::vector<int> occupied_slot;  // per coarse cell: its place in `occupied`, or -1
        int count = 0;
        int mark = 0;  // the side's mark, for the labelled neighbours a search starts from

        void enter(int coarse) {
            if (coarse_count[static_cast<std::size_t>(coarse)]++ == 0) {
                occupied_slot[static_cast<std::size_t>(coarse)] = static_cast<int>(occupied.size());
                occupied.push_back(coarse);
            }
            ++count;
        }
        void leave(int coarse) {
            if (--coarse_count[static_cast<std::size_t>(coarse)] == 0) {
                const int slot = occupied_slot[static_cast<std::size_t>(coarse)];
                occupied[static_cast<std::size_t>(slot)] = occupied.back();
                occupied_slot[static_cast<std::size_t>(occupied.back())] = slot;
                occupied.pop_back();
                occupied_slot[static_cast<std::size_t>(coarse)] = -1;
            }
            --count;
        }
    };

    template <typename SameRegion>
    int fill_regions(SameRegion same);
    int label_regions();
    void start_region_tables();
    class RegionCloser;
    void count_pixels(const std::uint32_t* pixel, std::size_t count);
    void close_region(std::size_t size);
    static void close_counted(bool colour, std::size_t size, std::vector<std::uint32_t>& counts,
                              std::vector<std::uint16_t>& counted, float sum[3], RegionHistograms& to,
                              std::vector<float> means[3]);
    template <typename Visit>
    void visit_in_fill_order(int r, std::vector<std::uint32_t>& reached, std::vector<std::uint32_t>& active,
                             Visit&& visit);
    int label_by_runs();
    struct RunCounting;
    struct CountSink;
    void count_runs(CountSink& sink, int first, bool shared);
    void finish_run_counting();
    void abandon_run_counting() noexcept;
    std::uint8_t first_kind_in_fill_order(int r, const std::uint8_t* kinds, std::vector<std::uint32_t>& reached,
                                          std::vector<std::uint32_t>& active);
    void keep_region_means(int n);
    bool region_tables_fit(int n) const;
    void build_neighbour_tables(int n);
    void prepare_run_tables(int n);
    void build_upper_table(int n);
    int read_region_bitmap(const std::string& region_path);
    int read_region_words(CFile& file);
    int read_region_runs(CFile& file);
    bool has_labels() const { return label_map || m_bRegionRuns; }
    void drop_labels();
    int** labels_from_runs() const;
    void drop_region_words();
    bool colours_waiting() const;
    int region_map_width() const;
    int region_map_height() const;
    bool has_samples() const { return image && (image->data || picture_bytes); }
    float sample_at(std::size_t at, std::size_t channel) const;
    bool whole_interior_sum(double& sum) const;
    void measure_picture();
    void start_measuring();
    void finish_measuring() noexcept;
    void seed_regions(int n);
    void cut_rings(int n);
    void grow_band(const std::vector<int>& frontier, std::vector<int>& ring);
    void cut_fresh_rings(std::vector<int>& frontier);
    void cut_growing_rings(std::vector<int>& frontier);
    bool capacities_fit(int n) const;
    int add_ring_nodes(const std::vector<int>& ring);
    void label_grown_node(int k);
    int build_ring_graph(const std::vector<int>& nodes);
    void add_ring_node(int k, int r, long long to_source, long long to_sink);
    void add_ring_edges(int m);
    void prepare_ring_nodes(int n);
    void find_fixed_regions(int n);
    int seed_capacity(int r) const;
    void note_last_weight(int n);
    void paint_result(int n);
    void start_painting();
    void paint_region(int r, bool object);
    void set_mark(int r, int mark, int level = 0);
    void set_indexed_level(int r, int level);
    // What a nearest-region search looks at: with `below` >= 0 only regions
    // nearer than that; with `before` >= 0 only regions of the levels below
    // it; with `floor` >= 0 it may stop at that distance, no region being
    // nearer.
    struct SearchLimits {
        int below = -1;
        int before = -1;
        int floor = -1;
    };
    int nearest_distance(const SideIndex& side, int r, int* nearest, SearchLimits limits) const;
    int nearest_distance(const SideIndex& side, int r, int* nearest = nullptr) const {
        return nearest_distance(side, r, nearest, SearchLimits{});
    }
    void reset_index(SideIndex& side) const;
    void ring_distances(int r, int iteration);
    void start_memory(int n);
    void note_labelled(int r, int mark, int iteration);
    void forget_relabelled(int iteration);
    void reset_side_indexes();
    int fine_cell_of(int r) const;
    int neighbour_capacity(int a, int entry);
    int fill_capacity(int a, int entry);
    bool prepare_ring(int m);
    void store_ring_distances(int r, int iteration);
    void release_region_tables();
    void release_cut_tables();
    // A further cut over regions computed before: the session's path.
    // `seed_kinds` has one byte per pixel, zero when the regions were
    // computed; it keeps the kinds of the seeds of the last cut.
    bool cut_again(varnex::PixelBlock<std::uint8_t>& seed_kinds);
    void clear_marks(int n);
    void find_seeded_regions(int n, varnex::PixelBlock<std::uint8_t>& seed_kinds);
    void mark_seeded_regions();
    // A further cut made from the last one (replay.cpp).
    bool can_replay() const;
    void reset_joined_indexes();
    bool replay_cut(int n);
    int find_levels(int n);
    void cut_level(int level);
    bool replay_distances(int r, int level);
    bool keeps_its_side(int r, int level);
    template <typename Same>
    void ring_capacities(int r, int level, long long& to_source, long long& to_sink, Same&& same);
    int build_replay_graph(int level);
    void label_replayed(int r, int level, int mark);
    void note_joined(int r, int side, int from, int to);

    int m_nCuts;
    double m_dMean;          // picture statistics of the run
    double m_dVariance;
    bool m_bHasInterior;
    bool m_bMeasured = false;       // the picture statistics are those of `image`
    std::thread m_measuring;        // taking the picture statistics, until finish_measuring
    bool m_bPaintByIndex = false;   // paint_region may find pixels by their index
    std::unique_ptr<CDib> m_regionBitmap;  // the region map as read from a BMP file, in place of `region_map`
    bool m_bDropSourceWhenRead = false;    // the bitmap goes once its colours are in the label map
    bool m_bColoursInLabelMap = false;     // a BMP map's colours wait in `label_map`, one word a pixel
    RegionRuns m_runs;             // a BMP map's runs, in a session that keeps no pixel lists
    bool m_bColourRuns = false;    // m_runs holds the map's colours, waiting to be divided
    bool m_bRegionRuns = false;    // m_runs holds the regions, in place of a label map
    varnex::PixelBlock<std::uint64_t> m_reachedBits;  // pixels a fill over the runs has reached, one bit each
    std::vector<std::uint32_t> m_rowHint;  // per row: the run a fill over the runs found there last
    // While the regions are filled: the means so far, the pixel counts of
    // the bins of the region being filled and the bins it has counted.
    std::vector<float> m_regionMean[3];
    std::vector<std::uint32_t> m_binCount;
    std::vector<std::uint16_t> m_countedBins;
    float m_regionSum[3] = {0.0f, 0.0f, 0.0f};  // of the region being counted, in fill order
    bool m_bListPixels = true;  // keep every region's pixels in `regions.index`
    std::unique_ptr<RunCounting> m_runCounting;  // the runs being counted, between label_by_runs and finish_run_counting
    const float* m_pRegionSamples = nullptr;  // the picture's samples by pixel index, when its rows allow
    // A region costs this much beyond its pixels and histogram: neighbour
    // entries, marks, the cut loop's memory and its share of the graph.
    static constexpr double kBytesPerRegion = 400.0;
    bool m_bSession = false;        // cuts of a session: keep `graph` and what each cut found
    float m_fCapacityScale = 0.0f;  // the parameter behind m_lowerCapacity
    SideIndex m_objectSide;
    SideIndex m_backgroundSide;
    // The labelled regions of the levels below kEarlyLevels alone: a
    // further cut's searches for regions of those levels look only at
    // them, and most labelled regions are of later levels.
    static constexpr int kEarlyLevels = 12;
    SideIndex m_earlyObject;
    SideIndex m_earlyBackground;
    // A region's means and fine grid cell side by side: the searches read
    // them for regions scattered over the map, one cache line each.
    struct PackedMean {
        float m[3];
        int fine;
    };
    std::vector<PackedMean> m_packed;  // entry r - 1 for region r
    std::vector<int> m_colourOrder;    // the regions by fine cell, then by number
    void pack_means(int n);
    std::vector<int> m_sideCell;   // per region: its grid cell while labelled, else -1
    std::vector<int> m_sideSlot;   // per region: its place in that cell
    std::vector<int> m_earlyCell;  // the same in the index of the first levels
    std::vector<int> m_earlySlot;
    void enter_side(SideIndex& side, std::vector<int>& cell_of, std::vector<int>& slot_of, int r, int level);
    void leave_side(SideIndex& side, std::vector<int>& cell_of, std::vector<int>& slot_of, int r);
    RegionTable m_upper;                // per region b: the higher regions whose lower entries hold b
    std::vector<int> m_lowerCapacity;   // per lower entry; -1 unknown
    std::vector<float> m_lowerWeight;   // the weight behind each known capacity
    std::vector<std::uint8_t> m_fixed;             // per region: its label, once given, never changes
    // What one cut of a session found, per region: the iteration whose
    // ring held it (0 none), the iteration after whose cut it was labelled
    // (0 seeded, -1 never), and per side (object, background) the distance
    // the search gave and a region at that distance (0 none).
    struct RegionMemory {
        int ring = 0, labelled = -1, mark = 0;
        int distance[2] = {0, 0}, nearest[2] = {0, 0};
    };
    struct CutMemory {
        std::vector<RegionMemory> region;  // entry r for region r
        bool all_fixed = false;
        bool valid = false;
    };
    CutMemory m_thisCut;
    CutMemory m_lastCut;
    std::vector<CPoint> m_appliedSeeds[2];    // object and background seeds in a session's seed byte map
    std::vector<std::uint8_t> m_seededKind;    // per region: the kind of its first seeded pixel (0 none), and the kinds put on it
    std::vector<SideIndex::Member> m_relabelled[2];  // per side: labelled now, not yet at this point of the last cut

    // Per side (object, background): the regions that joined its labelled
    // regions since the last cut, each counting for the levels after the
    // one it was labelled at until `until`: by fine cell for searches, and
    // again by coarse cell, to scan a cell whole when that is shorter.
    struct JoinedIndex {
        SideIndex index;
        std::vector<std::vector<SideIndex::Member>> coarse;
        // Per fine cell: how many fine cells lie between it and the
        // nearest cell with a member (capped), so that a region far from
        // every member is passed over without a scan.
        std::vector<std::uint8_t> reach;
        std::vector<int> wave;     // cells whose reach just fell
        std::vector<int> lowered;  // cells whose reach fell since it was reset
    };
    void note_reach(JoinedIndex& joined, int cell);
    JoinedIndex m_joined[2];
    bool nearest_joined(int side, int r, int level, RegionMemory& memory, bool or_equal);
    std::vector<int> m_level;          // per region: its level in the cut being made (0 seeded, -1 never reached)
    std::vector<int> m_levelStart;     // regions of level k: m_levelRegions[m_levelStart[k] .. m_levelStart[k + 1])
    std::vector<int> m_levelRegions;
    std::vector<std::uint8_t> m_dirty;  // per region: to cut again (1), its level or mark changed (2)
    std::vector<int> m_localPosition;   // per region: its node in the graph being built, 0 none
    std::vector<int> m_localRegion;     // per node: its region
    std::vector<int> m_localOwn;        // per node: its own source minus sink capacity, merged edges left out
    std::vector<int> m_recut;           // regions of the level whose labels are cut again
};
