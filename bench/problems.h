// The benchmark graphs: pixel grids built from a sample picture and region
// adjacency graphs of Voronoi-like regions. Each is generated once, without
// capacities scaled yet (BaseProblem), and turned into integer capacities for
// one neighbour strength (Problem).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

/// Terminal capacity of a hard seed.
constexpr int kSeedCap = 1000000;
/// Neighbour capacity of two identical neighbours at strength x1.
constexpr int kNeighbourCap = 50;

struct BaseProblem {
    std::string name;
    int nodes = 0;
    std::vector<int> edge_from, edge_to;  ///< one entry per undirected neighbour edge
    std::vector<float> edge_weight;       ///< >= 0; capacity = round(strength * 50 * weight)
    std::vector<int> source_cap, sink_cap;  ///< raw terminal capacities per node (both may be > 0)
    int seeds_object = 0, seeds_background = 0;
};

/// A graph ready for the engines. Neighbour edges are symmetric: the same
/// capacity in both directions.
struct Problem {
    std::string name;
    int strength = 1;
    int nodes = 0;
    const std::vector<int>* edge_from = nullptr;
    const std::vector<int>* edge_to = nullptr;
    std::vector<int> edge_cap;
    const std::vector<int>* source_cap = nullptr;
    const std::vector<int>* sink_cap = nullptr;
    std::size_t edges() const { return edge_cap.size(); }
};

Problem scale(const BaseProblem& base, int strength);

/// Pixel grid from the picture `ppm_or_pgm` scaled (bilinear) to width x
/// height, 4- or 8-connected, with the object/background models and the hard
/// seeds taken from `seeds_txt` (lines "x y kind", 1 object, 2 background).
BaseProblem make_grid(const std::string& name, const std::string& ppm_or_pgm, const std::string& seeds_txt,
                      int width, int height, int connectivity);

/// Region adjacency graph of about `regions` Voronoi-like regions of a
/// random label map, with histogram-like region features.
BaseProblem make_rag(const std::string& name, int regions, std::uint32_t seed);

/// Directory of the sample pictures (compiled in, overridable by the
/// environment variable KALVIO_EXAMPLES).
std::string examples_dir();

}  // namespace bench
