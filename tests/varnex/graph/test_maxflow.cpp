// Maximum flow: worked examples, then randomised cross-checks of the four
// instantiations against a plain solver, for fresh and tree-reusing calls.
#include <varnex/graph.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace {

using G = GraphInt;

// One worked example of a fresh call and one of a call reusing the trees;
// the randomised checks below cover the rest. Node 0 with source 10, node 1
// with sink 10, an edge 0->1 of capacity 4.
TEST(MaxflowExamples, TwoNodesFreshAndReused) {
    auto g = std::make_unique<G>(2, 1);
    g->add_node(2);
    g->add_terminal_caps(0, 10, 0);
    g->add_terminal_caps(1, 0, 10);
    g->add_edge(0, 1, 4, 0);
    EXPECT_EQ(g->maxflow(), 4);
    EXPECT_EQ(g->segment_of(0, G::SINK), G::SOURCE);
    EXPECT_EQ(g->segment_of(1, G::SOURCE), G::SINK);
    EXPECT_EQ(g->terminal_cap(0), 6);
    EXPECT_EQ(g->terminal_cap(1), -6);
    EXPECT_EQ(g->residual_cap(g->first_arc()), 0);
    EXPECT_EQ(g->residual_cap(g->next_arc(g->first_arc())), 4);
    EXPECT_EQ(g->maxflow(), 4);  // nothing left to augment

    g->set_residual_cap(g->first_arc(), 3);
    g->mark_node(0);
    g->mark_node(1);
    EXPECT_EQ(g->maxflow(true), 7);
    EXPECT_EQ(g->terminal_cap(0), 3);
    EXPECT_EQ(g->terminal_cap(1), -3);
    g->check_consistency();
}

// ------------------------------------------------------ randomised checks

enum Side { kSource, kSink, kFree };

// The network as built, with every later change applied to its original
// capacities; arcs 2k and 2k+1 form edge k, as in the graph.
struct Network {
    std::vector<long long> source, sink, arc_cap;
    std::vector<int> tail, head;
};

// Shortest augmenting paths on a dense matrix; terminals are n and n+1.
long long reference_flow(const Network& net) {
    const int n = static_cast<int>(net.source.size()), s = n, t = n + 1, size = n + 2;
    std::vector<long long> r(static_cast<std::size_t>(size * size), 0);
    auto at = [&](int u, int v) -> long long& { return r[static_cast<std::size_t>(u * size + v)]; };
    for (int i = 0; i < n; ++i) at(s, i) += net.source[i], at(i, t) += net.sink[i];
    for (std::size_t k = 0; k < net.arc_cap.size(); ++k) at(net.tail[k], net.head[k]) += net.arc_cap[k];
    for (long long total = 0;;) {
        std::vector<int> prev(static_cast<std::size_t>(size), -1), queue{s};
        for (std::size_t q = 0; q < queue.size() && prev[t] < 0; ++q)
            for (int v = 0; v < size; ++v)
                if (prev[v] < 0 && v != s && at(queue[q], v) > 0) prev[v] = queue[q], queue.push_back(v);
        if (prev[t] < 0) return total;
        long long b = LLONG_MAX;
        for (int v = t; v != s; v = prev[v]) b = std::min(b, at(prev[v], v));
        for (int v = t; v != s; v = prev[v]) at(prev[v], v) -= b, at(v, prev[v]) += b;
        total += b;
    }
}

template <typename Gr>
Side side_of(const Gr& g, int i) {
    const auto a = g.segment_of(i, Gr::SOURCE), b = g.segment_of(i, Gr::SINK);
    return a != b ? kFree : a == Gr::SOURCE ? kSource : kSink;
}

std::vector<bool> reach(std::vector<int> stack, const std::vector<std::vector<int>>& next) {
    std::vector<bool> seen(next.size(), false);
    for (int i : stack) seen[i] = true;
    while (!stack.empty()) {
        const int i = stack.back();
        stack.pop_back();
        for (int j : next[i])
            if (!seen[j]) seen[j] = true, stack.push_back(j);
    }
    return seen;
}

