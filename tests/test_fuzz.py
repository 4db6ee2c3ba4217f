"""Property tests of the binding layer under hostile input, for every class.

Every constructor and method with parameters is called with arbitrary objects and with
arrays of every dtype, 0 to 3 dimensions, zero-sized axes, zero and negative strides,
non-contiguous, unaligned, read-only and subclassed views, holding NaN, infinities,
subnormals and values near the overflow limit. The only allowed outcomes are a result or
a TypeError, ValueError, RuntimeError or MemoryError carrying a message. After every call
the object is still usable, the inputs are unchanged, and a fit that raised left a fitted
object answering exactly what it answered before.

The example count is bounded so the file runs in seconds; set KORVALIS_FUZZ_EXAMPLES
(for example to 5000) for a longer run.
"""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from estimators import CASE_BY_NAME, CASE_IDS, array_kind_ok, array_type_message, snapshot

EXAMPLES = int(os.environ.get("KORVALIS_FUZZ_EXAMPLES", "40"))
FUZZ = settings(max_examples=EXAMPLES, deadline=None, database=None,
                suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

ALLOWED = (TypeError, ValueError, RuntimeError, MemoryError)

SPECIAL_VALUES = [0.0, -0.0, 1.0, -1.0, np.nan, -np.nan, np.inf, -np.inf, 5e-324, -5e-324,
                  2.2250738585072014e-308, 1.7976931348623157e308, -1.7976931348623157e308, 1e154, 1e-300, 3.0]
values = st.one_of(st.sampled_from(SPECIAL_VALUES), st.floats(width=64), st.floats(-10, 10))

OTHER_DTYPES = ["f4", "f2", "i8", ">i8", "i4", "i1", "u8", "u1", "?", "c16", "O", "U3", "S3", "M8[s]", "m8[s]",
                "V8", "g", ">f8", ">f4", "q", "Q"]


class Subclass(np.ndarray):
    """A Python-level ndarray subclass."""


def _fill(shape, data, dtype):
    base = np.array(data.draw(st.lists(values, min_size=int(np.prod(shape)), max_size=int(np.prod(shape)))),
                    dtype=np.float64).reshape(shape)
    dtype = np.dtype(dtype)
    if dtype.kind in "fc":
        with np.errstate(all="ignore"):
            return base.astype(dtype)
    if dtype.kind in "iub":
        return np.nan_to_num(base, nan=0, posinf=7, neginf=-7).clip(-100, 100).astype(dtype)
    if dtype.kind == "O":
        return base.astype(object)
    return np.zeros(shape, dtype=dtype)


def _relayout(a, data):
    """`a` itself or a view of the same contents in another layout."""
    choice = data.draw(st.sampled_from(["as-is", "fortran", "strided", "reversed", "broadcast", "unaligned",
                                        "read-only", "subclass", "masked", "transposed-copy"]))
    if choice == "fortran":
        return np.asfortranarray(a)
    if choice == "strided" and a.ndim >= 1:
        big = np.zeros((a.shape[0] * 2,) + a.shape[1:], dtype=a.dtype)
        big[::2] = a
        return big[::2]
    if choice == "reversed" and a.ndim >= 1:
        return np.ascontiguousarray(a[::-1])[::-1]
    if choice == "broadcast" and a.ndim >= 1 and a.size > 0:
        # Zero strides: every row (or every element) the same.
        return np.broadcast_to(a[:1], a.shape)
    if choice == "unaligned" and a.dtype.itemsize > 1 and a.dtype.kind != "O":
        buf = np.zeros(a.nbytes + 1, dtype=np.uint8)
        out = np.frombuffer(buf[1:].data, dtype=a.dtype).reshape(a.shape)
        out[...] = a
        return out
    if choice == "read-only":
        out = a.copy()
        out.flags.writeable = False
        return out
    if choice == "subclass":
        return a.view(Subclass)
    if choice == "masked":
        return np.ma.array(a)
    if choice == "transposed-copy" and a.ndim == 2:
        return np.ascontiguousarray(a.T).T
    return a


@st.composite
def arrays(draw, dims=st.integers(0, 3), dtypes=None, max_side=5):
    data = _Drawer(draw)
    ndim = draw(dims)
    shape = tuple(draw(st.integers(0, max_side)) for _ in range(ndim))
    dtype = draw(dtypes if dtypes is not None else st.sampled_from(["f8"] * 4 + OTHER_DTYPES))
    return _relayout(np.asarray(_fill(shape, data, dtype)), data)


class _Drawer:
    def __init__(self, draw):
        self.draw = draw


other_objects = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(), st.text(max_size=4), st.binary(max_size=4),
    st.lists(st.floats(), max_size=4), st.lists(st.lists(st.floats(), max_size=3), max_size=3),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2), st.just(object()), st.just(np.float64(1.5)),
    st.just(np.bool_(True)), st.just(np.int64(3)), st.just(np.matrix([[1.0, 2.0]])), st.just(Ellipsis),
)
anything = st.one_of(other_objects, arrays())


