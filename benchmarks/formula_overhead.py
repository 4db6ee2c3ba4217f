"""What the formula layer adds to a fit: korvalis.formula against the class on the arrays it builds, and against the
formula interfaces of statsmodels, linearmodels and pyfixest on the same frame.

    python benchmarks/formula_overhead.py              # n = 200 000 rows, 10 regressors, 1 000 entities
    python benchmarks/formula_overhead.py --quick      # small sizes: checks that the script runs

Each row is the best of --repeat runs (wall clock). The layer's own cost is building the design with formulaic, the
missing-row mask and the copies into float64 arrays; the fit itself is the class's. Prints Markdown; writes nothing.
"""

from __future__ import annotations

import argparse
import time
from typing import Any, Callable

import numpy as np
import pandas as pd

import korvalis
from korvalis import formula as kf


def best(fn: Callable[[], Any], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--n", type=int, default=200_000)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--groups", type=int, default=1_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    n, k, groups = (2_000, 5, 20) if args.quick else (args.n, args.k, args.groups)

    rng = np.random.default_rng(0)
    x = rng.standard_normal((n, k))
    frame = pd.DataFrame(x, columns=[f"x{i}" for i in range(k)])
    frame["y"] = x.sum(axis=1) + rng.standard_normal(n)
    frame["z"] = frame["x0"] + rng.standard_normal(n)
    frame["firm"] = rng.integers(0, groups, n)
    y, ids = frame["y"].to_numpy(), frame["firm"].to_numpy(np.int64)
    terms = " + ".join(frame.columns[:k])
    exog = " + ".join(frame.columns[1:k])

    rows: list[tuple[str, str, Callable[[], Any]]] = [
        ("OLS", "korvalis.OLS on arrays", lambda: korvalis.OLS().fit(x, y)),
        ("OLS", "korvalis.formula.ols", lambda: kf.ols(f"y ~ {terms}", frame)),
        ("FE", "korvalis.FE on arrays", lambda: korvalis.FE().fit(x, y, ids)),
        ("FE", "korvalis.formula.fe", lambda: kf.fe(f"y ~ {terms} | firm", frame)),
        ("TSLS", "korvalis.formula.tsls", lambda: kf.tsls(f"y ~ 1 + {exog} + [x0 ~ z]", frame)),
    ]
    try:
        import statsmodels.formula.api as smf

        rows.insert(2, ("OLS", "statsmodels smf.ols().fit()", lambda: smf.ols(f"y ~ {terms}", frame).fit()))
    except ImportError:
        pass
    try:
        import pyfixest as pf

        rows.append(("FE", "pyfixest feols(vcov='iid')", lambda: pf.feols(f"y ~ {terms} | firm", frame, vcov="iid")))
    except ImportError:
        pass
    try:
        from linearmodels.iv import IV2SLS

        rows.append(("TSLS", "linearmodels IV2SLS.from_formula().fit()",
                     lambda: IV2SLS.from_formula(f"y ~ 1 + {exog} + [x0 ~ z]", frame).fit(cov_type="unadjusted")))
    except ImportError:
        pass

    print(f"n = {n}, k = {k}, {groups} entities; best of {args.repeat}\n")
    print("| Model | Call | Time |")
    print("|---|---|---|")
    order = {"OLS": 0, "FE": 1, "TSLS": 2}
    for model, call, fn in sorted(rows, key=lambda r: order[r[0]]):
        fn()  # warm-up: imports and first-use initialisation
        print(f"| {model} | {call} | {best(fn, args.repeat) * 1e3:.1f} ms |")


if __name__ == "__main__":
    main()
