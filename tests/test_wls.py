"""WLS: fits against statsmodels WLS, the weighting identities, validation and its messages,
the all-or-nothing refit, prediction, inference and the report."""

import math

import numpy as np
import pytest
import statsmodels.api as sm
from scipy import stats as sps

import korvalis
from estimators import CASE_BY_NAME, snapshot

CASE = CASE_BY_NAME["WLS"]
RTOL = 1e-10


def make_data(n, k, seed=0, weight_range=(0.2, 5.0)):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, k)) + np.arange(1, k + 1)
    beta = np.arange(1.0, k + 1.0) * 1.5
    w = rng.uniform(*weight_range, size=n)
    y = 2.5 + x @ beta + rng.normal(size=n) / np.sqrt(w)
    return x, y, w


def in_layout(a, layout):
    """The same values in another memory layout: C order, Fortran order, every other
    element of a larger array, or reversed (negative strides)."""
    if layout == "c":
        return np.ascontiguousarray(a)
    if layout == "f":
        return np.asfortranarray(a)
    if layout == "strided":
        big = np.zeros(tuple(2 * s for s in a.shape))
        idx = tuple(slice(None, None, 2) for _ in a.shape)
        big[idx] = a
        return big[idx]
    if layout == "reversed":
        return np.flip(np.flip(a).copy())
    raise ValueError(layout)


def fitted(x, y, w, fit_intercept=True):
    m = korvalis.WLS(fit_intercept=fit_intercept)
    m.fit(x, y, w)
    return m


# ---------------------------------------------------------------- against statsmodels WLS

# The route threshold is n > 3p; with two regressors and an intercept p = 3, so n = 10 is
# the smallest normal-equation fit and n = 9 the largest SVD fit.
ROUTES = [
    pytest.param(40, id="normal-equations-n40"),
    pytest.param(10, id="normal-equations-n10"),
    pytest.param(9, id="svd-n9"),
]


@pytest.mark.parametrize("n", ROUTES)
@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_estimates_match_statsmodels(n, fit_intercept):
    # Reference: statsmodels WLS on the same data; its bse use scale = Σ w e² / (n − p),
    # the weighted variance our standard errors use.
    x, y, w = make_data(n, 2, seed=n)
    m = fitted(x, y, w, fit_intercept)
    exog = sm.add_constant(x) if fit_intercept else x
    ref = sm.WLS(y, exog, weights=w).fit()
    slopes = ref.params[1:] if fit_intercept else ref.params
    slope_se = ref.bse[1:] if fit_intercept else ref.bse
    np.testing.assert_allclose(m.coefficients, slopes, rtol=RTOL)
    np.testing.assert_allclose(m.standard_errors(), slope_se, rtol=RTOL)
    np.testing.assert_allclose(m.t_statistics(), ref.tvalues[1:] if fit_intercept else ref.tvalues, rtol=RTOL)
    # statsmodels' resid is y − Xβ, on the scale of y.
    np.testing.assert_allclose(m.residuals, ref.resid, rtol=0, atol=RTOL * np.abs(y).max())
    if fit_intercept:
        assert m.intercept == pytest.approx(ref.params[0], rel=RTOL)
        assert m.r_squared == pytest.approx(ref.rsquared, rel=RTOL)
    else:
        assert m.intercept is None
    assert m.n_samples == n and m.n_features == 2


