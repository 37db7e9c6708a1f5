#!/usr/bin/env python3
"""Writes the benchmark report from fennic_compare_bench's JSON output.

Usage: report.py RESULTS.json REPORT.md [NOTES.md]

The report holds, per expression and as geometric means, the ratios
Fennic / GCC (long double and double), muparser / Fennic for evaluation, and
Fennic / muparser for a whole compilation; a table and a plot of how
compilation time and code size grow with the size of an expression; and the
text of NOTES.md (the interpretation, kept by hand). The plot is written next
to the report as benchmarks-growth.png with matplotlib when it is installed,
else as benchmarks-growth.svg drawn by this script.
"""
import json
import math
import sys
from collections import defaultdict
from pathlib import Path

ENGINES = ["Fennic_Eval", "GCC_LongDouble", "GCC_Double", "Muparser_Eval", "Fennic_Compile",
           "Muparser_Compile", "Fennic_Recompile", "Fennic_SetUp", "Fennic_Simplify", "Fennic_Build"]

TARGET_NATIVE = 1.0    # Fennic / GCC long double: no slower
TARGET_MUPARSER = 8.0  # muparser / Fennic evaluation: at least
TARGET_COMPILE = 0.5   # Fennic / muparser whole compilation: at most


def geomean(values):
    values = [v for v in values if v > 0 and math.isfinite(v)]
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


def ns(bench):
    """CPU time of one iteration in nanoseconds."""
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[bench.get("time_unit", "ns")]
    return bench["cpu_time"] * scale


def load(path):
    data = json.loads(Path(path).read_text())
    rows = defaultdict(dict)
    extra = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b.get("run_name", b["name"])
        if "/" not in name or name.startswith("Instructions100/"):
            extra[name] = ns(b)
            continue
        engine, expr = name.split("/", 1)
        row = rows[expr]
        row[engine] = ns(b)
        row["operators"] = int(b.get("operators", 0))
        row["calls"] = bool(b.get("calls", 0))
        row["group"] = "random" if expr.startswith("random") else "typical"
        if "code_bytes" in b:
            row["code_bytes"] = int(b["code_bytes"])
    return data.get("context", {}), rows, extra


def fmt_time(value_ns):
    if value_ns >= 1e6:
        return f"{value_ns / 1e6:.2f} ms"
    if value_ns >= 1e3:
        return f"{value_ns / 1e3:.1f} µs"
    return f"{value_ns:.0f} ns"


def ratios(row):
    r = {}
    if "Fennic_Eval" in row:
        f = row["Fennic_Eval"]
        r["vs_ld"] = f / row["GCC_LongDouble"]
        r["vs_d"] = f / row["GCC_Double"]
        r["mu"] = row["Muparser_Eval"] / f
        if "Fennic_Routine" in row:
            r["routine_ld"] = row["Fennic_Routine"] / row["GCC_LongDouble"]
        if "Fennic_EvalImmediate" in row:
            r["imm_ld"] = row["Fennic_EvalImmediate"] / row["GCC_LongDouble"]
    if "Fennic_Compile" in row:
        r["compile"] = row["Fennic_Compile"] / row["Muparser_Compile"]
    return r


def kind(expr, row):
    if row["group"] == "typical":
        return "typical"
    return "random with calls" if "_calls_" in expr else "random without calls"


