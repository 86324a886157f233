// The three max-flow engines behind one small interface: our Graph, the Boost
// Graph Library's push-relabel (on an adjacency_list and on a compressed
// sparse row graph) and LEMON's Preflow (on a SmartDigraph).
//
// Every engine gets the same graph. Terminal capacities are given to the
// peers the way our engine stores them: the part min(source, sink) that a
// node passes straight through is counted as flow at once, only the
// difference becomes an arc from the source or to the sink, so all engines
// report the same total.
#pragma once

#include "problems.h"

#include <cstdint>
#include <memory>
#include <string>

namespace bench {

enum class EngineKind { Ours, Boost, BoostCsr, Lemon };
inline constexpr EngineKind kAllEngines[] = {EngineKind::Ours, EngineKind::Boost, EngineKind::BoostCsr,
                                             EngineKind::Lemon};

const char* engine_name(EngineKind kind);

class Engine {
public:
    virtual ~Engine() = default;
    /// Builds the engine's graph with all capacities.
    virtual void build(const Problem& p) = 0;
    /// Maximum flow of the built graph (including the flow passed straight
    /// through terminal capacities); callable once.
    virtual std::int64_t solve() = 0;
    /// Arcs the engine stores (neighbour and terminal arcs).
    virtual std::size_t arcs() const = 0;
};

std::unique_ptr<Engine> make_engine(EngineKind kind);

/// Our engine with its construction split in two, for the allocation checks:
/// the constructor (which allocates the two arrays) and the filling.
class OursProbe {
public:
    OursProbe();
    ~OursProbe();
    void construct(const Problem& p);
    void fill(const Problem& p);
    std::int64_t solve();
    /// Capacity of the cut between the nodes of the source tree and all
    /// others (free_side_source false), or between the source tree plus the
    /// free nodes and the sink tree (true), counted in 64 bits from the
    /// problem's capacities.
    std::int64_t cut_value(const Problem& p, bool free_side_source) const;
    static std::size_t node_record_bytes();
    static std::size_t arc_record_bytes();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace bench