@st.composite
def near_valid_args(draw, case, method):
    """Arguments of the right kinds, with fuzzed sizes, values and layouts, some replaced by anything."""
    data = _Drawer(draw)
    n = draw(st.integers(0, 14))  # crosses every route threshold for p up to 4
    k = draw(st.integers(0, 3))
    params = case.fit_params if method == "fit" else case.predict_params
    kinds = case.fit_kinds if method == "fit" else case.predict_kinds
    out = []
    for param, kind in zip(params, kinds):
        if draw(st.integers(0, 9)) == 0:
            out.append(draw(anything))
            continue
        rows = n + draw(st.sampled_from([0, 0, 0, 0, 1, -1]))
        rows = max(rows, 0)
        if kind == "ids":
            ids = draw(st.lists(st.sampled_from([0, 1, 2, -1, 2**63 - 1, -(2**63), 10, 11, 12]),
                                min_size=rows, max_size=rows))
            out.append(_relayout(np.array(ids, dtype=np.int64), data))
            continue
        if kind == "vector":
            shape = (rows,)
        elif param == "sigma":
            shape = (rows, rows)
        else:
            cols = k + (1 if param == "instruments" and draw(st.booleans()) else 0)
            shape = (rows, cols)
        a = _fill(shape, data, "f8")
        if param == "sigma" and draw(st.booleans()):
            with np.errstate(over="ignore", invalid="ignore"):  # extreme draws overflow; that is the point
                a = a @ a.T + np.eye(rows)  # often positive definite, so that the numerics run
        if param == "weights" and draw(st.booleans()):
            a = np.abs(a) + 0.5
        out.append(_relayout(a, data))
    return out


def _frozen(args):
    """The logical contents of every array argument, read through its own strides."""
    return [(a.dtype, a.shape, a.tobytes()) if isinstance(a, np.ndarray) else None for a in args]


def _call(fn, *args, **kwargs):
    try:
        return fn(*args, **kwargs), None
    except ALLOWED as e:
        assert str(e), f"{type(e).__name__} without a message"
        return None, e


def _expected_type_error(case, method, args):
    """The conversion TypeError the binding must raise first, or None when all arguments convert."""
    params = case.fit_params if method == "fit" else case.predict_params
    kinds = case.fit_kinds if method == "fit" else case.predict_kinds
    for param, kind, value in zip(params, kinds, args):
        if not array_kind_ok(value, kind):
            return array_type_message(param, value)
    return None


def _check_usable(case, model):
    """The hold on the object was released: an exclusive call and a shared call both work."""
    assert isinstance(model.is_fitted(), bool)
    assert isinstance(model.summary(), str)
    model.fit(*case.fit_args(n=15))
    assert model.is_fitted() is True


def _check_call(case, model, method, args):
    before = _frozen(args)
    result, error = _call(getattr(model, method), *args)
    assert _frozen(args) == before, "an input array was written"
    expected = _expected_type_error(case, method, args)
    if expected is not None:
        assert type(error) is TypeError and str(error) == expected
    else:
        assert not isinstance(error, TypeError), error
    if error is None and method == "predict":
        assert isinstance(result, np.ndarray) and result.dtype == np.float64 and result.ndim == 1
        assert result.shape[0] == args[0].shape[0]
    return result, error


@pytest.mark.parametrize("name", CASE_IDS)
@pytest.mark.parametrize("method", ["fit", "predict"])
@FUZZ
@given(data=st.data())
def test_unfitted_object_survives_anything(name, method, data):
    case = CASE_BY_NAME[name]
    model = case.cls()
    args = data.draw(near_valid_args(case, method))
    result, error = _check_call(case, model, method, args)
    if method == "predict" and not isinstance(error, TypeError):
        exc, message = case.not_fitted
        assert type(error) is exc and str(error) == message
    if error is not None:
        assert model.is_fitted() is False
    _check_usable(case, model)


@pytest.mark.parametrize("name", CASE_IDS)
@FUZZ
@given(data=st.data())
def test_failed_fit_changes_nothing(name, data):
    case = CASE_BY_NAME[name]
    model = case.fitted(n=20)
    before = snapshot(case, model)
    args = data.draw(near_valid_args(case, "fit"))
    _, error = _check_call(case, model, "fit", args)
    if error is not None:
        assert snapshot(case, model) == before
    else:
        # A successful fit replaced the whole state at once.
        assert model.is_fitted() is True
        residuals = model.residuals
        assert residuals.shape == (model.n_samples,)
        assert model.coefficients.shape == (model.n_features,)
        # Whatever values the fit accepted, every reader answers in an orderly way.
        for value in snapshot(case, model).values():
            if value[0] == "raised":
                assert value[1] in {e.__name__ for e in ALLOWED} and value[2], value
    _check_usable(case, model)


