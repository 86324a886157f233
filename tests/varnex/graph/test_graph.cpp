// Graph storage and construction: ids, edges and out-lists, terminal
// cancellation, array growth, reset, the chunk list and the fatal paths.
#include <varnex/graph.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace {

using G = GraphInt;

// The node array is not exposed; its start is found from the first arc.
G::node* node_ptr(const G& g, int i) {
    int t = 0, h = 0;
    g.arc_ends(g.first_arc(), t, h);
    return g.first_arc()->head - h + i;
}
std::uintptr_t node_base(const G& g) { return reinterpret_cast<std::uintptr_t>(node_ptr(g, 0)); }
std::uintptr_t arc_base(const G& g) { return reinterpret_cast<std::uintptr_t>(g.first_arc()); }

// Heads of the arcs leaving node i, in out-list order.
std::vector<int> out_heads(const G& g, int i) {
    std::vector<int> heads;
    for (G::arc* a = node_ptr(g, i)->first_out; a; a = a->next_out) {
        int t = 0, h = 0;
        g.arc_ends(a, t, h);
        EXPECT_TRUE(t == i && a->sister->sister == a);
        heads.push_back(h);
    }
    return heads;
}

// Grows the graph one node (one edge) at a time up to `count` and returns
// the counts at which the array moved; growth copies into a new block, so
// each move marks one growth and tells the old capacity. Edge e runs from node e%2 to the
// other of nodes 0 and 1, with capacity 2e and none back.
std::vector<int> node_moves(G& g, int count) {
    std::vector<int> moves;
    for (std::uintptr_t base = node_base(g); g.node_count() < count; base = node_base(g))
        if (g.add_node(), node_base(g) != base) moves.push_back(g.node_count());
    return moves;
}
std::vector<int> arc_moves(G& g, int count) {
    auto add = [&g] { g.add_edge(g.arc_count() / 2 % 2, 1 - g.arc_count() / 2 % 2, g.arc_count(), 0); };
    if (g.arc_count() == 0) add();
    std::vector<int> moves;
    for (std::uintptr_t base = arc_base(g); g.arc_count() / 2 < count; base = arc_base(g))
        if (add(), arc_base(g) != base) moves.push_back(g.arc_count() / 2);
    return moves;
}

TEST(GraphBuild, IdsEdgesAndOutListOrder) {
    G g(3, 2);
    EXPECT_EQ(g.add_node(3), 0);
    EXPECT_EQ(g.add_node(1), 3);
    EXPECT_EQ(g.add_node(5), 4);
    EXPECT_EQ(g.node_count(), 9);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(g.terminal_cap(i), 0);

    g.add_edge(0, 1, 7, 2);
    G::arc_id a = g.first_arc();
    int i = -1, j = -1;
    g.arc_ends(a, i, j);
    EXPECT_TRUE(i == 0 && j == 1);
    EXPECT_EQ(g.residual_cap(a), 7);
    EXPECT_TRUE(a->sister == g.next_arc(a) && g.next_arc(a)->sister == a);
    EXPECT_EQ(g.residual_cap(g.next_arc(a)), 2);
    EXPECT_EQ(out_heads(g, 0), std::vector<int>{1});
    EXPECT_EQ(out_heads(g, 1), std::vector<int>{0});
    // Newest first; repeated and opposite edges each add their own pair.
    g.add_edge(0, 2, 1, 1);
    g.add_edge(1, 0, 3, 0);
    g.add_edge(0, 1, 0, 0);
    EXPECT_EQ(g.arc_count(), 8);
    EXPECT_EQ(out_heads(g, 0), (std::vector<int>{1, 1, 2, 1}));
    EXPECT_EQ(node_ptr(g, 0)->first_out, g.first_arc() + 6);
    EXPECT_EQ(node_ptr(g, 1)->first_out->next_out, g.first_arc() + 4);
}

