// The maximum flow: two search trees grown from the terminals, augmentation
// along the path where they touch, and adoption of the orphans it leaves.
// Included once, by graph.cpp, where the engine is instantiated.
#pragma once

#include <varnex/graph.h>

#include "graph/graph_p.h"

#include <climits>
#include <new>

namespace graph_detail {
constexpr int INFINITE_DIST = INT_MAX;
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::activate(node* i) {
    if (!i->active_link) {
        if (queue_last[1]) queue_last[1]->active_link = i;
        else queue_first[1] = i;
        queue_last[1] = i;
        i->active_link = i;
    }
}

// Next active node from queue 0 (queue 1 moves in when 0 is empty); freed
// nodes are dropped when they come up.
template <typename captype, typename tcaptype, typename flowtype>
typename Graph<captype, tcaptype, flowtype>::node* Graph<captype, tcaptype, flowtype>::take_active() {
    for (;;) {
        node* i = queue_first[0];
        if (!i) {
            queue_first[0] = i = queue_first[1];
            queue_last[0] = queue_last[1];
            queue_first[1] = queue_last[1] = nullptr;
            if (!i) return nullptr;
        }
        if (i->active_link == i) queue_first[0] = queue_last[0] = nullptr;
        else queue_first[0] = i->active_link;
        i->active_link = nullptr;
        if (i->parent) return i;
    }
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::orphan_to_front(node* i) {
    i->parent = orphan();
    orphan_cell* cell = orphan_pool->take();
    cell->ptr = i;
    cell->next = orphan_first;
    orphan_first = cell;
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::orphan_to_rear(node* i) {
    i->parent = orphan();
    orphan_cell* cell = orphan_pool->take();
    cell->ptr = i;
    if (orphan_last) orphan_last->next = cell;
    else orphan_first = cell;
    orphan_last = cell;
    cell->next = nullptr;
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::note_changed(node* i) {
    if (changed_list && !i->is_in_changed_list) {
        *changed_list->append(1) = static_cast<node_id>(i - nodes);
        i->is_in_changed_list = 1;
    }
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::init_trees() {
    queue_first[0] = queue_last[0] = queue_first[1] = queue_last[1] = nullptr;
    orphan_first = orphan_last = nullptr;
    CLOCK = 0;
    for (node* i = nodes; i < node_last; ++i) {
        i->active_link = nullptr;
        i->is_marked = 0;
        i->is_in_changed_list = 0;
        i->TS = CLOCK;
        if (i->tr_cap > 0) {
            i->is_sink = 0;
            i->parent = terminal();
            activate(i);
            i->DIST = 1;
        } else if (i->tr_cap < 0) {
            i->is_sink = 1;
            i->parent = terminal();
            activate(i);
            i->DIST = 1;
        } else {
            i->parent = nullptr;
        }
    }
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::init_reused_trees() {
    node* marked = queue_first[1];
    queue_first[0] = queue_last[0] = queue_first[1] = queue_last[1] = nullptr;
    orphan_first = orphan_last = nullptr;
    ++CLOCK;

    while (node* i = marked) {
        marked = i->active_link == i ? nullptr : i->active_link;
        i->active_link = nullptr;
        i->is_marked = 0;
        activate(i);

        if (i->tr_cap == 0) {
            if (i->parent) orphan_to_rear(i);
            continue;
        }
        if (i->tr_cap > 0) {
            if (!i->parent || i->is_sink) {
                i->is_sink = 0;
                for (arc* a = i->first_out; a; a = a->next_out) {
                    node* j = a->head;
                    if (j->is_marked) continue;
                    if (j->parent == a->sister) orphan_to_rear(j);
                    if (j->parent && j->is_sink && a->r_cap > 0) activate(j);
                }
                note_changed(i);
            }
        } else {
            if (!i->parent || !i->is_sink) {
                i->is_sink = 1;
                for (arc* a = i->first_out; a; a = a->next_out) {
                    node* j = a->head;
                    if (j->is_marked) continue;
                    if (j->parent == a->sister) orphan_to_rear(j);
                    if (j->parent && !j->is_sink && a->sister->r_cap > 0) activate(j);
                }
                note_changed(i);
            }
        }
        i->parent = terminal();
        i->TS = CLOCK;
        i->DIST = 1;
    }

    while (orphan_cell* cell = orphan_first) {
        node* i = cell->ptr;
        orphan_first = cell->next;
        orphan_pool->give_back(cell);
        if (!orphan_first) orphan_last = nullptr;
        if (i->is_sink) adopt_orphan<true>(i);
        else adopt_orphan<false>(i);
    }
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::augment(arc* middle) {
    // Bottleneck over the source path, the middle arc and the sink path.
    tcaptype bottleneck = middle->r_cap;
    node* i;
    for (i = middle->sister->head;; i = i->parent->head) {
        arc* a = i->parent;
        if (a == terminal()) break;
        if (bottleneck > a->sister->r_cap) bottleneck = a->sister->r_cap;
    }
    if (bottleneck > i->tr_cap) bottleneck = i->tr_cap;
    for (i = middle->head;; i = i->parent->head) {
        arc* a = i->parent;
        if (a == terminal()) break;
        if (bottleneck > a->r_cap) bottleneck = a->r_cap;
    }
    if (bottleneck > -i->tr_cap) bottleneck = -i->tr_cap;

    middle->sister->r_cap += bottleneck;
    middle->r_cap -= bottleneck;

    // Push along the source path; saturated parent arcs leave orphans.
    for (i = middle->sister->head;;) {
        arc* a = i->parent;
        if (a == terminal()) break;
        a->r_cap += bottleneck;
        a->sister->r_cap -= bottleneck;
        if (!a->sister->r_cap) orphan_to_front(i);
        i = a->head;
    }
    i->tr_cap -= bottleneck;
    if (!i->tr_cap) orphan_to_front(i);

    for (i = middle->head;;) {
        arc* a = i->parent;
        if (a == terminal()) break;
        a->sister->r_cap += bottleneck;
        a->r_cap -= bottleneck;
        if (!a->r_cap) orphan_to_front(i);
        i = a->head;
    }
    i->tr_cap += bottleneck;
    if (!i->tr_cap) orphan_to_front(i);

    flow += bottleneck;
}

// Grows the source tree (sink = false) or the sink tree (sink = true) from
// its node i over every arc with residual capacity away from the terminal.
// Returns the first arc found that leads into the other tree, oriented from
// the source side to the sink side, or null.
template <typename captype, typename tcaptype, typename flowtype>
template <bool sink>
typename Graph<captype, tcaptype, flowtype>::arc* Graph<captype, tcaptype, flowtype>::grow_tree(node* i) {
    for (arc* a = i->first_out; a; a = a->next_out) {
        if (!(sink ? a->sister->r_cap : a->r_cap)) continue;
        node* j = a->head;
        if (!j->parent) {
            j->is_sink = sink;
            j->parent = a->sister;
            j->TS = i->TS;
            j->DIST = i->DIST + 1;
            activate(j);
            note_changed(j);
        } else if (static_cast<bool>(j->is_sink) != sink) {
            return sink ? a->sister : a;
        } else if (j->TS <= i->TS && j->DIST > i->DIST) {
            j->parent = a->sister;
            j->TS = i->TS;
            j->DIST = i->DIST + 1;
        }
    }
    return nullptr;
}

// Finds a new parent for orphan i of the source tree (sink = false) or the
// sink tree (sink = true), or frees it. The two trees mirror each other: the
// residual capacity that counts runs towards the node in the source tree and
// away from it in the sink tree.
template <typename captype, typename tcaptype, typename flowtype>
template <bool sink>
void Graph<captype, tcaptype, flowtype>::adopt_orphan(node* i) {
    using graph_detail::INFINITE_DIST;
    auto residual_to_tree = [](const arc* a0) { return sink ? a0->r_cap : a0->sister->r_cap; };
    arc* chosen = nullptr;
    int d_min = INFINITE_DIST;

    for (arc* a0 = i->first_out; a0; a0 = a0->next_out) {
        if (!residual_to_tree(a0)) continue;
        node* j = a0->head;
        if (static_cast<bool>(j->is_sink) != sink || !j->parent) continue;
        // Distance of j from its terminal, or infinite when its path passes
        // an orphan; distances stamped in this step are reused.
        int d = 0;
        for (;;) {
            if (j->TS == CLOCK) {
                d += j->DIST;
                break;
            }
            arc* a = j->parent;
            ++d;
            if (a == terminal()) {
                j->TS = CLOCK;
                j->DIST = 1;
                break;
            }
            if (a == orphan()) {
                d = INFINITE_DIST;
                break;
            }
            j = a->head;
        }
        if (d < INFINITE_DIST) {
            if (d < d_min) {
                chosen = a0;
                d_min = d;
            }
            for (j = a0->head; j->TS != CLOCK; j = j->parent->head) {
                j->TS = CLOCK;
                j->DIST = d--;
            }
        }
    }

    if (chosen) {
        i->parent = chosen;
        i->TS = CLOCK;
        i->DIST = d_min + 1;
        return;
    }
    i->parent = nullptr;
    note_changed(i);
    for (arc* a0 = i->first_out; a0; a0 = a0->next_out) {
        node* j = a0->head;
        arc* a = j->parent;
        if (static_cast<bool>(j->is_sink) != sink || !a) continue;
        if (residual_to_tree(a0)) activate(j);
        if (is_arc(a) && a->head == i) orphan_to_rear(j);
    }
}

// Each orphan queued by augment is handled together with all the orphans it
// causes, breadth first, before the next one.
template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::adopt_queued_orphans() {
    while (orphan_cell* head = orphan_first) {
        orphan_cell* rest = head->next;
        head->next = nullptr;
        while (orphan_cell* cell = orphan_first) {
            node* i = cell->ptr;
            orphan_first = cell->next;
            orphan_pool->give_back(cell);
            if (!orphan_first) orphan_last = nullptr;
            if (i->is_sink) adopt_orphan<true>(i);
            else adopt_orphan<false>(i);
        }
        orphan_first = rest;
    }
}

template <typename captype, typename tcaptype, typename flowtype>
flowtype Graph<captype, tcaptype, flowtype>::maxflow(bool reuse_trees, ChunkList<node_id>* _changed_list) {
    if (!orphan_pool) {
        orphan_pool = new (std::nothrow) ItemPool<orphan_cell>(128, error_fn);
        if (!orphan_pool) graph_detail::fatal(error_fn, "Not enough memory!");
    }
    changed_list = _changed_list;
    if (maxflow_count == 0 && reuse_trees)
        graph_detail::fatal(error_fn, "reuse_trees cannot be used in the first call to maxflow()!");
    if (changed_list && !reuse_trees)
        graph_detail::fatal(error_fn, "changed_list cannot be used without reuse_trees!");

    if (reuse_trees) init_reused_trees();
    else init_trees();

    node* current_node = nullptr;
    for (;;) {
        node* i = current_node;
        if (i) {
            i->active_link = nullptr;
            if (!i->parent) i = nullptr;
        }
        if (!i && !(i = take_active())) break;

        // Grow the tree of i; stop at the first arc into the other tree.
        arc* middle = i->is_sink ? grow_tree<true>(i) : grow_tree<false>(i);

        ++CLOCK;

        if (middle) {
            // i may have further paths: grow it again next, not from a queue.
            i->active_link = i;
            current_node = i;
            augment(middle);
            adopt_queued_orphans();
        } else {
            current_node = nullptr;
        }
    }

    if (!reuse_trees || maxflow_count % 64 == 0) {
        delete orphan_pool;
        orphan_pool = nullptr;
    }
    ++maxflow_count;
    return flow;
}

template <typename captype, typename tcaptype, typename flowtype>
void Graph<captype, tcaptype, flowtype>::check_consistency(node* current_node) {
    int num1 = 0, num2 = 0;
    for (node* i = nodes; i < node_last; ++i)
        if (i->active_link || i == current_node) ++num1;
    for (int r = 0; r < 2; ++r) {
        node* i = queue_first[r];
        if (!i) continue;
        for (;; i = i->active_link) {
            ++num2;
            if (i->active_link == i) {
                GRAPH_CHECK(i == queue_last[r]);
                break;
            }
        }
    }
    if (current_node) {
        GRAPH_CHECK(current_node->active_link == current_node);
        ++num2;
    }
    GRAPH_CHECK(num1 == num2);

    for (node* i = nodes; i < node_last; ++i) {
        if (!i->parent) continue;
        if (i->parent == terminal()) {
            if (!i->is_sink) GRAPH_CHECK(i->tr_cap > 0);
            else GRAPH_CHECK(i->tr_cap < 0);
        } else if (is_arc(i->parent)) {
            if (!i->is_sink) GRAPH_CHECK(i->parent->sister->r_cap > 0);
            else GRAPH_CHECK(i->parent->r_cap > 0);
        }
        if (!i->active_link) {
            if (!i->is_sink) {
                GRAPH_CHECK(i->tr_cap >= 0);
                for (arc* a = i->first_out; a; a = a->next_out)
                    if (a->r_cap > 0) GRAPH_CHECK(a->head->parent && !a->head->is_sink);
            } else {
                GRAPH_CHECK(i->tr_cap <= 0);
                for (arc* a = i->first_out; a; a = a->next_out)
                    if (a->sister->r_cap > 0) GRAPH_CHECK(a->head->parent && a->head->is_sink);
            }
        }
        if (is_arc(i->parent)) {
            GRAPH_CHECK(i->TS <= i->parent->head->TS);
            if (i->TS == i->parent->head->TS) GRAPH_CHECK(i->DIST > i->parent->head->DIST);
        }
    }
}
