// Max-flow benchmark: our engine against Boost's push-relabel and LEMON's
// Preflow on segmentation-style pixel grids and region adjacency graphs.
//
// Two families per graph and engine, timed by hand with the CPU time of the
// benchmark thread:
// - construct/<graph>/<engine>: building the engine's graph with all its
//   capacities (x1), with the memory it holds as counters;
// - maxflow/<graph>/<engine>/x:<strength>: the maximum flow alone, for the
//   neighbour strengths x1, x10, x100 (see engine_selected for which run by
//   default); each iteration builds a fresh graph (counter construct_ms) and
//   solves it.
//
// Before the first timed iteration of a graph and strength, every engine is
// run once (the checked run): the flows must agree, and our minimum cut,
// recounted in 64 bits, must equal our flow; otherwise the benchmarks of
// that graph stop with an error. The checked run also measures memory
// between its timed sections: bytes held by each engine's graph after
// construction (allocation counter and mallinfo2), the peak extra memory
// while solving, and for our engine the allocations made after the
// constructor (0 expected with exact hints). Its times count as the first
// iteration of each engine's benchmark; further iterations build and solve
// afresh.
//
// Own flags: --full_sweep (every engine on every graph at x1, x10, x100),
// --fresh_pages (glibc's default heap: large blocks mapped and unmapped each
// time, so every construction pays first-touch page faults),
// --lemon_max_nodes=N (largest graph given to LEMON, default 300000),
// --engines=boost,boost_csr,lemon (the peers to run and check against;
// default all; ours always runs).
#include "alloc_counter.h"
#include "engines.h"
#include "problems.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <malloc.h>
#include <sys/resource.h>
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace bench {
namespace {

// Times are CPU time of the benchmark thread (user + system): the machine
// may be shared with other work, and CPU time is far less disturbed by it
// than wall-clock time. Wall-clock time is reported as counters too.
struct Stopwatch {
    std::chrono::steady_clock::time_point wall;
    double cpu;
    static double thread_cpu() {
        rusage usage;
        getrusage(RUSAGE_THREAD, &usage);
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               1e-6 * static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
    }
    Stopwatch() : wall(std::chrono::steady_clock::now()), cpu(thread_cpu()) {}
    double cpu_seconds() const { return thread_cpu() - cpu; }
    double wall_seconds() const {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
    }
};

struct GraphCase {
    std::string name;
    enum Kind { Grid, Rag } kind;
    int width = 0, height = 0, connectivity = 4;  // Grid
    int regions = 0;                              // Rag
    bool sweep = false;  // x10 and x100 too (always with --full_sweep)
};

const std::vector<GraphCase>& graph_cases() {
    static const std::vector<GraphCase> cases = {
        {"grid4_250k", GraphCase::Grid, 578, 433, 4, 0, false},
        {"grid8_250k", GraphCase::Grid, 578, 433, 8, 0, false},
        {"grid4_1MP", GraphCase::Grid, 1155, 866, 4, 0, true},
        {"grid8_1MP", GraphCase::Grid, 1155, 866, 8, 0, true},
        {"grid4_4MP", GraphCase::Grid, 2310, 1732, 4, 0, false},
        {"grid8_4MP", GraphCase::Grid, 2310, 1732, 8, 0, false},
        {"rag_2k", GraphCase::Rag, 0, 0, 0, 2000, true},
        {"rag_20k", GraphCase::Rag, 0, 0, 0, 20000, true},
        {"rag_50k", GraphCase::Rag, 0, 0, 0, 50000, true},
    };
    return cases;
}

constexpr int kStrengths[] = {1, 10, 100};
bool g_full_sweep = false;
bool g_fresh_pages = false;
std::string g_engines;  // ",boost,lemon,": the peers to run; empty: all
// LEMON's Preflow has no global relabelling and grows roughly with the
// square of the grid size here (about 1 s at 62k pixels, 15 s at 250k), so
// it is left out above this many nodes unless --lemon_max_nodes says more.
long g_lemon_max_nodes = 300000;

// Which engines run on a graph at a strength, in the benchmarks and in the
// checked run alike. Without --full_sweep, the Boost adjacency_list runs at
// x1 only (Boost's algorithm is the same as on the compressed rows, which
// run at every strength), and graphs without the sweep at x1 only.
bool engine_selected(const GraphCase& graph, EngineKind kind, int strength) {
    if (!g_engines.empty() && kind != EngineKind::Ours &&
        g_engines.find("," + std::string(engine_name(kind)) + ",") == std::string::npos)
        return false;
    if (kind == EngineKind::Lemon && graph.width * graph.height + graph.regions > g_lemon_max_nodes) return false;
    if (strength == 1 || g_full_sweep) return true;
    return graph.sweep && kind != EngineKind::Boost;
}

// The graphs of one case stay cached while its benchmarks run (they run one
// case after the other); the previous case's graphs are dropped.
struct CachedGraphs {
    std::string name;
    std::unique_ptr<BaseProblem> base;
    std::map<int, Problem> by_strength;
};

CachedGraphs& cache() {
    static CachedGraphs c;
    return c;
}

const Problem& problem(const GraphCase& graph, int strength) {
    CachedGraphs& c = cache();
    if (c.name != graph.name) {
        c.by_strength.clear();
        c.base.reset();
        c.name = graph.name;
        const std::string dir = examples_dir();
        c.base = std::make_unique<BaseProblem>(
            graph.kind == GraphCase::Grid
                ? make_grid(graph.name, dir + "/coffee.ppm", dir + "/coffee_seeds.txt", graph.width, graph.height,
                            graph.connectivity)
                : make_rag(graph.name, graph.regions, 12345u + static_cast<unsigned>(graph.regions)));
    }
    auto it = c.by_strength.find(strength);
    if (it == c.by_strength.end()) it = c.by_strength.emplace(strength, scale(*c.base, strength)).first;
    return it->second;
}

struct EngineRun {
    bool ran = false;
    std::int64_t flow = 0;
    double construct_cpu = 0, construct_wall = 0;  // seconds
    double solve_cpu = 0, solve_wall = 0;
    std::int64_t bytes = 0;           // live bytes after construction (allocation counter)
    std::int64_t bytes_mallinfo = 0;  // the same by mallinfo2
    std::uint64_t allocations = 0;    // allocations during construction
    std::int64_t solve_peak = 0;      // peak extra bytes while solving
    std::size_t arcs = 0;
};

// The checked run of one graph and strength: every engine once, with the
// memory measurements between the timed sections. It also serves as the
// first timed iteration of each engine's benchmark.
struct CheckedRun {
    bool ok = true;
    std::string error;
    std::map<EngineKind, EngineRun> runs;
    std::uint64_t ours_ctor_allocations = 0;
    std::uint64_t ours_fill_allocations = 0;
    std::int64_t ours_fill_mallinfo = 0;
};

EngineRun run_ours(const Problem& p, CheckedRun& r) {
    EngineRun s;
    OursProbe ours;
    const alloc_counter::Snapshot before = alloc_counter::now();
    const std::int64_t mi_before = alloc_counter::mallinfo_bytes();
    Stopwatch ctor_watch;
    ours.construct(p);
    s.construct_cpu = ctor_watch.cpu_seconds();
    s.construct_wall = ctor_watch.wall_seconds();
    const alloc_counter::Snapshot constructed = alloc_counter::now();
    const std::int64_t mi_constructed = alloc_counter::mallinfo_bytes();
    Stopwatch fill_watch;
    ours.fill(p);
    s.construct_cpu += fill_watch.cpu_seconds();
    s.construct_wall += fill_watch.wall_seconds();
    const alloc_counter::Snapshot filled = alloc_counter::now();
    const std::int64_t mi_filled = alloc_counter::mallinfo_bytes();
    r.ours_ctor_allocations = constructed.allocations - before.allocations;
    r.ours_fill_allocations = filled.allocations - constructed.allocations;
    r.ours_fill_mallinfo = mi_filled - mi_constructed;
    s.bytes = filled.live_bytes - before.live_bytes;
    s.bytes_mallinfo = mi_filled - mi_before;
    s.allocations = filled.allocations - before.allocations;
    s.arcs = 2 * p.edges();
    alloc_counter::reset_peak();
    Stopwatch solve_watch;
    s.flow = ours.solve();
    s.solve_cpu = solve_watch.cpu_seconds();
    s.solve_wall = solve_watch.wall_seconds();
    s.solve_peak = alloc_counter::now().peak_bytes - filled.live_bytes;
    s.ran = true;
    for (bool free_on_source : {false, true}) {
        const std::int64_t cut = ours.cut_value(p, free_on_source);
        if (cut != s.flow) {
            r.ok = false;
            std::ostringstream msg;
            msg << "our cut (" << cut << ", free nodes on the " << (free_on_source ? "source" : "sink")
                << " side) differs from our flow " << s.flow;
            r.error = msg.str();
        }
    }
    return s;
}

EngineRun run_peer(EngineKind kind, const Problem& p) {
    EngineRun s;
    const alloc_counter::Snapshot before = alloc_counter::now();
    const std::int64_t mi_before = alloc_counter::mallinfo_bytes();
    Stopwatch build_watch;
    auto engine = make_engine(kind);
    engine->build(p);
    s.construct_cpu = build_watch.cpu_seconds();
    s.construct_wall = build_watch.wall_seconds();
    const alloc_counter::Snapshot built = alloc_counter::now();
    s.bytes_mallinfo = alloc_counter::mallinfo_bytes() - mi_before;
    s.bytes = built.live_bytes - before.live_bytes;
    s.allocations = built.allocations - before.allocations;
    s.arcs = engine->arcs();
    alloc_counter::reset_peak();
    Stopwatch solve_watch;
    s.flow = engine->solve();
    s.solve_cpu = solve_watch.cpu_seconds();
    s.solve_wall = solve_watch.wall_seconds();
    s.solve_peak = alloc_counter::now().peak_bytes - built.live_bytes;
    s.ran = true;
    return s;
}

const CheckedRun& checked_run(const GraphCase& graph, int strength) {
    static std::map<std::pair<std::string, int>, CheckedRun> runs;
    const auto key = std::make_pair(graph.name, strength);
    if (auto it = runs.find(key); it != runs.end()) return it->second;
    const Problem& p = problem(graph, strength);
    CheckedRun r;
    r.runs[EngineKind::Ours] = run_ours(p, r);
    for (EngineKind kind : kAllEngines)
        if (kind != EngineKind::Ours && engine_selected(graph, kind, strength)) r.runs[kind] = run_peer(kind, p);

    const std::int64_t expected = r.runs[EngineKind::Ours].flow;
    for (const auto& [kind, s] : r.runs)
        if (s.flow != expected) {
            r.ok = false;
            std::ostringstream msg;
            msg << "flows differ:";
            for (const auto& [k2, s2] : r.runs) msg << ' ' << engine_name(k2) << '=' << s2.flow;
            r.error = msg.str();
            break;
        }
    if (!r.ok) std::fprintf(stderr, "%s x%d: %s\n", graph.name.c_str(), strength, r.error.c_str());
    return runs.emplace(key, std::move(r)).first->second;
}

void bm_maxflow(benchmark::State& state, const GraphCase& graph, EngineKind kind) {
    const int strength = static_cast<int>(state.range(0));
    const Problem& p = problem(graph, strength);
    const CheckedRun& checked = checked_run(graph, strength);
    if (!checked.ok) {
        state.SkipWithError(checked.error.c_str());
        return;
    }
    const auto found = checked.runs.find(kind);
    if (found == checked.runs.end()) {
        state.SkipWithError("not run on this graph (see --lemon_max_nodes)");
        return;
    }
    const EngineRun& first = found->second;
    double construct_cpu = 0, construct_wall = 0, solve_wall = 0;
    bool first_iteration = true;
    for (auto _ : state) {
        if (first_iteration) {  // the checked run
            first_iteration = false;
            construct_cpu += first.construct_cpu;
            construct_wall += first.construct_wall;
            solve_wall += first.solve_wall;
            state.SetIterationTime(first.solve_cpu);
            continue;
        }
        const Stopwatch build_watch;
        auto engine = make_engine(kind);
        engine->build(p);
        construct_cpu += build_watch.cpu_seconds();
        construct_wall += build_watch.wall_seconds();
        const Stopwatch solve_watch;
        const std::int64_t flow = engine->solve();
        state.SetIterationTime(solve_watch.cpu_seconds());
        solve_wall += solve_watch.wall_seconds();
        if (flow != first.flow) {
            state.SkipWithError("flow differs from the checked value");
            break;
        }
    }
    const double nodes = p.nodes;
    const double arcs = 2.0 * static_cast<double>(p.edges());
    const double iterations = static_cast<double>(std::max<benchmark::IterationCount>(1, state.iterations()));
    auto& c = state.counters;
    c["construct_ms"] = 1e3 * construct_cpu / iterations;
    c["construct_wall_ms"] = 1e3 * construct_wall / iterations;
    c["maxflow_wall_ms"] = 1e3 * solve_wall / iterations;
    c["flow"] = static_cast<double>(first.flow);
    c["checked_engines"] = static_cast<double>(checked.runs.size());
    c["nodes"] = nodes;
    c["arcs"] = static_cast<double>(first.arcs);
    c["MB"] = static_cast<double>(first.bytes) / 1e6;
    c["MB_mallinfo"] = static_cast<double>(first.bytes_mallinfo) / 1e6;
    c["bytes_per_node"] = static_cast<double>(first.bytes) / nodes;
    c["bytes_per_arc"] = static_cast<double>(first.bytes) / arcs;
    c["allocs"] = static_cast<double>(first.allocations);
    c["solve_peak_MB"] = static_cast<double>(first.solve_peak) / 1e6;
    if (kind == EngineKind::Ours) {
        c["node_rec_B"] = static_cast<double>(OursProbe::node_record_bytes());
        c["arc_rec_B"] = static_cast<double>(OursProbe::arc_record_bytes());
        c["ctor_allocs"] = static_cast<double>(checked.ours_ctor_allocations);
        c["add_allocs"] = static_cast<double>(checked.ours_fill_allocations);
        c["add_bytes_mallinfo"] = static_cast<double>(checked.ours_fill_mallinfo);
    }
}

// Construction alone, at strength x1 (the strength changes only capacity
// values), for every engine on every graph, after one untimed warm-up build.
// The first timed iteration also measures the memory held by the graph.
void bm_construct(benchmark::State& state, const GraphCase& graph, EngineKind kind) {
    const Problem& p = problem(graph, 1);
    make_engine(kind)->build(p);  // warm-up, untimed: the heap grows to the size needed
    bool first_iteration = true;
    std::int64_t bytes = 0, bytes_mallinfo = 0, fill_mallinfo = 0;
    std::uint64_t allocations = 0, ctor_allocations = 0, fill_allocations = 0;
    std::size_t arcs = 0;
    double wall = 0;
    for (auto _ : state) {
        const bool measure = first_iteration;
        first_iteration = false;
        double cpu = 0;
        if (kind == EngineKind::Ours) {
            OursProbe ours;
            const alloc_counter::Snapshot before = alloc_counter::now();
            const std::int64_t mi_before = measure ? alloc_counter::mallinfo_bytes() : 0;
            const Stopwatch ctor_watch;
            ours.construct(p);
            cpu += ctor_watch.cpu_seconds();
            wall += ctor_watch.wall_seconds();
            const alloc_counter::Snapshot constructed = alloc_counter::now();
            const std::int64_t mi_constructed = measure ? alloc_counter::mallinfo_bytes() : 0;
            const Stopwatch fill_watch;
            ours.fill(p);
            cpu += fill_watch.cpu_seconds();
            wall += fill_watch.wall_seconds();
            const alloc_counter::Snapshot filled = alloc_counter::now();
            if (measure) {
                const std::int64_t mi_filled = alloc_counter::mallinfo_bytes();
                bytes = filled.live_bytes - before.live_bytes;
                bytes_mallinfo = mi_filled - mi_before;
                fill_mallinfo = mi_filled - mi_constructed;
                allocations = filled.allocations - before.allocations;
                ctor_allocations = constructed.allocations - before.allocations;
                arcs = 2 * p.edges();
            }
            fill_allocations = std::max(fill_allocations, filled.allocations - constructed.allocations);
        } else {
            const alloc_counter::Snapshot before = alloc_counter::now();
            const std::int64_t mi_before = measure ? alloc_counter::mallinfo_bytes() : 0;
            const Stopwatch watch;
            auto engine = make_engine(kind);
            engine->build(p);
            cpu = watch.cpu_seconds();
            wall += watch.wall_seconds();
            if (measure) {
                const alloc_counter::Snapshot built = alloc_counter::now();
                bytes = built.live_bytes - before.live_bytes;
                bytes_mallinfo = alloc_counter::mallinfo_bytes() - mi_before;
                allocations = built.allocations - before.allocations;
                arcs = engine->arcs();
            }
        }
        state.SetIterationTime(cpu);
    }
    const double nodes = p.nodes;
    const double neighbour_arcs = 2.0 * static_cast<double>(p.edges());
    const double iterations = static_cast<double>(std::max<benchmark::IterationCount>(1, state.iterations()));
    auto& c = state.counters;
    c["wall_ms"] = 1e3 * wall / iterations;
    c["nodes"] = nodes;
    c["arcs"] = static_cast<double>(arcs);
    c["MB"] = static_cast<double>(bytes) / 1e6;
    c["MB_mallinfo"] = static_cast<double>(bytes_mallinfo) / 1e6;
    c["bytes_per_node"] = static_cast<double>(bytes) / nodes;
    c["bytes_per_arc"] = static_cast<double>(bytes) / neighbour_arcs;
    c["allocs"] = static_cast<double>(allocations);
    if (kind == EngineKind::Ours) {
        c["node_rec_B"] = static_cast<double>(OursProbe::node_record_bytes());
        c["arc_rec_B"] = static_cast<double>(OursProbe::arc_record_bytes());
        c["ctor_allocs"] = static_cast<double>(ctor_allocations);
        c["add_allocs"] = static_cast<double>(fill_allocations);  // the most over all iterations
        c["add_bytes_mallinfo"] = static_cast<double>(fill_mallinfo);
    }
}

void register_all() {
    for (const GraphCase& graph : graph_cases()) {
        for (EngineKind kind : kAllEngines) {
            const std::string name = "construct/" + graph.name + "/" + engine_name(kind);
            benchmark::RegisterBenchmark(name.c_str(), bm_construct, graph, kind)
                ->UseManualTime()
                ->Unit(benchmark::kMillisecond);
        }
        for (EngineKind kind : kAllEngines) {
            const std::string name = "maxflow/" + graph.name + "/" + engine_name(kind);
            auto* b = benchmark::RegisterBenchmark(name.c_str(), bm_maxflow, graph, kind);
            b->ArgName("x");
            bool any = false;
            for (int s : kStrengths)
                if (engine_selected(graph, kind, s)) {
                    b->Arg(s);
                    any = true;
                }
            if (!any) b->Arg(1);  // listed, and reported as not run
            b->UseManualTime()->Unit(benchmark::kMillisecond);
        }
    }
}

// Takes this program's own flags out of argv before the library sees them.
void parse_own_flags(int& argc, char** argv) {
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--full_sweep") {
            g_full_sweep = true;
        } else if (arg.rfind("--engines=", 0) == 0) {
            g_engines = "," + arg.substr(10) + ",";
        } else if (arg == "--fresh_pages") {
            g_fresh_pages = true;
        } else if (arg.rfind("--lemon_max_nodes=", 0) == 0) {
            g_lemon_max_nodes = std::stol(arg.substr(18));
        } else {
            argv[out++] = argv[i];
        }
    }
    argc = out;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
    bench::parse_own_flags(argc, argv);
    if (!bench::g_fresh_pages) {
        // Keep freed memory in the heap and never map blocks of their own, so
        // that a graph built again reuses pages already touched: on some
        // virtual machines a first-touch page fault costs ~15 us, which would
        // otherwise dominate construction above ~32 MB (glibc's largest mmap
        // threshold) and the peers' allocations inside their max-flow calls.
        mallopt(M_MMAP_MAX, 0);
        mallopt(M_TRIM_THRESHOLD, -1);
    }
    bench::register_all();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::AddCustomContext("examples", bench::examples_dir());
    benchmark::AddCustomContext("lemon_max_nodes", std::to_string(bench::g_lemon_max_nodes));
    benchmark::AddCustomContext("timing", "manual time = CPU time of the benchmark thread");
    benchmark::AddCustomContext("heap", bench::g_fresh_pages ? "glibc defaults (fresh pages above the mmap threshold)"
                                                            : "no mmap, no trimming (pages reused)");
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
