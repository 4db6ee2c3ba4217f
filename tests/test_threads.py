"""Threads and re-entrancy.

The module never releases the interpreter lock, so calls from several Python threads are
serialised; the results must equal a serial run, and no thread may ever meet another's
hold on a shared object. The only Python code that can run while an object is held is a
user-defined conversion (an `alpha` with `__float__`, or a type whose `__qualname__` is
computed while a conversion message is built); a conflicting access from there fails with
"Already borrowed" or "Already mutably borrowed", and the hold is released afterwards.
"""

import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import pytest

import korvalis
from estimators import CASE_BY_NAME, CASE_IDS, CASES, canonical, mask_clock, snapshot

THREADS = 4
ROUNDS = 25


def _work(case, model, fit_args, predict_args):
    """One round on one object: fit, predict, summary and every attribute."""
    model.fit(*fit_args)
    out = [canonical(model.predict(*predict_args)), mask_clock(model.summary())]
    out += [canonical(getattr(model, a)) for a in case.attributes]
    out += [canonical(getattr(model, m)()) for m in case.noarg_methods if m != "summary"]
    return out


@pytest.fixture
def fast_switching():
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


@pytest.mark.parametrize("name", CASE_IDS)
def test_threads_on_separate_objects_match_a_serial_run(name, fast_switching):
    case = CASE_BY_NAME[name]
    inputs = [(case.fit_args(n=30 + t, seed=t), case.predict_args(seed=t)) for t in range(THREADS)]
    serial = [_work(case, case.cls(), f, p) for f, p in inputs]

    def thread(t):
        model = case.cls()
        return [_work(case, model, *inputs[t]) for _ in range(ROUNDS)]

    with ThreadPoolExecutor(THREADS) as pool:
        results = list(pool.map(thread, range(THREADS)))
    for t in range(THREADS):
        for r in results[t]:
            assert r == serial[t]


@pytest.mark.parametrize("name", CASE_IDS)
def test_threads_on_one_shared_object_match_a_serial_run(name, fast_switching):
    case = CASE_BY_NAME[name]
    fit_args, predict_args = case.fit_args(n=30), case.predict_args()
    serial = _work(case, case.cls(), fit_args, predict_args)
    shared = case.cls()
    errors = []

    def thread(_):
        try:
            return [_work(case, shared, fit_args, predict_args) for _ in range(ROUNDS)]
        except Exception as e:  # noqa: BLE001 - reported below with the thread's other results
            errors.append(e)
            return []

    with ThreadPoolExecutor(THREADS) as pool:
        results = [r for rs in pool.map(thread, range(THREADS)) for r in rs]
    assert errors == []
    assert len(results) == THREADS * ROUNDS
    assert all(r == serial for r in results)


@pytest.mark.parametrize("name", CASE_IDS)
def test_raw_threads_reading_while_others_fit(name, fast_switching):
    # Readers of a fitted object and writers of other objects interleave freely.
    case = CASE_BY_NAME[name]
    reader_model = case.fitted()
    expected = canonical(reader_model.predict(*case.predict_args()))
    stop = threading.Event()
    failures = []

    def reader():
        while not stop.is_set():
            got = canonical(reader_model.predict(*case.predict_args()))
            if got != expected:
                failures.append(got)

    def writer(seed):
        m = case.cls()
        for i in range(ROUNDS):
            m.fit(*case.fit_args(n=25, seed=seed * 100 + i))

    readers = [threading.Thread(target=reader) for _ in range(2)]
    for r in readers:
        r.start()
    try:
        writers = [threading.Thread(target=writer, args=(s,)) for s in range(2)]
        for w in writers:
            w.start()
        for w in writers:
            w.join()
    finally:
        stop.set()
        for r in readers:
            r.join()
    assert failures == []


# ---------------------------------------------------------------- re-entrancy