// The graph's residuals hold a flow of the network of the reference value,
// and its trees are exactly the nodes reachable from the source and those
// reaching the sink through them.
template <typename Gr>
void verify(Gr& g, const Network& net) {
    g.check_consistency();
    const int n = g.node_count();
    ASSERT_EQ(static_cast<long long>(g.flow_value()), reference_flow(net));
    std::vector<long long> residual, outflow(static_cast<std::size_t>(n), 0);
    std::vector<std::vector<int>> forward(n), backward(n);
    typename Gr::arc_id a = g.first_arc();
    for (int k = 0; k < g.arc_count(); ++k, a = g.next_arc(a)) {
        int i = 0, j = 0;
        g.arc_ends(a, i, j);
        ASSERT_TRUE(i == net.tail[k] && j == net.head[k]) << "arc " << k;
        residual.push_back(static_cast<long long>(g.residual_cap(a)));
        ASSERT_GE(residual[k], 0) << "arc " << k;
        outflow[i] += net.arc_cap[k] - residual[k];
        if (residual[k] > 0) forward[i].push_back(j), backward[j].push_back(i);
        if (k % 2) {
            ASSERT_EQ(residual[k] + residual[k - 1], net.arc_cap[k] + net.arc_cap[k - 1]) << "arc " << k;
        }
    }
    long long sent = 0;
    std::vector<int> source_seeds, sink_seeds;
    for (int i = 0; i < n; ++i) {
        const long long tr = static_cast<long long>(g.terminal_cap(i));
        const long long in = net.source[i] - std::max(tr, 0LL), out = net.sink[i] - std::max(-tr, 0LL);
        ASSERT_TRUE(in >= 0 && out >= 0 && in - out == outflow[i]) << "conservation at node " << i;
        sent += in;
        if (tr != 0) (tr > 0 ? source_seeds : sink_seeds).push_back(i);
    }
    ASSERT_EQ(sent, static_cast<long long>(g.flow_value()));
    const std::vector<bool> from_source = reach(source_seeds, forward), to_sink = reach(sink_seeds, backward);
    for (int i = 0; i < n; ++i) {
        ASSERT_FALSE(from_source[i] && to_sink[i]) << "augmenting path through node " << i;
        ASSERT_EQ(side_of(g, i), from_source[i] ? kSource : to_sink[i] ? kSink : kFree) << "node " << i;
    }
}

template <typename Gr>
struct Caps;
template <typename C, typename T, typename F>
struct Caps<Graph<C, T, F>> {
    using arc = C;
    using terminal = T;
};

// A random graph (small hints, so its arrays grow) and its network, changed
// in step; every change marks the nodes it touches.
template <typename Gr>
struct RandomCase {
    std::mt19937 rng;
    Network net;
    std::unique_ptr<Gr> g;

    explicit RandomCase(unsigned seed) : rng(seed) {
        const int n = pick(2, 30);
        g = std::make_unique<Gr>(pick(0, n), pick(0, 2 * n));
        add_nodes(n, 0);
        for (int m = pick(0, 3 * n); m > 0; --m) add_random_edge(0);
    }
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    int capacity(int hi) { return pick(0, 3) == 0 ? 0 : pick(1, hi); }

    void add_nodes(int count, int terminal_odds) {  // some only source, some only sink
        const int first = g->node_count();
        if (pick(0, 1)) EXPECT_EQ(g->add_node(count), first);
        else
            for (int k = first; k < first + count; ++k) EXPECT_EQ(g->add_node(), k);
        net.source.resize(net.source.size() + count, 0);
        net.sink.resize(net.sink.size() + count, 0);
        for (int i = first; i < first + count; ++i)
            if (pick(0, terminal_odds) == 0) {
                const int kind = pick(0, 2);
                add_terminal(i, kind != 1 ? capacity(20) : 0, kind != 0 ? capacity(20) : 0);
            }
    }
    void add_terminal(int i, int source_cap, int sink_cap) {
        using T = typename Caps<Gr>::terminal;
        g->add_terminal_caps(i, T(source_cap), T(sink_cap));
        net.source[i] += source_cap;
        net.sink[i] += sink_cap;
        g->mark_node(i);
    }
    // One end at or above `first`; a quarter repeat or reverse an earlier edge.
    void add_random_edge(int first) {
        const int n = g->node_count();
        int i = pick(first, n - 1), j = pick(0, n - 2);
        if (j >= i) ++j;
        if (first == 0 && !net.tail.empty() && pick(0, 3) == 0) {
            const int k = pick(0, static_cast<int>(net.tail.size()) - 1);
            i = net.tail[k], j = net.head[k];
        }
        const int c = capacity(10), rc = capacity(10);
        g->add_edge(i, j, typename Caps<Gr>::arc(c), typename Caps<Gr>::arc(rc));
        net.arc_cap.insert(net.arc_cap.end(), {c, rc});
        net.tail.insert(net.tail.end(), {i, j});
        net.head.insert(net.head.end(), {j, i});
        g->mark_node(i);
        g->mark_node(j);
    }
    // One change of a terminal or an arc; residuals stay non-negative and the
    // network's capacities follow.
    void change() {
        const int op = pick(0, 3), i = pick(0, g->node_count() - 1);
        if (op == 0) return add_terminal(i, pick(0, 8), pick(0, 8));
        if (op == 1) {
            const long long tr = static_cast<long long>(g->terminal_cap(i)), v = pick(-10, 10);
            g->set_terminal_cap(i, typename Caps<Gr>::terminal(v));
            net.source[i] += std::max(v, 0LL) - std::max(tr, 0LL);
            net.sink[i] += std::max(-v, 0LL) - std::max(-tr, 0LL);
            return g->mark_node(i);
        }
        if (g->arc_count() == 0) return;
        const int k = pick(0, g->arc_count() - 1);
        const typename Gr::arc_id a = g->first_arc() + k;
        const long long r = static_cast<long long>(g->residual_cap(a));
        const int delta = pick(static_cast<int>(-std::min(r, net.arc_cap[k])), 6);
        g->set_residual_cap(a, typename Caps<Gr>::arc(r + delta));
        net.arc_cap[k] += delta;
        g->mark_node(net.tail[k]);
        g->mark_node(net.head[k]);
    }
    std::vector<Side> sides() const {
        std::vector<Side> result;
        for (int i = 0; i < g->node_count(); ++i) result.push_back(side_of(*g, i));
        return result;
    }
};

