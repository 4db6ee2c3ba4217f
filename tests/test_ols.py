"""OLS against statsmodels (reference peer) on random problems over all three solving routes,
layout independence, failure atomicity and the estimator's messages."""
import numpy as np
import pytest
import statsmodels.api as sm

import korvalis
from estimators import CASE_BY_NAME, snapshot

CASE = CASE_BY_NAME["OLS"]


def problem(n, k, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, k))
    y = x @ rng.normal(size=k) + 0.5 + rng.normal(size=n) * (1 + np.abs(x[:, 0]))
    return x, y


def reference(x, y, intercept, cov_type="nonrobust"):
    d = sm.add_constant(x, has_constant="add") if intercept else x
    return sm.OLS(y, d).fit(cov_type=cov_type)


ROUTES = [
    pytest.param(4, 1, id="svd-n4"),
    pytest.param(5, 1, id="cholesky-n5"),
    pytest.param(200, 6, id="cholesky"),
    pytest.param(14, 6, id="svd-n-equals-2p"),
]


@pytest.mark.parametrize("intercept", [True, False], ids=["const", "noconst"])
@pytest.mark.parametrize("n,k", ROUTES)
def test_matches_statsmodels(n, k, intercept):
    x, y = problem(n, k)
    m = korvalis.OLS(fit_intercept=intercept)
    m.fit(x, y)
    ref = reference(x, y, intercept)
    params = np.concatenate([[m.intercept], m.coefficients]) if intercept else m.coefficients
    np.testing.assert_allclose(params, ref.params, rtol=1e-9, atol=1e-12)
    bse = ref.bse[1:] if intercept else ref.bse
    np.testing.assert_allclose(m.standard_errors(), bse, rtol=1e-9)
    np.testing.assert_allclose(m.residuals, ref.resid, rtol=1e-9, atol=1e-12)
    np.testing.assert_allclose(m.mse, ref.mse_resid, rtol=1e-10)
    if intercept:
        np.testing.assert_allclose(m.r_squared, ref.rsquared, rtol=1e-10)
    np.testing.assert_allclose(m.covariance_matrix(), ref.cov_params(), rtol=1e-9, atol=1e-15)
    np.testing.assert_allclose(m.t_statistics(), ref.tvalues[1:] if intercept else ref.tvalues, rtol=1e-9)