@pytest.mark.parametrize("layout", ["c", "f", "strided", "reversed"])
def test_any_memory_layout_gives_the_same_fit(layout):
    # Reference: statsmodels WLS on contiguous copies.
    x, y, w = make_data(30, 3, seed=3)
    m = fitted(in_layout(x, layout), in_layout(y, layout), in_layout(w, layout))
    ref = sm.WLS(y, sm.add_constant(x), weights=w).fit()
    np.testing.assert_allclose(m.coefficients, ref.params[1:], rtol=RTOL)
    assert m.intercept == pytest.approx(ref.params[0], rel=RTOL)
    np.testing.assert_allclose(m.standard_errors(), ref.bse[1:], rtol=RTOL)


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_mse_and_r_squared_follow_their_definitions(fit_intercept):
    # Reference: NumPy. mse = Σ e² / (n − p) with unweighted residuals; R² = 1 − Σ w e² / Σ w (y − ȳ_w)²
    # with the weighted mean, with or without an intercept.
    x, y, w = make_data(25, 2, seed=7)
    m = fitted(x, y, w, fit_intercept)
    p = 3 if fit_intercept else 2
    e = m.residuals
    assert m.mse == pytest.approx(e @ e / (25 - p), rel=RTOL)
    ybar = np.sum(w * y) / np.sum(w)
    assert m.r_squared == pytest.approx(1 - np.sum(w * e**2) / np.sum(w * (y - ybar) ** 2), rel=RTOL)


def test_r_squared_is_not_clamped():
    # Reference: NumPy, same formula. Far from the origin and without an intercept the
    # fit is much worse than the weighted mean, so R² is below −1 and stays there.
    rng = np.random.default_rng(11)
    x = rng.normal(size=(20, 1))
    y = 100.0 + rng.normal(size=20)
    w = rng.uniform(0.5, 2.0, size=20)
    m = fitted(x, y, w, fit_intercept=False)
    e = m.residuals
    ybar = np.sum(w * y) / np.sum(w)
    expected = 1 - np.sum(w * e**2) / np.sum(w * (y - ybar) ** 2)
    assert expected < -1
    assert m.r_squared == pytest.approx(expected, rel=RTOL)


def test_constant_target_has_zero_r_squared():
    x, _, w = make_data(15, 2)
    m = fitted(x, np.full(15, 3.0), w)
    assert m.r_squared == 0.0


# ---------------------------------------------------------------- weighting identities


@pytest.mark.parametrize("n", ROUTES)
def test_unit_weights_give_ordinary_least_squares(n):
    # Reference: NumPy lstsq on [1 | x] and the centred R².
    x, y, _ = make_data(n, 2, seed=5)
    m = fitted(x, y, np.ones(n))
    d = np.column_stack([np.ones(n), x])
    beta, *_ = np.linalg.lstsq(d, y, rcond=None)
    e = y - d @ beta
    np.testing.assert_allclose(m.coefficients, beta[1:], rtol=RTOL)
    assert m.intercept == pytest.approx(beta[0], rel=RTOL)
    np.testing.assert_allclose(m.residuals, e, rtol=0, atol=RTOL * np.abs(y).max())
    assert m.mse == pytest.approx(e @ e / (n - 3), rel=RTOL)
    assert m.r_squared == pytest.approx(1 - e @ e / np.sum((y - y.mean()) ** 2), rel=RTOL)
    se = np.sqrt(np.diag(np.linalg.inv(d.T @ d)) * (e @ e) / (n - 3))
    np.testing.assert_allclose(m.standard_errors(), se[1:], rtol=1e-9)


@pytest.mark.parametrize("c", [1e-3, 7.5, 1e4], ids=["c=1e-3", "c=7.5", "c=1e4"])
@pytest.mark.parametrize("n", ROUTES)
def test_scaling_all_weights_changes_nothing(n, c):
    # Identity: σ²_w scales by c and (DᵀD)⁻¹ by 1/c, everything else is scale-free.
    x, y, w = make_data(n, 2, seed=9)
    a, b = fitted(x, y, w), fitted(x, y, c * w)
    np.testing.assert_allclose(b.coefficients, a.coefficients, rtol=RTOL)
    assert b.intercept == pytest.approx(a.intercept, rel=RTOL)
    np.testing.assert_allclose(b.residuals, a.residuals, rtol=0, atol=RTOL * np.abs(y).max())
    assert b.mse == pytest.approx(a.mse, rel=RTOL)
    assert b.r_squared == pytest.approx(a.r_squared, rel=RTOL)
    np.testing.assert_allclose(b.standard_errors(), a.standard_errors(), rtol=RTOL)


