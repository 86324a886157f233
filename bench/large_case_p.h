// The large segmentation cases shared by the benchmarks, made once in a
// scratch folder.
#pragma once

#include <kalvio/kalvio.h>
#include <varnex/seqlist.h>

#include <filesystem>
#include <string>
#include <vector>

namespace bench {

/// A picture, its region map and the seeds of a segmentation run.
struct SegmentCase {
    std::string picture, regions;
    std::vector<CPoint> object, background;
};

/// The scratch folder of the large cases, $TMPDIR/varnex-bench (created).
std::filesystem::path scratch_folder();

/// Adds the 'x y kind' seeds of `file` to `c`, each coordinate scaled by
/// `sx` and `sy` (kind 1 object, else background).
void read_seeds(const std::string& file, SegmentCase& c, double sx = 1.0, double sy = 1.0);

/// Writes the coffee sample enlarged bilinearly to `width` x `height` as a
/// 24-bit BMP at `file`, unless the file exists. O(width * height).
void write_enlarged_coffee(const std::string& file, int width, int height);

/// Paints region number `id` (1 to 2^24 - 1) at column `x`, row `y` of the
/// colour region map `map` as its 24-bit colour, low byte first.
void paint_region(CImage& map, int x, int y, int id);

/// The 4000 x 3000 colour picture (the coffee sample enlarged) with a region
/// map of jittered grid cells, about `regions` of them, and the coffee
/// strokes scaled to the new size. Files are made on the first call.
SegmentCase make_large_case(int regions);

/// The coffee sample enlarged to `width` x `height` with a Voronoi region
/// map of `sites` random sites (one colour per cell) and the coffee strokes
/// scaled to the new size. Files are made on the first call.
SegmentCase make_voronoi_case(int width, int height, int sites);

}  // namespace bench
