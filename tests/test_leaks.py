"""Nothing leaks: thousands of rounds of every call on every class, raising calls included,
leave resident memory, the C heap in use, and the reference counts of the inputs, of the
returned objects' types and of the classes themselves where they were.

The C heap is read with glibc's mallinfo2 (every native allocation of the module goes
through malloc), which sees a leak of a few bytes per call; resident memory is the coarse
check the operating system sees. KORVALIS_LEAK_ROUNDS sets the number of measured rounds.
"""

import ctypes
import gc
import os
import sys

import numpy as np
import pytest

import korvalis
from estimators import CASE_BY_NAME, CASE_IDS

ROUNDS = int(os.environ.get("KORVALIS_LEAK_ROUNDS", "2000"))
WARMUP = 200


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


_libc = ctypes.CDLL(None)
try:
    _libc.mallinfo2.restype = _MallInfo2
except AttributeError:  # glibc before 2.33
    _libc = None


def heap_in_use():
    info = _libc.mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _bad_alpha():
    return "not a number"


def workload(case, fit_args, singular_args, predict_args):
    """One round of every entry point, with calls that succeed and calls that raise."""
    m = case.cls()
    repr(m)
    m.summary()
    try:
        m.predict(*predict_args)
    except (RuntimeError, ValueError):
        pass
    m.fit(*fit_args)
    m.predict(*predict_args)
    m.summary()
    for attr in case.attributes:
        getattr(m, attr)
    for method in case.noarg_methods:
        getattr(m, method)()
    if case.has_ci:
        m.confidence_intervals()
        m.confidence_intervals(0.1)
        try:
            m.confidence_intervals(_bad_alpha())
        except TypeError:
            pass
    raising = [
        lambda: m.fit(*fit_args[:-1], fit_args[-1][:-1]),  # a length mismatch
        lambda: m.fit(*singular_args),                       # a numerical failure or a result
        lambda: m.fit(None, *fit_args[1:]),
        lambda: m.fit(*fit_args, zeta=1),
        lambda: m.fit(),
        lambda: m.fit(*fit_args[:-1], **{case.fit_params[0]: fit_args[0]}),
        lambda: m.predict(np.zeros((3, 7))),
        lambda: m.predict(*predict_args, *predict_args),
        lambda: case.cls(1),
        lambda: case.cls(**{case.options[0]: np.float32(1)}),
        lambda: m.is_fitted(1),
    ]
    for call in raising:
        try:
            call()
        except (TypeError, ValueError, RuntimeError):
            pass


class _RefusesQualname(type):
    def __getattribute__(cls, attr):
        if attr == "__qualname__":
            raise ValueError("no name")
        return type.__getattribute__(cls, attr)


_QualnameRefused = _RefusesQualname("_QualnameRefused", (), {})


WATCHED_TYPES = [np.ndarray, float, int, str, bool, TypeError, ValueError, RuntimeError]


@pytest.mark.skipif(_libc is None, reason="needs glibc's mallinfo2")
@pytest.mark.skipif(os.environ.get("KORVALIS_SANITIZED") == "1", reason="the sanitizer's allocator keeps freed memory")
@pytest.mark.parametrize("name", CASE_IDS)
def test_repeated_calls_leak_nothing(name):
    case = CASE_BY_NAME[name]
    fit_args = case.fit_args(n=40, k=3)
    singular_args = list(case.fit_args(n=40, k=3, seed=5))
    for i, a in enumerate(singular_args):
        if a.ndim == 2 and i < len(case.fit_params) and case.fit_params[i] != "sigma":
            a[:, 1] = 0.0
    predict_args = case.predict_args(k=3)
    inputs = list(fit_args) + singular_args + list(predict_args)

    for _ in range(WARMUP):
        workload(case, fit_args, singular_args, predict_args)
    gc.collect()
    input_refs = [sys.getrefcount(a) for a in inputs]
    type_refs = [sys.getrefcount(t) for t in WATCHED_TYPES]
    class_refs = sys.getrefcount(case.cls)
    heap0, rss0 = heap_in_use(), resident_bytes()

    for _ in range(ROUNDS):
        workload(case, fit_args, singular_args, predict_args)
    gc.collect()

    heap_growth = heap_in_use() - heap0
    rss_growth = resident_bytes() - rss0
    # Counted before asserting: the assertion's own temporaries would hold references.
    input_refs_after = [sys.getrefcount(a) for a in inputs]
    type_refs_after = [sys.getrefcount(t) for t in WATCHED_TYPES]
    class_refs_after = sys.getrefcount(case.cls)
    assert input_refs_after == input_refs
    assert type_refs_after == type_refs
    assert class_refs_after == class_refs
    # A leak of 16 bytes per round would show as 32 KB here.
    assert heap_growth < 16 * ROUNDS, f"C heap grew by {heap_growth} bytes over {ROUNDS} rounds"
    assert rss_growth < 4 * 2**20, f"resident memory grew by {rss_growth} bytes over {ROUNDS} rounds"


@pytest.mark.skipif(_libc is None, reason="needs glibc's mallinfo2")
@pytest.mark.skipif(os.environ.get("KORVALIS_SANITIZED") == "1", reason="the sanitizer's allocator keeps freed memory")
def test_binding_errors_leak_nothing():
    # Argument matching and conversion failures on their own, tens of thousands of times.
    m = korvalis.OLS()
    x = np.zeros((4, 2))
    flag = np.bool_(True)
    odd = _QualnameRefused()
    key = object()
    call_with_dict = ctypes.pythonapi.PyObject_Call
    call_with_dict.argtypes = [ctypes.py_object] * 3
    call_with_dict.restype = ctypes.py_object
    calls = [
        lambda: korvalis.OLS(fit_intercept=flag, robust=flag),  # succeeds: the references taken are released
        lambda: korvalis.OLS(flag, robust=x),
        lambda: m.fit(x=x, y=[1.0]),
        lambda: m.fit(x, odd),                                   # ValueError from the type's __qualname__
        lambda: korvalis.OLS(odd),
        lambda: call_with_dict(korvalis.OLS, (flag,), {"robust": flag, key: flag}),
        lambda: m.fit(x, [1.0]),
        lambda: m.fit(x.astype(">f8"), x[:, 0]),
        lambda: m.fit(x, x[:, 0], z=1),
        lambda: m.fit(x, x=x),
        lambda: m.fit(),
        lambda: m.confidence_intervals("a"),
        lambda: korvalis.OLS(fit_intercept=1),
        lambda: korvalis.FE(robust=None),
        lambda: korvalis.OLS(True, True, True),
    ]

    def once():
        for call in calls:
            try:
                call()
            except (TypeError, ValueError):
                pass

    def counts():
        return [sys.getrefcount(o) for o in (x, korvalis.OLS, TypeError, flag, odd, key)]

    for _ in range(WARMUP):
        once()
    gc.collect()
    refs = counts()
    heap0 = heap_in_use()
    for _ in range(5 * ROUNDS):
        once()
    gc.collect()
    growth = heap_in_use() - heap0
    refs_after = counts()
    assert refs_after == refs
    assert growth < 16 * ROUNDS
