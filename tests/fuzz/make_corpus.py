#!/usr/bin/env python3
"""Writes the fuzz target's seed corpus from the project's own texts: the
benchmark formulas, and the expression strings of the tutorial, the examples
and the tests (error cases included). Each seed is two bytes of settings,
taken from a hash of the text so that the corpus spreads over them, then the
text. Usage: make_corpus.py DIR (the directory is replaced)."""
import hashlib
import pathlib
import re
import shutil
import sys

root = pathlib.Path(__file__).resolve().parents[2]
out = pathlib.Path(sys.argv[1])

texts = set()
for line in (root / "benchmarks" / "corpus" / "formulas.txt").read_text().splitlines():
    if ":" in line and not line.startswith("#") and not line.startswith("var "):
        texts.add(line.split(":", 1)[1].strip())

literal = re.compile(r'"((?:[^"\\\n]|\\.)*)"')
# Expression-like strings: the grammar's characters only (the extended one's
# comparisons, logic and conditional included), with a letter or digit.
shape = re.compile(r"^[A-Za-z0-9_+\-*/().,^ <>=!?:|&]{1,300}$")
sources = [root / "docs" / "tutorial.md", *sorted((root / "examples").glob("*.cpp"))]
for area in ("simplifier", "builder", "codegen", "integration", "functions", "tools"):
    sources += sorted((root / "tests" / area).glob("*.cpp"))
for path in sources:
    for m in literal.finditer(path.read_text(errors="replace")):
        s = m.group(1)
        if "\\" in s or not shape.match(s) or not re.search(r"[0-9A-Za-z]", s):
            continue
        # Prose and names of tests are not texts: no run of words.
        if re.search(r"[A-Za-z]{2,} [A-Za-z]{2,}", s):
            continue
        # Nor are file names, parameter lists and long single words.
        if re.search(r"\.(h|cpp|txt)\b", s) or re.fullmatch(r"([vr][fiu]\d\d)+", s):
            continue
        if re.fullmatch(r"[A-Za-z_][A-Za-z0-9_]{6,}", s):
            continue
        # Nor are assignments, options ("x=1", "--digits=3"), typed names
        # ("k:i32") and messages ("line 4: ..."): a lone "=", or more colons
        # than conditionals.
        if re.search(r"(?<![<>=!])=(?!=)", s) or s.count(":") > s.count("?"):
            continue
        texts.add(s)

if out.exists():
    shutil.rmtree(out)
out.mkdir(parents=True)
for text in sorted(texts):
    digest = hashlib.sha1(text.encode()).digest()
    # The pack stays on (bit 5 of the second byte clear) for most seeds.
    prefix = bytes([digest[0], digest[1] & (0xFF if digest[2] < 32 else 0xDF)])
    (out / digest.hex()[:16]).write_bytes(prefix + text.encode())
