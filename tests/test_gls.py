"""GLS: fits against statsmodels GLS, the whitening identities, Σ validation (lower triangle
only), the messages, the all-or-nothing refit, prediction, inference and the report with
diagnostics on the whitened design."""

import math
import re

import numpy as np
import pytest
import statsmodels.api as sm
from statsmodels.stats.stattools import jarque_bera
from scipy import linalg as sla
from scipy import stats as sps

import korvalis
from estimators import CASE_BY_NAME, snapshot

CASE = CASE_BY_NAME["GLS"]
RTOL = 1e-10


def make_data(n, k, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, k)) + np.arange(1, k + 1)
    beta = np.arange(1.0, k + 1.0) * 1.5
    y = 2.5 + x @ beta + rng.normal(size=n)
    return x, y


def ar1_sigma(n, rho=0.5, seed=0):
    """Heteroskedastic AR(1) covariance: s_i s_j ρ^|i−j|, symmetric positive definite."""
    s = np.random.default_rng(seed + 1000).uniform(0.5, 2.0, size=n)
    idx = np.arange(n)
    return np.outer(s, s) * rho ** np.abs(np.subtract.outer(idx, idx))


def in_layout(a, layout):
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


def fitted(x, y, sigma, fit_intercept=True):
    m = korvalis.GLS(fit_intercept=fit_intercept)
    m.fit(x, y, sigma)
    return m


def whitened_reference(x, y, sigma, fit_intercept=True):
    """NumPy/SciPy: L = chol(Σ), D = L⁻¹[1 | x], y* = L⁻¹y, β by lstsq, whitened residuals."""
    n = len(y)
    lower = np.linalg.cholesky(np.tril(sigma) + np.tril(sigma, -1).T)
    d = np.column_stack([np.ones(n), x]) if fit_intercept else x
    dw = sla.solve_triangular(lower, d, lower=True)
    yw = sla.solve_triangular(lower, y, lower=True)
    beta, *_ = np.linalg.lstsq(dw, yw, rcond=None)
    return dw, yw, beta, yw - dw @ beta


# ---------------------------------------------------------------- against statsmodels GLS

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
    # Reference: statsmodels GLS with the same Σ. Its bse use scale = whitened SSR / (n − p),
    # which is our mse; its whitening matrix differs from L⁻¹ by an orthogonal factor, so the
    # residuals are checked against the SciPy computation below instead.
    x, y = make_data(n, 2, seed=n)
    sigma = ar1_sigma(n, seed=n)
    m = fitted(x, y, sigma, fit_intercept)
    ref = sm.GLS(y, sm.add_constant(x) if fit_intercept else x, sigma=sigma).fit()
    slopes = ref.params[1:] if fit_intercept else ref.params
    np.testing.assert_allclose(m.coefficients, slopes, rtol=RTOL)
    np.testing.assert_allclose(m.standard_errors(), ref.bse[1:] if fit_intercept else ref.bse, rtol=RTOL)
    np.testing.assert_allclose(m.t_statistics(), ref.tvalues[1:] if fit_intercept else ref.tvalues, rtol=RTOL)
    assert m.mse == pytest.approx(ref.scale, rel=RTOL)
    if fit_intercept:
        assert m.intercept == pytest.approx(ref.params[0], rel=RTOL)
    else:
        assert m.intercept is None
    assert m.n_samples == n and m.n_features == 2


@pytest.mark.parametrize("n", ROUTES)
@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_whitened_residuals_and_r_squared(n, fit_intercept):
    # Reference: SciPy triangular solves with NumPy's Cholesky factor; R² is centred on the
    # mean of the whitened target.
    x, y = make_data(n, 2, seed=n + 1)
    sigma = ar1_sigma(n, seed=n)
    m = fitted(x, y, sigma, fit_intercept)
    _, yw, _, e = whitened_reference(x, y, sigma, fit_intercept)
    np.testing.assert_allclose(m.residuals, e, rtol=0, atol=RTOL * np.abs(yw).max())
    r2 = 1 - e @ e / np.sum((yw - yw.mean()) ** 2)
    assert m.r_squared == pytest.approx(max(-1.0, min(1.0, r2)), rel=1e-9)


