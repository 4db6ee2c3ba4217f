"""korvalis.dask: fits over row chunks of Dask arrays against the in-memory class fitted on the same data,
on the threaded and synchronous schedulers and on a LocalCluster of worker processes; NIST's hardest sets
cut into chunks of a few rows against their certified values; faults worded as in memory; out of core."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")

import korvalis  # noqa: E402
import korvalis.dask as kd  # noqa: E402
from estimators import CASE_BY_NAME, mask_clock  # noqa: E402
from test_accuracy import NIST, design, lre  # noqa: E402


# Under the sanitizer an idle worker process already holds some 360 MB (the preloaded runtime's shadow memory),
# beyond the cluster's 300 MB limit, so its nanny restarts it without end: the distributed cases run on the plain
# build only.
SANITIZED = os.environ.get("KORVALIS_SANITIZED") == "1"
needs_workers = pytest.mark.skipif(SANITIZED, reason="a worker under the sanitizer exceeds its memory limit idle")


@pytest.fixture(scope="module")
def cluster_client():
    """One LocalCluster of two worker processes for this module, its workers limited to about 300 MB. It is closed
    with the module: its scheduler's event loop runs on a thread of this process, which would otherwise go on
    creating and freeing objects while later modules count references."""
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, memory_limit="300MB",
                                  dashboard_address=":0", silence_logs=40) as cluster:
        with distributed.Client(cluster, set_as_default=False) as client:
            yield client


@pytest.fixture(params=["threads", "sync", pytest.param("processes", marks=needs_workers)])
def scheduler(request):
    if request.param == "processes":
        client = request.getfixturevalue("cluster_client")
        with client.as_current(), dask.config.set(scheduler=client):
            yield request.param
    else:
        with dask.config.set(scheduler=request.param):
            yield request.param


# (class, options, data maker); each chunking cuts the same rows.
ESTIMATORS = {
    "OLS": ("OLS", {}, "OLS"),
    "OLS-HC0": ("OLS", {"robust": True}, "OLS"),
    "OLS-no-intercept": ("OLS", {"fit_intercept": False}, "OLS"),
    "WLS": ("WLS", {}, "WLS"),
    "IV": ("IV", {}, "IV"),
    "IV-no-intercept": ("IV", {"fit_intercept": False}, "IV"),
    "TSLS": ("TSLS", {}, "TSLS"),
    "FE": ("FE", {}, "FE"),
    "FE-clustered": ("FE", {"robust": True}, "FE"),
    "FE-many-entities": ("FE", {"robust": True}, "FE-many"),
}
CHUNKINGS = {
    "even": lambda n: (n // 4,) * 3 + (n - 3 * (n // 4),),
    "uneven": lambda n: (1, 0, 37, n - 38 - 5, 0, 5),
    "one": lambda n: (n,),
}


def as_dask(arrays, rows, *, unknown=False, split_columns=False):
    out = []
    for i, a in enumerate(arrays):
        chunks = (rows,) + ((max(1, a.shape[1] // 2),) if split_columns and a.ndim == 2 else a.shape[1:])
        d = da.from_array(a, chunks=chunks)
        if i > 0 and not unknown:  # the other inputs in chunks of their own, which the fit aligns
            d = d.rechunk({0: max(1, a.shape[0] // 3)})
        if unknown:
            d = d[da.ones(a.shape[0], dtype=bool, chunks=(rows,))]  # chunk sizes become NaN
        out.append(d)
    return out


def fe_many_args(n, k, seed):
    """A panel of many small entities (about two rows each, a third of them singletons), ids unsorted and sparse."""
    rng = np.random.default_rng(seed)
    ids = (rng.integers(0, n // 2, n) * 7919 - 10**12).astype(np.int64)
    x = rng.standard_normal((n, k))
    return x, x @ np.arange(1.0, k + 1) + (ids % 11) * 0.2 + rng.standard_normal(n), ids


def fit_args(data, n, k, seed):
    return fe_many_args(n, k, seed) if data == "FE-many" else CASE_BY_NAME[data].fit_args(n=n, k=k, seed=seed)


def assert_same_fit(memory, chunked, x, ids=None):
    se = memory.standard_errors()
    for name in ["coefficients", "intercept", "mse", "r_squared", "within_r_squared", "fixed_effects",
                 "n_samples", "n_features", "n_entities"]:
        if not hasattr(memory, name):
            continue
        a, b = getattr(memory, name), getattr(chunked, name)
        if a is None:
            assert b is None, name
            continue
        scale = np.abs(a) + (np.max(se) if name != "mse" else 0)
        np.testing.assert_allclose(b, a, rtol=0, atol=1e-10 * np.max(scale) + 1e-300, err_msg=name)
    for name in ["standard_errors", "t_statistics", "p_values", "confidence_intervals", "covariance_matrix"]:
        if not hasattr(memory, name):  # TSLS reports no t-statistics
            continue
        a, b = getattr(memory, name), getattr(chunked, name)
        a, b = (a(), b()) if callable(a) else (a, b)
        np.testing.assert_allclose(b, a, rtol=1e-9, atol=1e-12, err_msg=name)
    assert mask_clock(chunked.summary()) == mask_clock(memory.summary())
    np.testing.assert_allclose(chunked.residuals.compute(), memory.residuals, rtol=1e-9, atol=1e-9)
    extra = () if ids is None else (ids[:23],)
    pred = chunked.predict(da.from_array(x[:23], chunks=7), *(da.from_array(a, chunks=7) for a in extra))
    assert isinstance(pred, da.Array)
    np.testing.assert_allclose(pred.compute(), memory.predict(x[:23], *extra), rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("chunking", list(CHUNKINGS) + ["unknown", "columns"])
@pytest.mark.parametrize("estimator", list(ESTIMATORS))
def test_chunked_fit_equals_the_in_memory_fit(estimator, chunking, scheduler):
    name, options, data = ESTIMATORS[estimator]
    n = 211
    args = fit_args(data, n, 3, 5)
    memory = getattr(korvalis, name)(**options)
    memory.fit(*args)
    rows = CHUNKINGS.get(chunking, CHUNKINGS["even"])(n)
    chunked = getattr(kd, name)(**options)
    chunked.fit(*as_dask(args, rows, unknown=chunking == "unknown", split_columns=chunking == "columns"))
    assert_same_fit(memory, chunked, args[1] if name in ("IV", "TSLS") else args[0],
                    args[2] if name == "FE" else None)


@pytest.mark.parametrize("name", ["Filip", "Longley", "Wampler1", "Wampler2", "Wampler3", "Wampler4", "Wampler5"])
@pytest.mark.parametrize("rows", [3, 7])
@pytest.mark.parametrize("estimator", ["OLS", "FE"])
def test_hardest_nist_sets_in_small_chunks_keep_the_in_memory_digits(estimator, name, rows):
    # FE with a single entity is OLS with an intercept: its slopes carry the certified values.
    ds = NIST[name]
    x, y = design(ds)
    extra = [np.zeros(len(y), dtype=np.int64)] if estimator == "FE" else []
    memory, chunked = getattr(korvalis, estimator)(), getattr(kd, estimator)()
    memory.fit(x, y, *extra)
    with dask.config.set(scheduler="sync"):
        chunked.fit(da.from_array(x, chunks=(rows, x.shape[1])), *(da.from_array(a, chunks=rows) for a in [y, *extra]))
    certified = ds["certified"]
    slopes_only = estimator == "FE"
    def estimates(m):
        return list(m.coefficients) if slopes_only else [m.intercept, *m.coefficients]
    for stat, ours, theirs, cert in [
        ("estimates", estimates(chunked), estimates(memory), certified["estimates"][slopes_only:]),
        ("standard errors", chunked.standard_errors(), memory.standard_errors(), certified["std_errors"][1:]),
    ]:
        pairs = [(a, b, c) for a, b, c in zip(ours, theirs, cert) if c != 0 or stat == "estimates"]
        digits = min((lre(v, c) for v, _, c in pairs), default=15.0)
        reference = min((lre(v, c) for _, v, c in pairs), default=15.0)
        # Filip, the hardest (κ ≈ 4·10⁹), keeps 7.1 of FE's 7.6 in-memory digits over chunks.
        assert digits >= min(reference, 12) - 0.6, f"{stat}: {digits:.2f} digits, {reference:.2f} in memory"


@pytest.mark.parametrize("fx,fy,intercept", [(1e155, 1.0, True), (1e-160, 1.0, True), (1.0, 1e-160, True),
                                             (1e-160, 1e-160, False), (1e200, 1.0, True)])
def test_data_beyond_double_range_is_rescaled_as_in_memory(fx, fy, intercept):
    # Squares of these columns leave double range: both fits scale the columns by powers of two.
    x, y = CASE_BY_NAME["OLS"].fit_args(n=240, k=3, seed=4)
    x, y = x * fx, y * fy
    memory, chunked = korvalis.OLS(fit_intercept=intercept), kd.OLS(fit_intercept=intercept)
    memory.fit(x, y)
    with dask.config.set(scheduler="sync"):
        chunked.fit(da.from_array(x, chunks=(50, 3)), da.from_array(y, chunks=50))
    for name in ["coefficients", "intercept", "mse", "r_squared"]:
        a, b = getattr(memory, name), getattr(chunked, name)
        assert (a is None) == (b is None), name
        np.testing.assert_allclose(b if b is not None else 0.0, a if a is not None else 0.0, rtol=1e-12, err_msg=name)
    np.testing.assert_allclose(chunked.standard_errors(), memory.standard_errors(), rtol=1e-12)
    np.testing.assert_allclose(chunked.residuals.compute(), memory.residuals, rtol=1e-9, atol=1e-9 * np.abs(y).max())


FAULTS = {
    # estimator, what is done to the (x, y[, w]) Dask inputs, and the NumPy inputs the in-memory class gets
    "numpy": ("OLS", lambda a, d: [a[0], d[1]], None),
    "int-dtype": ("OLS", lambda a, d: [d[0].astype(np.int64), d[1]], lambda a: [a[0].astype(np.int64), a[1]]),
    "rows": ("OLS", lambda a, d: [d[0], d[1][:-1]], lambda a: [a[0], a[1][:-1]]),
    "wls-rows": ("WLS", lambda a, d: [d[0], d[1], d[2][:-1]], lambda a: [a[0], a[1], a[2][:-1]]),
    "dummy-trap": ("OLS", lambda a, d: [da.concatenate([d[0], d[0][:, :1]], axis=1), d[1]],
                   lambda a: [np.column_stack([a[0], a[0][:, :1]]), a[1]]),
    "nan-in-one-chunk": ("OLS", lambda a, d: [da.where(da.arange(len(a[1]))[:, None] == 150, np.nan, d[0]), d[1]],
                         lambda a: [np.where(np.arange(len(a[1]))[:, None] == 150, np.nan, a[0]), a[1]]),
    "iv-collinear": ("IV", lambda a, d: [da.concatenate([d[0][:, :2], d[0][:, :1] * 2.0], axis=1), d[1], d[2]],
                     lambda a: [np.column_stack([a[0][:, :2], a[0][:, :1] * 2.0]), a[1], a[2]]),
    "tsls-rows": ("TSLS", lambda a, d: [d[0], d[1][:-3], d[2]], lambda a: [a[0], a[1][:-3], a[2]]),
    "wls-inf": ("WLS", lambda a, d: [da.where(da.arange(len(a[1]))[:, None] == 7, np.inf, d[0]), d[1], d[2]],
                lambda a: [np.where(np.arange(len(a[1]))[:, None] == 7, np.inf, a[0]), a[1], a[2]]),
    "iv-nan": ("IV", lambda a, d: [da.where(da.arange(len(a[2]))[:, None] == 3, np.nan, d[0]), d[1], d[2]],
               lambda a: [np.where(np.arange(len(a[2]))[:, None] == 3, np.nan, a[0]), a[1], a[2]]),
    "tsls-nan": ("TSLS", lambda a, d: [d[0], da.where(da.arange(len(a[2]))[:, None] == 3, np.nan, d[1]), d[2]],
                 lambda a: [a[0], np.where(np.arange(len(a[2]))[:, None] == 3, np.nan, a[1]), a[2]]),
    "fe-rows": ("FE", lambda a, d: [d[0], d[1], d[2][:-2]], lambda a: [a[0], a[1], a[2][:-2]]),
    "fe-int32-ids": ("FE", lambda a, d: [d[0], d[1], d[2].astype(np.int32)], lambda a: [a[0], a[1], a[2].astype(np.int32)]),
    "fe-constant-within": ("FE", lambda a, d: [da.concatenate([d[0], d[2][:, None].astype(float)], axis=1), d[1], d[2]],
                           lambda a: [np.column_stack([a[0], a[2].astype(float)]), a[1], a[2]]),
    "fe-nan": ("FE", lambda a, d: [da.where(da.arange(len(a[1]))[:, None] == 77, np.nan, d[0]), d[1], d[2]],
               lambda a: [np.where(np.arange(len(a[1]))[:, None] == 77, np.nan, a[0]), a[1], a[2]]),
    "fe-one-entity-per-row": ("FE", lambda a, d: [d[0], d[1], da.arange(len(a[1]), chunks=50).astype(np.int64)],
                              lambda a: [a[0], a[1], np.arange(len(a[1]), dtype=np.int64)]),
    "bad-weight": ("WLS", lambda a, d: [d[0], d[1], da.where(da.arange(len(a[1])) == 99, -1.0, d[2])],
                   lambda a: [a[0], a[1], np.where(np.arange(len(a[1])) == 99, -1.0, a[2])]),
}


@pytest.mark.parametrize("fault", list(FAULTS))
def test_faults_raise_the_in_memory_error_and_keep_the_fit(fault):
    name, spoil, spoil_memory = FAULTS[fault]
    args = CASE_BY_NAME[name].fit_args(n=200, k=3, seed=2)
    chunked = getattr(kd, name)()
    chunked.fit(*as_dask(args, 50))
    before = (chunked.coefficients, mask_clock(chunked.summary()), chunked.residuals)
    with dask.config.set(scheduler="threads"), pytest.raises(Exception) as raised:
        chunked.fit(*spoil(args, as_dask(args, 50)))
    if spoil_memory is None:
        assert raised.type is TypeError and f"korvalis.{name}" in str(raised.value)
    else:
        with pytest.raises(Exception) as expected:
            getattr(korvalis, name)().fit(*spoil_memory(args))
        assert (raised.type, str(raised.value)) == (expected.type, str(expected.value))
    np.testing.assert_array_equal(chunked.coefficients, before[0])
    assert mask_clock(chunked.summary()) == before[1] and chunked.residuals is before[2]


@pytest.mark.parametrize("name", ["WLS", "IV", "TSLS"])
def test_a_non_finite_target_is_carried_as_in_memory(name):
    args = list(CASE_BY_NAME[name].fit_args(n=120, k=2, seed=3))
    target = 1 if name == "WLS" else 2
    args[target] = np.where(np.arange(120) == 60, np.nan, args[target])
    memory, chunked = getattr(korvalis, name)(), getattr(kd, name)()
    memory.fit(*args)
    with dask.config.set(scheduler="sync"):
        chunked.fit(*as_dask(args, 25))
    assert np.isnan(memory.coefficients).all() and np.isnan(chunked.coefficients).all()
    assert mask_clock(chunked.summary()) == mask_clock(memory.summary())


def test_gls_stays_in_memory_and_predict_checks_like_the_class():
    with pytest.raises(AttributeError, match=r"korvalis\.GLS"):
        kd.GLS  # noqa: B018
    with pytest.raises(RuntimeError, match="Model not fitted. Call fit"):
        kd.OLS().predict(da.zeros((4, 2), chunks=2))
    m = kd.OLS()
    m.fit(*as_dask(CASE_BY_NAME["OLS"].fit_args(n=50, k=2), 10))
    with pytest.raises(ValueError, match="Feature count mismatch: expected 2, got 3"):
        m.predict(da.zeros((4, 3), chunks=2))
    fe = kd.FE()
    x, y, ids = CASE_BY_NAME["FE"].fit_args(n=60, k=2)
    fe.fit(*as_dask([x, y, ids], 20))
    unknown = fe.predict(da.from_array(x[:4], chunks=2), da.from_array(np.array([10, 11, 12, 99]), chunks=2))
    with pytest.raises(ValueError, match=r"^Unknown entity ID: 99\. This entity was not present in training data\.$"):
        unknown.compute()


def test_import_adds_dask_alone_and_plain_import_loads_no_dask():
    code = textwrap.dedent("""
        import sys, korvalis
        before = set(vars(korvalis))
        assert not any(m.split('.')[0] in ('dask', 'distributed') for m in sys.modules), 'dask imported'
        import korvalis.dask
        print(sorted(set(vars(korvalis)) - before))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split() == ["['dask']"]