def test_positive_subnormal_weight_is_accepted():
    # Reference: statsmodels WLS; a weight of 5e-324 is positive and finite.
    x, y, w = make_data(20, 2, seed=2)
    w[4] = 5e-324
    m = fitted(x, y, w)
    ref = sm.WLS(y, sm.add_constant(x), weights=w).fit()
    np.testing.assert_allclose(m.coefficients, ref.params[1:], rtol=1e-9)


# ---------------------------------------------------------------- validation

BAD_WEIGHTS = [
    pytest.param(0.0, id="zero"),
    pytest.param(-0.0, id="negative-zero"),
    pytest.param(-1.0, id="negative"),
    pytest.param(math.nan, id="nan"),
    pytest.param(math.inf, id="inf"),
    pytest.param(-math.inf, id="minus-inf"),
]
POSITIONS = [pytest.param(0, id="first"), pytest.param(7, id="middle"), pytest.param(-1, id="last")]


@pytest.mark.parametrize("position", POSITIONS)
@pytest.mark.parametrize("bad", BAD_WEIGHTS)
def test_bad_weight_anywhere_is_rejected_and_stores_nothing(bad, position):
    x, y, w = make_data(15, 2)
    w[position] = bad
    m = korvalis.WLS()
    with pytest.raises(ValueError) as err:
        m.fit(x, y, w)
    assert str(err.value) == "All weights must be positive and finite"
    assert not m.is_fitted()
    assert m.coefficients is None and m.n_samples is None and m.intercept is None


# A NaN or ±∞ in x makes the weighted design look singular on the normal-equation route: the fit says
# what is wrong instead. The SVD route keeps its own failure; a non-finite target flows into the results.
NAN_MESSAGE = "Input contains NaN or infinite values"
NON_FINITE = [
    pytest.param(40, "x", ValueError, NAN_MESSAGE, id="x-normal-n40"),
    pytest.param(10, "x", ValueError, NAN_MESSAGE, id="x-normal-n10"),
    pytest.param(9, "x", RuntimeError, "Failed to solve the weighted least squares system", id="x-svd-n9"),
    pytest.param(40, "y", None, None, id="y-normal-n40"),
    pytest.param(9, "y", None, None, id="y-svd-n9"),
]


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf], ids=["nan", "inf", "minus-inf"])
@pytest.mark.parametrize("n, where, exc, message", NON_FINITE)
def test_non_finite_data_is_named_or_propagates(n, where, exc, message, value):
    x, y, w = make_data(n, 2)
    {"x": x, "y": y}[where].flat[5] = value
    m = fitted(*make_data(30, 2, seed=3))
    before = snapshot(CASE, m)
    if exc is None:
        m.fit(x, y, w)
        assert not np.isfinite(m.coefficients).all() and not np.isfinite(m.residuals[5])
        return
    with pytest.raises(exc) as err:
        m.fit(x, y, w)
    assert str(err.value) == message
    assert snapshot(CASE, m) == before


SHAPE_CASES = [
    pytest.param((5, 2), 4, 5, "Input arrays must have consistent dimensions", id="y-short"),
    pytest.param((5, 2), 5, 6, "Input arrays must have consistent dimensions", id="weights-long"),
    pytest.param((5, 2), 4, 3, "Input arrays must have consistent dimensions", id="both-wrong"),
    pytest.param((0, 2), 1, 1, "Input arrays must have consistent dimensions", id="dims-before-empty"),
    pytest.param((0, 2), 0, 0, "Input arrays cannot be empty", id="no-rows"),
    pytest.param((4, 0), 4, 4, "Input arrays cannot be empty", id="no-columns"),
    pytest.param((3, 2), 3, 3, "Number of samples must be greater than number of parameters", id="n-equals-p"),
    pytest.param((2, 2), 2, 2, "Number of samples must be greater than number of parameters", id="n-below-p"),
]