@pytest.mark.parametrize("layout", ["c", "f", "strided", "reversed"])
def test_any_memory_layout_gives_the_same_fit(layout):
    # Reference: statsmodels GLS on contiguous copies.
    x, y = make_data(30, 3, seed=3)
    sigma = ar1_sigma(30, rho=0.3)
    m = fitted(in_layout(x, layout), in_layout(y, layout), in_layout(sigma, layout))
    ref = sm.GLS(y, sm.add_constant(x), sigma=sigma).fit()
    np.testing.assert_allclose(m.coefficients, ref.params[1:], rtol=RTOL)
    assert m.intercept == pytest.approx(ref.params[0], rel=RTOL)
    np.testing.assert_allclose(m.standard_errors(), ref.bse[1:], rtol=RTOL)


# ---------------------------------------------------------------- identities


@pytest.mark.parametrize("n", ROUTES)
def test_identity_sigma_gives_ordinary_least_squares(n):
    # Reference: NumPy lstsq on [1 | x] and the centred R².
    x, y = make_data(n, 2, seed=5)
    m = fitted(x, y, np.eye(n))
    d = np.column_stack([np.ones(n), x])
    beta, *_ = np.linalg.lstsq(d, y, rcond=None)
    e = y - d @ beta
    np.testing.assert_allclose(m.coefficients, beta[1:], rtol=RTOL)
    assert m.intercept == pytest.approx(beta[0], rel=RTOL)
    np.testing.assert_allclose(m.residuals, e, rtol=0, atol=RTOL * np.abs(y).max())
    assert m.mse == pytest.approx(e @ e / (n - 3), rel=RTOL)
    assert m.r_squared == pytest.approx(1 - e @ e / np.sum((y - y.mean()) ** 2), rel=RTOL)


@pytest.mark.parametrize("c", [0.25, 9.0, 1e4], ids=["c=0.25", "c=9", "c=1e4"])
@pytest.mark.parametrize("n", ROUTES)
def test_scaled_sigma_scales_residuals_and_mse(n, c):
    # Identity: L scales by √c, so y* and D do by 1/√c; β and the standard errors do not move.
    x, y = make_data(n, 2, seed=9)
    sigma = ar1_sigma(n)
    a, b = fitted(x, y, sigma), fitted(x, y, c * sigma)
    np.testing.assert_allclose(b.coefficients, a.coefficients, rtol=RTOL)
    assert b.intercept == pytest.approx(a.intercept, rel=RTOL)
    np.testing.assert_allclose(b.residuals, a.residuals / math.sqrt(c), rtol=0,
                               atol=RTOL * np.abs(a.residuals).max())
    assert b.mse == pytest.approx(a.mse / c, rel=RTOL)
    assert b.r_squared == pytest.approx(a.r_squared, rel=RTOL)
    np.testing.assert_allclose(b.standard_errors(), a.standard_errors(), rtol=RTOL)


@pytest.mark.parametrize("n", ROUTES)
def test_diagonal_sigma_gives_weighted_least_squares(n):
    # References: statsmodels WLS and korvalis WLS with w = 1/diag(Σ). The residuals differ
    # by design: GLS reports whitened ones, WLS residuals on the scale of y.
    x, y = make_data(n, 2, seed=10)
    w = np.random.default_rng(3).uniform(0.2, 5.0, size=n)
    g = fitted(x, y, np.diag(1.0 / w))
    wls = korvalis.WLS()
    wls.fit(x, y, w)
    ref = sm.WLS(y, sm.add_constant(x), weights=w).fit()
    np.testing.assert_allclose(g.coefficients, ref.params[1:], rtol=RTOL)
    assert g.intercept == pytest.approx(ref.params[0], rel=RTOL)
    np.testing.assert_allclose(g.coefficients, wls.coefficients, rtol=RTOL)
    np.testing.assert_allclose(g.standard_errors(), wls.standard_errors(), rtol=RTOL)
    np.testing.assert_allclose(g.residuals, wls.residuals * np.sqrt(w), rtol=0, atol=RTOL * np.abs(y).max())


def test_constant_whitened_target_has_zero_r_squared():
    x, _ = make_data(15, 2)
    assert fitted(x, np.full(15, 3.0), np.eye(15)).r_squared == 0.0


def test_nan_r_squared_stays_nan():
    # GLS does not check its inputs for NaN; a NaN in y (DᵀD stays clean, so every route
    # reaches the R² step) must not be reported as R² = −1.
    x, y = make_data(20, 2)
    y[5] = math.nan
    m = fitted(x, y, np.eye(20))
    assert math.isnan(m.r_squared)
    assert math.isnan(m.mse)