@pytest.mark.parametrize("name", CASE_IDS)
@FUZZ
@given(data=st.data())
def test_fitted_object_predicts_or_refuses(name, data):
    case = CASE_BY_NAME[name]
    model = case.fitted(n=20)
    before = snapshot(case, model)
    args = data.draw(near_valid_args(case, "predict"))
    _check_call(case, model, "predict", args)
    assert snapshot(case, model) == before


@pytest.mark.parametrize("name", CASE_IDS)
@FUZZ
@given(args=st.lists(anything, max_size=4), kwargs=st.dictionaries(
    st.sampled_from(["x", "y", "sigma", "weights", "entity_id", "instruments", "regressors", "targets", "alpha",
                     "fit_intercept", "robust", "z", ""]), anything, max_size=3))
def test_every_entry_point_takes_arbitrary_objects(name, args, kwargs):
    case = CASE_BY_NAME[name]
    model = case.cls()
    _call(case.cls, *args[:3], **kwargs)
    for method in list(case.param_methods) + list(case.noarg_methods):
        fn = getattr(model, method)
        try:
            fn(*args, **kwargs)
        except ALLOWED as e:
            assert str(e)
        except OverflowError as e:
            # The float conversion of an int beyond the double range, raised unchanged.
            assert method == "confidence_intervals" and "too large" in str(e)
    _check_usable(case, model)


alphas = st.one_of(values, st.integers(-3, 3), st.none(), st.text(max_size=2), st.just(np.float32(0.1)),
                   st.just(np.float64(np.nan)))


@pytest.mark.parametrize("name", [n for n in CASE_IDS if CASE_BY_NAME[n].has_ci])
@FUZZ
@given(alpha=alphas)
def test_confidence_intervals_take_any_alpha(name, alpha):
    case = CASE_BY_NAME[name]
    model = case.fitted(n=20)
    before = snapshot(case, model)
    result, error = _call(model.confidence_intervals, alpha)
    if error is None:
        k = model.n_features
        assert isinstance(result, np.ndarray) and result.shape == (k, 2) and result.dtype == np.float64
    elif isinstance(error, TypeError):
        assert str(error).startswith("argument 'alpha': ")
    assert snapshot(case, model) == before


NUMERICAL_FAILURE = {"OLS": RuntimeError, "GLS": RuntimeError, "WLS": RuntimeError, "FE": RuntimeError,
                     "IV": ValueError, "TSLS": ValueError}


# The singular-design error of each class on its small-n (SVD) and large-n (normal-equation) route.
SINGULAR_MESSAGE = {
    "OLS": ("Cannot compute standard errors: matrix is singular", "Matrix is singular"),
    "WLS": ("Cannot compute standard errors: design matrix is singular",) * 2,
    "GLS": ("Cannot compute standard errors", "XTX not positive definite"),
    "IV": ("Z'X matrix is singular. Check instrument-regressor correlation.",) * 2,
    "TSLS": ("X̂'X̂ matrix is singular",) * 2,
    "FE": ("Cannot compute standard errors: matrix is singular", "Matrix is singular"),
}


def collinear(a, kind, levels):
    """`a` with columns 0-2 made collinear, exactly or up to rounding, with each other or with the
    constant (for FE: with the entity effects); `levels` is 1 per row, or the row's entity id."""
    a = a.copy()
    if kind == "zero-column":
        a[:, 1] = 0.0
    elif kind == "proportional":
        a[:, 2] = 3.1 * a[:, 0]
    elif kind == "dummy-trap":  # a full set of group dummies: they sum to the constant
        a[:, :3] = np.eye(3)[np.arange(len(a)) % 3]
    else:  # an offset far above the column's own variation
        a[:, 1] = a[:, 0] + 1e6 * levels
    return a


def singular_fit_args(case, n=40, seed=3, kind="zero-column"):
    """Valid arguments with every regressor matrix (columns 0-2) rank-deficient to working precision."""
    args = list(case.fit_args(n=n, k=3, seed=seed))
    levels = args[2] * 1.0 if case.name == "FE" else np.ones(n)
    return [collinear(a, kind, levels) if a.ndim == 2 and param != "sigma" else a
            for param, a in zip(case.fit_params, args)]