@pytest.mark.parametrize("x_shape, y_len, w_len, message", SHAPE_CASES)
def test_shape_validation_messages(x_shape, y_len, w_len, message):
    # Weights of zero make sure the shape checks come before the weight scan.
    m = korvalis.WLS()
    with pytest.raises(ValueError) as err:
        m.fit(np.ones(x_shape), np.ones(y_len), np.zeros(w_len))
    assert str(err.value) == message
    assert not m.is_fitted()


def test_three_rows_two_columns_fit_without_intercept():
    # Reference: statsmodels WLS; p = 2 < n = 3 without an intercept.
    x, y, w = make_data(3, 2, seed=4)
    m = fitted(x, y, w, fit_intercept=False)
    ref = sm.WLS(y, x, weights=w).fit()
    np.testing.assert_allclose(m.coefficients, ref.params, rtol=1e-9)


@pytest.mark.parametrize("n", [pytest.param(9, id="svd-n9"), pytest.param(10, id="normal-equations-n10"),
                               pytest.param(40, id="normal-equations-n40")])
def test_regressor_equal_to_intercept_fails_in_the_standard_errors(n):
    # A column of ones scales to exactly √w, the intercept column: DᵀD is singular, the
    # SVD route still solves, and the standard-error inversion reports it.
    x, y, w = make_data(n, 2, seed=n)
    x[:, 1] = 1.0
    m = korvalis.WLS()
    with pytest.raises(RuntimeError) as err:
        m.fit(x, y, w)
    assert str(err.value) == "Cannot compute standard errors: design matrix is singular"
    assert not m.is_fitted()


# ---------------------------------------------------------------- all-or-nothing refit

FAILING_REFITS = [
    pytest.param(lambda x, y, w: (x, y, np.where(np.arange(len(w)) == 3, -1.0, w)), ValueError, id="bad-weight"),
    pytest.param(lambda x, y, w: (x[:3], y[:3], w[:3]), ValueError, id="too-few-rows"),
    pytest.param(lambda x, y, w: (x, y[:-1], w), ValueError, id="shape"),
    pytest.param(lambda x, y, w: (np.column_stack([x[:, 0], np.ones(len(y))]), y, w), RuntimeError,
                 id="singular"),
]


@pytest.mark.parametrize("make_bad, exc", FAILING_REFITS)
def test_failed_refit_changes_nothing(make_bad, exc):
    x, y, w = make_data(20, 2, seed=1)
    m = fitted(x, y, w)
    before = snapshot(CASE, m)  # p-values included
    x2, y2, w2 = make_data(20, 2, seed=2)
    with pytest.raises(exc):
        m.fit(*make_bad(x2, y2, w2))
    assert snapshot(CASE, m) == before


def test_successful_refit_replaces_everything():
    # Reference: a fresh object fitted on the second data set.
    x, y, w = make_data(20, 2, seed=1)
    x2, y2, w2 = make_data(31, 3, seed=2)
    m = fitted(x, y, w)
    m.fit(x2, y2, w2)
    assert snapshot(CASE, m) == snapshot(CASE, fitted(x2, y2, w2))


def test_inputs_are_never_written():
    x, y, w = make_data(20, 2, seed=6)
    copies = [a.copy() for a in (x, y, w)]
    for a in (x, y, w):
        a.setflags(write=False)
    m = fitted(x, y, w)
    m.predict(x)
    for a, c in zip((x, y, w), copies):
        np.testing.assert_array_equal(a, c)


# ---------------------------------------------------------------- prediction and surface


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_predict_matches_statsmodels(fit_intercept):
    x, y, w = make_data(20, 2, seed=8)
    xn, _, _ = make_data(6, 2, seed=80)
    m = fitted(x, y, w, fit_intercept)
    ref = sm.WLS(y, sm.add_constant(x) if fit_intercept else x, weights=w).fit()
    expected = ref.predict(sm.add_constant(xn, has_constant="add") if fit_intercept else xn)
    np.testing.assert_allclose(m.predict(xn), expected, rtol=RTOL)


def test_predict_before_fit_raises():
    with pytest.raises(ValueError) as err:
        korvalis.WLS().predict(np.ones((3, 2)))
    assert str(err.value) == "Model must be fitted before making predictions"


