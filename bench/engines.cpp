// The engines behind bench::Engine (see engines.h).
#include "engines.h"

#include <varnex/graph.h>

#include <boost/graph/adjacency_list.hpp>
#include <boost/graph/compressed_sparse_row_graph.hpp>
#include <boost/graph/push_relabel_max_flow.hpp>
#include <lemon/preflow.h>
#include <lemon/smart_graph.h>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace bench {

namespace {

// Calls add(node, capacity, from_source) for every node whose terminal
// capacities do not cancel out; returns the flow passed straight through.
template <typename Add>
std::int64_t for_each_terminal(const Problem& p, Add add) {
    std::int64_t through = 0;
    const std::vector<int>& src = *p.source_cap;
    const std::vector<int>& snk = *p.sink_cap;
    for (int i = 0; i < p.nodes; ++i) {
        through += std::min(src[i], snk[i]);
        const int d = src[i] - snk[i];
        if (d > 0) add(i, d, true);
        else if (d < 0) add(i, -d, false);
    }
    return through;
}

// ------------------------------------------------------------------ ours

class OursEngine final : public Engine {
public:
    void build(const Problem& p) override {
        const std::vector<int>& from = *p.edge_from;
        const std::vector<int>& to = *p.edge_to;
        const std::vector<int>& src = *p.source_cap;
        const std::vector<int>& snk = *p.sink_cap;
        g.emplace(p.nodes, static_cast<int>(p.edges()));
        g->add_node(p.nodes);
        for (int i = 0; i < p.nodes; ++i)
            if (src[i] || snk[i]) g->add_terminal_caps(i, src[i], snk[i]);
        for (std::size_t e = 0; e < p.edges(); ++e) g->add_edge(from[e], to[e], p.edge_cap[e], p.edge_cap[e]);
    }
    std::int64_t solve() override { return g->maxflow(); }
    std::size_t arcs() const override { return static_cast<std::size_t>(g->arc_count()); }

private:
    std::optional<GraphInt> g;
};

// -------------------------------------------------- Boost, adjacency_list

using AdjTraits = boost::adjacency_list_traits<boost::vecS, boost::vecS, boost::directedS>;
using AdjGraph = boost::adjacency_list<
    boost::vecS, boost::vecS, boost::directedS, boost::no_property,
    boost::property<boost::edge_capacity_t, int,
                    boost::property<boost::edge_residual_capacity_t, int,
                                    boost::property<boost::edge_reverse_t, AdjTraits::edge_descriptor>>>>;

class BoostEngine final : public Engine {
public:
    void build(const Problem& p) override {
        const std::vector<int>& from = *p.edge_from;
        const std::vector<int>& to = *p.edge_to;
        g = std::make_unique<AdjGraph>(static_cast<std::size_t>(p.nodes) + 2);
        source = static_cast<std::size_t>(p.nodes);
        sink = source + 1;
        auto cap = boost::get(boost::edge_capacity, *g);
        auto rev = boost::get(boost::edge_reverse, *g);
        auto add_pair = [&](std::size_t u, std::size_t v, int c_uv, int c_vu) {
            const auto a = boost::add_edge(u, v, *g).first;
            const auto b = boost::add_edge(v, u, *g).first;
            cap[a] = c_uv;
            cap[b] = c_vu;
            rev[a] = b;
            rev[b] = a;
        };
        through = for_each_terminal(p, [&](int i, int c, bool from_source) {
            if (from_source) add_pair(source, static_cast<std::size_t>(i), c, 0);
            else add_pair(static_cast<std::size_t>(i), sink, c, 0);
        });
        for (std::size_t e = 0; e < p.edges(); ++e)
            add_pair(static_cast<std::size_t>(from[e]), static_cast<std::size_t>(to[e]), p.edge_cap[e], p.edge_cap[e]);
    }
    std::int64_t solve() override { return through + boost::push_relabel_max_flow(*g, source, sink); }
    std::size_t arcs() const override { return boost::num_edges(*g); }

private:
    std::unique_ptr<AdjGraph> g;
    std::size_t source = 0, sink = 0;
    std::int64_t through = 0;
};

// ----------------------------------------- Boost, compressed sparse rows

using CsrGraph = boost::compressed_sparse_row_graph<boost::directedS, boost::no_property, boost::no_property,
                                                    boost::no_property, std::uint32_t, std::uint32_t>;
using CsrEdge = boost::graph_traits<CsrGraph>::edge_descriptor;

class BoostCsrEngine final : public Engine {
public:
    void build(const Problem& p) override {
        const std::vector<int>& from = *p.edge_from;
        const std::vector<int>& to = *p.edge_to;
        const auto n = static_cast<std::uint32_t>(p.nodes) + 2;
        source = n - 2;
        sink = n - 1;
        // Arcs sorted by tail with a counting sort; each arc knows the
        // position of its reverse.
        std::vector<std::uint32_t> next(static_cast<std::size_t>(n) + 1, 0);
        std::size_t arc_num = 2 * p.edges();
        for (std::size_t e = 0; e < p.edges(); ++e) {
            ++next[from[e] + 1];
            ++next[to[e] + 1];
        }
        through = for_each_terminal(p, [&](int i, int, bool from_source) {
            ++next[(from_source ? source : sink) + 1];
            ++next[i + 1];
            arc_num += 2;
        });
        for (std::uint32_t v = 0; v < n; ++v) next[v + 1] += next[v];
        std::vector<std::pair<std::uint32_t, std::uint32_t>> ends(arc_num);
        cap.resize(arc_num);
        std::vector<std::uint32_t> reverse_pos(arc_num);
        auto add_pair = [&](std::uint32_t u, std::uint32_t v, int c_uv, int c_vu) {
            const std::uint32_t a = next[u]++, b = next[v]++;
            ends[a] = {u, v};
            ends[b] = {v, u};
            cap[a] = c_uv;
            cap[b] = c_vu;
            reverse_pos[a] = b;
            reverse_pos[b] = a;
        };
        for_each_terminal(p, [&](int i, int c, bool from_source) {
            if (from_source) add_pair(source, static_cast<std::uint32_t>(i), c, 0);
            else add_pair(static_cast<std::uint32_t>(i), sink, c, 0);
        });
        for (std::size_t e = 0; e < p.edges(); ++e)
            add_pair(static_cast<std::uint32_t>(from[e]), static_cast<std::uint32_t>(to[e]), p.edge_cap[e],
                     p.edge_cap[e]);
        g = std::make_unique<CsrGraph>(boost::edges_are_sorted, ends.begin(), ends.end(), n);
        residual.resize(arc_num);
        rev.resize(arc_num);
        for (std::size_t a = 0; a < arc_num; ++a) rev[a] = CsrEdge(ends[a].second, reverse_pos[a]);
    }
    std::int64_t solve() override {
        const auto index = boost::get(boost::edge_index, *g);
        return through + boost::push_relabel_max_flow(*g, source, sink,
                                                      boost::make_iterator_property_map(cap.begin(), index),
                                                      boost::make_iterator_property_map(residual.begin(), index),
                                                      boost::make_iterator_property_map(rev.begin(), index),
                                                      boost::get(boost::vertex_index, *g));
    }
    std::size_t arcs() const override { return boost::num_edges(*g); }

private:
    std::unique_ptr<CsrGraph> g;
    std::vector<int> cap, residual;
    std::vector<CsrEdge> rev;
    std::uint32_t source = 0, sink = 0;
    std::int64_t through = 0;
};

// ----------------------------------------------------- LEMON, SmartDigraph

class LemonEngine final : public Engine {
public:
    void build(const Problem& p) override {
        const std::vector<int>& from = *p.edge_from;
        const std::vector<int>& to = *p.edge_to;
        g = std::make_unique<lemon::SmartDigraph>();
        g->reserveNode(p.nodes + 2);
        g->reserveArc(static_cast<int>(2 * p.edges()) + p.nodes);
        for (int i = 0; i < p.nodes + 2; ++i) g->addNode();
        source = g->nodeFromId(p.nodes);
        sink = g->nodeFromId(p.nodes + 1);
        // Arcs first, then the capacity map filled in the same order (arc ids
        // are consecutive); arcs of capacity 0 are left out.
        through = for_each_terminal(p, [&](int i, int, bool from_source) {
            if (from_source) g->addArc(source, g->nodeFromId(i));
            else g->addArc(g->nodeFromId(i), sink);
        });
        for (std::size_t e = 0; e < p.edges(); ++e) {
            if (p.edge_cap[e] == 0) continue;
            g->addArc(g->nodeFromId(from[e]), g->nodeFromId(to[e]));
            g->addArc(g->nodeFromId(to[e]), g->nodeFromId(from[e]));
        }
        cap = std::make_unique<lemon::SmartDigraph::ArcMap<int>>(*g);
        int id = 0;
        for_each_terminal(p, [&](int, int c, bool) { (*cap)[g->arcFromId(id++)] = c; });
        for (std::size_t e = 0; e < p.edges(); ++e) {
            if (p.edge_cap[e] == 0) continue;
            (*cap)[g->arcFromId(id++)] = p.edge_cap[e];
            (*cap)[g->arcFromId(id++)] = p.edge_cap[e];
        }
    }
    std::int64_t solve() override {
        lemon::Preflow<lemon::SmartDigraph, lemon::SmartDigraph::ArcMap<int>> preflow(*g, *cap, source, sink);
        preflow.run();
        return through + preflow.flowValue();
    }
    std::size_t arcs() const override { return static_cast<std::size_t>(g->arcNum()); }

private:
    std::unique_ptr<lemon::SmartDigraph> g;
    std::unique_ptr<lemon::SmartDigraph::ArcMap<int>> cap;
    lemon::SmartDigraph::Node source, sink;
    std::int64_t through = 0;
};

}  // namespace

