#!/usr/bin/env python3
"""Turns the benchmark corpus into C++ for the comparison benchmark.

Reads the typical formulas of corpus/formulas.txt, adds seeded random
expressions of growing size (with and without function calls), and writes
four sources into the output directory:

  corpus_table.cpp  the expressions, their variables and native entry points
  native_ld.cpp     every expression as a C++ function in long double
  native_d.cpp      every expression as a C++ function in double
  native_sse.cpp    the same in double, for GCC's SSE2 arithmetic

The random expressions use only + - * /, brackets, decimal numbers, variables
and functions that Fennic's function pack, muparser and the C library all
have, so one text serves all three. Expressions whose value is badly
conditioned at the benchmark's variable values are redrawn, so the three
results agree to a tight tolerance.

Usage: gen_corpus.py FORMULAS OUTDIR
"""
import math
import random
import re
import sys
from pathlib import Path

SEED = 20261208
RANDOM_SIZES = [5, 10, 20, 50, 100, 150, 200]
RANDOM_VARS = ["x", "y", "z", "u", "a", "b", "c", "t"]
RANDOM_VALUES = {"x": 0.75, "y": 1.25, "z": 0.6, "u": 1.8, "a": 2.5, "b": 0.4,
                 "c": 1.0, "t": 1.7}
# Functions drawn for random expressions: bounded results for any argument.
RANDOM_FUNCS = ["sin", "cos", "atan", "sqrtabs"]

# name: (long double, double, python)
FUNCS = {
    "sin": ("sinl", "sin", math.sin),
    "cos": ("cosl", "cos", math.cos),
    "tan": ("tanl", "tan", math.tan),
    "asin": ("asinl", "asin", math.asin),
    "acos": ("acosl", "acos", math.acos),
    "atan": ("atanl", "atan", math.atan),
    "atan2": ("atan2l", "atan2", math.atan2),
    "sinh": ("sinhl", "sinh", math.sinh),
    "cosh": ("coshl", "cosh", math.cosh),
    "tanh": ("tanhl", "tanh", math.tanh),
    "sqrt": ("sqrtl", "sqrt", math.sqrt),
    "abs": ("fabsl", "fabs", abs),
    "exp": ("expl", "exp", math.exp),
    "ln": ("logl", "log", math.log),
    "log10": ("log10l", "log10", math.log10),
    "log2": ("log2l", "log2", math.log2),
    "pow": ("powl", "pow", math.pow),
    "hypot": ("hypotl", "hypot", math.hypot),
}
CONSTANTS = {"pi": ("3.14159265358979323846264338327950288L", "3.14159265358979323846", math.pi),
             "e": ("2.71828182845904523536028747135266250L", "2.71828182845904523536", math.e)}

TOKEN = re.compile(r"\s*(?:(\d+\.?\d*|\.\d+)|([A-Za-z_]\w*)|(.))")


def tokens(text):
    pos = 0
    text = text.strip()
    while pos < len(text):
        m = TOKEN.match(text, pos)
        pos = m.end()
        if m.group(1):
            yield "num", m.group(1)
        elif m.group(2):
            yield "ident", m.group(2)
        elif m.group(3) and not m.group(3).isspace():
            yield "op", m.group(3)


def analyse(text):
    """Variables used, operator count (binary operators and calls), calls?"""
    toks = list(tokens(text))
    names, operators, calls = [], 0, False  # calls: needs the function pack
    prev = None
    for i, (kind, val) in enumerate(toks):
        nxt = toks[i + 1] if i + 1 < len(toks) else None
        if kind == "ident":
            if nxt == ("op", "("):
                if val not in FUNCS:
                    raise SystemExit(f"unknown function {val} in: {text}")
                operators += 1
                calls = True
            elif val in CONSTANTS:
                calls = True
            elif val not in names:
                names.append(val)
        elif kind == "op" and val in "+-*/":
            unary = prev is None or prev in (("op", "("), ("op", ","))
            if not unary:
                operators += 1
        prev = (kind, val)
    return names, operators, calls


