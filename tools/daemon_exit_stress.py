"""Interpreter exit while daemon threads are inside native calls, many times.

    python tools/daemon_exit_stress.py --runs 300
    python tools/daemon_exit_stress.py --runs 300 --path build/clang-site

Each run is a fresh interpreter whose daemon threads loop over el_many (a
long batch that polls for signals, a tiny one that never does) and, on every
other run, the extension's routes that call back into Python; it then exits
after a varied sleep. Half the sleeps end before a batch's first poll (50 ms
in), so that poll and the batch's end meet the interpreter's finalisation,
where CPython 3.13 ends such threads by unwinding them (pthread_exit). A run
fails on a non-zero exit status or any output on stderr. A rare abort in CI
("terminate called without an active exception": the thread ended while
another exception unwound) happens here in most runs of the first kind
without the fix. --path puts a directory first on the children's PYTHONPATH
(a tree holding other builds of both packages).
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import sys

CHILD = """
import sys, threading, time
import numpy as np
from larkspur import statistical_tests
from larkspur_tools import el_many

threads, routes, sleep = int(sys.argv[1]), sys.argv[2] == "1", float(sys.argv[3])

class Value:
    def __init__(self, v): self.v = v
    def __float__(self): return self.v

class BadQ:
    def __float__(self): raise TypeError("no float here")

a = np.random.default_rng(0).standard_normal(300)
panel = np.random.default_rng(1).standard_normal((250, 40000))
tiny = panel[:, :3]
calls = [lambda: el_many(panel, threads=2), lambda: el_many(tiny, threads=2)] * threads
if routes:
    calls += [
        lambda: statistical_tests.EscancianoLobato(a),
        lambda: statistical_tests.EscancianoLobato([Value(float(v)) for v in a]),
        lambda: statistical_tests.EscancianoLobato(a, BadQ()),
    ]

def loop(call):
    while True:
        try:
            call()
        except TypeError:
            pass

for call in calls:
    threading.Thread(target=loop, args=(call,), daemon=True).start()
time.sleep(sleep)
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--path", help="directory put first on the children's PYTHONPATH")
    args = parser.parse_args()
    env = dict(os.environ)
    if args.path:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.abspath(args.path), env.get("PYTHONPATH")]))
    rng = random.Random(20)
    failures = 0
    for run in range(args.runs):
        sleep = rng.uniform(0.0, 0.045) if run % 2 == 0 else rng.uniform(0.045, 0.4)
        argv = [str(1 + run % 3), str(run // 2 % 2), f"{sleep:.4f}"]
        result = subprocess.run([sys.executable, "-c", CHILD, *argv], capture_output=True, text=True, env=env,
                                timeout=120)
        if result.returncode != 0 or result.stderr:
            failures += 1
            if failures <= 5:
                print(f"run {run} {argv}: status {result.returncode}: {result.stderr.strip()[:500]}")
    print(f"{args.runs} runs, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
