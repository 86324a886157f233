// Directed graphs with two terminals and their maximum flow / minimum cut,
// computed by growing search trees from both terminals.
#pragma once

#include <cstddef>
#include <cstdint>

/// Error callback: receives one fixed message before the process ends.
using GraphErrorFn = void (*)(const char* message);

/// Fixed-size items handed out from blocks and recycled through a free list.
/// Items are never returned to the system before the pool is destroyed.
template <typename Item>
class ItemPool {
public:
    /// An empty pool making blocks of `items_per_block` items.
    ItemPool(int items_per_block, GraphErrorFn error_fn);
    ~ItemPool();
    ItemPool(const ItemPool&) = delete;
    ItemPool& operator=(const ItemPool&) = delete;

    /// A free slot; allocates a new block when none is free (a failed
    /// allocation is fatal: "Not enough memory!", exit status 1).
    Item* take();
    /// Returns a slot taken from this pool.
    void give_back(Item* item);

private:
    union Slot {
        Item item;
        Slot* next_free;
    };
    struct Block {
        Block* next;
        Slot* slots() { return reinterpret_cast<Slot*>(this + 1); }
    };

    int items_per_block;
    Block* first_block;
    Slot* first_free;
    GraphErrorFn error_fn;
};

/// A list of items stored in chunks; appends never move earlier items.
template <typename Item>
class ChunkList {
public:
    ChunkList(int items_per_chunk, GraphErrorFn error_fn);
    ~ChunkList();
    ChunkList(const ChunkList&) = delete;
    ChunkList& operator=(const ChunkList&) = delete;

    /// Pointer to `num` consecutive free slots (num <= items_per_chunk).
    Item* append(int num);

    /// Walks the items in the order they were appended: ScanFirst gives the
    /// first item (null when empty), ScanNext each following one, then null.
    Item* ScanFirst();
    Item* ScanNext();
    /// Empties the list but keeps its chunks, which later appends fill again.
    void Reset();
    /// Number of items appended since construction or the last Reset.
    std::size_t size() const;

private:
    struct Chunk {
        Item* current;  // next free slot
        Item* last;     // end of the slots
        Chunk* next;
        Item* data() { return reinterpret_cast<Item*>(this + 1); }
        const Item* data() const { return reinterpret_cast<const Item*>(this + 1); }
    };

    int items_per_chunk;
    Chunk* first;
    Chunk* last;  // the chunk being filled
    Chunk* scan_current_chunk;
    Item* scan_current_data;
    GraphErrorFn error_fn;
};

/// A graph whose nodes are numbered from 0, each with one signed terminal
/// capacity (positive: from the source, negative: to the sink), and whose
/// edges are pairs of opposite arcs with their own residual capacities.
///
/// Use: construct; add nodes; add terminal capacities and edges; maxflow();
/// read segment_of() for each node. For tree reuse, change capacities, mark
/// every node touched (both ends of a changed arc) and call maxflow(true).
/// Nodes and edges may also be added after a maxflow, before a reusing call;
/// a new node starts free and must be marked if it has terminal capacity.
///
/// Precondition violations are caught by assertions in debug builds;
/// allocation failures and misuse of maxflow's options end the process with
/// status 1 after handing the message to `error_fn`, when one was given.
template <typename captype, typename tcaptype, typename flowtype>
class Graph {
public:
    enum termtype { SOURCE = 0, SINK = 1 };
    using node_id = int;

    struct arc;
    struct node {
        arc* first_out;     ///< newest arc leaving the node, null when none
        arc* parent;        ///< arc to the tree parent, TERMINAL, ORPHAN or null (free)
        node* active_link;  ///< next active node; the last links to itself; null: not queued
        int TS;             ///< CLOCK value when DIST was last exact
        int DIST;           ///< parent steps to the terminal
        unsigned int is_sink : 1;
        unsigned int is_marked : 1;
        unsigned int is_in_changed_list : 1;
        tcaptype tr_cap;    ///< > 0: residual from the source; < 0: minus residual to the sink
    };
    struct arc {
        node* head;      ///< node the arc points to
        arc* next_out;   ///< next arc leaving the same node
        arc* sister;     ///< reverse arc
        captype r_cap;   ///< residual capacity
    };
    using arc_id = arc*;