def to_cpp(text, wide):
    out = []
    toks = list(tokens(text))
    for i, (kind, val) in enumerate(toks):
        nxt = toks[i + 1] if i + 1 < len(toks) else None
        if kind == "num":
            lit = val if "." in val else val + ".0"
            if lit.startswith("."):
                lit = "0" + lit
            out.append(lit + ("L" if wide else ""))
        elif kind == "ident" and nxt == ("op", "("):
            out.append(FUNCS[val][0 if wide else 1])
        elif kind == "ident" and val in CONSTANTS:
            out.append(CONSTANTS[val][0 if wide else 1])
        else:
            out.append(val)
    return "".join(out)


def py_value(text, values):
    env = {name: f[2] for name, f in FUNCS.items()}
    env.update({name: c[2] for name, c in CONSTANTS.items()})
    env.update(values)
    return eval(text, {"__builtins__": {}}, env)


# ---- random expressions -------------------------------------------------

PREC = {"+": 1, "-": 1, "*": 2, "/": 2}


class Node:
    def __init__(self, op=None, left=None, right=None, leaf=None, func=None):
        self.op, self.left, self.right, self.leaf, self.func = op, left, right, leaf, func

    def prec(self):
        return PREC[self.op] if self.op else 3

    def text(self):
        if self.leaf is not None:
            return self.leaf
        if self.func:
            inner = self.left.text()
            if self.func == "sqrtabs":
                return f"sqrt(abs({inner}))"
            return f"{self.func}({inner})"
        lt, rt = self.left.text(), self.right.text()
        if self.left.prec() < self.prec():
            lt = f"({lt})"
        # the right operand of - and / needs brackets at equal precedence too
        if self.right.prec() < self.prec() or (self.right.prec() == self.prec() and self.op in "-/"):
            rt = f"({rt})"
        return f"{lt} {self.op} {rt}" if self.op in "+-" else f"{lt}{self.op}{rt}"


def random_leaf(rng):
    if rng.random() < 0.7:
        return Node(leaf=rng.choice(RANDOM_VARS))
    return Node(leaf=f"{rng.uniform(0.5, 9.5):.{rng.choice([1, 2, 3])}f}")


def random_tree(rng, operators, with_calls):
    """A tree with exactly `operators` binary operators and calls."""
    if operators == 0:
        return random_leaf(rng)
    if with_calls and rng.random() < 0.2:
        return Node(func=rng.choice(RANDOM_FUNCS), left=random_tree(rng, operators - 1, with_calls))
    left_ops = rng.randint(0, operators - 1)
    op = rng.choices("+-*/", weights=[3, 2, 3, 2])[0]
    return Node(op=op, left=random_tree(rng, left_ops, with_calls),
                right=random_tree(rng, operators - 1 - left_ops, with_calls))


def well_conditioned(text, values, rng):
    """Finite, of moderate size, and insensitive to tiny changes of the inputs."""
    try:
        base = py_value(text, values)
        if not math.isfinite(base) or not 1e-6 < abs(base) < 1e12:
            return False
        for _ in range(4):
            moved = {k: v * (1 + rng.choice([-1, 1]) * 1e-11) for k, v in values.items()}
            if abs(py_value(text, moved) - base) > 1e-7 * abs(base):
                return False
    except (ZeroDivisionError, OverflowError, ValueError):
        return False
    return True


def random_corpus():
    rng = random.Random(SEED)
    check_rng = random.Random(SEED + 1)
    result = []
    for with_calls in (False, True):
        for size in RANDOM_SIZES:
            for _ in range(10000):
                text = random_tree(rng, size, with_calls).text()
                if with_calls and not re.search(r"\b(sin|cos|atan|sqrt)\(", text):
                    continue
                if well_conditioned(text, RANDOM_VALUES, check_rng):
                    break
            else:
                raise SystemExit(f"no well-conditioned random expression of size {size}")
            name = f"random{'_calls' if with_calls else ''}_{size:03d}"
            result.append((name, text))
    return result


