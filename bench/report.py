#!/usr/bin/env python3
"""Markdown tables from the JSON output of bench_maxflow.

Usage: report.py build-bench/bench_maxflow.json [more.json ...] > tables.md
Later files add to (and replace rows of) earlier ones.
"""
import json
import re
import sys
from collections import defaultdict

PEERS = ["boost", "boost_csr", "lemon"]
ENGINES = ["ours"] + PEERS


def load(path):
    with open(path) as f:
        data = json.load(f)
    rows, errors, built = {}, {}, {}
    for b in data["benchmarks"]:
        if b.get("run_type", "iteration") != "iteration":
            continue
        m = re.match(r"maxflow/([^/]+)/([^/]+)/x:(\d+)", b["name"])
        c = re.match(r"construct/([^/]+)/([^/]+)/", b["name"])
        if m:
            key = (m.group(1), int(m.group(3)), m.group(2))
            if b.get("error_occurred"):
                errors[key] = b.get("error_message", "error")
            else:
                rows[key] = b
        elif c and not b.get("error_occurred"):
            built[(c.group(1), 1, c.group(2))] = b
    return data.get("context", {}), rows, errors, built


def ms(v):
    if v >= 100:
        return f"{v:.0f}"
    if v >= 10:
        return f"{v:.1f}"
    return f"{v:.2f}"


def graph_order(rows, errors):
    seen = []
    for (g, s, e) in list(rows) + list(errors):
        if (g, s) not in seen:
            seen.append((g, s))
    def key(gs):
        g, s = gs
        kind = 0 if g.startswith("grid") else 1
        size = {"250k": 0, "1MP": 1, "4MP": 2}.get(g.split("_")[-1], 0)
        return (kind, size if kind == 0 else int(re.sub(r"\D", "", g)), g, s)
    return sorted(seen, key=key)


