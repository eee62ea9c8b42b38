#!/usr/bin/env python3
"""Instructions per operation, counted by callgrind: each operation of
mekal_instructions runs N times inside its own function, which callgrind
alone counts (--toggle-collect), and the total is divided by N. The counts
repeat exactly from run to run, whatever else the machine is doing.

usage: python3 bench/instructions.py BUILD_DIR [N]
"""

import os
import subprocess
import sys
import tempfile

OPS = [
    ("replace_int_sub", "run_replace_int_sub"),
    ("floor_replace_int_sub", "run_floor_replace_int_sub"),
    ("lookup_hit_1000", "run_lookup_hit"),
    ("map_lookup_hit_1000", "run_map_lookup_hit"),
    ("record_new_name", "run_record_new_name"),
    # The same at 100,000 names, where the chains are 780 entries long.
    ("replace_int_sub_100000", "run_replace_int_sub"),
    ("replace_cycled_1000", "run_replace_cycled"),
    ("replace_cycled_100000", "run_replace_cycled"),
    ("lookup_hit_100000", "run_lookup_hit"),
    ("map_lookup_hit_100000", "run_map_lookup_hit"),
    ("record_new_name_100000", "run_record_new_name"),
]


def count(program, op, function, n):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        f"--toggle-collect=*{function}(*", program, op, str(n)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            for line in f:
                if line.startswith("totals:") or line.startswith("summary:"):
                    return int(line.split()[1]) / n
    raise RuntimeError(f"no totals for {op}")


def main(argv):
    if len(argv) not in (2, 3):
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    program = os.path.join(argv[1], "bench", "mekal_instructions")
    n = int(argv[2]) if len(argv) == 3 else 20000
    ir = {op: count(program, op, function, n) for op, function in OPS}
    for op, _ in OPS:
        print(f"{op:24s} {ir[op]:8.1f} instructions")
    print(f"replace_int_sub / floor: {ir['replace_int_sub'] / ir['floor_replace_int_sub']:.2f} "
          f"(target at most 1.5)")
    print(f"lookup_hit_1000: {ir['lookup_hit_1000']:.1f} (target at most 200), "
          f"{ir['lookup_hit_1000'] / ir['map_lookup_hit_1000']:.2f} x the map")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
