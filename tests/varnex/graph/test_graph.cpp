// Graph storage: reset, the chunk list and the fatal paths. Ids, edges,
// terminal cancellation and array growth are checked against a plain solver
// in test_maxflow.cpp.
#include <varnex/graph.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

using G = GraphInt;

// The node array is not exposed; its start is found from the first arc.
std::uintptr_t node_base(const G& g) {
    int t = 0, h = 0;
    g.arc_ends(g.first_arc(), t, h);
    return reinterpret_cast<std::uintptr_t>(g.first_arc()->head - h);
}
std::uintptr_t arc_base(const G& g) { return reinterpret_cast<std::uintptr_t>(g.first_arc()); }

// A ring of 30 nodes whose edges carry 3 one way and 2 the other, the
// source at node 0 and the sink at node 15: 5 units flow.
void fill_ring(G& g) {
    EXPECT_EQ(g.add_node(30), 0);
    for (int k = 0; k < 30; ++k) g.add_edge(k, (k + 1) % 30, 3, 2);
    g.add_terminal_caps(0, 9, 0);
    g.add_terminal_caps(15, 0, 9);
}

TEST(GraphReset, KeepsArraysAndAllowsRefill) {
    G g(0, 0);  // the arrays grow while the ring is built
    fill_ring(g);
    EXPECT_EQ(g.maxflow(), 5);
    const std::uintptr_t nodes = node_base(g), arcs = arc_base(g);

    g.reset();
    EXPECT_TRUE(g.node_count() == 0 && g.arc_count() == 0 && g.flow_value() == 0);
    fill_ring(g);
    EXPECT_EQ(node_base(g), nodes);
    EXPECT_EQ(arc_base(g), arcs);
    EXPECT_EQ(g.maxflow(), 5);
    EXPECT_EQ(g.segment_of(0, G::SINK), G::SOURCE);
    EXPECT_EQ(g.segment_of(15, G::SOURCE), G::SINK);
}

TEST(ChunkListTest, AppendScanResetReuse) {
    ChunkList<int> list(4, nullptr);
    EXPECT_EQ(list.ScanFirst(), nullptr);
    std::vector<int*> slots;
    for (int k = 0; k < 10; ++k) *slots.emplace_back(list.append(1)) = k;
    int* bulk = list.append(3);  // does not fit the third chunk's 2 free slots
    for (int k = 0; k < 3; ++k) bulk[k] = 10 + k;
    auto scan = [&list] {
        std::vector<int> seen;
        for (int* p = list.ScanFirst(); p; p = list.ScanNext()) seen.push_back(*p);
        return seen;
    };
    EXPECT_EQ(list.size(), 13u);
    EXPECT_EQ(scan(), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));

    list.Reset();
    EXPECT_EQ(list.size(), 0u);
    EXPECT_EQ(list.ScanFirst(), nullptr);
    // The kept chunks are filled again in order; stale items are not scanned.
    for (int k = 0; k < 6; ++k) {
        int* p = list.append(1);
        EXPECT_EQ(p, slots[k]);
        *p = 100 + k;
    }
    EXPECT_EQ(scan(), (std::vector<int>{100, 101, 102, 103, 104, 105}));
    EXPECT_EQ(list.size(), 6u);
}

// ------------------------------------------------------------ fatal paths

void print_message(const char* message) { std::fprintf(stderr, "error_fn: %s\n", message); }

TEST(GraphDeathTest, MisusedMaxflowOptionsExitWithStatusOne) {
    // how: 0 reuses trees on the first call, 1 on the first call after a
    // reset, 2 hands over a list without reuse.
    auto misuse = [](int how, GraphErrorFn error_fn) {
        ChunkList<int> list(8, nullptr);
        G g(2, 1, error_fn);
        g.add_node(2);
        if (how > 0) g.maxflow();
        if (how == 1) g.reset(), g.add_node(1);
        how == 2 ? g.maxflow(false, &list) : g.maxflow(true);
    };
    const char* reuse = "error_fn: reuse_trees cannot be used in the first call to maxflow\\(\\)!";
    EXPECT_EXIT(misuse(0, print_message), testing::ExitedWithCode(1), reuse);
    EXPECT_EXIT(misuse(1, print_message), testing::ExitedWithCode(1), reuse);
    EXPECT_EXIT(misuse(2, print_message), testing::ExitedWithCode(1),
                "error_fn: changed_list cannot be used without reuse_trees!");
    EXPECT_EXIT(misuse(0, nullptr), testing::ExitedWithCode(1), "");  // no callback: the same end
}

#ifndef NDEBUG
// Misuse stops a debug build at once with a message naming the unit, before
// it can corrupt the graph.
TEST(GraphDeathTest, PreconditionsAbortInDebugBuilds) {
    G g(3, 1);
    g.add_node(3);
    g.add_edge(0, 1, 1, 1);
    const G::arc_id past = g.first_arc() + g.arc_count();
    int i = 0, j = 0;
    const std::vector<std::function<void()>> misuses = {
        [&] { g.add_node(0); },
        [&] { g.add_edge(-1, 1, 1, 1); },
        [&] { g.add_edge(0, 3, 1, 1); },
        [&] { g.add_edge(2, 2, 1, 1); },
        [&] { g.add_edge(0, 2, -1, 1); },
        [&] { g.add_terminal_caps(3, 1, 0); },
        [&] { g.set_terminal_cap(3, 1); },
        [&] { g.arc_ends(past, i, j); },
        [&] { g.remove_from_changed_list(0); },
    };
    for (const auto& misuse : misuses) EXPECT_DEATH(misuse(), "Assertion failed: .* \\(graph\\)");
}
#endif

}  // namespace
