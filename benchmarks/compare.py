"""Time korvalis against its peers and against NumPy's own limits on the same generated data, and measure memory.

    python benchmarks/compare.py            # full sizes (minutes); writes benchmarks/RESULTS.md and speed.png
    python benchmarks/compare.py --quick    # small sizes, finishes in seconds; prints only
    python benchmarks/compare.py --cases 'fe-' --repeat 3 --no-memory
    python benchmarks/compare.py --threads 1 --cases '^ols-n1000000' --no-memory   # then --threads 2: BLAS scaling
    python benchmarks/threads.py            # both of the above side by side

Every case generates one well-conditioned data set (fixed seed) and runs each library on it in this one process:
one untimed warm-up call, then the median of --repeat timed calls. The ratio is the peer's median time over
korvalis's, so above 1 means korvalis is faster. Input conversion a peer needs (a DataFrame, a column of ones) is done
before timing, except where a user of that library must do it on every call, as noted per case.

Beside the peers, each case times the NumPy expressions its goal is stated against, on the same arrays in the same
run: the Gram product x.T @ x, one pass x @ b, a copy x.copy(), the Gram of [Z | X | y] for IV and TSLS, the Gram of
the weighted design sqrt(w)·x for WLS, and np.linalg.cholesky(Σ) for GLS. Anything such an expression needs (the
stacked or weighted matrix, the vector b) is built before timing. The goals at the end compare korvalis with them.

Peak extra memory is measured for each case and library in a fresh subprocess: it builds the same data, runs a
warm-up call on a small copy (imports, BLAS buffers, JIT compilation), resets the kernel's peak-RSS mark
(/proc/self/clear_refs), runs the call once and reports the peak resident set size reached above the resident size
just before it. tracemalloc would not see allocations made in C. The NumPy limit rows are not measured for memory.

A full run that writes its report also draws speed.png beside it (matplotlib, from the "bench" extra): the time of
each estimator, its peers and its NumPy limit on a log scale, each bar labelled with its ratio to korvalis.

Peers that are not installed are skipped (pyfixest and scikit-learn come with the "bench" extra).
"""

from __future__ import annotations

import argparse
import gc
import importlib
import importlib.metadata
import json
import os
import platform
import re
import shlex
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any


def _threads_from_argv() -> None:
    """--threads N (and --quick, which defaults to 1) must set the BLAS thread count before NumPy loads OpenBLAS."""
    argv = sys.argv[1:]
    n = "1" if "--quick" in argv else None
    for i, a in enumerate(argv):
        if a == "--threads" and i + 1 < len(argv):
            n = argv[i + 1]
        elif a.startswith("--threads="):
            n = a.split("=", 1)[1]
    if n is not None:
        for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS"):
            os.environ[var] = n


_threads_from_argv()

import numpy as np  # noqa: E402

import korvalis  # noqa: E402

HERE = Path(__file__).resolve().parent
MB = 1024.0 * 1024.0

Data = dict[str, Any]


@dataclass
class Impl:
    """One library's way of answering a case: prepare (untimed) turns the data into its input, run is timed."""

    label: str
    run: Callable[[Any], object]
    prepare: Callable[[Data], Any] = lambda d: d
    needs: tuple[str, ...] = ()  # modules that must import for this row to run
    fresh: bool = False  # prepare again before every timed call (the timed call consumes a fresh state)
    limit: bool = False  # a NumPy expression a goal is stated against, not a peer


@dataclass
class Case:
    id: str
    title: str
    make: Callable[[int], Data]  # n -> data; called with the full n, and a small n for memory warm-up
    n: int
    impls: list[Impl] = field(default_factory=list)
    index: int = 0  # position in the table
    limit: tuple[str, ...] = ()  # labels of the limit rows whose times add up to this case's NumPy limit
    limit_name: str = ""  # what that sum is, for the chart
    chart: bool = False  # drawn in speed.png


# ---------------------------------------------------------------------------------------------- data generators


def linear_data(k: int, seed: int) -> Callable[[int], Data]:
    def make(n: int) -> Data:
        rng = np.random.default_rng(seed)
        x = rng.standard_normal((n, k))
        beta = rng.uniform(-1.0, 1.0, k)
        y = 1.0 + x @ beta + rng.standard_normal(n)
        w = rng.uniform(0.5, 2.0, n)
        return {"x": x, "y": y, "w": w}

    return make


def gls_data(k: int, seed: int) -> Callable[[int], Data]:
    def make(n: int) -> Data:
        d = linear_data(k, seed)(n)
        lags = np.abs(np.subtract.outer(np.arange(n), np.arange(n)))
        d["sigma"] = 0.6**lags  # AR(1) correlation, well conditioned
        return d

    return make


