// A plain, slow second implementation of the localized graph cut, written
// step by step after the description of the algorithm: linear searches,
// std::vector tables, a new graph for every cut. The tests compare Contour
// with it pixel for pixel.
#pragma once

#include <kalvio/image.h>

#include <utility>
#include <vector>

namespace reference {

struct Seed {
    int x;  // column
    int y;  // row
};

struct Segmentation {
    bool ok = false;  // false: the region map is missing or differs in size
    int regions = 0;
    int cuts = 0;
    // Entry r (1..regions): 0 unlabelled, 1 object, -1 background; entry 0 unused.
    std::vector<int> marks;
    // List r - 1 of each table: r, then the regions r's interior pixels touch.
    std::vector<std::vector<int>> lower_neighbours;
    std::vector<std::vector<int>> neighbours;
    // Region r's histogram (769 floats) and mean red/grey, green, blue.
    std::vector<std::vector<float>> histograms;
    std::vector<float> mean0, mean1, mean2;
    // rows x cols x 3 result values, row by row.
    std::vector<float> result;
    // The weight of the last neighbour pair of the last cut (1 without any).
    float last_weight = 1.0f;
    // After the run: the histogram distance of every pair of the lower
    // neighbour table, in table order, and (dist_object, dist_background)
    // of every region against the final marks.
    std::vector<float> pair_distances;
    std::vector<std::pair<int, int>> distances;
};

/// Divides `region_map` into regions, labels them by the sequence of cuts
/// that grows from the seeded regions, and paints the result.
Segmentation segment(const CImage& picture, const CImage& region_map, const std::vector<Seed>& object_seeds,
                     const std::vector<Seed>& background_seeds, float parameter);

}  // namespace reference
