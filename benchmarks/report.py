#!/usr/bin/env python3
"""Writes the benchmark report from fennic_compare_bench's JSON output.

Usage: report.py REPORT.md NOTES.md RESULTS.json [RESULTS.json ...]

One results file per target (x86-64, i386), each from one run. The report
says where each run was measured (natively, or under qemu-i386: the run
script records it), then holds for each target, side by side where they fit
one table: the ratios Fennic / GCC (x87 long double, x87 double, SSE2
double), muparser / Fennic for evaluation and Fennic / muparser for a whole
compilation, per expression and as geometric means; how compilation time
and code size grow with the size of an expression (table and plot); and the
text of NOTES.md (the interpretation, kept by hand). Each ratio divides two
figures of the same run. The plots are written next to the report as
benchmarks-growth-TARGET.png with matplotlib when it is installed, else as
benchmarks-growth-TARGET.svg drawn by this script.
"""
import json
import math
import sys
from collections import defaultdict
from pathlib import Path

ENGINES = ["Fennic_Eval", "GCC_LongDouble", "GCC_Double", "GCC_DoubleSSE", "Muparser_Eval",
           "Fennic_Compile", "Muparser_Compile", "Fennic_Recompile", "Fennic_SetUp", "Fennic_Simplify",
           "Fennic_Build"]
REQUIRED = ENGINES[:7]
TARGET_NAMES = {"x86_64": "x86-64", "i386": "i386"}

def geomean(values):
    values = [v for v in values if v > 0 and math.isfinite(v)]
    return math.exp(sum(math.log(v) for v in values) / len(values)) if values else float("nan")


def ns(bench):
    """CPU time of one iteration in nanoseconds."""
    scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[bench.get("time_unit", "ns")]
    return bench["cpu_time"] * scale


def repetitions(path):
    """How often the run repeated each benchmark."""
    marks = json.loads(Path(path).read_text())["benchmarks"]
    return max((int(b.get("repetitions", 1)) for b in marks), default=1)


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
    if value_ns >= 100:
        return f"{value_ns:.0f} ns"
    return f"{value_ns:.3g} ns"


def ratios(row):
    r = {}
    if "Fennic_Eval" in row:
        f = row["Fennic_Eval"]
        r["vs_ld"] = f / row["GCC_LongDouble"]
        r["vs_d"] = f / row["GCC_Double"]
        r["vs_sse"] = f / row["GCC_DoubleSSE"]
        r["mu"] = row["Muparser_Eval"] / f
        if "Fennic_Routine" in row:
            r["routine_ld"] = row["Fennic_Routine"] / row["GCC_LongDouble"]
        if "Fennic_EvalImmediate" in row:
            r["imm_ld"] = row["Fennic_EvalImmediate"] / row["GCC_LongDouble"]
        if "Fennic_EvalAuto" in row:
            r["auto_ld"] = row["Fennic_EvalAuto"] / row["GCC_LongDouble"]
            r["auto_d"] = row["Fennic_EvalAuto"] / row["GCC_Double"]
            r["auto_mu"] = row["Muparser_Eval"] / row["Fennic_EvalAuto"]
    if "Fennic_Compile" in row:
        r["compile"] = row["Fennic_Compile"] / row["Muparser_Compile"]
    if "Fennic_Recompile" in row and "Muparser_Recompile" in row:
        r["recompile"] = row["Fennic_Recompile"] / row["Muparser_Recompile"]
    return r


def kind(expr, row):
    if row["group"] == "typical":
        return "typical"
    return "random with calls" if "_calls_" in expr else "random without calls"


def growth_plot(rows, target_dir, target):
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
        out = target_dir / f"benchmarks-growth-{target}.png"
        fig.savefig(out, dpi=100)
        return out.name
    except ImportError:
        out = target_dir / f"benchmarks-growth-{target}.svg"
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


