"""Sizes at and beyond the 32-bit integers of LAPACK and CBLAS, and allocation failure.

An array with a dimension beyond 2147483647 is refused while its argument is converted,
with a ValueError naming the limit, before any estimator scans or copies it. Zero-stride
broadcast views of 2**31 rows cost no memory, so these run anywhere. While they run, the
address space is capped, so that a regression ends in MemoryError instead of meeting the
out-of-memory killer of an overcommitting kernel.

Allocation failure itself is tested in a child process under RLIMIT_AS: each class is
asked for a fit or a prediction whose copies cannot fit under the cap and must raise
MemoryError, leaving the object as it was and usable.
"""

import json
import os
import resource
import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from estimators import CASE_BY_NAME, CASE_IDS, CASES, snapshot

LIMIT = 2**31 - 1
TOO_MANY = 2**31
SANITIZED = os.environ.get("KORVALIS_SANITIZED") == "1"


def limit_message(param):
    return (f"argument '{param}': Input too large: each dimension must be at most {LIMIT} "
            "(the 32-bit LAPACK limit)")


def _vm_size():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmSize")


@pytest.fixture
def capped_address_space():
    """At most 1 GiB more address space while the test runs (not under the sanitizers,
    whose shadow memory needs a huge reservation)."""
    if SANITIZED:
        yield
        return
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (_vm_size() + 2**30, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))


def _huge(kind, param, value=1.0, rows=TOO_MANY):
    if kind == "ids":
        return np.broadcast_to(np.int64(0), (rows,))
    if kind == "vector":
        return np.broadcast_to(np.float64(value), (rows,))
    return np.broadcast_to(np.float64(value), (rows, 2))


def _unaligned_huge(rows=TOO_MANY):
    buf = np.zeros(9, dtype=np.uint8)
    one = np.frombuffer(buf[1:].data, dtype=np.float64)
    assert not one.flags.aligned
    return np.broadcast_to(one.reshape(1, 1), (rows, 2))


def _positions():
    rows = []
    for case in CASES:
        for method, params, kinds in (("fit", case.fit_params, case.fit_kinds),
                                      ("predict", case.predict_params, case.predict_kinds)):
            for i, (param, kind) in enumerate(zip(params, kinds)):
                rows.append(pytest.param(case.name, method, i, param, kind, id=f"{case.name}.{method}-{param}"))
    return rows


@pytest.mark.parametrize("name,method,position,param,kind", _positions())
def test_too_many_rows_in_any_argument_is_refused(name, method, position, param, kind, capped_address_space):
    case = CASE_BY_NAME[name]
    args = list(case.fit_args(n=12) if method == "fit" else case.predict_args())
    args[position] = _huge(kind, param)
    m = case.cls()
    started = time.perf_counter()
    with pytest.raises(ValueError) as err:
        getattr(m, method)(*args)
    elapsed = time.perf_counter() - started
    assert str(err.value) == limit_message(param)
    assert m.is_fitted() is False
    # Nothing was scanned: reading 2**32 elements takes seconds.
    assert elapsed < 0.5


@pytest.mark.parametrize("name", CASE_IDS)
def test_every_argument_too_large_reports_the_first(name, capped_address_space):
    case = CASE_BY_NAME[name]
    args = [_huge(kind, param, value=np.nan) for param, kind in zip(case.fit_params, case.fit_kinds)]
    with pytest.raises(ValueError) as err:
        case.cls().fit(*args)
    # The limit comes before the class's own checks (here: NaN values, which would need a scan).
    assert str(err.value) == limit_message(case.fit_params[0])


@pytest.mark.parametrize(
    "make,param",
    [
        (lambda: np.broadcast_to(np.float64(1.0), (3, TOO_MANY)), "x"),
        (_unaligned_huge, "x"),
    ],
    ids=["too-many-columns", "unaligned-zero-strides"],
)
def test_shapes_beyond_the_limit_in_other_forms(make, param, capped_address_space):
    # An unaligned array is normally copied to aligned storage: the refusal comes first.
    with pytest.raises(ValueError) as err:
        import korvalis

        korvalis.OLS().predict(make())
    assert str(err.value) == limit_message(param)