def test_r_squared_is_clamped_below():
    # Reference: the whitened R² formula; without an intercept and far from the origin it
    # falls below −1 and is reported as −1.
    rng = np.random.default_rng(11)
    x = rng.normal(size=(20, 1))
    y = 100.0 + rng.normal(size=20)
    _, yw, _, e = whitened_reference(x, y, np.eye(20), fit_intercept=False)
    assert 1 - e @ e / np.sum((yw - yw.mean()) ** 2) < -1
    assert fitted(x, y, np.eye(20), fit_intercept=False).r_squared == -1.0


# ---------------------------------------------------------------- Σ handling


def test_upper_triangle_of_sigma_is_ignored():
    # Garbage (including NaN and a negative definite pattern) above the diagonal gives the
    # same fit bit for bit, and the report built from the stored copy is the same too.
    x, y = make_data(30, 2, seed=4)
    sigma = ar1_sigma(30)
    garbage = sigma.copy()
    iu = np.triu_indices(30, 1)
    garbage[iu] = np.random.default_rng(5).normal(scale=50.0, size=len(iu[0]))
    garbage[0, 29] = math.nan
    a, b = fitted(x, y, sigma), fitted(x, y, garbage)
    assert snapshot(CASE, a) == snapshot(CASE, b)  # the report too, date and time masked


NOT_PD = [
    pytest.param(lambda s: s.__setitem__((0, 0), 0.0), id="zero-first-diagonal"),
    pytest.param(lambda s: s.__setitem__((7, 7), -1.0), id="negative-middle-diagonal"),
    pytest.param(lambda s: s.__setitem__((-1, -1), -0.0), id="negative-zero-last-diagonal"),
    pytest.param(lambda s: s.__setitem__((5, 4), 10.0), id="indefinite-lower-entry"),
    pytest.param(lambda s: s.__imul__(-1.0), id="negative-definite"),
]


@pytest.mark.parametrize("spoil", NOT_PD)
def test_sigma_not_positive_definite(spoil):
    x, y = make_data(15, 2)
    sigma = np.eye(15)
    spoil(sigma)
    m = korvalis.GLS()
    with pytest.raises(RuntimeError) as err:
        m.fit(x, y, sigma)
    assert str(err.value) == "Covariance matrix is not positive definite"
    assert not m.is_fitted()


SHAPE_CASES = [
    pytest.param((5, 2), 4, (5, 5), "Shape mismatch: X(5,2), y(4), sigma(5,5)", id="y-short"),
    pytest.param((5, 2), 5, (4, 4), "Shape mismatch: X(5,2), y(5), sigma(4,4)", id="sigma-small"),
    pytest.param((5, 2), 5, (5, 4), "Shape mismatch: X(5,2), y(5), sigma(5,4)", id="sigma-not-square"),
    pytest.param((5, 2), 5, (5, 6), "Shape mismatch: X(5,2), y(5), sigma(5,6)", id="sigma-wide"),
    pytest.param((0, 3), 1, (0, 0), "Shape mismatch: X(0,3), y(1), sigma(0,0)", id="shape-before-empty"),
    pytest.param((0, 2), 0, (0, 0), "Empty input arrays", id="no-rows"),
    pytest.param((4, 0), 4, (4, 4), "Empty input arrays", id="no-columns"),
    pytest.param((3, 2), 3, (3, 3), "Insufficient samples", id="n-equals-p"),
    pytest.param((2, 2), 2, (2, 2), "Insufficient samples", id="n-below-p"),
]


@pytest.mark.parametrize("x_shape, y_len, sigma_shape, message", SHAPE_CASES)
def test_shape_validation_messages(x_shape, y_len, sigma_shape, message):
    # A zero Σ makes sure the shape checks come before the factorisation.
    m = korvalis.GLS()
    with pytest.raises(ValueError) as err:
        m.fit(np.ones(x_shape), np.ones(y_len), np.zeros(sigma_shape))
    assert str(err.value) == message
    assert not m.is_fitted()


def test_three_rows_two_columns_fit_without_intercept():
    # Reference: statsmodels GLS; p = 2 < n = 3 without an intercept.
    x, y = make_data(3, 2, seed=4)
    sigma = ar1_sigma(3)
    m = fitted(x, y, sigma, fit_intercept=False)
    np.testing.assert_allclose(m.coefficients, sm.GLS(y, x, sigma=sigma).fit().params, rtol=1e-9)


ROUTE_EDGES = [
    pytest.param(9, "Cannot compute standard errors", id="n9-svd-then-lu"),
    pytest.param(10, "XTX not positive definite", id="n10-normal-equations"),
]