def where(context):
    """Where a run was measured, in words."""
    target = TARGET_NAMES.get(context.get("fennic_target", "?"), "?")
    runner = context.get("fennic_runner", "?")
    if runner == "native":
        return f"natively, on this machine's processor ({target} program)"
    if runner == "qemu-i386":
        return ("under `qemu-i386` user-mode emulation: emulator figures, which say nothing about "
                "any processor")
    return "where, the run did not record"


def summary_of(rows):
    """Geometric means of the ratios per group of expressions."""
    groups = defaultdict(list)
    for e, r in rows.items():
        groups["all"].append(e)
        groups[kind(e, r)].append(e)
        groups["with function calls" if r["calls"] else "without function calls"].append(e)
    out = {}
    for g in GROUPS:
        es = groups.get(g, [])
        if es:
            rs = [ratios(rows[e]) for e in es]
            out[g] = {k: geomean([r.get(k, float("nan")) for r in rs])
                      for k in ("vs_ld", "vs_d", "vs_sse", "mu", "compile", "recompile", "routine_ld", "imm_ld",
                                "auto_ld", "auto_d", "auto_mu")}
            out[g]["count"] = len(es)
    return out


GROUPS = ["typical", "random without calls", "random with calls", "without function calls",
          "with function calls", "all"]


