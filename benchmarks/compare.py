"""Time korvalis against its peers on the same generated data, and measure the memory each one needs.

    python benchmarks/compare.py            # full sizes (minutes); writes benchmarks/RESULTS.md
    python benchmarks/compare.py --quick    # small sizes, finishes in seconds; prints only
    python benchmarks/compare.py --cases 'fe-' --repeat 3 --no-memory

Every case generates one well-conditioned data set (fixed seed) and runs each library on it in this one process:
one untimed warm-up call, then the median of --repeat timed calls. The ratio is the peer's median time over
korvalis's, so above 1 means korvalis is faster. Input conversion a peer needs (a DataFrame, a column of ones) is done
before timing, except where a user of that library must do it on every call, as noted per case.

Peak extra memory is measured for each case and library in a fresh subprocess: it builds the same data, runs a
warm-up call on a small copy (imports, BLAS buffers, JIT compilation), resets the kernel's peak-RSS mark
(/proc/self/clear_refs), runs the call once and reports the peak resident set size reached above the resident size
just before it. tracemalloc would not see allocations made in C.

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
    if "--threads" in argv and argv.index("--threads") + 1 < len(argv):
        n = argv[argv.index("--threads") + 1]
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


@dataclass
class Case:
    id: str
    title: str
    make: Callable[[int], Data]  # n -> data; called with the full n, and a small n for memory warm-up
    n: int
    impls: list[Impl] = field(default_factory=list)
    index: int = 0  # position in the table


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


def panel_data(k: int, groups: int, seed: int) -> Callable[[int], Data]:
    def make(n: int) -> Data:
        rng = np.random.default_rng(seed)
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


def np_gram() -> Impl:
    def run(d: Data) -> object:
        x = d["x"]
        return x.T @ x

    return Impl("numpy x.T @ x", run)


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
        return pyfixest.feols(formula, data=df, vcov={"CRV1": "g"} if robust else "iid").se()

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


def np_fitted(d: Data) -> Any:
    beta = np.linalg.lstsq(with_const(d["x"]), d["y"], rcond=None)[0]
    return beta, d["x"]


# ---------------------------------------------------------------------------------------------- the cases


def build_cases(quick: bool) -> list[Case]:
    # --quick keeps one size of each kind, small enough that the whole run takes seconds.
    big = 1_000 if quick else 1_000_000
    ols_sizes = [(1_000, 10)] if quick else [(n, k) for n in (10_000, 1_000_000) for k in (10, 50)]
    gls_n = 200 if quick else 3000
    fe_n = 2_000 if quick else 1_000_000
    groups = (50,) if quick else (100, 10_000, 100_000)
    cases: list[Case] = []

    for n, k in ols_sizes:
        make = linear_data(k, seed=1)
        for robust, cov in ((False, "nonrobust"), (True, "HC0")):
            kind = "HC0" if robust else "classical"
            impls = [kv_ols(robust), sm_ols(cov)]
            if not robust:
                impls += [np_lstsq(), sk_linear(), np_gram()]
            cases.append(Case(f"ols-n{n}-k{k}-{kind}", f"OLS {kind}, n={n:,}, k={k}", make, n, impls))

    cases.append(Case(f"gls-n{gls_n}-k10", f"GLS (AR(1) Σ), n={gls_n:,}, k=10", gls_data(10, 3), gls_n,
                      [kv_gls(), sm_gls()]))

    for g in groups:
        make = panel_data(10, g, seed=4)
        for robust in (False, True):
            kind = "clustered" if robust else "classical"
            cases.append(Case(f"fe-n{fe_n}-k10-g{g}-{kind}", f"FE {kind}, n={fe_n:,}, k=10, G={g:,}", make, fe_n,
                              [kv_fe(robust), lm_panel(robust), pf_feols(robust)]))

    cases.append(Case(f"wls-n{big}-k10", f"WLS, n={big:,}, k=10", linear_data(10, 2), big, [kv_wls(), sm_wls()]))
    cases.append(Case(f"iv-n{big}", f"IV (2 endogenous of 10, exactly identified), n={big:,}",
                      iv_data(8, 2, 2, seed=5), big, [kv_iv(korvalis.IV), lm_iv2sls()]))
    cases.append(Case(f"tsls-n{big}", f"TSLS (2 endogenous of 10, 4 instruments for them), n={big:,}",
                      iv_data(8, 2, 4, seed=6), big, [kv_iv(korvalis.TSLS), lm_iv2sls()]))

    summary_make = linear_data(10, seed=7)
    cases.append(Case(f"summary-n{big}", f"summary() of a fitted OLS, n={big:,}, k=10 (first call after fit)",
                      summary_make, big, [
                          Impl("korvalis", lambda s: s[0].summary(), kv_fitted, fresh=True),
                          Impl("statsmodels", lambda s: s[0].summary(), sm_fitted, needs=("statsmodels",),
                               fresh=True),
                      ]))
    cases.append(Case(f"predict-n{big}", f"predict on the training rows of a fitted OLS, n={big:,}, k=10",
                      summary_make, big, [
                          Impl("korvalis", lambda s: s[0].predict(s[1]), kv_fitted),
                          Impl("statsmodels", lambda s: s[0].predict(s[1]), sm_fitted, needs=("statsmodels",)),
                          Impl("scikit-learn", lambda s: s[0].predict(s[1]), sk_fitted, needs=("sklearn",)),
                          Impl("numpy x @ b", lambda s: s[1] @ s[0][1:] + s[0][0], np_fitted),
                      ]))
    for i, case in enumerate(cases):
        case.index = i
    return cases


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
    del result
    largest = max(v.nbytes for v in data.values() if isinstance(v, np.ndarray))  # x, or Σ for GLS
    return {"extra_bytes": (peak - before) * 1024.0, "x_bytes": float(largest)}


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
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        if dist == "korvalis":
            return f"(uninstalled build at {Path(korvalis.__file__).parent})"
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


@dataclass
class Row:
    case: Case
    label: str
    seconds: float | None  # None: not installed, or failed (see error)
    memory: dict[str, float] | None
    error: str | None = None


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
        title = r.case.title if r.case.id != last else ""
        last = r.case.id
        if r.seconds is None:
            lines.append(f"| {title} | {r.label} | {r.error or 'not installed'} | | | |")
            continue
        ratio = f"{r.seconds / base[r.case.id]:.2f}" if r.case.id in base else ""
        if r.memory is None:
            mem = ratio_x = "—"
        else:
            extra = r.memory["extra_bytes"] / MB
            mem = f"{extra:.1f} MB" if extra < 10 else f"{extra:.0f} MB"
            ratio_x = f"{r.memory['extra_bytes'] / r.memory['x_bytes']:.2f}"
        lines.append(f"| {title} | {r.label} | {fmt_time(r.seconds)} | {ratio} | {mem} | {ratio_x} |")
    return lines


def targets(rows: list[Row]) -> list[str]:
    """The speed and memory goals, each a ratio from this run."""

    def t(case_id: str, label: str) -> float | None:
        for r in rows:
            if r.case.id == case_id and r.label == label:
                return r.seconds
        return None

    def mem(case_id: str, label: str) -> float | None:
        for r in rows:
            if r.case.id == case_id and r.label == label and r.memory is not None:
                return r.memory["extra_bytes"] / r.memory["x_bytes"]
        return None

    def line(goal: str, value: float | None, ok: Callable[[float], bool]) -> str:
        if value is None:
            return f"| {goal} | not measured | |"
        return f"| {goal} | {value:.2f} | {'met' if ok(value) else 'missed'} |"

    def ratio(a: float | None, b: float | None) -> float | None:
        return None if a is None or b is None else a / b

    ols, ols_hc0 = "ols-n1000000-k50-classical", "ols-n1000000-k50-HC0"
    fe = "fe-n1000000-k10-g10000-classical"
    out = ["| Goal | Measured | |", "|---|---:|---|"]
    out.append(line("OLS n=10⁶, k=50: statsmodels / korvalis ≥ 20", ratio(t(ols, "statsmodels"), t(ols, "korvalis")),
                    lambda v: v >= 20))
    out.append(line("OLS n=10⁶, k=50: korvalis / (x.T @ x) ≤ 1.6", ratio(t(ols, "korvalis"), t(ols, "numpy x.T @ x")),
                    lambda v: v <= 1.6))
    out.append(line("OLS n=10⁶, k=50: HC0 / classical ≤ 1.8", ratio(t(ols_hc0, "korvalis"), t(ols, "korvalis")),
                    lambda v: v <= 1.8))
    out.append(line("OLS n=10⁶, k=50: peak extra memory / size of x ≤ 1.5", mem(ols, "korvalis"),
                    lambda v: v <= 1.5))
    out.append(line("FE n=10⁶, k=10, G=10⁴: pyfixest / korvalis ≥ 5", ratio(t(fe, "pyfixest"), t(fe, "korvalis")),
                    lambda v: v >= 5))
    out.append(line("FE n=10⁶, k=10, G=10⁴: linearmodels / korvalis ≥ 10",
                    ratio(t(fe, "linearmodels PanelOLS"), t(fe, "korvalis")), lambda v: v >= 10))
    for g in (100, 10_000, 100_000):
        c, r = f"fe-n1000000-k10-g{g}-classical", f"fe-n1000000-k10-g{g}-clustered"
        out.append(line(f"FE G={g:,}: clustered / classical ≤ 1.3", ratio(t(r, "korvalis"), t(c, "korvalis")),
                        lambda v: v <= 1.3))
    out.append(line("GLS n=3000: statsmodels / korvalis ≥ 3",
                    ratio(t("gls-n3000-k10", "statsmodels"), t("gls-n3000-k10", "korvalis")), lambda v: v >= 3))
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="small sizes, a few seconds in all; prints only")
    ap.add_argument("--repeat", type=int, default=None, help="timed calls per library (default 5, quick 2)")
    ap.add_argument("--threads", type=int, default=None,
                    help="BLAS threads for every library (default: the machine's default; 1 with --quick)")
    ap.add_argument("--cases", default="", help="regular expression selecting case ids")
    ap.add_argument("--no-memory", action="store_true", help="skip the per-case memory subprocesses")
    ap.add_argument("--output", default=None, help="Markdown file to write (default RESULTS.md, none with --quick)")
    ap.add_argument("--measure-memory", nargs=2, metavar=("CASE", "LIBRARY"), help=argparse.SUPPRESS)
    args = ap.parse_args()

    cases = build_cases(args.quick)
    if args.measure_memory:
        case_id, label = args.measure_memory
        case = next(c for c in cases if c.id == case_id)
        print(json.dumps(measure_memory_here(case, label)))
        return

    repeat = args.repeat or (2 if args.quick else 5)
    output = args.output if args.output is not None else (None if args.quick else str(HERE / "RESULTS.md"))
    selected = [c for c in cases if re.search(args.cases, c.id)]
    # The cases the goals are stated on run first, so a run stopped early still answers them; the table keeps the
    # order of build_cases.
    order = {c.id: i for i, c in enumerate(cases)}
    selected.sort(key=lambda c: (c.id not in GOAL_CASES, order[c.id]))
    rows: list[Row] = []
    started = time.perf_counter()
    for number, case in enumerate(selected, start=1):
        data = case.make(case.n)
        for impl in case.impls:
            if not available(impl):
                rows.append(Row(case, impl.label, None, None))
                continue
            try:
                seconds = time_impl(impl, data, repeat)
            except Exception as e:  # reported in the table; the run then exits non-zero
                rows.append(Row(case, impl.label, None, None, f"failed: {type(e).__name__}: {e}"))
                print(f"  {case.id:40s} {impl.label:22s} FAILED: {e}", file=sys.stderr, flush=True)
                continue
            memory = None
            # In quick mode only korvalis's memory is measured: every subprocess pays the imports of its library.
            if not args.no_memory and (not args.quick or impl.label == "korvalis"):
                memory = measure_memory(case, impl.label, args.quick)
            rows.append(Row(case, impl.label, seconds, memory))
            print(f"  {case.id:40s} {impl.label:22s} {fmt_time(seconds):>10s}", file=sys.stderr, flush=True)
        del data
        if output and number < len(selected):  # keep what has been measured if the run is stopped
            partial = f"partial: {number} of {len(selected)} cases"
            Path(output).write_text(report(rows, args.quick, repeat, time.perf_counter() - started, partial))
    out = report(rows, args.quick, repeat, time.perf_counter() - started, None)
    print(out)
    if output:
        Path(output).write_text(out)
    if any(r.error for r in rows):
        sys.exit(1)


GOAL_CASES = {
    "ols-n1000000-k50-classical", "ols-n1000000-k50-HC0", "gls-n3000-k10",
    *(f"fe-n1000000-k10-g{g}-{kind}" for g in (100, 10_000, 100_000) for kind in ("classical", "clustered")),
}


def report(rows: list[Row], quick: bool, repeat: int, elapsed: float, partial: str | None) -> str:
    mode = "quick sizes (a smoke run, not a measurement)" if quick else "full sizes"
    if partial:
        mode += f"; {partial}"
    text = [
        "# Benchmarks: korvalis and its peers",
        "",
        f"Written by `python benchmarks/compare.py{' --quick' if quick else ''}` ({mode}, median of {repeat} "
        f"timed calls after one warm-up, {elapsed:.0f} s in all).",
        "",
        *machine_lines(),
        "",
        "Ratio: the peer's median time over korvalis's (above 1: korvalis is faster). Peak extra RSS: the most "
        "resident memory the call needed above what was resident just before it (inputs already built), measured "
        "in a fresh process; × largest input: that amount over the bytes of the largest input array (the regressor "
        "matrix, or Σ for GLS). Every korvalis row "
        "includes its standard errors; statsmodels rows include `add_constant` and `.bse`, NumPy lstsq builds "
        "its column of ones, scikit-learn computes no standard errors, and `x.T @ x` is the Gram product alone. "
        "linearmodels and pyfixest receive DataFrames built before timing.",
        "",
        *table(sorted(rows, key=lambda r: r.case.index)),
        "",
    ]
    if not quick:
        text += ["## Goals", "", *targets(rows), ""]
    return "\n".join(text)


if __name__ == "__main__":
    main()