    /// Room for `node_num_max` nodes and 2 * `edge_num_max` arcs (each raised
    /// to at least 16); the arrays grow by half as needed.
    Graph(int node_num_max, int edge_num_max, GraphErrorFn error_fn = nullptr);
    ~Graph();
    Graph(const Graph&) = delete;
    Graph& operator=(const Graph&) = delete;

    /// Adds `num` > 0 free nodes without arcs or terminal capacity; returns
    /// the id of the first.
    node_id add_node(int num = 1);
    /// Adds arcs i->j of capacity `cap` and j->i of `rev_cap` (both >= 0,
    /// i != j). Repeated and opposite edges are allowed.
    void add_edge(node_id i, node_id j, captype cap, captype rev_cap);
    /// Adds terminal capacities to node i; the part the node can pass from
    /// source to sink at once counts as flow at once.
    void add_terminal_caps(node_id i, tcaptype source_cap, tcaptype sink_cap);

    /// Maximum flow of the graph as it stands (including earlier flow).
    /// reuse_trees: start from the previous call's trees (not on the first
    /// call). changed_list (only with reuse_trees): receives the ids of
    /// nodes whose side may have changed.
    flowtype maxflow(bool reuse_trees = false, ChunkList<node_id>* changed_list = nullptr);

    /// SOURCE or SINK for a node in a tree after maxflow; `default_segment`
    /// for a node that neither tree reached.
    termtype segment_of(node_id i, termtype default_segment = SOURCE) const {
        if (!nodes[i].parent) return default_segment;
        return nodes[i].is_sink ? SINK : SOURCE;
    }
    /// Marks node i for the next tree-reusing maxflow.
    void mark_node(node_id i);
    /// Empties the graph, keeping the allocated arrays.
    void reset();

    int node_count() const { return node_num; }
    int arc_count() const { return static_cast<int>(arc_last - arcs); }
    arc_id first_arc() const { return arcs; }
    arc_id next_arc(arc_id a) const { return a + 1; }
    /// Ids of the tail (i) and head (j) of arc a.
    void arc_ends(arc_id a, node_id& i, node_id& j) const;
    tcaptype terminal_cap(node_id i) const;
    void set_terminal_cap(node_id i, tcaptype value);
    captype residual_cap(arc_id a) const;
    void set_residual_cap(arc_id a, captype value);
    void remove_from_changed_list(node_id i);

    /// Asserts the invariants of the search trees (for debugging; never
    /// called by the engine itself). Aborts naming the broken condition.
    void check_consistency(node* current_node = nullptr);

    /// The graph's flow so far.
    flowtype flow_value() const { return flow; }

private:
    struct orphan_cell {
        node* ptr;
        orphan_cell* next;
    };

    node* nodes;
    node* node_last;
    node* node_max;
    arc* arcs;
    arc* arc_last;
    arc* arc_max;
    int node_num;
    ItemPool<orphan_cell>* orphan_pool;
    GraphErrorFn error_fn;
    flowtype flow;
    int maxflow_count;
    ChunkList<node_id>* changed_list;
    node* queue_first[2];
    node* queue_last[2];
    orphan_cell* orphan_first;
    orphan_cell* orphan_last;
    int CLOCK;

    static arc* terminal() { return reinterpret_cast<arc*>(std::uintptr_t{1}); }
    static arc* orphan() { return reinterpret_cast<arc*>(std::uintptr_t{2}); }
    static bool is_arc(const arc* a) { return a && a != terminal() && a != orphan(); }

    void grow_nodes(int num);
    void grow_arcs();

    void activate(node* i);
    node* take_active();
    void orphan_to_front(node* i);
    void orphan_to_rear(node* i);
    void note_changed(node* i);
    void init_trees();
    void init_reused_trees();
    void augment(arc* middle);
    template <bool sink>
    arc* grow_tree(node* i);
    template <bool sink>
    void adopt_orphan(node* i);
    void adopt_queued_orphans();
};

using GraphInt = Graph<int, int, int>;
using GraphShort = Graph<short, int, int>;
using GraphFloat = Graph<float, float, float>;
using GraphDouble = Graph<double, double, double>;

extern template class ChunkList<int>;
extern template class Graph<int, int, int>;
extern template class Graph<short, int, int>;
extern template class Graph<float, float, float>;
extern template class Graph<double, double, double>;