@pytest.mark.parametrize("n, message", ROUTE_EDGES)
def test_route_threshold_seen_through_a_singular_design(n, message):
    # With Σ = I and a regressor of ones next to the intercept, DᵀD is exactly singular:
    # at n = 3p = 9 SVD solves and the LU inverse fails, at n = 10 the Cholesky factor fails.
    x, y = make_data(n, 2, seed=n)
    x[:, 1] = 1.0
    m = korvalis.GLS()
    with pytest.raises(RuntimeError) as err:
        m.fit(x, y, np.eye(n))
    assert str(err.value) == message
    assert not m.is_fitted()


# ---------------------------------------------------------------- all-or-nothing refit

FAILING_REFITS = [
    pytest.param(lambda x, y, s: (x, y, -s), RuntimeError, id="not-positive-definite"),
    pytest.param(lambda x, y, s: (x[:3], y[:3], s[:3, :3]), ValueError, id="insufficient"),
    pytest.param(lambda x, y, s: (x, y[:-1], s), ValueError, id="shape"),
    pytest.param(lambda x, y, s: (np.column_stack([x[:, 0], np.ones(len(y))]), y, np.eye(len(y))), RuntimeError,
                 id="singular"),
]


@pytest.mark.parametrize("make_bad, exc", FAILING_REFITS)
def test_failed_refit_changes_nothing(make_bad, exc):
    x, y = make_data(20, 2, seed=1)
    m = fitted(x, y, ar1_sigma(20))
    before = snapshot(CASE, m)
    x2, y2 = make_data(20, 2, seed=2)
    with pytest.raises(exc):
        m.fit(*make_bad(x2, y2, ar1_sigma(20, seed=3)))
    assert snapshot(CASE, m) == before  # the report too, date and time masked


def test_successful_refit_replaces_everything():
    x, y = make_data(20, 2, seed=1)
    x2, y2 = make_data(31, 3, seed=2)
    m = fitted(x, y, ar1_sigma(20))
    m.fit(x2, y2, ar1_sigma(31, seed=4))
    assert snapshot(CASE, m) == snapshot(CASE, fitted(x2, y2, ar1_sigma(31, seed=4)))


def test_inputs_are_never_written():
    x, y = make_data(20, 2, seed=6)
    sigma = ar1_sigma(20)
    arrays = (x, y, sigma)
    copies = [a.copy() for a in arrays]
    for a in arrays:
        a.setflags(write=False)
    m = fitted(*arrays)
    m.predict(x)
    m.summary()
    for a, c in zip(arrays, copies):
        np.testing.assert_array_equal(a, c)


# ---------------------------------------------------------------- prediction and surface


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_predict_matches_statsmodels(fit_intercept):
    x, y = make_data(20, 2, seed=8)
    xn, _ = make_data(6, 2, seed=80)
    sigma = ar1_sigma(20)
    m = fitted(x, y, sigma, fit_intercept)
    ref = sm.GLS(y, sm.add_constant(x) if fit_intercept else x, sigma=sigma).fit()
    expected = ref.predict(sm.add_constant(xn, has_constant="add") if fit_intercept else xn)
    np.testing.assert_allclose(m.predict(xn), expected, rtol=RTOL)


def test_predict_before_fit_raises_runtime_error():
    with pytest.raises(RuntimeError) as err:
        korvalis.GLS().predict(np.ones((3, 2)))
    assert str(err.value) == "Model not fitted"


def test_predict_with_wrong_column_count_raises():
    x, y = make_data(20, 3)
    with pytest.raises(ValueError) as err:
        fitted(x, y, np.eye(20)).predict(np.ones((4, 2)))
    assert str(err.value) == "Feature mismatch: expected 3, got 2"


@pytest.mark.parametrize("flag, text", [(True, "GLS(fit_intercept=true)"), (False, "GLS(fit_intercept=false)")])
def test_repr_is_lower_case(flag, text):
    assert repr(korvalis.GLS(fit_intercept=flag)) == text


def test_unfitted_object_answers_none():
    m = korvalis.GLS()
    assert not m.is_fitted()
    for value in (m.coefficients, m.intercept, m.mse, m.r_squared, m.residuals, m.n_samples, m.n_features,
                  m.standard_errors(), m.t_statistics(), m.p_values(), m.confidence_intervals()):
        assert value is None


# ---------------------------------------------------------------- inference and report


