#!/usr/bin/env python3
"""Instructions per compilation, phase by phase, counted by callgrind.

Runs fennic_compile_profile under callgrind once per argument (a corpus
expression, or a comma-separated list of them counted together) and prints
the instructions of one iteration in each phase: the component's
construction, the function pack, the variables, the simplifier, the tree
builder, the code generator and the release; "rest" is what lies between
them (the compilation's own clean-up, the first evaluation, the driver).

Usage: profile_phases.py PROGRAM [--recompile] [--iterations=N] ARG...
"""
import os
import re
import subprocess
import sys
import tempfile

PHASES = [
    ("construct", r"fennic::TFennic::TFennic\(fennic::TComponent\*\)$"),
    ("pack", r"fennic::RegisterStandardFunctions\("),
    ("variables", r"fennic::TCtrlBlck::RegisterVarExt\("),
    ("simplify", r"fennic::TSimpler::Simplify\("),
    ("build", r"fennic::TBuilder::BuildSimplified\("),
    ("codegen", r"fennic::TFennic::GenerateCode\("),
    ("release", r"fennic::TFennic::~TFennic\(\)$"),
]
LINE = re.compile(r"^\s*([\d,]+) \([ \d.]+%\)\s+(.*?)(?: \[[^\]]*\])?$")


def measure(program, arg, recompile, iterations):
    names = arg.split(",")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", f"--callgrind-out-file={out}",
               program, f"--iterations={iterations}"] + (["--recompile"] if recompile else []) + names
        subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", out],
                              check=True, capture_output=True, text=True).stdout
    total, costs = 0, {name: 0 for name, _ in PHASES}
    for line in text.splitlines():
        m = LINE.match(line)
        if not m:
            continue
        count, function = int(m.group(1).replace(",", "")), m.group(2)
        if function == "PROGRAM TOTALS":
            total = count
            continue
        function = function.split(":", 1)[-1]
        for name, pattern in PHASES:
            # Recursive entries ('2) are already inside the outer one.
            if re.search(pattern, function):
                costs[name] = max(costs[name], count)
    runs = len(names) * iterations
    per = {name: costs[name] / runs for name, _ in PHASES}
    per["rest"] = total / runs - sum(per.values())
    per["total"] = total / runs
    return per


def main():
    args = sys.argv[1:]
    if not args:
        sys.exit(__doc__)
    program, recompile, iterations, items = args[0], False, 20, []
    for a in args[1:]:
        if a == "--recompile":
            recompile = True
        elif a.startswith("--iterations="):
            iterations = int(a.split("=", 1)[1])
        else:
            items.append(a)
    columns = [name for name, _ in PHASES] + ["rest", "total"]
    print(f"{'expression':30}" + "".join(f"{c:>11}" for c in columns))
    for item in items:
        per = measure(program, item, recompile, iterations)
        label = item if len(item) <= 30 else item[:27] + "..."
        print(f"{label:30}" + "".join(f"{per[c]:11.0f}" for c in columns), flush=True)


if __name__ == "__main__":
    main()
