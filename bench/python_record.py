#!/usr/bin/env python3
"""The cost of mekal.record from Python: an int, a float, a str and a list
of 10 floats, each against a Python dict assignment of the same value, the
raw ctypes call of mekal_namevalue with its arguments built beforehand, and
the same recording made by C in a loop (bench/python_record_loop.c), all
timed in one run, interleaved round by round; each figure is the best round.

    python3 bench/python_record.py [BUILD_DIR] [ROUNDS]   defaults: build-bench 25

BUILD_DIR is a build with -DMEKAL_BUILD_BENCHMARKS=ON (Release for figures
worth reading): the script loads its libmekal.so.0 and the C loop.
"""
import ctypes
import os
import struct
import sys
import timeit

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build-bench")
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 25
os.environ["MEKAL_LIBRARY"] = os.path.join(build, "libmekal.so.0")
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
import mekal  # noqa: E402
from mekal._lib import lib  # noqa: E402

loop = ctypes.CDLL(os.path.join(build, "bench", "libmekal_python_loop.so"))
loop.record_loop_ns.restype = ctypes.c_double
loop.record_loop_ns.argtypes = [ctypes.c_int, ctypes.c_long]

packed = ctypes.c_char_p(struct.pack("<10d", *[0.5] * 10))
VALUES = [  # name, Python value, raw call's type string and arguments
    ("int", 12345, b"%ld", (ctypes.c_long(12345),)),
    ("float", 1.5, b"%f", (ctypes.c_double(1.5),)),
    ("str", "a text of 20 bytes!", b"%s", (ctypes.c_char_p(b"a text of 20 bytes!"),)),
    ("list of 10 floats", [0.5] * 10, b"{%f}", (packed, ctypes.c_int(10))),
]
NUMBER = 20000

best = {}
for _ in range(rounds):
    for kind, (label, value, typestr, args) in enumerate(VALUES):
        scope = {"mekal": mekal, "lib": lib, "value": value, "typestr": typestr,
                 "args": args, "d": {}}
        for what, stmt in (("dict", "d['x'] = value"),
                           ("mekal.record", "mekal.record('x', value)"),
                           ("raw ctypes call", "lib.mekal_namevalue(b'x', 2, None, typestr, *args)")):
            ns = timeit.timeit(stmt, globals=scope, number=NUMBER) / NUMBER * 1e9
            best[label, what] = min(ns, best.get((label, what), ns))
        ns = loop.record_loop_ns(kind, NUMBER)
        best[label, "C"] = min(ns, best.get((label, "C"), ns))

print(f"ns per recording, best of {rounds} rounds of {NUMBER}")
print("| value | dict | mekal.record | raw ctypes call | C | record / dict | record / C |")
print("|---|---|---|---|---|---|---|")
for label, *_ in VALUES:
    row = [best[label, w] for w in ("dict", "mekal.record", "raw ctypes call", "C")]
    print(f"| {label} | " + " | ".join(f"{x:.0f}" for x in row) +
          f" | {row[1] / row[0]:.0f} | {row[1] / row[3]:.1f} |")
mekal.clean()
