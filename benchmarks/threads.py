"""How the blocked products scale with BLAS threads: compare.py's cases run once per thread count, side by side.

    python benchmarks/threads.py                         # 1 and 2 threads on the cases the goals read at n = 10⁶
    python benchmarks/threads.py --threads 1 2 4 --cases '^ols-n1000000' --repeat 3 --peers
    python benchmarks/threads.py --quick                 # small sizes: checks that the script runs

Each thread count is a fresh `compare.py --threads N --no-memory --no-peers` process (the count must be set before
NumPy and korvalis load OpenBLAS; --peers times the peers too); the table gives every row's median time per count
and its speed-up over the first count.
korvalis's rows and the NumPy limits beside them should scale alike: where korvalis scales worse than its limit,
its blocks leave the BLAS threads waiting. Prints Markdown; writes nothing.
"""

from __future__ import annotations

import argparse
import json
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
DEFAULT_CASES = r"^(ols-n1000000-k(10|50)-|fe-n1000000-k10-g10000-classical|wls-|iv-|tsls-|gls-n4000)"


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} µs"
    if seconds < 1.0:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


def run(threads: int, args: argparse.Namespace, tmp: Path) -> dict[str, Any]:
    out = tmp / f"threads-{threads}.json"
    cmd = [sys.executable, str(HERE / "compare.py"), "--threads", str(threads), "--no-memory", "--json", str(out),
           "--cases", args.cases]
    if args.quick:
        cmd.append("--quick")
    if not args.peers:
        cmd.append("--no-peers")
    if args.repeat:
        cmd += ["--repeat", str(args.repeat)]
    print(f"  {threads} thread(s) ...", file=sys.stderr, flush=True)
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    result: dict[str, Any] = json.loads(out.read_text())
    return result


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--threads", type=int, nargs="+", default=[1, 2], help="BLAS thread counts (default 1 2)")
    ap.add_argument("--cases", default=None, help="compare.py's case filter (default: the goal cases at n = 10⁶)")
    ap.add_argument("--repeat", type=int, default=None, help="timed calls per row (compare.py's default)")
    ap.add_argument("--quick", action="store_true", help="compare.py's small sizes")
    ap.add_argument("--peers", action="store_true", help="time the peers too (by default korvalis and NumPy only)")
    args = ap.parse_args()
    if args.cases is None:
        args.cases = "." if args.quick else DEFAULT_CASES

    with tempfile.TemporaryDirectory() as tmp:
        runs = {n: run(n, args, Path(tmp)) for n in args.threads}
    first = args.threads[0]
    times = {n: {(r["case"], r["label"]): r["seconds"] for r in runs[n]["rows"]} for n in args.threads}
    titles = {c["id"]: c["title"] for c in runs[first]["cases"]}

    print("| Case | Library | " + " | ".join(f"{n} thread{'s' if n > 1 else ''}" for n in args.threads)
          + " | " + " | ".join(f"speed-up {n}/{first}" for n in args.threads[1:]) + " |")
    print("|---|---|" + "---:|" * (2 * len(args.threads) - 1))
    last = ""
    for r in runs[first]["rows"]:
        key = (r["case"], r["label"])
        title = titles[r["case"]].replace("|", "\\|") if r["case"] != last else ""
        last = r["case"]
        cells = [times[n].get(key) for n in args.threads]
        shown = [fmt_time(t) if t else "—" for t in cells]
        speedups = [f"{cells[0] / t:.2f}" if t and cells[0] else "—" for t in cells[1:]]
        label = (f"*{r['label']}*" if r["limit"] else r["label"]).replace("|", "\\|")
        print(f"| {title} | {label} | " + " | ".join(shown + speedups) + " |")
    print()
    for n in args.threads:
        print(f"- {runs[n]['command']}: {runs[n]['blas']}; " + "; ".join(runs[n].get("openblas", [])))


if __name__ == "__main__":
    main()