def main(paths):
    rows, errors, built = {}, {}, {}
    for path in paths:
        _, r, e, b = load(path)
        for key in r:
            errors.pop(key, None)
        rows.update(r)
        errors.update({k: v for k, v in e.items() if k not in rows})
        built.update(b)
    out = []
    out.append("| graph | x | nodes | arcs (ours) | flow | ours ms | boost ms | boost_csr ms | lemon ms | ours / fastest peer |")
    out.append("|---|---|---|---|---|---|---|---|---|---|")
    for g, s in graph_order(rows, errors):
        r = {e: rows.get((g, s, e)) for e in ENGINES}
        if r["ours"] is None:
            continue
        cells = []
        for e in ENGINES:
            if r[e] is None:
                cells.append("n/r" if (g, s, e) in errors else "-")
            else:
                cells.append(ms(r[e]["real_time"]))
        peer_times = {e: r[e]["real_time"] for e in PEERS if r[e] is not None}
        if peer_times:
            best = min(peer_times, key=peer_times.get)
            ratio = f"{r['ours']['real_time'] / peer_times[best]:.3f} (1/{peer_times[best] / r['ours']['real_time']:.1f} of {best})"
        else:
            ratio = "-"
        o = r["ours"]
        out.append(f"| {g} | {s} | {int(o['nodes'])} | {int(o['arcs'])} | {int(o['flow'])} | " + " | ".join(cells) + f" | {ratio} |")
    out.append("")
    out.append("Construction (construct/* benchmarks, CPU ms, x1; x10 and x100 change only capacity values):")
    out.append("")
    out.append("| graph | ours | boost | boost_csr | lemon | ours / fastest peer |")
    out.append("|---|---|---|---|---|---|")
    for g, s in graph_order(built, {}):
        r = {e: built.get((g, 1, e)) for e in ENGINES}
        if r["ours"] is None:
            continue
        cells = [ms(r[e]["real_time"]) if r[e] else "-" for e in ENGINES]
        peer = [r[e]["real_time"] for e in PEERS if r[e]]
        ratio = f"{r['ours']['real_time'] / min(peer):.2f}" if peer else "-"
        out.append(f"| {g} | " + " | ".join(cells) + f" | {ratio} |")
    out.append("")
    out.append("Memory held after construction (construct/* benchmarks, x1; allocation counter, usable bytes;"
               " bytes/node = total / nodes, bytes/arc = total / neighbour arcs; extra peak while solving from the"
               " checked maxflow run):")
    out.append("")
    out.append("| graph | engine | MB | MB (mallinfo2) | bytes/node | bytes/arc | allocations | extra peak while solving MB | ours bytes/node vs this |")
    out.append("|---|---|---|---|---|---|---|---|---|")
    for g, s in graph_order(built, {}):
        ours = built.get((g, 1, "ours"))
        if ours is None:
            continue
        for e in ENGINES:
            r = built.get((g, 1, e))
            if r is None:
                continue
            solve = rows.get((g, 1, e))
            peak = f"{solve['solve_peak_MB']:.1f}" if solve else "n/r"
            vs = f"{ours['bytes_per_node'] / r['bytes_per_node']:.2f}x" if e != "ours" else ""
            out.append(f"| {g} | {e} | {r['MB']:.1f} | {r['MB_mallinfo']:.1f} | {r['bytes_per_node']:.1f} | "
                       f"{r['bytes_per_arc']:.1f} | {int(r['allocs'])} | {peak} | {vs} |")
    # Per node / per arc split from the 4- and 8-connected grids of one size.
    out.append("")
    out.append("Per-node and per-arc split, solved from the 4- and 8-connected grids of the same size"
               " (bytes = a * nodes + b * neighbour arcs; a includes a node's terminal arcs for the peers):")
    out.append("")
    out.append("| size | engine | a: bytes per node | b: bytes per neighbour arc | a vs boost | a vs boost_csr |")
    out.append("|---|---|---|---|---|---|")
    for size in ["250k", "1MP", "4MP"]:
        split = {}
        for e in ENGINES:
            r4 = built.get((f"grid4_{size}", 1, e))
            r8 = built.get((f"grid8_{size}", 1, e))
            o4 = built.get((f"grid4_{size}", 1, "ours"))
            o8 = built.get((f"grid8_{size}", 1, "ours"))
            if not (r4 and r8 and o4 and o8):
                continue
            n = o4["nodes"]
            a4, a8 = o4["arcs"], o8["arcs"]
            m4, m8 = r4["MB"] * 1e6, r8["MB"] * 1e6
            b = (m8 - m4) / (a8 - a4)
            a = (m4 - b * a4) / n
            split[e] = (a, b)
        for e, (a, b) in split.items():
            vb = f"{split['ours'][0] / split['boost'][0]:.2f}x" if e == "ours" and "boost" in split else ""
            vc = f"{split['ours'][0] / split['boost_csr'][0]:.2f}x" if e == "ours" and "boost_csr" in split else ""
            out.append(f"| {size} | {e} | {a:.1f} | {b:.1f} | {vb} | {vc} |")
    out.append("")
    ours_any = next((r for (g, s, e), r in built.items() if e == "ours"), None)
    if ours_any:
        out.append(f"Our records: node {int(ours_any['node_rec_B'])} bytes, arc {int(ours_any['arc_rec_B'])} bytes.")
        checks = sorted({(g, int(r['ctor_allocs']), int(r['add_allocs']), int(r['add_bytes_mallinfo']))
                         for src in (rows, built) for (g, s, e), r in src.items() if e == "ours"})
        bad = [c for c in checks if c[1] != 2 or c[2] != 0 or c[3] != 0]
        out.append(f"Construction check (ours, exact hints): constructor allocations = 2, allocations during "
                   f"add_node/add_terminal_caps/add_edge = 0, mallinfo2 change during them = 0: "
                   f"{'met on every graph' if not bad else 'NOT met: ' + str(bad)}.")
    if errors:
        out.append("")
        out.append("Not run / errors:")
        for (g, s, e), msg in sorted(errors.items()):
            out.append(f"- {g} x{s} {e}: {msg}")
    print("\n".join(out))


if __name__ == "__main__":
    main(sys.argv[1:] or ["build-bench/bench_maxflow.json"])
