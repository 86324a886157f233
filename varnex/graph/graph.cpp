// Graph storage and construction, the item pool and the chunk list; the
// four capacity instantiations of the engine.
#include <varnex/graph.h>

#include "graph/graph_p.h"
#include "graph/maxflow_p.h"

#include <cstring>

using graph_detail::fatal;

// ---------------------------------------------------------------- ItemPool

template <typename Item>
ItemPool<Item>::ItemPool(int items_per_block, GraphErrorFn error_fn)
    : items_per_block(items_per_block), first_block(nullptr), first_free(nullptr), error_fn(error_fn) {}

template <typename Item>
ItemPool<Item>::~ItemPool() {
    while (first_block) {
        Block* next = first_block->next;
        std::free(first_block);
        first_block = next;
    }
}

template <typename Item>
Item* ItemPool<Item>::take() {
    if (!first_free) {
        Block* block = static_cast<Block*>(
            std::malloc(sizeof(Block) + sizeof(Slot) * static_cast<std::size_t>(items_per_block)));
        if (!block) fatal(error_fn, "Not enough memory!");
        block->next = first_block;
        first_block = block;
        Slot* slots = block->slots();
        for (int k = 0; k + 1 < items_per_block; ++k) slots[k].next_free = &slots[k + 1];
        slots[items_per_block - 1].next_free = nullptr;
        first_free = slots;
    }
    Slot* slot = first_free;
    first_free = slot->next_free;
    return &slot->item;
}

template <typename Item>
void ItemPool<Item>::give_back(Item* item) {
    Slot* slot = reinterpret_cast<Slot*>(item);
    slot->next_free = first_free;
    first_free = slot;
}

// --------------------------------------------------------------- ChunkList

template <typename Item>
ChunkList<Item>::ChunkList(int items_per_chunk, GraphErrorFn error_fn)
    : items_per_chunk(items_per_chunk), first(nullptr), last(nullptr),
      scan_current_chunk(nullptr), scan_current_data(nullptr), error_fn(error_fn) {}

template <typename Item>
ChunkList<Item>::~ChunkList() {
    while (first) {
        Chunk* next = first->next;
        std::free(first);
        first = next;
    }
}

template <typename Item>
Item* ChunkList<Item>::append(int num) {
    if (!last || last->current + num > last->last) {
        if (last && last->next) {
            // Chunks kept by Reset are filled again in chain order.
            last = last->next;
        } else {
            Chunk* chunk = static_cast<Chunk*>(
                std::malloc(sizeof(Chunk) + sizeof(Item) * static_cast<std::size_t>(items_per_chunk)));
            if (!chunk) fatal(error_fn, "Not enough memory!");
            chunk->current = chunk->data();
            chunk->last = chunk->data() + items_per_chunk;
            chunk->next = nullptr;
            if (last) last->next = chunk;
            else first = chunk;
            last = chunk;
        }
    }
    Item* slots = last->current;
    last->current += num;
    return slots;
}

template <typename Item>
Item* ChunkList<Item>::ScanFirst() {
    for (scan_current_chunk = first; scan_current_chunk; scan_current_chunk = scan_current_chunk->next) {
        scan_current_data = scan_current_chunk->data();
        if (scan_current_data < scan_current_chunk->current) return scan_current_data++;
        if (scan_current_chunk == last) break;
    }
    scan_current_chunk = nullptr;
    return nullptr;
}

template <typename Item>
Item* ChunkList<Item>::ScanNext() {
    while (scan_current_chunk) {
        if (scan_current_data < scan_current_chunk->current) return scan_current_data++;
        // Chunks after the one being filled hold stale items from before a
        // Reset; the scan ends with the current chunk.
        if (scan_current_chunk == last) break;
        scan_current_chunk = scan_current_chunk->next;
        if (scan_current_chunk) scan_current_data = scan_current_chunk->data();
    }
    scan_current_chunk = nullptr;
    return nullptr;
}

template <typename Item>
void ChunkList<Item>::Reset() {
    for (Chunk* chunk = first; chunk; chunk = chunk->next) chunk->current = chunk->data();
    last = first;
    scan_current_chunk = nullptr;
}