class _Reentrant:
    """An alpha whose conversion calls back into the object being served."""

    def __init__(self, action, swallow=False):
        self.action = action
        self.swallow = swallow
        self.seen = []

    def __float__(self):
        try:
            self.seen.append(("ok", self.action()))
        except RuntimeError as e:
            self.seen.append(("raised", str(e)))
            if not self.swallow:
                raise
        return 0.05


CI_CASES = [c for c in CASES if c.has_ci]


@pytest.mark.parametrize("name", [c.name for c in CI_CASES])
def test_fit_from_inside_alpha_conversion_is_already_borrowed(name):
    case = CASE_BY_NAME[name]
    m = case.cls()
    alpha = _Reentrant(lambda: m.fit(*case.fit_args()))
    with pytest.raises(RuntimeError) as err:
        m.confidence_intervals(alpha)
    assert str(err.value) == "Already borrowed"
    assert alpha.seen == [("raised", "Already borrowed")]
    # Both holds were released: the object is unfitted and fits normally now.
    assert m.is_fitted() is False
    assert m.confidence_intervals(alpha=_Reentrant(m.is_fitted)) is None


@pytest.mark.parametrize("name", [c.name for c in CI_CASES if "covariance_matrix" in c.noarg_methods])
def test_cache_filling_method_from_inside_alpha_conversion_is_already_borrowed(name):
    m = getattr(korvalis, name)()
    alpha = _Reentrant(m.covariance_matrix, swallow=True)
    assert m.confidence_intervals(alpha) is None
    assert alpha.seen == [("raised", "Already borrowed")]
    assert m.covariance_matrix() is None


@pytest.mark.parametrize("name", [c.name for c in CI_CASES])
def test_shared_reads_from_inside_alpha_conversion_are_allowed(name):
    case = CASE_BY_NAME[name]
    m = case.cls()
    reads = lambda: [canonical(getattr(m, a)) for a in case.attributes] + [m.summary()[:0], m.is_fitted()]
    alpha = _Reentrant(reads)
    assert m.confidence_intervals(alpha) is None
    assert alpha.seen[0][0] == "ok"


@pytest.mark.parametrize("name", [c.name for c in CI_CASES])
def test_fitted_object_keeps_its_state_after_a_reentrant_fit(name):
    case = CASE_BY_NAME[name]
    m = case.fitted()
    before = snapshot(case, m)
    alpha = _Reentrant(lambda: m.fit(*case.fit_args(n=50, seed=9)))
    with pytest.raises(RuntimeError) as err:
        m.confidence_intervals(alpha)
    assert str(err.value) == "Already borrowed"
    assert snapshot(case, m) == before


def _type_with_reentrant_qualname(action, log):
    class Meta(type):
        def __getattribute__(cls, attr):
            if attr != "__qualname__":
                return super().__getattribute__(attr)
            try:
                log.append(("ok", action()))
            except RuntimeError as e:
                log.append(("raised", str(e)))
            return "Renamed"

    return Meta("Weird", (), {})


@pytest.mark.parametrize("name", CASE_IDS)
def test_reads_while_fit_holds_the_object_are_already_mutably_borrowed(name):
    # The conversion message of a bad `x` asks its type for __qualname__ while fit holds
    # the object exclusively; a read from there is refused.
    case = CASE_BY_NAME[name]
    m = case.cls()
    log = []
    weird = _type_with_reentrant_qualname(lambda: m.is_fitted(), log)()
    args = list(case.fit_args(n=12))
    args[0] = weird
    with pytest.raises(TypeError) as err:
        m.fit(*args)
    assert log == [("raised", "Already mutably borrowed")]
    assert str(err.value) == (f"argument '{case.fit_params[0]}': 'Renamed' object cannot be converted to "
                              "'PyArray<T, D>'")
    assert m.is_fitted() is False
    # A second reentrant fit meets the exclusive hold too.
    log.clear()
    other = _type_with_reentrant_qualname(lambda: m.fit(*case.fit_args(n=12)), log)()
    args[0] = other
    with pytest.raises(TypeError):
        m.fit(*args)
    assert log == [("raised", "Already borrowed")]
    assert m.is_fitted() is False
