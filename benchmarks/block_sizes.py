"""The streamed passes' block size against the ratios the goals are stated on.

    python benchmarks/block_sizes.py                 # half the level-2 cache (the size korvalis picks), and
                                                     # half and twice that
    python benchmarks/block_sizes.py --bytes 262144 1048576

korvalis sizes the row blocks of its streamed passes from the processor's level-2 cache (block_bytes() in
src/linalg/stream.hpp). To show that the ratios do not hinge on that choice, this script builds the module once per
block size, fixing the size at compile time (-DKORVALIS_BLOCK_BYTES=<bytes>, into build/block-<bytes>; nothing in
an ordinary build can change it), and times each build in a fresh process on the same generated data: OLS at k = 10
and 50 against (Gram + pass), OLS HC0 at k = 50 against the Gram, WLS against (Gram of √w·x + pass), and FE at
G = 10² and 10⁴ against (Gram + copy), n = 10⁶, the median of --repeat calls after one warm-up. Each ratio is taken
within one process, so the builds can be compared on a shared machine.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def build(size: int) -> Path:
    out = ROOT / "build" / f"block-{size}"
    steps = [["cmake", "-S", str(ROOT), "-B", str(out), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
              f"-DPython_EXECUTABLE={sys.executable}", f"-DCMAKE_CXX_FLAGS=-DKORVALIS_BLOCK_BYTES={size}"],
             ["cmake", "--build", str(out), "--target", "korvalis"]]
    for step in steps:
        subprocess.run(step, check=True, stdout=subprocess.DEVNULL)
    return out


def measure(repeat: int) -> dict[str, float]:
    import numpy as np

    import korvalis

    def med(f) -> float:
        f()
        times = []
        for _ in range(repeat):
            t0 = time.perf_counter()
            f()
            times.append(time.perf_counter() - t0)
        return statistics.median(times)

    n, out = 1_000_000, {}
    rng = np.random.default_rng(1)
    for k in (10, 50):
        x = rng.standard_normal((n, k))
        y = 1.0 + x @ rng.uniform(-1.0, 1.0, k) + rng.standard_normal(n)
        b = np.linspace(-1.0, 1.0, k)
        gram, one_pass = med(lambda: x.T @ x), med(lambda: x @ b)
        out[f"OLS k={k} / (Gram + pass)"] = med(lambda: korvalis.OLS().fit(x, y)) / (gram + one_pass)
        if k == 50:
            out["OLS HC0 k=50 / Gram"] = med(lambda: korvalis.OLS(robust=True).fit(x, y)) / gram
        if k == 10:
            w = rng.uniform(0.5, 2.0, n)
            sw = np.sqrt(w)[:, None] * x
            out["WLS k=10 / (Gram of √w·x + pass)"] = (med(lambda: korvalis.WLS().fit(x, y, w))
                                                       / (med(lambda: sw.T @ sw) + one_pass))
            for g in (100, 10_000):
                ids = rng.permutation(np.arange(n) % g).astype(np.int64)
                out[f"FE G={g} / (Gram + copy)"] = (med(lambda: korvalis.FE().fit(x, y, ids))
                                                    / (gram + med(lambda: x.copy())))
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--bytes", type=int, nargs="*", help="block sizes to build and time (default: around the chosen)")
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--measure", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.measure:
        print(json.dumps(measure(args.repeat)))
        return
    # The same reading the module makes through sysconf(_SC_LEVEL2_CACHE_SIZE), which Python does not expose.
    got = subprocess.run(["getconf", "LEVEL2_CACHE_SIZE"], capture_output=True, text=True).stdout.strip()
    l2 = int(got) if got.isdigit() else 0
    chosen = min(max(l2 // 2, 128 << 10), 8 << 20) if l2 > 0 else 1 << 20
    sizes = args.bytes or [chosen // 2, chosen, chosen * 2]
    print(f"level-2 cache: {l2} bytes; korvalis's block: {chosen} bytes", file=sys.stderr)
    results = {}
    for size in sizes:
        where = build(size)
        env = {**os.environ, "PYTHONPATH": str(where)}
        done = subprocess.run([sys.executable, __file__, "--measure", "--repeat", str(args.repeat)], env=env,
                              capture_output=True, text=True, check=True)
        results[size] = json.loads(done.stdout.strip().splitlines()[-1])
        print(f"  {size} bytes: done", file=sys.stderr, flush=True)
    names = list(next(iter(results.values())))
    print("| Ratio | " + " | ".join(f"{s // 1024} KiB" + (" (chosen)" if s == chosen else "") for s in sizes) + " |")
    print("|---|" + "---:|" * len(sizes))
    for name in names:
        print(f"| {name} | " + " | ".join(f"{results[s][name]:.2f}" for s in sizes) + " |")


if __name__ == "__main__":
    main()