@pytest.mark.parametrize("n", [3000, 5000], ids=["svd-p1000", "lu-p1000"])
def test_wide_routes_match_numpy(n):
    """p = 1000: n = 5000 takes the LU inverse, n = 3000 SVD least squares (NumPy lstsq reference)."""
    x, y = problem(n, 999, seed=1)
    m = korvalis.OLS()
    m.fit(x, y)
    d = np.column_stack([np.ones(n), x])
    beta = np.linalg.lstsq(d, y, rcond=None)[0]
    np.testing.assert_allclose(m.intercept, beta[0], rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(m.coefficients, beta[1:], rtol=1e-7, atol=1e-9)
    v = np.linalg.inv(d.T @ d)
    se = np.sqrt(np.diag(v) * m.mse)[1:]
    np.testing.assert_allclose(m.standard_errors(), se, rtol=1e-8)


@pytest.mark.parametrize("n,k", ROUTES[1:3])
def test_hc0_matches_statsmodels(n, k):
    x, y = problem(n, k, seed=2)
    m = korvalis.OLS(robust=True)
    m.fit(x, y)
    ref = reference(x, y, True, "HC0")
    np.testing.assert_allclose(m.standard_errors(), ref.bse[1:], rtol=1e-9)
    classical = korvalis.OLS()
    classical.fit(x, y)
    # Robust changes the standard errors only: not the covariance matrix, estimates, mse or R².
    np.testing.assert_array_equal(m.covariance_matrix(), classical.covariance_matrix())
    np.testing.assert_array_equal(m.coefficients, classical.coefficients)
    assert m.mse == classical.mse and m.r_squared == classical.r_squared
    assert not np.allclose(m.standard_errors(), classical.standard_errors())


LAYOUTS = {
    "fortran": lambda x: np.asfortranarray(x),
    "column-slice": lambda x: np.repeat(x, 2, axis=1)[:, ::2],
    "reversed": lambda x: x[::-1][::-1],
    "negative-stride": lambda x: np.ascontiguousarray(x[::-1])[::-1],
    "row-slice": lambda x: np.repeat(x, 3, axis=0)[::3],
    "unaligned": lambda x: np.frombuffer(b"\0" + x.tobytes(), dtype=np.float64, offset=1).reshape(x.shape),
}


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_layout_independence(layout):
    x, y = problem(60, 3, seed=4)
    base = korvalis.OLS()
    base.fit(x, y)
    other = korvalis.OLS()
    xv = LAYOUTS[layout](x)
    yv = np.repeat(y, 2)[::2]
    x_before = xv.copy()
    other.fit(xv, yv)
    np.testing.assert_allclose(other.coefficients, base.coefficients, rtol=1e-12)
    np.testing.assert_allclose(other.residuals, base.residuals, rtol=1e-10, atol=1e-13)
    np.testing.assert_allclose(other.predict(xv), base.predict(x), rtol=1e-12, atol=1e-14)
    np.testing.assert_array_equal(xv, x_before)


def test_inputs_never_written():
    x, y = problem(30, 2)
    xc, yc = x.copy(), y.copy()
    x.flags.writeable = False
    m = korvalis.OLS(robust=True)
    m.fit(x, y)
    m.predict(x)
    m.summary()
    np.testing.assert_array_equal(x, xc)
    np.testing.assert_array_equal(y, yc)


FAILURES = [
    pytest.param(lambda: (np.ones((10, 2)), np.ones(9)), ValueError, "X and y shape mismatch: 10 vs 9", id="mismatch"),
    pytest.param(lambda: (np.ones((3, 0)), np.ones(3)), ValueError, "Input arrays cannot be empty", id="no-columns"),
    pytest.param(lambda: (np.ones((0, 2)), np.ones(0)), ValueError, "Input arrays cannot be empty", id="no-rows"),
    pytest.param(lambda: (np.ones((2, 1)), np.ones(2)), ValueError,
                 "Insufficient samples for the number of parameters", id="n-equals-p"),
    pytest.param(lambda: (np.array([[1.0], [np.nan], [2.0]]), np.ones(3)), ValueError,
                 "Input contains NaN or infinite values", id="nan-x"),
    pytest.param(lambda: (np.arange(3.0)[:, None], np.array([1.0, np.inf, 2.0])), ValueError,
                 "Input contains NaN or infinite values", id="inf-y"),
    pytest.param(lambda: (np.column_stack([np.arange(10.0), 2 * np.arange(10.0)]), np.arange(10.0)), RuntimeError,
                 "Matrix is singular", id="collinear-cholesky"),
    pytest.param(lambda: (np.column_stack([np.arange(6.0), np.arange(6.0)]), np.arange(6.0)), RuntimeError,
                 "Cannot compute standard errors: matrix is singular", id="collinear-svd"),
    # Rounding leaves the dummy trap's scaled condition number near 10¹⁵ at this size, not infinite.
    pytest.param(lambda: (np.eye(3)[np.arange(10**6) % 3], np.arange(10**6) % 7 * 1.0), RuntimeError,
                 "Matrix is singular", id="dummy-trap-million-rows"),
]


@pytest.mark.parametrize("make,exc,message", FAILURES)
def test_failed_fit_changes_nothing(make, exc, message):
    x0, y0 = problem(40, 2)
    m = korvalis.OLS()
    m.fit(x0, y0)
    before = snapshot(CASE, m)
    x, y = make()
    with pytest.raises(exc) as info:
        m.fit(x, y)
    assert str(info.value) == message
    assert snapshot(CASE, m) == before
    fresh = korvalis.OLS()
    with pytest.raises(exc):
        fresh.fit(x, y)
    assert not fresh.is_fitted() and fresh.coefficients is None


def test_refit_replaces_caches():
    x1, y1 = problem(50, 2, seed=1)
    x2, y2 = problem(80, 2, seed=2)
    m = korvalis.OLS()
    m.fit(x1, y1)
    first = m.covariance_matrix()
    m.fit(x2, y2)
    second = m.covariance_matrix()
    ref = reference(x2, y2, True)
    np.testing.assert_allclose(second, ref.cov_params(), rtol=1e-9)
    assert not np.allclose(first, second)


def test_r_squared_rules():
    x = np.arange(8.0)[:, None]
    m = korvalis.OLS()
    m.fit(x, np.full(8, 3.0))
    assert m.r_squared == 0.0  # constant y: TSS below the guard
    # Without an intercept a fit can be worse than the mean: R² is clamped at −1.
    m = korvalis.OLS(fit_intercept=False)
    m.fit(np.array([[1.0], [-1.0], [1.0], [-1.0], [1e-3]]), np.array([10.0, 10.0, 10.0, 10.0, 10.1]))
    assert m.r_squared == -1.0


def test_predict_and_messages():
    x, y = problem(20, 3)
    m = korvalis.OLS()
    with pytest.raises(RuntimeError, match=r"^Model not fitted\. Call fit\(\) first\.$"):
        m.predict(x)
    m.fit(x, y)
    np.testing.assert_allclose(m.predict(x), y - m.residuals, rtol=1e-12, atol=1e-12)
    assert m.predict(np.empty((0, 3))).shape == (0,)
    with pytest.raises(ValueError) as info:
        m.predict(x[:, :2])
    assert str(info.value) == "Feature count mismatch: expected 3, got 2"


def test_without_intercept_shapes():
    x, y = problem(20, 3)
    m = korvalis.OLS(fit_intercept=False)
    m.fit(x, y)
    assert m.intercept is None
    assert m.standard_errors().shape == (3,)
    assert m.covariance_matrix().shape == (3, 3)
    np.testing.assert_allclose(m.predict(x), x @ m.coefficients)


def test_unfitted_answers_none():
    m = korvalis.OLS()
    assert not m.is_fitted()
    for value in (m.coefficients, m.standard_errors(), m.t_statistics(), m.p_values(), m.confidence_intervals(),
                  m.covariance_matrix(), m.mse, m.r_squared, m.intercept, m.n_samples, m.n_features, m.residuals):
        assert value is None


def test_results_are_fresh_copies():
    x, y = problem(20, 2)
    m = korvalis.OLS()
    m.fit(x, y)
    c = m.coefficients
    c[:] = 0
    assert np.all(m.coefficients != 0)
    assert m.coefficients is not m.coefficients
    cov = m.covariance_matrix()
    cov[:] = 0
    assert np.all(np.diag(m.covariance_matrix()) > 0)