@pytest.mark.parametrize("n", [pytest.param(20, id="df17-student-t"), pytest.param(34, id="df31-normal")])
def test_p_values_and_intervals(n):
    # Reference: statsmodels' t-based p-values and intervals for df ≤ 30; SciPy's normal
    # distribution and 1.96 from df = 31 on. The intercept has no row.
    x, y = make_data(n, 2, seed=n)
    sigma = ar1_sigma(n)
    m = fitted(x, y, sigma)
    ref = sm.GLS(y, sm.add_constant(x), sigma=sigma).fit()
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


def scaled_condition_number(d):
    """Belsley–Kuh–Welsch: columns scaled to unit length, largest over smallest singular value."""
    sv = np.linalg.svd(d / np.linalg.norm(d, axis=0), compute_uv=False)
    return sv[0] / sv[-1]


def stat_line_values(report, label):
    line = next(l for l in report.split("\n") if l.startswith(label))
    return [float(v) for v in re.findall(r"-?\d+\.\d+|-?inf|NaN", line)]


def test_summary_layout_and_diagnostics_on_the_whitened_design():
    # References: statsmodels GLS for the rows; NumPy for the Durbin-Watson statistic of the
    # stored (whitened) residuals and the scaled condition number of D = L⁻¹[1 | x].
    x, y = make_data(40, 2, seed=12)
    sigma = ar1_sigma(40)
    m = fitted(x, y, sigma)
    ref = sm.GLS(y, sm.add_constant(x), sigma=sigma).fit()
    report = m.summary()
    lines = report.split("\n")
    assert lines[0] == " " * 28 + "GLS Regression Results"
    assert lines[3].startswith("Model:".ljust(25) + " " + "GLS Regression Results".ljust(25))
    assert lines[4].startswith("Method:".ljust(25) + " " + "Generalized Least Squares".ljust(25))
    assert "Covariance Type:".ljust(25) + " " + "nonrobust".ljust(25) in lines
    for name, b, s in zip(["const", "x1", "x2"], ref.params, ref.bse):
        fields = next(l for l in lines if l.startswith(name + " ")).split()
        assert fields[1] == f"{b:.4f}" and fields[2] == f"{s:.3f}"
    assert "Diagnostic Notes:" in report
    e = m.residuals
    dw_value, cond = stat_line_values(report, "Durbin-Watson:")
    assert dw_value == pytest.approx(np.sum(np.diff(e) ** 2) / (e @ e), abs=5e-4)
    dw, *_ = whitened_reference(x, y, sigma)
    assert cond == pytest.approx(scaled_condition_number(dw), abs=5e-4)
    # statsmodels' Jarque-Bera on the same residuals (its kurtosis is not excess).
    jb, jb_p, skew, kurt = jarque_bera(e)
    assert stat_line_values(report, "Jarque-Bera (JB):") == pytest.approx([jb, jb_p], abs=5e-4)
    assert stat_line_values(report, "Skew:") == pytest.approx([skew, kurt - 3.0], abs=5e-4)


def test_summary_without_intercept_has_no_const_row_but_diagnostics():
    x, y = make_data(30, 2, seed=14)
    report = fitted(x, y, ar1_sigma(30), fit_intercept=False).summary()
    assert "\nconst " not in report and "\nx1 " in report and "\nx2 " in report
    assert "Diagnostic Notes:" in report


def test_summary_after_refit_uses_the_new_whitened_design():
    # Reference: a fresh object fitted on the second data set; the first report (which
    # filled the whitened-design cache) must not leak into the second.
    x, y = make_data(30, 2, seed=1)
    x2, y2 = make_data(30, 2, seed=2)
    x2[:, 1] *= 40.0  # a very different condition number
    s1, s2 = ar1_sigma(30, rho=0.2), ar1_sigma(30, rho=0.8, seed=7)
    strip = lambda s: re.sub(r"(Date|Time):.*\n", "", s)
    m = fitted(x, y, s1)
    first = m.summary()
    assert strip(m.summary()) == strip(first)
    m.fit(x2, y2, s2)
    second = m.summary()
    assert strip(second) == strip(fitted(x2, y2, s2).summary())
    assert stat_line_values(second, "Durbin-Watson:")[1] != stat_line_values(first, "Durbin-Watson:")[1]
    dw, *_ = whitened_reference(x2, y2, s2)
    assert stat_line_values(second, "Durbin-Watson:")[1] == pytest.approx(scaled_condition_number(dw), abs=5e-4)