def growth_plot(rows, target_dir):
    """Compilation time and code size against the number of operators."""
    series = {}
    for calls in (False, True):
        pts = sorted((row["operators"], row) for expr, row in rows.items()
                     if row["group"] == "random" and ("_calls_" in expr) == calls)
        suffix = " (calls)" if calls else ""
        series["Fennic compilation" + suffix] = [(o, r["Fennic_Compile"] / 1e3) for o, r in pts]
        series["muparser compilation" + suffix] = [(o, r["Muparser_Compile"] / 1e3) for o, r in pts]
        series["code bytes" + suffix] = [(o, r.get("code_bytes", 0)) for o, r in pts]
    left = {k: v for k, v in series.items() if "compilation" in k}
    right = {k: v for k, v in series.items() if "code" in k}
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        fig, (a, b) = plt.subplots(1, 2, figsize=(11, 4.2))
        for name, pts in left.items():
            a.plot([p[0] for p in pts], [p[1] for p in pts], marker="o",
                   linestyle="--" if "calls" in name else "-", label=name)
        a.set_xlabel("operators"), a.set_ylabel("CPU time per compilation (µs)"), a.legend()
        for name, pts in right.items():
            b.plot([p[0] for p in pts], [p[1] for p in pts], marker="o",
                   linestyle="--" if "calls" in name else "-", label=name)
        b.set_xlabel("operators"), b.set_ylabel("Fennic routine (bytes)"), b.legend()
        fig.tight_layout()
        out = target_dir / "benchmarks-growth.png"
        fig.savefig(out, dpi=100)
        return out.name
    except ImportError:
        out = target_dir / "benchmarks-growth.svg"
        out.write_text(svg_plot([("Compilation time (µs CPU)", left), ("Fennic code size (bytes)", right)]))
        return out.name


COLORS = ["#1f77b4", "#d62728", "#2ca02c", "#ff7f0e"]


def nice_max(v):
    if v <= 0:
        return 1
    p = 10 ** math.floor(math.log10(v))
    for m in (1, 2, 2.5, 5, 10):
        if m * p >= v:
            return m * p
    return 10 * p