@pytest.mark.parametrize("name", CASE_IDS)
@pytest.mark.parametrize("n", [7, 40], ids=["small-n", "large-n"])
@pytest.mark.parametrize("kind", ["zero-column", "proportional", "dummy-trap", "offset"])
def test_numerical_failure_changes_nothing(name, n, kind):
    # A design that is singular exactly or only up to rounding fails in the numerical steps, after
    # validation, with the class's singular-design error for its route, and must not touch the
    # previous fit.
    case = CASE_BY_NAME[name]
    model = case.fitted(n=20)
    before = snapshot(case, model)
    with pytest.raises(NUMERICAL_FAILURE[name]) as err:
        model.fit(*singular_fit_args(case, n=n, kind=kind))
    assert str(err.value) == SINGULAR_MESSAGE[name][n > 20]
    assert snapshot(case, model) == before


@pytest.mark.parametrize("name", ["OLS", "FE"])
@pytest.mark.parametrize("scale", [1e200, 1e-200, 1.7e308], ids=["square-overflows", "square-underflows", "near-max"])
def test_finite_extremes_are_not_called_non_finite(name, scale):
    # Only NaN and infinities in the input are refused as such; finite values whose
    # products overflow or underflow go on to the numerical steps.
    case = CASE_BY_NAME[name]
    args = list(case.fit_args(n=30))
    args[0] = args[0] / np.abs(args[0]).max() * scale
    assert np.isfinite(args[0]).all()
    model = case.cls()
    result, error = _call(model.fit, *args)
    assert str(error) != "Input contains NaN or infinite values"
    if error is not None:
        assert type(error) is RuntimeError
        assert model.is_fitted() is False


# (class, options, arguments multiplied by c, c, factor the coefficients and standard errors take)
SCALINGS = [
    ("OLS", {}, ("x",), 1e155, 1e-155), ("OLS", {}, ("x",), 1e-160, 1e160), ("OLS", {}, ("y",), 1e155, 1e155),
    ("OLS", {"robust": True}, ("x",), 1e155, 1e-155),
    ("OLS", {"fit_intercept": False}, ("x", "y"), 1e-160, 1.0),
    ("WLS", {}, ("weights",), 1e307, 1.0), ("GLS", {}, ("sigma",), 1e-307, 1.0),
    ("FE", {}, ("x",), 1e200, 1e-200), ("FE", {}, ("x",), 1e-160, 1e160), ("FE", {"robust": True}, ("y",), 1e160, 1e160),
]


@pytest.mark.parametrize("name,options,params,c,factor", SCALINGS,
                         ids=[f"{s[0]}{'-' + '-'.join(s[1]) if s[1] else ''}-{'-'.join(s[2])}-{s[3]:g}" for s in SCALINGS])
def test_data_at_the_edges_of_double_range_give_scaled_results(name, options, params, c, factor):
    # Finite in, finite out: the fit of c·data is the fit of the data with its estimates scaled as
    # the algebra says (reference: the same model on the unscaled data), never inf, 0 or NaN.
    case = CASE_BY_NAME[name]
    base_args = case.fit_args(n=60, k=2)
    args = [a * c if p in params else a for p, a in zip(case.fit_params, base_args)]
    base, scaled = case.cls(**options), case.cls(**options)
    base.fit(*base_args)
    scaled.fit(*args)
    np.testing.assert_allclose(scaled.coefficients, base.coefficients * factor, rtol=1e-12)
    np.testing.assert_allclose(scaled.standard_errors(), base.standard_errors() * factor, rtol=1e-12)
    assert scaled.r_squared == pytest.approx(base.r_squared, rel=1e-12)


@pytest.mark.parametrize("name,level", [(n, lv) for lv in (1e-10, 1e6) for n in CASE_IDS if (n, lv) != ("GLS", 1e6)],
                         ids=lambda v: {1e-10: "small-units", 1e6: "large-level"}.get(v, v))
def test_r_squared_is_relative_to_the_target_scale(name, level):
    # R² is 1 − SSR/TSS whatever the target's units (reference: the unshifted, unscaled fit),
    # and exactly 0 for a target constant up to rounding. GLS reports the R² of the whitened
    # regression, where neither a shift nor a constant target stays one.
    case = CASE_BY_NAME[name]
    args = list(case.fit_args(n=60, k=2))
    iy = case.fit_params.index("y" if "y" in case.fit_params else "targets")
    base = case.cls()
    base.fit(*args)
    shifted = list(args)
    shifted[iy] = args[iy] * level if level < 1 else level + args[iy]
    model = case.cls()
    model.fit(*shifted)
    assert model.r_squared == pytest.approx(base.r_squared, rel=1e-6)
    if name != "GLS":
        shifted[iy] = np.full_like(args[iy], level * 3.3)
        model.fit(*shifted)
        assert model.r_squared == 0.0