OUT_OF_CORE = """
import sys
import dask, dask.array as da, numpy as np
from distributed import Client
import korvalis.dask as kd
n, k, rows = 12_500_000, 10, 200_000  # about 1 GB of rows, made in the workers in chunks of 16 MB
beta = np.linspace(-1.0, 1.0, k)
rng = da.random.default_rng(7)
x = rng.standard_normal((n, k), chunks=(rows, k))
y = 0.5 + x @ beta + rng.standard_normal(n, chunks=rows)
with Client(sys.argv[1]) as client:
    before = set(client.scheduler_info()["workers"])
    m = kd.OLS()
    m.fit(x, y)
    assert set(client.scheduler_info()["workers"]) == before, "a worker was restarted"
se = m.standard_errors()
assert np.all(np.abs(m.coefficients - beta) < 4 * se) and abs(m.intercept - 0.5) < 4 * m.covariance_matrix()[0, 0] ** 0.5
assert m.n_samples == n
print(next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmHWM:")) // 1024)
"""


@needs_workers
def test_out_of_core_fit_on_a_cluster_with_little_memory(cluster_client):
    # The client is a process of its own, whose peak memory is read at the end: p × p blocks reach it, no rows.
    out = subprocess.run([sys.executable, "-c", OUT_OF_CORE, cluster_client.scheduler.address],
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert int(out.stdout.split()[-1]) < 400, f"client peak {out.stdout.split()[-1]} MB for 1 GB of data"


@needs_workers
def test_the_dask_tour_runs():
    tour = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "dask_tour.py")
    out = subprocess.run([sys.executable, tour], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.count("Regression Results") + out.stdout.count("TSLS\n") >= 2