@pytest.mark.parametrize("cols", [1, 3])
def test_predict_with_wrong_column_count_raises(cols):
    x, y, w = make_data(20, 2)
    with pytest.raises(ValueError) as err:
        fitted(x, y, w).predict(np.ones((4, cols)))
    assert str(err.value) == "Number of features doesn't match training data"


@pytest.mark.parametrize("flag, text", [(True, "WLS(fit_intercept=True)"), (False, "WLS(fit_intercept=False)")])
def test_repr(flag, text):
    assert repr(korvalis.WLS(fit_intercept=flag)) == text


def test_unfitted_object_answers_none():
    m = korvalis.WLS()
    assert not m.is_fitted()
    for value in (m.coefficients, m.intercept, m.mse, m.r_squared, m.residuals, m.n_samples, m.n_features,
                  m.standard_errors(), m.t_statistics(), m.p_values(), m.confidence_intervals()):
        assert value is None


# ---------------------------------------------------------------- inference and report


@pytest.mark.parametrize("n", [pytest.param(20, id="df17-student-t"), pytest.param(34, id="df31-normal")])
def test_p_values_and_intervals(n):
    # Reference: statsmodels' t-based p-values and intervals for df ≤ 30; SciPy's normal
    # distribution and the 1.96 critical value from df = 31 on. The intercept has no row.
    x, y, w = make_data(n, 2, seed=n)
    m = fitted(x, y, w)
    ref = sm.WLS(y, sm.add_constant(x), weights=w).fit()
    ci = m.confidence_intervals()
    assert ci.shape == (2, 2)
    if n - 3 <= 30:
        np.testing.assert_allclose(m.p_values(), ref.pvalues[1:], rtol=1e-8)
        np.testing.assert_allclose(ci, ref.conf_int()[1:], rtol=1e-10)
    else:
        np.testing.assert_allclose(m.p_values(), 2 * sps.norm.sf(np.abs(ref.tvalues[1:])), rtol=1e-8)
        se = ref.bse[1:]
        np.testing.assert_allclose(ci, np.column_stack([ref.params[1:] - 1.96 * se, ref.params[1:] + 1.96 * se]),
                                   rtol=1e-12)


def lines_of(report):
    assert report.endswith("\n")
    return report.split("\n")[:-1]


def test_summary_layout_and_values():
    # Reference: statsmodels WLS for the row values; the layout is this class's own.
    x, y, w = make_data(40, 2, seed=12)
    m = fitted(x, y, w)
    ref = sm.WLS(y, sm.add_constant(x), weights=w).fit()
    lines = lines_of(m.summary())
    assert lines[0] == " " * 28 + "WLS Regression Results"
    assert lines[1] == "=" * 78
    assert lines[3].startswith("Model:".ljust(25) + " " + "WLS Regression Results".ljust(25))
    assert lines[4].startswith("Method:".ljust(25) + " " + "Weighted Least Squares".ljust(25))
    assert "Covariance Type:".ljust(25) + " " + "nonrobust".ljust(25) in lines
    assert "Df Residuals:".ljust(25) + " " + "37".ljust(25) in "\n".join(lines)
    rows = {line.split()[0]: line for line in lines if line.startswith(("const ", "x1 ", "x2 "))}
    assert list(rows) == ["const", "x1", "x2"]
    for name, b, s in zip(["const", "x1", "x2"], ref.params, ref.bse):
        fields = rows[name].split()
        assert fields[1] == f"{b:.4f}" and fields[2] == f"{s:.3f}"
    assert "Diagnostic Notes:" not in "\n".join(lines)
    assert lines[-2].startswith("Mean Squared Error:")
    assert f"{m.mse:12.3f}" in lines[-2]
    assert lines[-1] == "=" * 78


def test_summary_without_intercept_has_no_const_row():
    x, y, w = make_data(20, 2, seed=13)
    report = fitted(x, y, w, fit_intercept=False).summary()
    assert "\nconst " not in report and "\nx1 " in report