# ---- output -------------------------------------------------------------

def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def main():
    formulas, outdir = Path(sys.argv[1]), Path(sys.argv[2])
    outdir.mkdir(parents=True, exist_ok=True)
    values = dict(RANDOM_VALUES)
    typical = []
    for line in formulas.read_text().splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("var "):
            name, value = line[4:].split("=")
            values[name.strip()] = float(value)
            continue
        name, text = line.split(":", 1)
        typical.append((name.strip(), text.strip()))

    entries = [("typical", n, t) for n, t in typical] + [("random", n, t) for n, t in random_corpus()]
    var_names = list(values)
    ld_lines = ["// Generated by gen_corpus.py: the corpus in long double, x87 arithmetic.",
                "#include <cmath>", "", "namespace fennic_bench {", ""]
    d_lines = ["// Generated by gen_corpus.py: the corpus in double, x87 arithmetic.",
               "#include <cmath>", "", "namespace fennic_bench {", ""]
    sse_lines = ["// Generated by gen_corpus.py: the corpus in double, SSE2 arithmetic.",
                 "#include <cmath>", "", "namespace fennic_bench {", ""]
    table = ['// Generated by gen_corpus.py from the benchmark corpus.',
             '#include "corpus.h"', "", "namespace fennic_bench {", ""]
    table.append(f"const int kVarCount = {len(var_names)};")
    table.append("const char* const kVarNames[] = {" + ", ".join(c_string(n) for n in var_names) + "};")
    table.append("const double kVarValues[] = {" + ", ".join(repr(values[n]) for n in var_names) + "};")
    table.append("")
    rows = []
    for group, name, text in entries:
        used, operators, calls = analyse(text)
        for v in used:
            if v not in values:
                raise SystemExit(f"variable {v} has no value: {text}")
        expected = float(py_value(text, values))  # a comparison alone is a bool
        for lines, wide, prefix in ((ld_lines, True, "ld"), (d_lines, False, "d"), (sse_lines, False, "sse")):
            ty = "long double" if wide else "double"
            lines.append(f"{ty} native_{prefix}_{name}(const double* vars_) {{")
            for var in used:
                lines.append(f"  const {ty} {var} = vars_[{var_names.index(var)}];")
            lines.append(f"  return {to_cpp(text, wide)};")
            lines.append("}")
            lines.append("")
        table.append(f"long double native_ld_{name}(const double*);")
        table.append(f"double native_d_{name}(const double*);")
        table.append(f"double native_sse_{name}(const double*);")
        table.append(f"static const int kUses_{name}[] = {{" +
                     (", ".join(str(var_names.index(v)) for v in used) or "-1") + "};")
        rows.append(f"  {{{c_string(name)}, {c_string(group)}, {c_string(text)}, {operators}, "
                    f"{'true' if calls else 'false'}, kUses_{name}, {len(used)}, "
                    f"native_ld_{name}, native_d_{name}, native_sse_{name}, {expected!r}}},")
    table.append("")
    table.append("const TBenchExpr kCorpus[] = {")
    table.extend(rows)
    table.append("};")
    table.append(f"const int kCorpusSize = {len(rows)};")
    table.append("")
    table.append("}  // namespace fennic_bench")
    ld_lines.append("}  // namespace fennic_bench")
    d_lines.append("}  // namespace fennic_bench")
    sse_lines.append("}  // namespace fennic_bench")
    (outdir / "native_ld.cpp").write_text("\n".join(ld_lines) + "\n")
    (outdir / "native_d.cpp").write_text("\n".join(d_lines) + "\n")
    (outdir / "native_sse.cpp").write_text("\n".join(sse_lines) + "\n")
    (outdir / "corpus_table.cpp").write_text("\n".join(table) + "\n")


if __name__ == "__main__":
    main()