def main():
    report, notes = Path(sys.argv[1]), Path(sys.argv[2])
    runs = []  # (target, context, rows, extra)
    for path in sys.argv[3:]:
        context, rows, extra = load(path)
        context["fennic_repetitions"] = repetitions(path)
        complete = {e: r for e, r in rows.items() if all(k in r for k in REQUIRED)}
        runs.append((context.get("fennic_target", Path(path).parent.name), context, complete, extra))
    runs.sort(key=lambda run: run[0] != "x86_64")
    out = []
    w = out.append
    w("# Benchmarks: Fennic against GCC's code and muparser")
    w("")
    w("Generated by `benchmarks/report.py` from one run of `fennic_compare_bench` per target; "
      "regenerate everything (build in `build-bench-x86_64` and `build-bench-i386`, run, report) with:")
    w("")
    w("```sh")
    w("bash benchmarks/run.sh")
    w("```")
    w("")
    w("All times are CPU time per iteration, as Google Benchmark measures it (the median where a "
      "run repeats each benchmark; the table below gives the repetitions). Every ratio divides two "
      "figures of the same run.")
    w("")
    native = [run for run in runs if run[1].get("fennic_runner") == "native"]
    emulated = [run for run in runs if run[1].get("fennic_runner") != "native"]
    for target, context, rows, _ in native[:1]:
        s = summary_of(rows)
        w("## Summary")
        w("")
        w(f"Measured natively on {context.get('cpu_model', 'an unrecorded processor')} "
          f"({context.get('num_cpus', '?')} CPUs), {TARGET_NAMES.get(target, target)} program, "
          f"{context.get('date', '?')[:10]}. Each figure is Fennic's time divided by the other's, as a "
          "geometric mean over the formulas of the group: below 1 Fennic is faster, above 1 slower.")
        w("")
        w("| formulas | count | vs GCC -O2, x87 long double | vs GCC -O2, SSE2 double | vs muparser, evaluation "
          "| vs muparser, whole compilation |")
        w("|---|---:|---:|---:|---:|---:|")
        for g in ("without function calls", "with function calls", "all"):
            if g in s:
                m = s[g]
                w(f"| {g} | {m['count']} | {m['vs_ld']:.2f} | {m['vs_sse']:.2f} | {1 / m['mu']:.2f} "
                  f"| {m['compile']:.2f} |")
        w("")
        faster = [g for g in ("without function calls", "with function calls") if g in s and s[g]["mu"] > 1]
        slower = [g for g in ("without function calls", "with function calls") if g in s and s[g]["mu"] <= 1]
        if faster:
            w(f"Against muparser Fennic evaluates faster for the formulas {' and '.join(faster)}"
              + (f", and slower for those {' and '.join(slower)}." if slower else "."))
            w("")
        w("ExprTk, the other peer, is not packaged for this system (no "
          "`libexprtk-dev` in Debian 12) and was not measured.")
        w("")
    w("## Where each figure was measured")
    w("")
    w("| target | measured | run | repetitions | CPUs | load average |")
    w("|---|---|---|---:|---:|---|")
    for target, context, _, _ in runs:
        w(f"| {TARGET_NAMES.get(target, target)} | {where(context)} | {context.get('date', '?')} "
          f"| {context.get('fennic_repetitions', '?')} | {context.get('num_cpus', '?')} at {context.get('mhz_per_cpu', '?')} MHz "
          f"| {', '.join(f'{x:.1f}' for x in context.get('load_avg', [])) or '?'} |")
    w("")
    if any(c.get("fennic_runner") == "qemu-i386" for _, c, _, _ in runs):
        w("**The i386 figures were measured under `qemu-i386`**: the machine's kernel cannot run "
          "i386 programs, so Fennic's generated code, GCC's code, muparser and the benchmark itself "
          "are all translated by qemu, which emulates every x87 instruction in software. They "
          "compare programs under one emulator and say nothing about any processor; the x86-64 "
          "figures, measured natively, are the ones that describe Fennic's code (see the notes).")
        w("")

    # Geometric means, the targets side by side.
    summaries = [(t, summary_of(rows)) for t, _, rows, _ in native]
    names = [TARGET_NAMES.get(t, t) for t, _ in summaries]
    w("## Geometric means")
    w("")
    w("Fennic's `Evaluate` against GCC's ahead-of-time code for the same formula (`-O2`): x87 in long "
      "double, x87 in double (`-mfpmath=387`), SSE2 in double (`-mfpmath=sse`, x86-64's default); "
      "muparser's `Eval` against `Evaluate`; a whole compilation against muparser's. Below 1 "
      "Fennic is faster in the first three and the last columns, above 1 in the fourth.")
    w("")
    head = "| expressions | count |"
    rule = "|---|---:|"
    for n in names:
        head += (f" {n}: F / GCC x87 ld | {n}: F / GCC x87 d | {n}: F / GCC SSE2 d | {n}: muparser / F "
                 f"| {n}: F / muparser compile |")
        rule += "---:|---:|---:|---:|---:|"
    w(head)
    w(rule)
    for g in GROUPS:
        if not any(g in s for _, s in summaries):
            continue
        line = f"| {g} | {max(s.get(g, {}).get('count', 0) for _, s in summaries)} |"
        for _, s in summaries:
            m = s.get(g)
            line += (f" {m['vs_ld']:.2f} | {m['vs_d']:.2f} | {m['vs_sse']:.2f} | {m['mu']:.1f} | {m['compile']:.2f} |"
                     if m else " | | | | |")
        w(line)
    w("")
    w("The processor profile and two variants, against GCC's code: the routine compiled under "
      "`AutoConfigure = acAuto` (the code shape of the processor it runs on, detected with CPUID; "
      "\"acAuto\"); the routine called through a function pointer as GCC's functions are "
      "(\"direct\"; `Evaluate`, inline in the header, makes the same single call); and the routine "
      "compiled with `BackOperation` off, which emits every operation where it is met instead of "
      "queueing it for interleaving (\"immediate\").")
    w("")
    head, rule = "| expressions |", "|---|"
    for n in names:
        head += (f" {n}: F acAuto / GCC x87 ld | {n}: F acAuto / GCC x87 d | {n}: muparser / F acAuto "
                 f"| {n}: F direct / GCC x87 ld | {n}: F immediate / GCC x87 ld |")
        rule += "---:|---:|---:|---:|---:|"
    w(head)
    w(rule)
    for g in GROUPS:
        if not any(g in s for _, s in summaries):
            continue
        line = f"| {g} |"
        for _, s in summaries:
            m = s.get(g)
            line += (f" {m['auto_ld']:.2f} | {m['auto_d']:.2f} | {m['auto_mu']:.1f} | {m['routine_ld']:.2f} "
                     f"| {m['imm_ld']:.2f} |" if m else " | | | | |")
        w(line)
    w("")
    for target, context, rows, extra in native + emulated:
        n = TARGET_NAMES.get(target, target)
        h = "##"
        if context.get("fennic_runner") != "native":
            n += " under qemu-i386"
            h = "###"
            w(f"## Appendix: {n} (emulator figures)")
            w("")
            w("These figures compare programs under one emulator and say nothing about a processor.")
            w("")
        order = sorted(rows, key=lambda e: (rows[e]["group"] != "typical", "_calls_" in e,
                                            rows[e]["operators"], e))
        w(f"{h} Per expression, {n}")
        w("")
        w(f"Measured {where(context)}. Evaluation: one call of the compiled routine (`Evaluate`), of "
          "GCC's function, of muparser's `Eval`. Compilation: Fennic's construction, registration of "
          "the variables (and the function pack when the text needs it), `SetExprString` and "
          "`Compile`, against muparser's construction, definitions, `SetExpr` and first `Eval`; both "
          "include the release of the object.")
        w("")
        w("| expression | ops | code bytes | Fennic | GCC x87 ld | GCC x87 d | GCC SSE2 d | muparser "
          "| F/ld | F/d | F/SSE2 | mu/F | Fennic compile | muparser compile | F/mu compile |")
        w("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for e in order:
            r = rows[e]
            q = ratios(r)
            w(f"| {e} | {r['operators']} | {r.get('code_bytes', '')} | {fmt_time(r['Fennic_Eval'])} "
              f"| {fmt_time(r['GCC_LongDouble'])} | {fmt_time(r['GCC_Double'])} "
              f"| {fmt_time(r['GCC_DoubleSSE'])} | {fmt_time(r['Muparser_Eval'])} "
              f"| {q['vs_ld']:.2f} | {q['vs_d']:.2f} | {q['vs_sse']:.2f} | {q['mu']:.1f} "
              f"| {fmt_time(r['Fennic_Compile'])} | {fmt_time(r['Muparser_Compile'])} | {q['compile']:.2f} |")
        w("")

        plot = growth_plot(rows, report.parent, target)
        w(f"{h} Growth with expression size, {n}")
        w("")
        w("Seeded random expressions of growing size. Phases of Fennic's compilation: set-up "
          "(construction and registration), simplifier, tree builder (simplifier included), code "
          "generation (a recompilation on an existing component minus the tree builder; it includes "
          "the executable memory of the routine).")
        w("")
        w(f"![compilation time and code size against expression size, {n}]({plot})")
        w("")
        w("| expression | ops | code bytes | bytes/op | Fennic compile | set-up | simplify | build "
          "| code generation | muparser compile | F/mu |")
        w("|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
        for e in order:
            r = rows[e]
            if r["group"] != "random":
                continue
            codegen = r.get("Fennic_Recompile", float("nan")) - r.get("Fennic_Build", float("nan"))
            w(f"| {e} | {r['operators']} | {r.get('code_bytes', '')} | "
              f"{r.get('code_bytes', 0) / max(r['operators'], 1):.1f} | {fmt_time(r['Fennic_Compile'])} "
              f"| {fmt_time(r.get('Fennic_SetUp', float('nan')))} "
              f"| {fmt_time(r.get('Fennic_Simplify', float('nan')))} "
              f"| {fmt_time(r.get('Fennic_Build', float('nan')))} | {fmt_time(codegen)} "
              f"| {fmt_time(r['Muparser_Compile'])} | {ratios(r)['compile']:.2f} |")
        w("")
        instr = {k.split("/", 1)[1]: v for k, v in extra.items() if k.startswith("Instructions100/")}
        if instr:
            w("Cost of one instruction in this run (100 in a row, loop excluded): "
              + ", ".join(f"{k} {v / 100:.2f} ns" for k, v in sorted(instr.items())) + ".")
            w("")
        if "ExecutableMemory" in extra:
            w(f"Executable memory of one routine alone (map read+write, protect read+execute, release): "
              f"{fmt_time(extra['ExecutableMemory'])}.")
            w("")
    if notes.exists():
        w(notes.read_text().rstrip())
        w("")
    report.write_text("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