@pytest.mark.parametrize("name", CASE_IDS)
def test_fitted_object_refusing_a_huge_fit_keeps_its_state(name, capped_address_space):
    case = CASE_BY_NAME[name]
    m = case.fitted()
    before = snapshot(case, m)
    args = list(case.fit_args(n=12))
    args[-1] = _huge(case.fit_kinds[-1], case.fit_params[-1])
    with pytest.raises(ValueError) as err:
        m.fit(*args)
    assert str(err.value) == limit_message(case.fit_params[-1])
    assert snapshot(case, m) == before


# ---------------------------------------------------------------- allocation failure

_CHILD = textwrap.dedent(
    """
    import json, resource, sys
    import numpy as np
    import korvalis

    def vm_size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    CASE = {case!r}
    cls = getattr(korvalis, CASE)
    small, big, predict_small, predict_big = {builders}
    m = cls()
    m.fit(*small())
    reference = m.predict(*predict_small()).tolist()
    coefficients = m.coefficients.tolist()
    m.summary()
    # Every buffer the runtime and OpenBLAS keep is in place; now cap the address space.
    resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 512 * 2**20, resource.RLIM_INFINITY))
    out = {{}}
    for label, call in (("fit", lambda: m.fit(*big())), ("predict", lambda: m.predict(*predict_big()))):
        try:
            call()
            out[label] = "no error"
        except MemoryError as e:
            out[label] = "MemoryError"
        except Exception as e:
            out[label] = type(e).__name__ + ": " + str(e)
    out["unchanged"] = (m.predict(*predict_small()).tolist() == reference and m.coefficients.tolist() == coefficients)
    m.fit(*small())
    out["usable"] = m.is_fitted()
    print(json.dumps(out))
    """
)

# Builders: a small valid problem, and broadcast inputs whose copies need about 2 GiB.
_BUILDERS = {
    "OLS": """(lambda: (X, Y), lambda: (BX, BY), lambda: (X,), lambda: (BP,))""",
    "WLS": """(lambda: (X, Y, W), lambda: (BX, BY, BW), lambda: (X,), lambda: (BP,))""",
    "GLS": """(lambda: (X, Y, np.eye(200)), lambda: (GX, GY, GS), lambda: (X,), lambda: (BP,))""",
    "IV": """(lambda: (Z, X, Y), lambda: (BX, BX, BY), lambda: (X,), lambda: (BP,))""",
    "TSLS": """(lambda: (Z, X, Y), lambda: (BX, BX, BY), lambda: (X,), lambda: (BP,))""",
    "FE": """(lambda: (X, Y, IDS), lambda: (BX, BY, BIDS), lambda: (X, IDS), lambda: (BP, BPIDS))""",
}
_PRELUDE = """
rng = np.random.default_rng(0)
Z = rng.normal(size=(200, 64)); X = Z + 0.5 * rng.normal(size=(200, 64))
Y = X.sum(axis=1) + rng.normal(size=200) + 0.5 * (np.arange(200) % 4)
W = np.ones(200); IDS = (np.arange(200) % 4).astype(np.int64)
R = 2**22  # rows: 2**22 x 64 doubles is 2 GiB
BX = np.broadcast_to(rng.normal(size=(1, 64)), (R, 64)); BY = np.broadcast_to(np.float64(1.0), (R,))
BW = np.broadcast_to(np.float64(1.0), (R,)); BIDS = np.broadcast_to(np.int64(0), (R,))
GX = np.broadcast_to(np.float64(1.0), (2**15, 64)); GY = np.broadcast_to(np.float64(1.0), (2**15,))
GS = np.broadcast_to(np.float64(1.0), (2**15, 2**15))  # 8 GiB once copied
BP = np.broadcast_to(np.float64(1.0), (2**28, 64)); BPIDS = np.broadcast_to(np.int64(0), (2**28,))
"""


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve more address space than any cap allows")
@pytest.mark.parametrize("name", CASE_IDS)
def test_allocation_failure_is_memory_error(name):
    code = _CHILD.format(case=name, builders="None, None, None, None")
    code = code.replace("small, big, predict_small, predict_big = None, None, None, None",
                        _PRELUDE + "small, big, predict_small, predict_big = " + _BUILDERS[name])
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300,
                          env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr[-3000:]
    out = json.loads(done.stdout.splitlines()[-1])
    assert out == {"fit": "MemoryError", "predict": "MemoryError", "unchanged": True, "usable": True}