TEST(GraphBuild, TerminalCapsCancelIntoFlow) {
    G g(4, 1);
    g.add_node(4);
    g.add_terminal_caps(0, 5, 0);
    g.add_terminal_caps(0, 0, 3);
    EXPECT_EQ(g.terminal_cap(0), 2);
    EXPECT_EQ(g.flow_value(), 3);
    g.add_terminal_caps(1, 4, 4);
    EXPECT_EQ(g.terminal_cap(1), 0);
    EXPECT_EQ(g.flow_value(), 7);
    g.add_terminal_caps(2, 0, 3);
    g.add_terminal_caps(2, 2, 0);
    EXPECT_EQ(g.terminal_cap(2), -1);
    EXPECT_EQ(g.flow_value(), 9);
    // The setters overwrite without counting flow.
    g.set_terminal_cap(3, -8);
    g.add_edge(0, 3, 1, 1);
    g.set_residual_cap(g.first_arc(), 6);
    EXPECT_EQ(g.terminal_cap(3), -8);
    EXPECT_EQ(g.residual_cap(g.first_arc()), 6);
    EXPECT_EQ(g.flow_value(), 9);
}

TEST(GraphGrowth, ArraysGrowByHalfFromRaisedHints) {
    for (int hint : {0, -7, 15}) {  // room for 16 nodes and 32 arcs
        G g(hint, hint);
        g.add_node(2);
        EXPECT_EQ(arc_moves(g, 25), (std::vector<int>{17, 25})) << hint;
        EXPECT_EQ(node_moves(g, 25), (std::vector<int>{17, 25})) << hint;
    }
    G g(16, 17);
    g.add_node(2);
    EXPECT_EQ(arc_moves(g, 40), (std::vector<int>{18, 27, 40}));  // 34 -> 52 -> 78 arcs
    // A bulk addition past the half step gets exactly what it asks for.
    EXPECT_EQ(g.add_node(40), 2);
    EXPECT_EQ(node_moves(g, 64), (std::vector<int>{43, 64}));

    // Moves keep every link: heads, sisters, out-lists, capacities.
    ASSERT_EQ(g.arc_count(), 80);
    G::arc_id a = g.first_arc();
    for (int k = 0; k < g.arc_count(); ++k, a = g.next_arc(a)) {
        int i = 0, j = 0;
        g.arc_ends(a, i, j);
        EXPECT_TRUE(i == ((k / 2 % 2) ^ (k % 2)) && j == 1 - i) << k;
        EXPECT_EQ(g.residual_cap(a), k % 2 ? 0 : k) << k;
    }
    EXPECT_EQ(out_heads(g, 0).size() + out_heads(g, 1).size(), 80u);
}

TEST(GraphGrowth, ResetKeepsArraysAndAllowsRefill) {
    G g(0, 0);
    g.add_node(2);
    arc_moves(g, 30);
    node_moves(g, 30);
    g.add_terminal_caps(0, 9, 0);
    g.add_terminal_caps(1, 0, 9);
    EXPECT_EQ(g.maxflow(), 9);
    const std::uintptr_t nodes = node_base(g), arcs = arc_base(g);

    g.reset();
    EXPECT_TRUE(g.node_count() == 0 && g.arc_count() == 0 && g.flow_value() == 0);
    EXPECT_EQ(g.add_node(30), 0);
    for (int k = 0; k < 30; ++k) g.add_edge(k, (k + 1) % 30, 3, 2);
    EXPECT_EQ(node_base(g), nodes);
    EXPECT_EQ(arc_base(g), arcs);
    g.add_terminal_caps(0, 9, 0);
    g.add_terminal_caps(15, 0, 9);
    EXPECT_EQ(g.maxflow(), 5);  // 3 one way round the ring, 2 the other
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

// A regular expression matching `text` literally.
std::string literal(const std::string& text) {
    std::string re;
    for (char c : text) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) re += '\\';
        re += c;
    }
    return re;
}

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
    const std::string reuse = literal("error_fn: reuse_trees cannot be used in the first call to maxflow()!");
    EXPECT_EXIT(misuse(0, print_message), testing::ExitedWithCode(1), reuse);
    EXPECT_EXIT(misuse(1, print_message), testing::ExitedWithCode(1), reuse);
    EXPECT_EXIT(misuse(2, print_message), testing::ExitedWithCode(1),
                literal("error_fn: changed_list cannot be used without reuse_trees!"));
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
