// Helpers of the segmentation core tests: region maps drawn as text, pictures
// filled from lists, and one complete run of Contour.
#pragma once

#include <varnex/contour.h>
#include <varnex/segmentation_run.h>

#include "reference_segmentation.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace core_test {

using Seeds = std::vector<reference::Seed>;

/// A distinct colour for every character of a drawn region map.
inline void colour_of(char c, float out[3]) {
    const int v = static_cast<unsigned char>(c);
    out[0] = static_cast<float>(v);
    out[1] = static_cast<float>(255 - v);
    out[2] = static_cast<float>((v * 7) % 256);
}

/// Writes a region map as a binary PPM: one character per pixel, one row per
/// string; equal characters are equal colours. Written straight to the file,
/// quick enough for hundreds of random maps.
inline void write_map(const std::string& path, const std::vector<std::string>& rows) {
    std::string bytes = "P6\n" + std::to_string(rows[0].size()) + " " + std::to_string(rows.size()) + "\n255\n";
    for (const std::string& row : rows)
        for (char c : row) {
            float colour[3];
            colour_of(c, colour);
            for (float v : colour) bytes += static_cast<char>(static_cast<unsigned char>(v));
        }
    std::ofstream(path, std::ios::binary) << bytes;
}

/// A grey picture (color 0) with `values` row by row, repeated as often as
/// needed ({v}: constant; one row of values: every row alike).
inline MyImage grey_picture(int rows, int cols, const std::vector<float>& values) {
    MyImage picture(rows, cols, 0, KALVIO_FORMAT_PGM, KALVIO_TYPE_UINT8);
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < cols; ++x)
            picture.data[y][x] = values[static_cast<std::size_t>(y * cols + x) % values.size()];
    return picture;
}

/// What a run leaves, in the reference's terms.
using Outcome = reference::Segmentation;

/// Region r's entries of a neighbour table, after r itself as the
/// reference lists them.
inline std::vector<int> list_of(const Contour::RegionTable& table, int r) {
    std::vector<int> out{r};
    for (int e = table.start[static_cast<std::size_t>(r)]; e < table.start[static_cast<std::size_t>(r) + 1]; ++e)
        out.push_back(table.region[static_cast<std::size_t>(e)]);
    return out;
}

/// Region r's histogram as the reference keeps it: r, then 768 bins.
inline std::vector<float> histogram_of(const Contour& contour, int r) {
    std::vector<float> out(769, 0.0f);
    out[0] = static_cast<float>(r);
    for (int k = 1; k <= 768; ++k) out[static_cast<std::size_t>(k)] = contour.histograms.at(r, k);
    return out;
}

/// One segmentation run on `contour` (seeds already added): what it left
/// before its data was released.
inline Outcome run_contour(Contour& contour, const std::string& map_path, float parameter) {
    Outcome out;
    contour.parameter = parameter;
    const SegmentationRun run(contour, map_path);
    out.ok = run.has_regions();
    out.regions = contour.region_count();
    out.cuts = contour.cut_count();
    if (out.ok) {
        out.marks.assign(contour.marks, contour.marks + out.regions + 1);
        out.marks[0] = 0;
        for (int r = 1; r <= out.regions; ++r) {
            out.lower_neighbours.push_back(list_of(contour.lower_neighbours, r));
            out.neighbours.push_back(list_of(contour.neighbours, r));
        }
        out.mean0.assign(contour.mean0, contour.mean0 + out.regions);
        out.mean1.assign(contour.mean1, contour.mean1 + out.regions);
        out.mean2.assign(contour.mean2, contour.mean2 + out.regions);
        for (int r = 1; r <= out.regions; ++r) out.histograms.push_back(histogram_of(contour, r));
        out.last_weight = contour.weight;
        // The two distance measures, asked once more after the run.
        for (int r = 1; r <= out.regions; ++r) {
            const std::vector<int>& lower = out.lower_neighbours[static_cast<std::size_t>(r) - 1];
            for (std::size_t e = 1; e < lower.size(); ++e)
                out.pair_distances.push_back(contour.HistogramDistance(r, lower[e]));
            contour.DistancesToLabelled(r);
            out.distances.emplace_back(contour.dist_object, contour.dist_background);
        }
    }
    if (contour.result)
        for (int y = 0; y < contour.result->nrows; ++y)
            out.result.insert(out.result.end(), contour.result->data[y], contour.result->data[y] + 3 * contour.result->ncols);
    return out;
}

/// A fresh Contour on `picture` with the given seeds, run once.
inline Outcome run_contour(MyImage& picture, const std::string& map_path, const Seeds& object, const Seeds& background,
                           float parameter) {
    Contour contour(&picture);
    for (const auto& s : object) contour.AddSeed(s.x, s.y, 1);
    for (const auto& s : background) contour.AddSeed(s.x, s.y, 2);
    return run_contour(contour, map_path, parameter);
}

/// The reference on the same input. Seeds outside the picture are dropped,
/// as AddSeed refuses them.
inline Outcome run_reference(const MyImage& picture, const std::string& map_path, const Seeds& object,
                             const Seeds& background, float parameter) {
    CImage map;
    map.ReadImage(map_path.c_str());
    auto inside = [&](const Seeds& seeds) {
        Seeds kept;
        for (const auto& s : seeds)
            if (s.x >= 0 && s.x < picture.width && s.y >= 0 && s.y < picture.height) kept.push_back(s);
        return kept;
    };
    return reference::segment(picture, map, inside(object), inside(background), parameter);
}

/// Everything both runs leave must agree; a mismatch names the first
/// differing region or pixel.
inline void expect_same(const Outcome& fast, const Outcome& ref, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(fast.ok, ref.ok);
    ASSERT_EQ(fast.regions, ref.regions);
    EXPECT_EQ(fast.cuts, ref.cuts);
    EXPECT_EQ(fast.neighbours, ref.neighbours);
    EXPECT_EQ(fast.lower_neighbours, ref.lower_neighbours);
    EXPECT_EQ(fast.mean0, ref.mean0);
    EXPECT_EQ(fast.mean1, ref.mean1);
    EXPECT_EQ(fast.mean2, ref.mean2);
    EXPECT_EQ(fast.histograms, ref.histograms);
    EXPECT_EQ(fast.last_weight, ref.last_weight);
    EXPECT_EQ(fast.pair_distances, ref.pair_distances);
    EXPECT_EQ(fast.distances, ref.distances);
    ASSERT_EQ(fast.marks.size(), ref.marks.size());
    for (std::size_t r = 1; r < fast.marks.size(); ++r)
        if (fast.marks[r] != ref.marks[r]) {
            ADD_FAILURE() << "region " << r << ": fast " << fast.marks[r] << ", reference " << ref.marks[r];
            break;
        }
    ASSERT_EQ(fast.result.size(), ref.result.size());
    for (std::size_t i = 0; i < fast.result.size(); ++i)
        if (fast.result[i] != ref.result[i]) {
            ADD_FAILURE() << "result value " << i << ": fast " << fast.result[i] << ", reference " << ref.result[i];
            break;
        }
}

}  // namespace core_test