template <typename Item>
std::size_t ChunkList<Item>::size() const {
    std::size_t count = 0;
    for (const Chunk* chunk = first; chunk; chunk = chunk->next) {
        count += static_cast<std::size_t>(chunk->current - chunk->data());
        if (chunk == last) break;
    }
    return count;
}

// ------------------------------------------------------------------- Graph

template <typename captype, typename tcaptype, typename flowtype>
Graph<captype, tcaptype, flowtype>::Graph(int node_num_max, int edge_num_max, GraphErrorFn error_fn)
    : node_num(0), orphan_pool(nullptr), error_fn(error_fn), flow(0), maxflow_count(0),
      changed_list(nullptr), queue_first{nullptr, nullptr}, queue_last{nullptr, nullptr},
      orphan_first(nullptr), orphan_last(nullptr), CLOCK(0) {
    if (node_num_max < 16) node_num_max = 16;
    if (edge_num_max < 16) edge_num_max = 16;
    const std::size_t arc_num = 2 * static_cast<std::size_t>(edge_num_max);
    nodes = static_cast<node*>(std::malloc(static_cast<std::size_t>(node_num_max) * sizeof(node)));
    arcs = static_cast<arc*>(std::malloc(arc_num * sizeof(arc)));
    if (!nodes || !arcs) fatal(error_fn, "Not enough memory!");
    node_last = nodes;
    node_max = nodes + node_num_max;
    arc_last = arcs;
    arc_max = arcs + arc_num;
}