const char* engine_name(EngineKind kind) {
    switch (kind) {
    case EngineKind::Ours: return "ours";
    case EngineKind::Boost: return "boost";
    case EngineKind::BoostCsr: return "boost_csr";
    case EngineKind::Lemon: return "lemon";
    }
    return "?";
}

std::unique_ptr<Engine> make_engine(EngineKind kind) {
    switch (kind) {
    case EngineKind::Ours: return std::make_unique<OursEngine>();
    case EngineKind::Boost: return std::make_unique<BoostEngine>();
    case EngineKind::BoostCsr: return std::make_unique<BoostCsrEngine>();
    case EngineKind::Lemon: return std::make_unique<LemonEngine>();
    }
    return nullptr;
}

// ------------------------------------------------------------- OursProbe

struct OursProbe::Impl {
    std::optional<GraphInt> g;
};

OursProbe::OursProbe() : impl(std::make_unique<Impl>()) {}
OursProbe::~OursProbe() = default;

void OursProbe::construct(const Problem& p) { impl->g.emplace(p.nodes, static_cast<int>(p.edges())); }

void OursProbe::fill(const Problem& p) {
    GraphInt& g = *impl->g;
    const std::vector<int>& from = *p.edge_from;
    const std::vector<int>& to = *p.edge_to;
    const std::vector<int>& src = *p.source_cap;
    const std::vector<int>& snk = *p.sink_cap;
    g.add_node(p.nodes);
    for (int i = 0; i < p.nodes; ++i)
        if (src[i] || snk[i]) g.add_terminal_caps(i, src[i], snk[i]);
    for (std::size_t e = 0; e < p.edges(); ++e) g.add_edge(from[e], to[e], p.edge_cap[e], p.edge_cap[e]);
}

std::int64_t OursProbe::solve() { return impl->g->maxflow(); }

std::int64_t OursProbe::cut_value(const Problem& p, bool free_side_source) const {
    const GraphInt& g = *impl->g;
    const auto side_default = free_side_source ? GraphInt::SOURCE : GraphInt::SINK;
    std::vector<unsigned char> on_source(static_cast<std::size_t>(p.nodes));
    for (int i = 0; i < p.nodes; ++i) on_source[i] = g.segment_of(i, side_default) == GraphInt::SOURCE;
    std::int64_t cut = 0;
    for (int i = 0; i < p.nodes; ++i) cut += on_source[i] ? (*p.sink_cap)[i] : (*p.source_cap)[i];
    for (std::size_t e = 0; e < p.edges(); ++e)
        if (on_source[(*p.edge_from)[e]] != on_source[(*p.edge_to)[e]]) cut += p.edge_cap[e];
    return cut;
}

std::size_t OursProbe::node_record_bytes() { return sizeof(GraphInt::node); }
std::size_t OursProbe::arc_record_bytes() { return sizeof(GraphInt::arc); }

}  // namespace bench