# ---------------------------------------------------------------- failing before the work

_BEFORE_THE_WORK = textwrap.dedent(
    """
    import json, resource, sys, time
    import numpy as np
    from numpy.lib.stride_tricks import as_strided
    import korvalis

    def vm_size():
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmSize:"):
                    return int(line.split()[1]) * 1024

    name = sys.argv[1]
    rng = np.random.default_rng(1)
    z = rng.normal(size=(60, 8)); x = z + 0.5 * rng.normal(size=(60, 8))
    y = x.sum(axis=1) + rng.normal(size=60); w = rng.uniform(0.5, 2.0, size=60)
    ids = (np.arange(60) % 5).astype(np.int64)
    small = {"OLS": (x, y), "WLS": (x, y, w), "FE": (x, y, ids), "IV": (z, x, y), "TSLS": (z, x, y)}[name]
    # 2**31 - 1 rows of 8 columns read from one row: nothing to store, minutes to stream.
    n = 2**31 - 1
    bx = as_strided(rng.normal(size=8), shape=(n, 8), strides=(0, 8))
    bv = as_strided(np.ones(1), shape=(n,), strides=(0,))
    bids = as_strided(np.zeros(1, dtype=np.int64), shape=(n,), strides=(0,))
    big = {"OLS": (bx, bv), "WLS": (bx, bv, bv), "FE": (bx, bv, bids), "IV": (bx, bx, bv), "TSLS": (bx, bx, bv)}[name]
    m = getattr(korvalis, name)()
    m.fit(*small)
    before = (m.coefficients.tolist(), m.residuals.tolist(), m.mse)
    # 3 GiB of address space (more if the interpreter already holds more than 2 GiB): the residuals
    # of 2**31 - 1 rows alone need 16 GiB.
    resource.setrlimit(resource.RLIMIT_AS, (max(3 * 2**30, vm_size() + 2**30), resource.RLIM_INFINITY))
    started = time.perf_counter()
    try:
        m.fit(*big)
        outcome = "no error"
    except MemoryError:
        outcome = "MemoryError"
    except Exception as e:
        outcome = type(e).__name__ + ": " + str(e)
    elapsed = time.perf_counter() - started
    unchanged = before == (m.coefficients.tolist(), m.residuals.tolist(), m.mse)
    print(json.dumps({"outcome": outcome, "seconds": elapsed, "unchanged": unchanged}))
    """
)


@pytest.mark.skipif(SANITIZED, reason="the sanitizers reserve more address space than any cap allows")
@pytest.mark.parametrize("name", ["OLS", "WLS", "FE", "IV", "TSLS"])
def test_fit_that_cannot_keep_its_results_fails_before_reading_the_rows(name):
    # A fit allocates what it keeps before its passes over the data: the failure is immediate and
    # the object keeps its earlier fit. One pass over these rows takes well over a minute, so a
    # failure after the streaming would show as tens of seconds (and end in the timeout).
    done = subprocess.run([sys.executable, "-c", _BEFORE_THE_WORK, name], capture_output=True, text=True,
                          timeout=120, env={**os.environ, "OPENBLAS_NUM_THREADS": "1"})
    assert done.returncode == 0, done.stderr[-3000:]
    out = json.loads(done.stdout.splitlines()[-1])
    assert out["outcome"] == "MemoryError"
    assert out["unchanged"] is True
    assert out["seconds"] < 5.0