template <typename Gr>
class MaxflowRandom : public testing::Test {};
using Instantiations = testing::Types<GraphInt, GraphShort, GraphFloat, GraphDouble>;
TYPED_TEST_SUITE(MaxflowRandom, Instantiations);

TYPED_TEST(MaxflowRandom, FreshCallsMatchReference) {
    for (unsigned seed = 1; seed <= 1500; ++seed) {
        RandomCase<TypeParam> c(seed);
        c.g->maxflow();
        verify(*c.g, c.net);
        if (seed % 4 == 0) {
            const auto first = c.g->flow_value();
            EXPECT_EQ(c.g->maxflow(), first);
            verify(*c.g, c.net);
        }
        ASSERT_FALSE(this->HasFailure()) << "seed " << seed;
    }
}

TYPED_TEST(MaxflowRandom, ReusedTreesMatchFreshReference) {
    ChunkList<int> changed(5, nullptr);
    for (unsigned seed = 1; seed <= 400; ++seed) {
        RandomCase<TypeParam> c(seed * 7919u);
        c.g->maxflow();
        verify(*c.g, c.net);
        std::set<int> flagged;  // listed earlier and not yet consumed
        // The first case runs long enough to pass the orphan pool's drops.
        for (int round = 0, rounds = seed == 1 ? 140 : c.pick(1, 6); round < rounds; ++round) {
            if (c.pick(0, 2) == 0) {
                for (int id : flagged) c.g->remove_from_changed_list(id);
                flagged.clear();
            }
            std::vector<Side> before = c.sides();
            for (int k = c.pick(1, 5); k > 0; --k) c.change();
            if (c.g->node_count() < 40 && c.pick(0, 2) == 0) {
                // Late nodes and edges: the arrays may move under the marks.
                const int first = c.g->node_count(), count = c.pick(1, 4);
                c.add_nodes(count, 1);
                for (int m = c.pick(0, 3 * count); m > 0; --m) c.add_random_edge(first);
                before.resize(c.g->node_count(), kFree);
            }
            const int mode = c.pick(0, 9);  // 0: fresh, 1: reuse without list
            if (mode == 0) c.g->maxflow(), flagged.clear();
            else c.g->maxflow(true, mode == 1 ? nullptr : &changed);
            verify(*c.g, c.net);
            if (mode >= 2) {
                // Every node that changed side is listed, once, unless still flagged.
                std::set<int> listed;
                for (int* id = changed.ScanFirst(); id; id = changed.ScanNext())
                    EXPECT_TRUE(listed.insert(*id).second && !flagged.count(*id)) << "relisted " << *id;
                EXPECT_EQ(changed.size(), listed.size());
                const std::vector<Side> after = c.sides();
                for (int i = 0; i < c.g->node_count(); ++i)
                    EXPECT_TRUE(after[i] == before[i] || listed.count(i) || flagged.count(i)) << "node " << i;
                for (int id : listed) {
                    if (c.pick(0, 3) == 0) flagged.insert(id);
                    else c.g->remove_from_changed_list(id);
                }
            }
            changed.Reset();
            ASSERT_FALSE(this->HasFailure()) << "seed " << seed << " round " << round << " mode " << mode;
        }
    }
}

}  // namespace