template <typename captype, typename tcaptype, typename flowtype>
Graph<captype, tcaptype, flowtype>::~Graph() {
    delete orphan_pool;
    std::free(nodes);
    std::free(arcs);
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::reset() {
    node_last = nodes;
    arc_last = arcs;
    node_num = 0;
    delete orphan_pool;
    orphan_pool = nullptr;
    maxflow_count = 0;
    flow = 0;
}

// Moving an array also moves every pointer into it, so that trees left by a
// maxflow stay valid and nodes and edges may be added before a reusing call.
template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::grow_nodes(int num) {
    std::size_t capacity = static_cast<std::size_t>(node_max - nodes);
    capacity += capacity / 2;
    const std::size_t needed = static_cast<std::size_t>(node_num) + static_cast<std::size_t>(num);
    if (capacity < needed) capacity = needed;
    node* moved = static_cast<node*>(std::malloc(capacity * sizeof(node)));
    if (!moved) fatal(error_fn, "Not enough memory!");
    std::memcpy(static_cast<void*>(moved), nodes, static_cast<std::size_t>(node_num) * sizeof(node));
    auto relocate = [&](node* p) { return p ? moved + (p - nodes) : nullptr; };
    for (arc* a = arcs; a < arc_last; ++a) a->head = relocate(a->head);
    for (node* i = moved; i < moved + node_num; ++i) i->active_link = relocate(i->active_link);
    for (int q = 0; q < 2; ++q) {
        queue_first[q] = relocate(queue_first[q]);
        queue_last[q] = relocate(queue_last[q]);
    }
    std::free(nodes);
    nodes = moved;
    node_last = nodes + node_num;
    node_max = nodes + capacity;
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::grow_arcs() {
    std::size_t capacity = static_cast<std::size_t>(arc_max - arcs);
    capacity += capacity / 2;
    if (capacity % 2) ++capacity;  // pairs never straddle the end
    const std::size_t used = static_cast<std::size_t>(arc_last - arcs);
    arc* moved = static_cast<arc*>(std::malloc(capacity * sizeof(arc)));
    if (!moved) fatal(error_fn, "Not enough memory!");
    std::memcpy(static_cast<void*>(moved), arcs, used * sizeof(arc));
    auto relocate = [&](arc* a) { return is_arc(a) ? moved + (a - arcs) : a; };
    for (node* i = nodes; i < node_last; ++i) {
        i->first_out = relocate(i->first_out);
        i->parent = relocate(i->parent);
    }
    for (arc* a = moved; a < moved + used; ++a) {
        a->next_out = relocate(a->next_out);
        a->sister = relocate(a->sister);
    }
    std::free(arcs);
    arcs = moved;
    arc_last = arcs + used;
    arc_max = arcs + capacity;
}

template <typename captype, typename tcaptype, typename flowtype>
typename Graph<captype, tcaptype, flowtype>::node_id Graph<captype, tcaptype, flowtype>::add_node(int num) {
    GRAPH_REQUIRE(num > 0, "graph");
    if (num > node_max - node_last) grow_nodes(num);
    // Every new record starts clean, also after a maxflow, so that a node
    // added late is free, unqueued and unmarked.
    std::memset(static_cast<void*>(node_last), 0, static_cast<std::size_t>(num) * sizeof(node));
    const node_id first = node_num;
    node_num += num;
    node_last += num;
    return first;
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::add_edge(node_id _i, node_id _j, captype cap, captype rev_cap) {
    GRAPH_REQUIRE(_i >= 0 && _i < node_num, "graph");
    GRAPH_REQUIRE(_j >= 0 && _j < node_num, "graph");
    GRAPH_REQUIRE(_i != _j, "graph");
    GRAPH_REQUIRE(cap >= 0, "graph");
    GRAPH_REQUIRE(rev_cap >= 0, "graph");
    if (arc_last == arc_max) grow_arcs();
    arc* a = arc_last++;
    arc* a_rev = arc_last++;
    node* i = nodes + _i;
    node* j = nodes + _j;
    a->sister = a_rev;
    a_rev->sister = a;
    a->next_out = i->first_out;
    i->first_out = a;
    a_rev->next_out = j->first_out;
    j->first_out = a_rev;
    a->head = j;
    a_rev->head = i;
    a->r_cap = cap;
    a_rev->r_cap = rev_cap;
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::add_terminal_caps(node_id i, tcaptype source_cap, tcaptype sink_cap) {
    GRAPH_REQUIRE(i >= 0 && i < node_num, "graph");
    const tcaptype delta = nodes[i].tr_cap;
    if (delta > 0) source_cap += delta;
    else sink_cap -= delta;
    flow += source_cap < sink_cap ? source_cap : sink_cap;
    nodes[i].tr_cap = source_cap - sink_cap;
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::mark_node(node_id i) {
    node* n = nodes + i;
    if (!n->active_link) {
        n->active_link = n;
        if (queue_last[1]) queue_last[1]->active_link = n;
        else queue_first[1] = n;
        queue_last[1] = n;
    }
    n->is_marked = 1;
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::arc_ends(arc_id a, node_id& i, node_id& j) const {
    GRAPH_REQUIRE(a >= arcs && a < arc_last, "graph");
    i = static_cast<node_id>(a->sister->head - nodes);
    j = static_cast<node_id>(a->head - nodes);
}

template <typename captype, typename tcaptype, typename flowtype>
tcaptype Graph<captype, tcaptype, flowtype>::terminal_cap(node_id i) const {
    GRAPH_REQUIRE(i>=0 && i<node_num, "graph");
    return nodes[i].tr_cap;
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::set_terminal_cap(node_id i, tcaptype value) {
    GRAPH_REQUIRE(i>=0 && i<node_num, "graph");
    nodes[i].tr_cap = value;
}

template <typename captype, typename tcaptype, typename flowtype>
captype Graph<captype, tcaptype, flowtype>::residual_cap(arc_id a) const {
    GRAPH_REQUIRE(a >= arcs && a < arc_last, "graph");
    return a->r_cap;
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::set_residual_cap(arc_id a, captype value) {
    GRAPH_REQUIRE(a >= arcs && a < arc_last, "graph");
    a->r_cap = value;
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::remove_from_changed_list(node_id i) {
    GRAPH_REQUIRE(i>=0 && i<node_num && nodes[i].is_in_changed_list, "graph");
    nodes[i].is_in_changed_list = 0;
}

template class ChunkList<int>;
template class Graph<int, int, int>;
template class Graph<short, int, int>;
template class Graph<float, float, float>;
template class Graph<double, double, double>;