def svg_plot(panels):
    W, H, pad_l, pad_b, pad_t, pad_r = 460, 330, 62, 42, 30, 16
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{W * len(panels)}" height="{H}" '
             f'font-family="sans-serif" font-size="11">',
             f'<rect width="{W * len(panels)}" height="{H}" fill="white"/>']
    for i, (title, series) in enumerate(panels):
        x0 = i * W + pad_l
        pw, ph = W - pad_l - pad_r, H - pad_t - pad_b
        xmax = nice_max(max((p[0] for s in series.values() for p in s), default=1))
        ymax = nice_max(max((p[1] for s in series.values() for p in s), default=1))
        X = lambda v: x0 + v / xmax * pw  # noqa: E731
        Y = lambda v: pad_t + ph - v / ymax * ph  # noqa: E731
        parts.append(f'<text x="{x0 + pw / 2}" y="18" text-anchor="middle" font-size="13">{title}</text>')
        parts.append(f'<rect x="{x0}" y="{pad_t}" width="{pw}" height="{ph}" fill="none" stroke="#444"/>')
        for k in range(6):
            xv, yv = xmax * k / 5, ymax * k / 5
            parts.append(f'<line x1="{X(xv)}" y1="{pad_t + ph}" x2="{X(xv)}" y2="{pad_t + ph + 4}" stroke="#444"/>')
            parts.append(f'<text x="{X(xv)}" y="{pad_t + ph + 16}" text-anchor="middle">{xv:g}</text>')
            parts.append(f'<line x1="{x0}" y1="{Y(yv)}" x2="{x0 + pw}" y2="{Y(yv)}" stroke="#ddd"/>')
            parts.append(f'<text x="{x0 - 5}" y="{Y(yv) + 4}" text-anchor="end">{yv:g}</text>')
        parts.append(f'<text x="{x0 + pw / 2}" y="{H - 8}" text-anchor="middle">operators</text>')
        for j, (name, pts) in enumerate(series.items()):
            color = COLORS[(j // 2 if len(series) > 2 else j) % len(COLORS)]
            if len(series) > 2:
                color = COLORS[(0 if "Fennic" in name else 1) % len(COLORS)]
            dash = ' stroke-dasharray="5,3"' if "calls" in name else ""
            path = " ".join(f"{X(o):.1f},{Y(v):.1f}" for o, v in pts)
            parts.append(f'<polyline points="{path}" fill="none" stroke="{color}" stroke-width="1.8"{dash}/>')
            for o, v in pts:
                parts.append(f'<circle cx="{X(o):.1f}" cy="{Y(v):.1f}" r="2.6" fill="{color}"/>')
            ly = pad_t + 14 + 15 * j
            parts.append(f'<line x1="{x0 + 10}" y1="{ly - 4}" x2="{x0 + 32}" y2="{ly - 4}" stroke="{color}" '
                         f'stroke-width="1.8"{dash}/>')
            parts.append(f'<text x="{x0 + 37}" y="{ly}">{name}</text>')
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def main():
    results, report = Path(sys.argv[1]), Path(sys.argv[2])
    notes = Path(sys.argv[3]) if len(sys.argv) > 3 else None
    context, rows, extra = load(results)
    complete = {e: r for e, r in rows.items() if all(k in r for k in ENGINES[:6])}
    order = sorted(complete, key=lambda e: (complete[e]["group"] != "typical", "_calls_" in e,
                                            complete[e]["operators"], e))
    out = []
    w = out.append
    w("# Benchmarks: Fennic against GCC's x87 code and muparser")
    w("")
    w("Generated by `benchmarks/report.py` from one run of `fennic_compare_bench`; regenerate "
      "everything (build in `build-bench`, run, report) with:")
    w("")
    w("```sh")
    w("bash benchmarks/run.sh")
    w("```")
    w("")
    w(f"Run of {context.get('date', '?')} on {context.get('num_cpus', '?')} CPUs at "
      f"{context.get('mhz_per_cpu', '?')} MHz, load average "
      f"{', '.join(f'{x:.1f}' for x in context.get('load_avg', [])) or '?'}. "
      "All times are CPU time per iteration, as Google Benchmark measures it.")
    w("")
    w("**Every figure below was measured under `qemu-i386` user-mode emulation**: the kernel of the "
      "machine cannot run i386 programs, so Fennic's generated code, GCC's code, muparser and the "
      "benchmark itself are all translated by qemu, and qemu emulates every x87 instruction in "
      "software (80-bit arithmetic included). System calls (`mmap`, `mprotect`, `munmap`) are "
      "passed to the host kernel but carry qemu's bookkeeping of page permissions and of "
      "translated code. Ratios compare code run under the same emulator and are meaningful as such; "
      "they are not the ratios a native i386 or x86-64 processor would show (see the notes).")
    w("")

    # Geometric means.
    groups = defaultdict(list)
    for e in order:
        groups["all"].append(e)
        groups[kind(e, complete[e])].append(e)
        groups["with function calls" if complete[e]["calls"] else "without function calls"].append(e)
    w("## Summary (geometric means)")
    w("")
    w("| expressions | count | Fennic / GCC long double | Fennic / GCC double | muparser / Fennic (eval) "
      "| Fennic / muparser (compilation) | Fennic routine called directly / GCC long double "
      "| Fennic immediate / GCC long double |")
    w("|---|---:|---:|---:|---:|---:|---:|---:|")
    summary = {}
    for g in ["typical", "random without calls", "random with calls", "without function calls",
              "with function calls", "all"]:
        es = groups.get(g, [])
        if not es:
            continue
        rs = [ratios(complete[e]) for e in es]
        m = {k: geomean([r.get(k, float("nan")) for r in rs])
             for k in ("vs_ld", "vs_d", "mu", "compile", "routine_ld", "imm_ld")}
        summary[g] = m
        w(f"| {g} | {len(es)} | {m['vs_ld']:.2f} | {m['vs_d']:.2f} | {m['mu']:.1f} | {m['compile']:.2f} "
          f"| {m['routine_ld']:.2f} | {m['imm_ld']:.2f} |")
    w("")
    w("The last two columns isolate two causes (see the notes): the routine called through a "
      "function pointer as GCC's functions are, without `Evaluate`'s call into the shared library; "
      "and the routine compiled with `BackOperation` off, which emits every operation where it is "
      "met instead of queueing it for interleaving.")
    w("")
    for g in ("all", "without function calls"):
        if g not in summary:
            continue
        m = summary[g]
        w(f"Targets, on the geometric mean of {'all expressions' if g == 'all' else 'the expressions ' + g}:")
        w("")
        w(f"- evaluation no slower than GCC's x87 code in long double (ratio ≤ {TARGET_NATIVE:g}): "
          f"{m['vs_ld']:.3f}, {'met' if m['vs_ld'] <= TARGET_NATIVE else 'missed'}; against GCC's "
          f"double code {m['vs_d']:.3f}, {'met' if m['vs_d'] <= TARGET_NATIVE else 'missed'};")
        w(f"- evaluation at least {TARGET_MUPARSER:g}x faster than muparser's `Eval`: "
          f"{m['mu']:.2f}x, {'met' if m['mu'] >= TARGET_MUPARSER else 'missed'};")
        w(f"- a whole compilation in at most {TARGET_COMPILE:g} of muparser's construction, parse and "
          f"first evaluation: {m['compile']:.3f}, {'met' if m['compile'] <= TARGET_COMPILE else 'missed'}.")
        w("")

    # Per expression.
    w("## Per expression")
    w("")
    w("Evaluation: one call of the compiled routine (`Evaluate`), of GCC's function, of muparser's "
      "`Eval`. Compilation: Fennic's construction, registration of the variables (and the function "
      "pack when the text needs it), `SetExprString` and `Compile`, against muparser's construction, "
      "definitions, `SetExpr` and first `Eval`; both include the release of the object.")
    w("")
    w("| expression | ops | code bytes | Fennic | GCC ld | GCC d | muparser | F/GCC ld | F/GCC d "
      "| mu/F | Fennic compile | muparser compile | F/mu compile |")
    w("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for e in order:
        r = complete[e]
        q = ratios(r)
        w(f"| {e} | {r['operators']} | {r.get('code_bytes', '')} | {fmt_time(r['Fennic_Eval'])} "
          f"| {fmt_time(r['GCC_LongDouble'])} | {fmt_time(r['GCC_Double'])} | {fmt_time(r['Muparser_Eval'])} "
          f"| {q['vs_ld']:.2f} | {q['vs_d']:.2f} | {q['mu']:.1f} | {fmt_time(r['Fennic_Compile'])} "
          f"| {fmt_time(r['Muparser_Compile'])} | {q['compile']:.2f} |")
    w("")

    # Growth.
    plot = growth_plot(complete, report.parent)
    w("## Growth with expression size")
    w("")
    w("Seeded random expressions of growing size. Phases of Fennic's compilation: set-up "
      "(construction and registration), simplifier, tree builder (simplifier included), code "
      "generation (a recompilation on an existing component minus the tree builder; it includes "
      "the executable memory of the routine).")
    w("")
    w(f"![compilation time and code size against expression size]({plot})")
    w("")
    w("| expression | ops | code bytes | bytes/op | Fennic compile | set-up | simplify | build | code generation "
      "| muparser compile | F/mu |")
    w("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for e in order:
        r = complete[e]
        if r["group"] != "random":
            continue
        codegen = r.get("Fennic_Recompile", float("nan")) - r.get("Fennic_Build", float("nan"))
        w(f"| {e} | {r['operators']} | {r.get('code_bytes', '')} | "
          f"{r.get('code_bytes', 0) / max(r['operators'], 1):.1f} | {fmt_time(r['Fennic_Compile'])} "
          f"| {fmt_time(r.get('Fennic_SetUp', float('nan')))} | {fmt_time(r.get('Fennic_Simplify', float('nan')))} "
          f"| {fmt_time(r.get('Fennic_Build', float('nan')))} | {fmt_time(codegen)} "
          f"| {fmt_time(r['Muparser_Compile'])} | {ratios(r)['compile']:.2f} |")
    w("")
    instr = {k.split("/", 1)[1]: v for k, v in extra.items() if k.startswith("Instructions100/")}
    if instr:
        w("Cost of one instruction where this run executed (100 in a row, loop excluded): "
          + ", ".join(f"{k} {v / 100:.2f} ns" for k, v in sorted(instr.items())) + ".")
        w("")
    if "ExecutableMemory" in extra:
        w(f"Executable memory of one routine alone (map read+write, protect read+execute, release): "
          f"{fmt_time(extra['ExecutableMemory'])}.")
        w("")
    if notes and notes.exists():
        w(notes.read_text().rstrip())
        w("")
    report.write_text("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