def panel_data(k: int, groups: int, seed: int, drawn: bool = False) -> Callable[[int], Data]:
    """G = min(groups, n/10) entities of equal size in random order; with `drawn`, each row's id drawn uniformly
    from `groups` values instead (at n = groups = 10⁶: about 632,000 entities, more than half of them of one row)."""

    def make(n: int) -> Data:
        rng = np.random.default_rng(seed)
        if drawn:
            g = groups if n >= groups else max(2, n // 10)  # fewer values for the small warm-up copy
            ids = rng.integers(0, g, n).astype(np.int64)
        else:
            g = min(groups, max(2, n // 10))
            ids = rng.permutation(np.arange(n) % g).astype(np.int64)
        alpha = rng.standard_normal(g)
        x = rng.standard_normal((n, k)) + 0.5 * alpha[ids, None]
        beta = rng.uniform(-1.0, 1.0, k)
        y = x @ beta + alpha[ids] + rng.standard_normal(n)
        return {"x": x, "y": y, "ids": ids}

    return make


def iv_data(k_exog: int, k_endog: int, n_excluded: int, seed: int) -> Callable[[int], Data]:
    def make(n: int) -> Data:
        rng = np.random.default_rng(seed)
        exog = rng.standard_normal((n, k_exog))
        excluded = rng.standard_normal((n, n_excluded))
        v = rng.standard_normal((n, k_endog))
        endog = excluded @ rng.uniform(0.5, 1.0, (n_excluded, k_endog)) + 0.3 * exog[:, :k_endog] + v
        u = 0.5 * v.sum(axis=1) + rng.standard_normal(n)
        regressors = np.column_stack([endog, exog])
        y = 1.0 + regressors @ rng.uniform(-1.0, 1.0, k_endog + k_exog) + u
        return {
            "regressors": regressors,
            "instruments": np.column_stack([excluded, exog]),
            "y": y,
            "exog": exog,
            "endog": endog,
            "excluded": excluded,
        }

    return make


# ---------------------------------------------------------------------------------------------- the libraries


def with_const(x: np.ndarray) -> np.ndarray:
    out = np.empty((x.shape[0], x.shape[1] + 1))
    out[:, 0] = 1.0
    out[:, 1:] = x
    return out


KD = "korvalis.dask (threaded)"
KD_HC0 = "korvalis.dask HC0 (threaded)"


def kd_ols(robust: bool, chunk: int) -> Impl:
    """korvalis.dask on da.from_array of the same arrays, chunks of `chunk` rows, Dask's threaded scheduler."""
    def prepare(d: Data) -> Any:
        import dask.array as da

        return (da.from_array(d["x"], chunks=(chunk, d["x"].shape[1])), da.from_array(d["y"], chunks=chunk))

    def run(st: Any) -> object:
        import dask

        import korvalis.dask as kd

        m = kd.OLS(robust=robust)
        with dask.config.set(scheduler="threads"):
            m.fit(*st)
        return m.standard_errors()

    return Impl(KD_HC0 if robust else KD, run, prepare, needs=("dask",))


def kv_ols(robust: bool) -> Impl:
    def run(d: Data) -> object:
        m = korvalis.OLS(robust=robust)
        m.fit(d["x"], d["y"])
        return m.standard_errors()

    return Impl("korvalis", run)


def sm_ols(cov: str) -> Impl:
    def run(d: Data) -> object:
        import statsmodels.api as sm

        res = sm.OLS(d["y"], sm.add_constant(d["x"], prepend=True)).fit(cov_type=cov)
        return res.bse

    return Impl("statsmodels", run, needs=("statsmodels",))


def np_lstsq() -> Impl:
    def run(d: Data) -> object:
        return np.linalg.lstsq(with_const(d["x"]), d["y"], rcond=None)[0]

    return Impl("numpy lstsq", run)


def sk_linear() -> Impl:
    def run(d: Data) -> object:
        from sklearn.linear_model import LinearRegression

        return LinearRegression().fit(d["x"], d["y"]).coef_

    return Impl("scikit-learn", run, needs=("sklearn",))


def kv_wls() -> Impl:
    def run(d: Data) -> object:
        m = korvalis.WLS()
        m.fit(d["x"], d["y"], d["w"])
        return m.standard_errors()

    return Impl("korvalis", run)


def sm_wls() -> Impl:
    def run(d: Data) -> object:
        import statsmodels.api as sm

        return sm.WLS(d["y"], sm.add_constant(d["x"], prepend=True), weights=d["w"]).fit().bse

    return Impl("statsmodels", run, needs=("statsmodels",))


def kv_gls() -> Impl:
    def run(d: Data) -> object:
        m = korvalis.GLS()
        m.fit(d["x"], d["y"], d["sigma"])
        return m.standard_errors()

    return Impl("korvalis", run)


def sm_gls() -> Impl:
    def run(d: Data) -> object:
        import statsmodels.api as sm

        return sm.GLS(d["y"], sm.add_constant(d["x"], prepend=True), sigma=d["sigma"]).fit().bse

    return Impl("statsmodels", run, needs=("statsmodels",))


def kv_fe(robust: bool) -> Impl:
    def run(d: Data) -> object:
        m = korvalis.FE(robust=robust)
        m.fit(d["x"], d["y"], d["ids"])
        return m.standard_errors()

    return Impl("korvalis", run)


def lm_panel(robust: bool) -> Impl:
    def prepare(d: Data) -> Any:
        import pandas as pd

        ids = d["ids"]
        time_index = pd.Series(ids).groupby(ids).cumcount().to_numpy()
        index = pd.MultiIndex.from_arrays([ids, time_index], names=["entity", "time"])
        cols = [f"x{j}" for j in range(1, d["x"].shape[1] + 1)]
        return pd.Series(d["y"], index=index, name="y"), pd.DataFrame(d["x"], index=index, columns=cols)

    def run(state: Any) -> object:
        from linearmodels import PanelOLS

        y, x = state
        model = PanelOLS(y, x, entity_effects=True)
        if robust:
            return model.fit(cov_type="clustered", cluster_entity=True).std_errors
        return model.fit(cov_type="unadjusted").std_errors

    return Impl("linearmodels PanelOLS", run, prepare, needs=("linearmodels", "pandas"))


def pf_feols(robust: bool) -> Impl:
    def prepare(d: Data) -> Any:
        import pandas as pd

        k = d["x"].shape[1]
        df = pd.DataFrame(d["x"], columns=[f"x{j}" for j in range(1, k + 1)])
        df["y"] = d["y"]
        df["g"] = d["ids"]
        return df, "y ~ " + " + ".join(f"x{j}" for j in range(1, k + 1)) + " | g"

    def run(state: Any) -> object:
        import pyfixest

        df, formula = state
        # fixef_rm="none": singleton entities are kept, as korvalis keeps them, so both fit the same rows.
        return pyfixest.feols(formula, data=df, vcov={"CRV1": "g"} if robust else "iid", fixef_rm="none").se()

    return Impl("pyfixest", run, prepare, needs=("pyfixest", "pandas"))


def kv_iv(cls: type[korvalis.IV] | type[korvalis.TSLS]) -> Impl:
    def run(d: Data) -> object:
        m = cls()
        m.fit(d["instruments"], d["regressors"], d["y"])
        return m.standard_errors()

    return Impl("korvalis", run)


def lm_iv2sls() -> Impl:
    def run(d: Data) -> object:
        from linearmodels.iv import IV2SLS

        res = IV2SLS(d["y"], with_const(d["exog"]), d["endog"], d["excluded"]).fit(cov_type="unadjusted")
        return res.std_errors

    return Impl("linearmodels IV2SLS", run, needs=("linearmodels",))


def kv_fitted(d: Data) -> Any:
    m = korvalis.OLS()
    m.fit(d["x"], d["y"])
    return m, d["x"]


def sm_fitted(d: Data) -> Any:
    import statsmodels.api as sm

    x1 = sm.add_constant(d["x"], prepend=True)
    return sm.OLS(d["y"], x1).fit(), x1


def sk_fitted(d: Data) -> Any:
    from sklearn.linear_model import LinearRegression

    return LinearRegression().fit(d["x"], d["y"]), d["x"]



# ---------------------------------------------------------------------------------------------- NumPy's limits

GRAM, PASS, COPY = "numpy x.T @ x", "numpy x @ b", "numpy x.copy()"
GRAM_ZXY, GRAM_WX, CHOL = "numpy Gram of [Z | X | y]", "numpy Gram of √w·x", "numpy cholesky(Σ)"


def gram_of(g: np.ndarray) -> object:
    return g.T @ g


def limit_gram() -> Impl:
    return Impl(GRAM, gram_of, lambda d: d["x"], limit=True)


def limit_pass() -> Impl:
    def prepare(d: Data) -> Any:
        x = d["x"]
        return x, np.linspace(-1.0, 1.0, x.shape[1])

    return Impl(PASS, lambda s: s[0] @ s[1], prepare, limit=True)


def limit_copy() -> Impl:
    return Impl(COPY, lambda x: x.copy(), lambda d: d["x"], limit=True)


def limit_gram_zxy() -> Impl:
    return Impl(GRAM_ZXY, gram_of, lambda d: np.column_stack([d["instruments"], d["regressors"], d["y"]]), limit=True)


def limit_gram_weighted() -> Impl:
    return Impl(GRAM_WX, gram_of, lambda d: np.sqrt(d["w"])[:, None] * d["x"], limit=True)


def limit_cholesky() -> Impl:
    return Impl(CHOL, np.linalg.cholesky, lambda d: d["sigma"], limit=True)


# ---------------------------------------------------------------------------------------------- the cases


@dataclass(frozen=True)
class Sizes:
    big: int  # n of the OLS, WLS, IV, TSLS, summary and predict cases the goals are stated on
    dask: tuple[int, int]  # (n, rows a chunk) of the korvalis.dask case
    small: int | None  # n of the smaller OLS cases (none in quick runs)
    wide_n: int  # n of the OLS case at k = 200 (n = 10⁶ would make x 1.6 GB)
    gls_ns: tuple[int, ...]  # the last one carries the GLS goals
    fe_n: int
    groups: tuple[int, ...]
    fe_drawn: int  # ids drawn from this many values at n = fe_n
    fe_large: tuple[int, int] | None  # (n, G) of the largest FE case, full runs only


FULL = Sizes(big=1_000_000, dask=(10_000_000, 1_000_000), small=10_000, wide_n=200_000, gls_ns=(3000, 4000), fe_n=1_000_000,
             groups=(100, 10_000, 100_000), fe_drawn=1_000_000, fe_large=(10_000_000, 1_000_000))
QUICK = Sizes(big=1_000, dask=(20_000, 5_000), small=None, wide_n=2_000, gls_ns=(200, 300), fe_n=2_000, groups=(50,), fe_drawn=2_000,
              fe_large=None)


def ols_id(n: int, k: int, kind: str) -> str:
    return f"ols-n{n}-k{k}-{kind}"


def fe_id(n: int, g: int, kind: str) -> str:
    return f"fe-n{n}-k10-g{g}-{kind}"


def fe_drawn_id(n: int, values: int, kind: str) -> str:
    return f"fe-n{n}-k10-drawn{values}-{kind}"


def dask_id(s: Sizes) -> str:
    return f"dask-ols-n{s.dask[0]}-k10"


def gls_id(n: int) -> str:
    return f"gls-n{n}-k10"


def build_cases(s: Sizes) -> list[Case]:
    ols_sizes = [(n, k) for n in (s.small, s.big) if n for k in (10, 50)] + [(s.wide_n, 200)]
    cases: list[Case] = []

    for n, k in ols_sizes:
        make = linear_data(k, seed=1)
        for robust, cov in ((False, "nonrobust"), (True, "HC0")):
            kind = "HC0" if robust else "classical"
            # At k = 200 a statsmodels fit takes some 20 s: it is timed once (classical), lstsq and scikit-learn not.
            impls = [kv_ols(robust)] + ([sm_ols(cov)] if not (robust and k == 200) else [])
            if not robust and k < 200:
                impls += [np_lstsq(), sk_linear()]
            impls += [limit_gram(), limit_pass()] if not robust else [limit_gram()]
            limit = (GRAM, PASS) if not robust else (GRAM,)
            title = f"OLS {kind}, n={n:,}, k={k}"
            cases.append(Case(ols_id(n, k, kind), title, make, n, impls, limit=limit,
                              limit_name="Gram + pass" if not robust else "Gram",
                              chart=n != s.small and (not robust or k == 50)))

    for n in s.gls_ns:
        cases.append(Case(gls_id(n), f"GLS (AR(1) Σ), n={n:,}, k=10", gls_data(10, 3), n,
                          [kv_gls(), sm_gls(), limit_cholesky()], limit=(CHOL,), limit_name="Cholesky of Σ",
                          chart=True))

    for g in s.groups:
        make = panel_data(10, g, seed=4)
        for robust in (False, True):
            kind = "clustered" if robust else "classical"
            cases.append(Case(fe_id(s.fe_n, g, kind), f"FE {kind}, n={s.fe_n:,}, k=10, G={g:,}", make, s.fe_n,
                              [kv_fe(robust), lm_panel(robust), pf_feols(robust), limit_gram(), limit_copy()],
                              limit=(GRAM, COPY), limit_name="Gram + copy", chart=not robust))
    make = panel_data(10, s.fe_drawn, seed=4, drawn=True)
    for robust in (False, True):
        kind = "clustered" if robust else "classical"
        cases.append(Case(fe_drawn_id(s.fe_n, s.fe_drawn, kind),
                          f"FE {kind}, n={s.fe_n:,}, k=10, ids drawn from {s.fe_drawn:,} values", make, s.fe_n,
                          [kv_fe(robust), lm_panel(robust), pf_feols(robust), limit_gram(), limit_copy()],
                          limit=(GRAM, COPY), limit_name="Gram + copy", chart=False))
    if s.fe_large:
        n_large, g_large = s.fe_large
        # x alone is 800 MB here: linearmodels is left out (it needs several copies and minutes).
        cases.append(Case(fe_id(n_large, g_large, "classical"), f"FE classical, n={n_large:,}, k=10, G={g_large:,}",
                          panel_data(10, g_large, seed=4), n_large,
                          [kv_fe(False), pf_feols(False), limit_gram(), limit_copy()],
                          limit=(GRAM, COPY), limit_name="Gram + copy", chart=False))

    n_dask, chunk = s.dask
    cases.append(Case(dask_id(s), f"OLS over Dask chunks of {chunk:,} rows (threaded scheduler), n={n_dask:,}, k=10",
                      linear_data(10, seed=8), n_dask, [kv_ols(False), kd_ols(False, chunk), kd_ols(True, chunk)],
                      chart=False))

    big = s.big
    cases.append(Case(f"wls-n{big}-k10", f"WLS, n={big:,}, k=10", linear_data(10, 2), big,
                      [kv_wls(), sm_wls(), limit_gram_weighted(), limit_pass()], limit=(GRAM_WX, PASS),
                      limit_name="Gram of √w·x + pass", chart=True))
    cases.append(Case(f"iv-n{big}", f"IV (2 endogenous of 10, exactly identified), n={big:,}",
                      iv_data(8, 2, 2, seed=5), big, [kv_iv(korvalis.IV), lm_iv2sls(), limit_gram_zxy()],
                      limit=(GRAM_ZXY,), limit_name="Gram of [Z | X | y]", chart=True))
    cases.append(Case(f"tsls-n{big}", f"TSLS (2 endogenous of 10, 4 instruments for them), n={big:,}",
                      iv_data(8, 2, 4, seed=6), big, [kv_iv(korvalis.TSLS), lm_iv2sls(), limit_gram_zxy()],
                      limit=(GRAM_ZXY,), limit_name="Gram of [Z | X | y]", chart=True))

    # summary() at k = 50 runs on the same arrays as the OLS case at k = 50 (same generator and seed).
    for k, make in ((10, linear_data(10, seed=7)), (50, linear_data(50, seed=1))):
        cases.append(Case(f"summary-n{big}-k{k}", f"summary() of a fitted OLS, n={big:,}, k={k} (first call after fit)",
                          make, big, [
                              Impl("korvalis", lambda st: st[0].summary(), kv_fitted, fresh=True),
                              Impl("statsmodels", lambda st: st[0].summary(), sm_fitted, needs=("statsmodels",),
                                   fresh=True),
                          ], chart=k == 50))
    cases.append(Case(f"predict-n{big}", f"predict on the training rows of a fitted OLS, n={big:,}, k=10",
                      linear_data(10, seed=7), big, [
                          Impl("korvalis", lambda st: st[0].predict(st[1]), kv_fitted),
                          Impl("statsmodels", lambda st: st[0].predict(st[1]), sm_fitted, needs=("statsmodels",)),
                          Impl("scikit-learn", lambda st: st[0].predict(st[1]), sk_fitted, needs=("sklearn",)),
                          limit_pass(),
                      ], limit=(PASS,), limit_name="x @ b", chart=True))
    for i, case in enumerate(cases):
        case.index = i
    return cases


def goal_case_ids(s: Sizes) -> set[str]:
    """The cases the goals read: they run first, so a run stopped early still answers them."""
    ids = {ols_id(s.big, k, kind) for k in (10, 50) for kind in ("classical", "HC0")}
    ids |= {gls_id(n) for n in s.gls_ns}
    ids |= {fe_id(s.fe_n, g, kind) for g in s.groups for kind in ("classical", "clustered")}
    ids |= {fe_drawn_id(s.fe_n, s.fe_drawn, kind) for kind in ("classical", "clustered")}
    ids |= {f"wls-n{s.big}-k10", f"iv-n{s.big}", f"tsls-n{s.big}", f"summary-n{s.big}-k50", f"predict-n{s.big}"}
    ids |= {dask_id(s)}
    return ids


# ---------------------------------------------------------------------------------------------- measuring


def available(impl: Impl) -> bool:
    for module in impl.needs:
        try:
            importlib.import_module(module)
        except ImportError:
            return False
    return True


def time_impl(impl: Impl, data: Data, repeat: int) -> float:
    state = impl.prepare(data)
    impl.run(state)  # warm-up: imports, JIT compilation, first-touch of buffers
    times = []
    for _ in range(repeat):
        if impl.fresh:
            state = impl.prepare(data)
        gc.collect()
        t0 = time.perf_counter()
        impl.run(state)
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def status_kb(field_name: str) -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith(field_name + ":"):
            return int(line.split()[1])
    raise RuntimeError(f"{field_name} not in /proc/self/status")


def measure_memory_here(case: Case, label: str) -> dict[str, float]:
    """Run in the child process: peak RSS above the resident size just before one call."""
    impl = next(i for i in case.impls if i.label == label)
    impl.run(impl.prepare(case.make(min(case.n, 2000))))  # warm-up on a small copy
    data = case.make(case.n)
    state = impl.prepare(data)
    gc.collect()
    Path("/proc/self/clear_refs").write_text("5")  # reset the peak-RSS mark to the current RSS
    before = status_kb("VmRSS")
    result = impl.run(state)
    peak = status_kb("VmHWM")
    out_bytes = float(result.nbytes) if isinstance(result, np.ndarray) else 0.0
    del result
    largest = max(v.nbytes for v in data.values() if isinstance(v, np.ndarray))  # x, or Σ for GLS
    return {"extra_bytes": (peak - before) * 1024.0, "x_bytes": float(largest), "out_bytes": out_bytes}


def measure_memory(case: Case, label: str, quick: bool) -> dict[str, float] | None:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--measure-memory", case.id, label]
    if quick:
        cmd.append("--quick")
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        sys.stderr.write(f"memory measurement of {case.id} / {label} failed:\n{proc.stderr}\n")
        return None
    result: dict[str, float] = json.loads(proc.stdout.strip().splitlines()[-1])
    return result


# ---------------------------------------------------------------------------------------------- reporting


def openblas_threads() -> list[str]:
    """Thread counts of every OpenBLAS loaded in this process (korvalis's and NumPy's are separate copies)."""
    import ctypes

    out = []
    seen = set()
    for line in Path("/proc/self/maps").read_text().splitlines():
        path = line.split()[-1] if "/" in line else ""
        if "openblas" not in Path(path).name.lower() or path in seen or not re.search(r"\.so(\.\d+)*$", path):
            continue
        seen.add(path)
        lib = ctypes.CDLL(path)
        for symbol in ("openblas_get_num_threads", "scipy_openblas_get_num_threads",
                       "scipy_openblas_get_num_threads64_", "openblas_get_num_threads64_"):
            fn = getattr(lib, symbol, None)
            if fn is not None:
                out.append(f"{Path(path).name}: {fn()} threads")
                break
    return out


def version(dist: str) -> str:
    try:
        if dist == "korvalis" and Path(korvalis.__file__).parent.parent.name != "site-packages":
            raise importlib.metadata.PackageNotFoundError(dist)  # a developer build shadows any installed copy
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        if dist == "korvalis":
            found = re.search(r'^version\s*=\s*"([^"]+)"', (HERE.parent / "pyproject.toml").read_text(), re.M)
            return f"{found.group(1) if found else '(unknown version)'} (developer build)"
        return "not installed"


def machine_lines() -> list[str]:
    cpu = "unknown CPU"
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            cpu = line.split(":", 1)[1].strip()
            break
    mem_gb = status_meminfo_gb()
    libs = ["korvalis", "numpy", "scipy", "statsmodels", "linearmodels", "pyfixest", "scikit-learn", "pandas",
            "scipy-openblas32"]
    env = {v: os.environ.get(v, "unset") for v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS")}
    return [
        f"- Machine: {cpu}, {os.cpu_count()} logical CPUs, {mem_gb:.0f} GB RAM; {platform.platform()}",
        f"- Python {platform.python_version()}; " + ", ".join(f"{lib} {version(lib)}" for lib in libs),
        "- BLAS: " + "; ".join(openblas_threads()) + "; " + ", ".join(f"{k}={v}" for k, v in env.items()),
    ]


def status_meminfo_gb() -> float:
    for line in Path("/proc/meminfo").read_text().splitlines():
        if line.startswith("MemTotal:"):
            return int(line.split()[1]) / MB
    return float("nan")


def fmt_time(seconds: float) -> str:
    if seconds < 1e-3:
        return f"{seconds * 1e6:.0f} µs"
    if seconds < 1.0:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds:.2f} s"


SUPERSCRIPT = str.maketrans("0123456789", "⁰¹²³⁴⁵⁶⁷⁸⁹")


def fmt_n(n: int) -> str:
    """1000000 -> 10⁶, 200000 -> 2·10⁵, 3000 -> 3000."""
    if n < 10_000:
        return str(n)
    e = len(str(n)) - 1
    m, rest = divmod(n, 10**e)
    if rest:
        return f"{n:,}"
    return ("" if m == 1 else f"{m}·") + "10" + str(e).translate(SUPERSCRIPT)


@dataclass
class Row:
    case: Case
    label: str
    seconds: float | None  # None: not installed, or failed (see error)
    memory: dict[str, float] | None
    error: str | None = None
    limit: bool = False


def cell(text: str) -> str:
    """Text for a Markdown table cell: a bar inside it would end the cell."""
    return text.replace("|", "\\|")


def table(rows: list[Row]) -> list[str]:
    lines = [
        "| Case | Library | Median time | Peer / korvalis | Peak extra RSS | × largest input |",
        "|---|---|---:|---:|---:|---:|",
    ]
    base: dict[str, float] = {}
    for r in rows:
        if r.label == "korvalis" and r.seconds is not None:
            base[r.case.id] = r.seconds
    last = ""
    for r in rows:
        title = cell(r.case.title) if r.case.id != last else ""
        last = r.case.id
        if r.seconds is None:
            lines.append(f"| {title} | {cell(r.label)} | {cell(r.error or 'not installed')} | | | |")
            continue
        ratio = f"{r.seconds / base[r.case.id]:.2f}" if r.case.id in base else ""
        if r.memory is None:
            mem = ratio_x = "—"
        else:
            extra = r.memory["extra_bytes"] / MB
            mem = f"{extra:.1f} MB" if extra < 10 else f"{extra:.0f} MB"
            ratio_x = f"{r.memory['extra_bytes'] / r.memory['x_bytes']:.2f}"
        label = cell(f"*{r.label}*" if r.limit else r.label)
        lines.append(f"| {title} | {label} | {fmt_time(r.seconds)} | {ratio} | {mem} | {ratio_x} |")
    return lines


class Lookup:
    """Times and memory of this run's rows, by case id and label; None where a row is missing or failed."""

    def __init__(self, rows: list[Row]) -> None:
        self.rows = {(r.case.id, r.label): r for r in rows}

    def t(self, case_id: str, *labels: str) -> float | None:
        """The time of one row, or the sum of several (None if any is missing)."""
        total = 0.0
        for label in labels:
            r = self.rows.get((case_id, label))
            if r is None or r.seconds is None:
                return None
            total += r.seconds
        return total

    def mem(self, case_id: str, label: str, over: str = "x_bytes") -> float | None:
        r = self.rows.get((case_id, label))
        if r is None or r.memory is None or not r.memory.get(over):
            return None
        return r.memory["extra_bytes"] / r.memory[over]


def ratio(a: float | None, b: float | None) -> float | None:
    return None if a is None or b is None or b == 0 else a / b


def targets(rows: list[Row], s: Sizes) -> list[str]:
    """The speed and memory goals, each a ratio from this run against its bound."""
    at = Lookup(rows)
    kv = "korvalis"
    out = ["| Goal | Measured | Target | |", "|---|---:|---:|---|"]

    def line(goal: str, value: float | None, op: str, bound: float | None) -> None:
        target = "—" if bound is None else f"{op} {bound:g}"
        goal = cell(goal)
        if value is None:
            out.append(f"| {goal} | not measured | {target} | |")
        elif bound is None:
            out.append(f"| {goal} | {value:.2f} | {target} | reported |")
        else:
            met = value <= bound if op == "≤" else value >= bound
            out.append(f"| {goal} | {value:.2f} | {target} | {'met' if met else 'missed'} |")

    big, N = s.big, fmt_n(s.big)
    ols10, ols50 = ols_id(big, 10, "classical"), ols_id(big, 50, "classical")
    hc0_50, wide = ols_id(big, 50, "HC0"), ols_id(s.wide_n, 200, "classical")
    for k, c, bound in ((10, ols10, 1.2), (50, ols50, 1.15)):
        line(f"OLS n={N}, k={k}: fit / (Gram + pass)", ratio(at.t(c, kv), at.t(c, GRAM, PASS)), "≤", bound)
    line(f"OLS n={fmt_n(s.wide_n)}, k=200: fit / (Gram + pass)", ratio(at.t(wide, kv), at.t(wide, GRAM, PASS)),
         "≤", None)
    line(f"OLS HC0 n={N}, k=50: fit / Gram", ratio(at.t(hc0_50, kv), at.t(hc0_50, GRAM)), "≤", 2.4)
    line(f"OLS n={N}, k=50: statsmodels (fit and standard errors) / korvalis",
         ratio(at.t(ols50, "statsmodels"), at.t(ols50, kv)), "≥", 30)
    line(f"OLS n={N}, k=50: peak memory beyond the inputs / size of x", at.mem(ols50, kv), "≤", 0.05)

    summ = f"summary-n{big}-k50"
    line(f"summary() n={N}, k=50: first call / OLS fit", ratio(at.t(summ, kv), at.t(ols50, kv)), "≤", 0.05)
    line(f"summary() n={N}, k=50: statsmodels' summary() / korvalis's",
         ratio(at.t(summ, "statsmodels"), at.t(summ, kv)), "≥", 10)

    fe_n = fmt_n(s.fe_n)
    drawn = [(fe_drawn_id(s.fe_n, s.fe_drawn, "classical"), f"ids drawn from {fmt_n(s.fe_drawn)} values")]
    for g in s.groups:
        c = fe_id(s.fe_n, g, "classical")
        line(f"FE n={fe_n}, G={fmt_n(g)}: fit / (Gram + copy)", ratio(at.t(c, kv), at.t(c, GRAM, COPY)), "≤", 2.5)
    for c, what in drawn:
        line(f"FE n={fe_n}, {what}: fit / (Gram + copy)", ratio(at.t(c, kv), at.t(c, GRAM, COPY)), "≤", 4)
    if s.fe_large:
        c = fe_id(*s.fe_large, "classical")
        line(f"FE n={fmt_n(s.fe_large[0])}, G={fmt_n(s.fe_large[1])}: fit / (Gram + copy)",
             ratio(at.t(c, kv), at.t(c, GRAM, COPY)), "≤", None)
    for g in s.groups:
        c = fe_id(s.fe_n, g, "classical")
        line(f"FE n={fe_n}, G={fmt_n(g)}: pyfixest / korvalis", ratio(at.t(c, "pyfixest"), at.t(c, kv)), "≥", 10)
    for c, what in drawn:
        line(f"FE n={fe_n}, {what}: pyfixest / korvalis", ratio(at.t(c, "pyfixest"), at.t(c, kv)), "≥", 10)
    for g in s.groups:
        c = fe_id(s.fe_n, g, "classical")
        line(f"FE n={fe_n}, G={fmt_n(g)}: linearmodels / korvalis",
             ratio(at.t(c, "linearmodels PanelOLS"), at.t(c, kv)), "≥", 10)
    for g in s.groups:
        worst = [m for kind in ("classical", "clustered") if (m := at.mem(fe_id(s.fe_n, g, kind), kv)) is not None]
        line(f"FE n={fe_n}, G={fmt_n(g)}: peak memory / size of x (classical and clustered, the larger)",
             max(worst) if worst else None, "≤", 0.3)
    for c, what in drawn:
        # Beyond 0.3 of x, the state a fit keeps: residuals (8 bytes a row), effects (8 a entity), the id map.
        worst = [m for kind in ("classical", "clustered")
                 if (m := at.mem(c.replace("classical", kind), kv)) is not None]
        line(f"FE n={fe_n}, {what}: peak memory / size of x (the larger; kept state 8n + 8G + id map bytes "
             "allowed beyond 0.3)", max(worst) if worst else None, "≤", None)
    for g in s.groups:
        c, r = fe_id(s.fe_n, g, "classical"), fe_id(s.fe_n, g, "clustered")
        line(f"FE n={fe_n}, G={fmt_n(g)}: clustered / classical", ratio(at.t(r, kv), at.t(c, kv)), "≤", 1.3)

    for name in ("iv", "tsls"):
        c = f"{name}-n{big}"
        line(f"{name.upper()} n={N}: fit / Gram of [Z | X | y]", ratio(at.t(c, kv), at.t(c, GRAM_ZXY)), "≤", 2.0)
    c = f"wls-n{big}-k10"
    line(f"WLS n={N}, k=10: fit / (Gram of √w·x + pass)", ratio(at.t(c, kv), at.t(c, GRAM_WX, PASS)), "≤", 1.3)

    c = dask_id(s)
    line(f"OLS over Dask chunks n={fmt_n(s.dask[0])}, k=10 (threaded): korvalis.dask / korvalis",
         ratio(at.t(c, KD), at.t(c, kv)), "≤", 1.2)
    line(f"OLS HC0 over Dask chunks n={fmt_n(s.dask[0])}, k=10 (threaded): korvalis.dask / korvalis classical",
         ratio(at.t(c, KD_HC0), at.t(c, kv)), "≤", None)

    g_last, g_first = gls_id(s.gls_ns[-1]), gls_id(s.gls_ns[0])
    line(f"GLS n={s.gls_ns[-1]}: fit / NumPy's Cholesky of Σ", ratio(at.t(g_last, kv), at.t(g_last, CHOL)), "≤", 1.15)
    line(f"GLS n={s.gls_ns[-1]}: peak memory / size of Σ", at.mem(g_last, kv), "≤", 1.1)
    line(f"GLS n={s.gls_ns[0]}: statsmodels / korvalis", ratio(at.t(g_first, "statsmodels"), at.t(g_first, kv)),
         "≥", 3)

    c = f"predict-n{big}"
    line(f"predict n={N}, k=10: peak memory / size of its output", at.mem(c, kv, "out_bytes"), "≤", 1.1)
    line(f"predict n={N}, k=10: time / x @ b (level)", ratio(at.t(c, kv), at.t(c, PASS)), "≤", 1.1)
    return out


def command_line(args: argparse.Namespace) -> str:
    """The options that shape the numbers, as they would be typed (the output path is left out)."""
    parts = ["python", "benchmarks/compare.py"]
    if args.quick:
        parts.append("--quick")
    if args.threads is not None:
        parts += ["--threads", str(args.threads)]
    if args.repeat is not None:
        parts += ["--repeat", str(args.repeat)]
    if args.cases:
        parts += ["--cases", shlex.quote(args.cases)]
    if args.no_memory:
        parts.append("--no-memory")
    if args.no_peers:
        parts.append("--no-peers")
    return " ".join(parts)


def blas_threads_word(args: argparse.Namespace) -> str:
    if args.threads is not None or args.quick:
        return f"BLAS threads: {args.threads if args.threads is not None else 1} (set by the command)"
    return f"BLAS threads: the libraries' default on {os.cpu_count()} logical CPUs"


def report(rows: list[Row], args: argparse.Namespace, repeat: int, elapsed: float, partial: str | None,
           sizes: Sizes) -> str:
    mode = "quick sizes (a smoke run, not a measurement)" if args.quick else "full sizes"
    if args.cases:
        mode += ", selected cases"
    if partial:
        mode += f"; {partial}"
    text = [
        "# Benchmarks: korvalis and its peers",
        "",
        f"Written by `{command_line(args)}` ({mode}, median of {repeat} timed calls after one warm-up, "
        f"{elapsed:.0f} s in all). {blas_threads_word(args)}.",
        "",
        *machine_lines(),
        "",
        "Ratio: the peer's median time over korvalis's (above 1: korvalis is faster). Peak extra RSS: the most "
        "resident memory the call needed above what was resident just before it (inputs already built), measured "
        "in a fresh process; × largest input: that amount over the bytes of the largest input array (the regressor "
        "matrix, or Σ for GLS). Every korvalis row "
        "includes its standard errors; statsmodels rows include `add_constant` and `.bse`, NumPy lstsq builds "
        "its column of ones, scikit-learn computes no standard errors. linearmodels and pyfixest receive "
        "DataFrames built before timing. Rows in italics are the NumPy expressions the goals are stated against, "
        "timed on the same arrays: `x.T @ x` (Gram), `x @ b` (pass), `x.copy()`, the Gram of `[Z | X | y]` "
        "and of `sqrt(w)[:, None] * x` (each matrix built before timing), and `np.linalg.cholesky(Σ)`. "
        f"The OLS case at k = 200 has n = {sizes.wide_n:,}: at n = 10⁶ its x alone would take 1.6 GB.",
        "",
        *table(sorted(rows, key=lambda r: r.case.index)),
        "",
        "## Goals",
        "",
        "Each goal is a ratio of two measurements of this run." + (
            " Quick sizes are far too small for these to mean anything; they are shown so the smoke run"
            " exercises them." if args.quick else ""),
        "",
        *targets(rows, sizes),
        "",
    ]
    return "\n".join(text)


def payload(rows: list[Row], args: argparse.Namespace) -> dict[str, Any]:
    """The measurements as plain data: what --json writes and what speed_chart.py draws."""
    cases = {r.case.id: r.case for r in rows}
    return {
        "command": command_line(args),
        "blas": blas_threads_word(args),
        "openblas": openblas_threads(),  # the count each loaded OpenBLAS reports
        "cases": [{"id": c.id, "title": c.title, "index": c.index, "limit": list(c.limit),
                   "limit_name": c.limit_name, "chart": c.chart} for c in cases.values()],
        "rows": [{"case": r.case.id, "label": r.label, "seconds": r.seconds, "memory": r.memory, "limit": r.limit}
                 for r in rows],
    }


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, a few seconds in all; prints only")
    ap.add_argument("--repeat", type=int, default=None, help="timed calls per library (default 5, quick 2)")
    ap.add_argument("--threads", type=int, default=None,
                    help="BLAS threads for every library (default: the machine's default; 1 with --quick)")
    ap.add_argument("--cases", default="", help="regular expression selecting case ids (then nothing is written "
                    "unless --output says where)")
    ap.add_argument("--no-peers", action="store_true", help="time only korvalis and the NumPy limits")
    ap.add_argument("--list", action="store_true", help="list the case ids and exit")
    ap.add_argument("--no-memory", action="store_true", help="skip the per-case memory subprocesses")
    ap.add_argument("--output", default=None, help="Markdown file to write (default RESULTS.md for a full run of "
                    "every case, none with --quick or --cases); a full run also draws speed.png beside it")
    ap.add_argument("--json", default=None, help="also write the measurements as JSON to this file")
    ap.add_argument("--no-chart", action="store_true", help="do not draw speed.png")
    ap.add_argument("--measure-memory", nargs=2, metavar=("CASE", "LIBRARY"), help=argparse.SUPPRESS)
    args = ap.parse_args()

    sizes = QUICK if args.quick else FULL
    cases = build_cases(sizes)
    if args.measure_memory:
        case_id, label = args.measure_memory
        case = next(c for c in cases if c.id == case_id)
        print(json.dumps(measure_memory_here(case, label)))
        return
    if args.list:
        print("\n".join(c.id for c in cases))
        return

    repeat = args.repeat or (2 if args.quick else 5)
    output = args.output
    if output is None and not args.quick and not args.cases:
        output = str(HERE / "RESULTS.md")
    selected = [c for c in cases if re.search(args.cases, c.id)]
    if not selected:
        sys.exit(f"no case id matches {args.cases!r} (see --list)")
    # The cases the goals are stated on run first, so a run stopped early still answers them; the table keeps the
    # order of build_cases.
    goal_ids = goal_case_ids(sizes)
    order = {c.id: i for i, c in enumerate(cases)}
    selected.sort(key=lambda c: (c.id not in goal_ids, order[c.id]))
    print(f"  {blas_threads_word(args)}; {'; '.join(openblas_threads())}", file=sys.stderr, flush=True)
    rows: list[Row] = []
    started = time.perf_counter()
    for number, case in enumerate(selected, start=1):
        data = case.make(case.n)
        for impl in case.impls:
            if args.no_peers and impl.label != "korvalis" and not impl.limit:
                continue
            if not available(impl):
                rows.append(Row(case, impl.label, None, None, limit=impl.limit))
                continue
            try:
                seconds = time_impl(impl, data, repeat)
            except Exception as e:  # reported in the table; the run then exits non-zero
                rows.append(Row(case, impl.label, None, None, f"failed: {type(e).__name__}: {e}", impl.limit))
                print(f"  {case.id:40s} {impl.label:26s} FAILED: {e}", file=sys.stderr, flush=True)
                continue
            memory = None
            # In quick mode only korvalis's memory is measured: every subprocess pays the imports of its library.
            if not args.no_memory and not impl.limit and (not args.quick or impl.label == "korvalis"):
                memory = measure_memory(case, impl.label, args.quick)
            rows.append(Row(case, impl.label, seconds, memory, limit=impl.limit))
            print(f"  {case.id:40s} {impl.label:26s} {fmt_time(seconds):>10s}", file=sys.stderr, flush=True)
        del data
        if output and number < len(selected):  # keep what has been measured if the run is stopped
            partial = f"partial: {number} of {len(selected)} cases"
            Path(output).write_text(report(rows, args, repeat, time.perf_counter() - started, partial, sizes))
    out = report(rows, args, repeat, time.perf_counter() - started, None, sizes)
    print(out)
    if output:
        Path(output).write_text(out)
        if not args.quick and not args.no_chart:
            chart_path = Path(output).with_name("speed.png")
            try:
                from speed_chart import draw_speed_chart
            except ImportError as e:  # matplotlib is in the "bench" extra; the tables stand without the chart
                print(f"speed chart not drawn ({e}); pip install '.[bench]'", file=sys.stderr)
            else:
                draw_speed_chart(payload(rows, args), chart_path)
                print(f"  chart: {chart_path.name} beside {Path(output).name}", file=sys.stderr)
    if args.json:
        Path(args.json).write_text(json.dumps(payload(rows, args), indent=1) + "\n")
    if any(r.error for r in rows):
        sys.exit(1)


if __name__ == "__main__":
    main()
