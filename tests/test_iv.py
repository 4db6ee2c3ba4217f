"""IV: exactly identified instrumental variables.

References: linearmodels.IV2SLS (unadjusted covariance, debiased, the constant among the exogenous
regressors), the closed form (ZᵀX)⁻¹Zᵀy with its sandwich in NumPy and, for ill-conditioned data, in
50-digit mpmath, statsmodels OLS for the identity Z = X, SciPy for p-values and critical values, and
the shared reference rendering of the report (tests/report_reference.py). Behaviour IV and TSLS
share (the R² rules, predict's errors) is tested here for both; the helpers also serve test_tsls.py.
"""

import math

import mpmath
import numpy as np
import pytest
import scipy.stats as st
import statsmodels.api as sm
from linearmodels.iv import IV2SLS

import korvalis
import report_reference as rr
from estimators import CASE_BY_NAME, snapshot

CASE = CASE_BY_NAME["IV"]

ATTRIBUTES = ("coefficients", "intercept", "covariance_matrix", "mse", "r_squared", "residuals", "n_samples",
              "n_features")


def endogenous_data(n, k, q, seed, const=1.5):
    """k endogenous regressors, q ≥ k instruments, a structural error correlated with X."""
    rng = np.random.default_rng(seed)
    z = rng.standard_normal((n, q))
    u = rng.standard_normal(n)
    pi = 0.3 * rng.standard_normal((q, k))
    pi[:k] += np.eye(k)
    x = z @ pi + 0.6 * u[:, None] + 0.5 * rng.standard_normal((n, k))
    y = const + x @ np.array([2.0, -1.0, 0.5, 3.0, -2.5][:k]) + u
    return z, x, y


def assert_close(actual, expected, rtol=1e-10):
    """Relative to the largest expected magnitude, so entries near zero are judged on the array's scale."""
    expected = np.asarray(expected, dtype=float)
    atol = rtol * float(np.max(np.abs(expected))) if expected.size else 0.0
    np.testing.assert_allclose(actual, expected, rtol=rtol, atol=atol)


def fitted(cls, z, x, y, fit_intercept=True):
    m = cls(fit_intercept=fit_intercept)
    m.fit(z, x, y)
    return m


def params_of(m):
    return np.r_[m.intercept, m.coefficients] if m.fit_intercept else m.coefficients


def linearmodels_fit(z, x, y, constant=True):
    exog = np.ones((len(y), 1)) if constant else None
    return IV2SLS(y, exog, x, z).fit(cov_type="unadjusted", debiased=True)


def expected_report(label, method, ref, y, fit_intercept, text):
    """The report of an IV or TSLS fit rebuilt from linearmodels' result, with the date and time of
    `text`: header statistics from the centred R² and s², no diagnostics."""
    n, p = len(y), len(ref.params)
    k, df = p - fit_intercept, n - p
    r2 = 1 - ref.resids @ ref.resids / np.sum((y - y.mean()) ** 2)
    mse = ref.s2
    f = (r2 / k) / ((1 - r2) / df) if k else 0.0
    ll = -(n / 2) * (math.log(2 * math.pi * mse) + 1)
    date, clock = (next(line for line in text.splitlines() if line.startswith(h))[26:51].rstrip()
                   for h in ("Date:", "Time:"))
    out = " " * 28 + label + "\n" + "=" * 78 + "\n"
    out += rr.pair("Dep. Variable:", "y", "R-squared:", rr.num(r2, 3))
    out += rr.pair("Model:", label, "Adj. R-squared:", rr.num(1 - (n - 1) * (1 - r2) / df, 3))
    out += rr.pair("Method:", method, "F-statistic:", rr.num(f, 3))
    out += rr.pair("Date:", date, "Prob (F-statistic):", rr.exponent(st.f.sf(f, k, df) if f > 0 else 1.0))
    out += rr.pair("Time:", clock, "Log-Likelihood:", rr.num(ll, 3))
    out += rr.pair("No. Observations:", str(n), "AIC:", rr.num(2 * p - 2 * ll, 3))
    out += rr.pair("Df Residuals:", str(df), "BIC:", rr.num(math.log(n) * p - 2 * ll, 3))
    out += rr.single("Df Model:", str(k)) + rr.single("Covariance Type:", "nonrobust")
    out += "=" * 78 + "\n"
    out += " " * 15 + "".join(f" {h:>10}" for h in ("coef", "std err", "t", "P>|t|")) + " [0.025      0.975]\n"
    out += "-" * 78 + "\n"
    names = ["const"] * fit_intercept + [f"x{i + 1}" for i in range(k)]
    for name, b, s in zip(names, ref.params.values, ref.std_errors.values):
        out += rr.row(name, b, s, rr.critical(df), df)
    out += "=" * 78 + "\n"
    out += rr.stats_line("Mean Squared Error:", mse, "Root MSE:", math.sqrt(mse)) + "=" * 78 + "\n"
    return out


# --- estimates ------------------------------------------------------------------------------

CASES = [
    pytest.param(40, 1, 0, id="n40-k1"),
    pytest.param(60, 2, 1, id="n60-k2"),
    pytest.param(25, 3, 2, id="n25-k3"),
    pytest.param(300, 4, 3, id="n300-k4"),
]


@pytest.mark.parametrize("n,k,seed", CASES)
def test_matches_linearmodels(n, k, seed):
    z, x, y = endogenous_data(n, k, k, seed)
    m = fitted(korvalis.IV, z, x, y)
    ref = linearmodels_fit(z, x, y)
    assert_close(params_of(m), ref.params)
    assert_close(m.covariance_matrix, ref.cov)
    assert_close(m.standard_errors(), ref.std_errors[1:])
    assert_close(m.t_statistics(), ref.tstats[1:])
    assert_close(m.residuals, ref.resids)
    assert_close(m.mse, ref.s2)
    assert_close(m.r_squared, ref.rsquared)
    assert (m.n_samples, m.n_features) == (n, k)


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
@pytest.mark.parametrize("n,k,seed", CASES)
def test_closed_form_and_sandwich(n, k, seed, fit_intercept):
    # β = (Z₁ᵀX₁)⁻¹Z₁ᵀy, V = σ²(Z₁ᵀX₁)⁻¹(Z₁ᵀZ₁)(X₁ᵀZ₁)⁻¹ by NumPy solves; R² = 1 − SSR/TSS.
    z, x, y = endogenous_data(n, k, k, seed)
    z1, x1 = (np.column_stack([np.ones(n), z]), np.column_stack([np.ones(n), x])) if fit_intercept else (z, x)
    a = z1.T @ x1
    beta = np.linalg.solve(a, z1.T @ y)
    r = y - x1 @ beta
    sigma2 = r @ r / (n - x1.shape[1])
    v = sigma2 * np.linalg.solve(a, np.linalg.solve(a, z1.T @ z1).T).T
    m = fitted(korvalis.IV, z, x, y, fit_intercept)
    assert_close(params_of(m), beta)
    assert_close(m.residuals, r)
    assert_close(m.mse, sigma2)
    assert_close(m.covariance_matrix, v)
    assert_close(m.standard_errors(), np.sqrt(np.diag(v))[int(fit_intercept):])
    assert_close(m.r_squared, 1 - r @ r / np.sum((y - y.mean()) ** 2))


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_instruments_equal_to_regressors_give_ols(fit_intercept):
    # statsmodels OLS: with Z = X the estimate is least squares and V = σ²(XᵀX)⁻¹.
    _, x, y = endogenous_data(50, 3, 3, 7)
    m = fitted(korvalis.IV, x, x, y, fit_intercept)
    ref = sm.OLS(y, sm.add_constant(x) if fit_intercept else x).fit()
    assert_close(params_of(m), ref.params)
    assert_close(m.covariance_matrix, ref.cov_params())
    assert_close(m.residuals, ref.resid)
    assert_close(m.mse, ref.scale)


@pytest.mark.parametrize("spread", [1e-3, 1e-5, 1e-7])
def test_ill_conditioned_regressors_against_mpmath(spread):
    # Two nearly equal regressors, the closed form in 50 digits. One LU solve of Z₁ᵀX₁ loses about
    # log10 cond([1 | X]) digits, hence 10·ε·cond.
    z, x, y = endogenous_data(40, 2, 2, 5)
    x[:, 1] = x[:, 0] + spread * x[:, 1]
    z1, x1 = np.column_stack([np.ones(40), z]), np.column_stack([np.ones(40), x])
    with mpmath.workdps(50):
        zm = mpmath.matrix(z1.tolist())
        beta = mpmath.inverse(zm.T * mpmath.matrix(x1.tolist())) * (zm.T * mpmath.matrix(y.tolist()))
        beta = np.array([float(b) for b in beta])
    m = fitted(korvalis.IV, z, x, y)
    assert_close(params_of(m), beta, 10 * np.finfo(float).eps * np.linalg.cond(x1))


def weak_instrument_data():
    # A weak instrument and a target unrelated to x: the structural fit is far worse than the mean.
    rng = np.random.default_rng(0)
    z = rng.standard_normal((40, 1))
    return z, 0.05 * z + rng.standard_normal((40, 1)), rng.standard_normal(40)


@pytest.mark.parametrize("cls", [korvalis.IV, korvalis.TSLS], ids=["IV", "TSLS"])
def test_r_squared_is_neither_clamped_nor_an_indicator(cls):
    # NumPy: 1 − SSR/TSS of the structural residuals, here below −1; exactly 0.0 for a constant target.
    z, x, y = weak_instrument_data()
    m = fitted(cls, z, x, y)
    r = y - m.predict(x)
    assert 1 - r @ r / np.sum((y - y.mean()) ** 2) < -1
    assert_close(m.r_squared, 1 - r @ r / np.sum((y - y.mean()) ** 2))
    assert fitted(cls, z, x, np.full(40, 4.0)).r_squared == 0.0


# --- failures -------------------------------------------------------------------------------

EXACT = ("IV estimator requires exactly the same number of instruments as regressors (exact identification). "
         "For overidentified cases, use TSLS estimator.")
SAMPLES = "Number of samples must be greater than number of regressors"
SINGULAR = "Z'X matrix is singular. Check instrument-regressor correlation."


def inputs(nz, kz, nx, kx, ny, zero_instrument=False):
    rng = np.random.default_rng(0)
    z, x, y = rng.standard_normal((nz, kz)), rng.standard_normal((nx, kx)), rng.standard_normal(ny)
    if zero_instrument:
        z[:, 1] = 0.0
    return z, x, y


FAILURES = {
    # Each case also breaks every later rule, so the first rule in the order must win.
    "targets-first": ((5, 3, 4, 2, 6), True, "Instruments and targets must have the same number of samples"),
    "regressor-rows": ((2, 3, 4, 2, 2), True, "Regressors and targets must have the same number of samples"),
    "overidentified": ((2, 3, 2, 2, 2), True, EXACT),
    "underidentified": ((8, 1, 8, 2, 8), True, EXACT),
    "n-eq-k": ((2, 2, 2, 2, 2), True, SAMPLES),
    "n-eq-k-no-intercept": ((2, 2, 2, 2, 2), False, SAMPLES),
    "empty": ((0, 2, 0, 2, 0), True, SAMPLES),
    "zero-instrument": ((3, 2, 3, 2, 3, True), True, SINGULAR),
    "zero-instrument-no-intercept": ((20, 2, 20, 2, 20, True), False, SINGULAR),
    "n-eq-k-plus-1": ((3, 2, 3, 2, 3), True, "Insufficient degrees of freedom for covariance estimation"),
}


@pytest.mark.parametrize("shapes,fit_intercept,message", FAILURES.values(), ids=FAILURES.keys())
def test_failures_in_order_leave_a_new_object_unfitted(shapes, fit_intercept, message):
    m = korvalis.IV(fit_intercept=fit_intercept)
    with pytest.raises(ValueError) as err:
        m.fit(*inputs(*shapes))
    assert str(err.value) == message
    assert snapshot(CASE, m) == snapshot(CASE, korvalis.IV(fit_intercept=fit_intercept))


@pytest.mark.parametrize("case", [c for c, (_, fi, _) in FAILURES.items() if fi])
def test_failed_refit_changes_nothing(case):
    m = fitted(korvalis.IV, *endogenous_data(30, 2, 2, 8))
    before = snapshot(CASE, m)
    with pytest.raises(ValueError):
        m.fit(*inputs(*FAILURES[case][0]))
    assert snapshot(CASE, m) == before


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf], ids=["nan", "inf", "minus-inf"])
@pytest.mark.parametrize("n", [8, 40])
@pytest.mark.parametrize("where", ["instruments", "regressors", "targets"])
def test_non_finite_input_is_named_or_propagates(where, n, value, capfd):
    # A NaN or ±∞ in the instruments or regressors is named as such, not reported as a singular
    # Z'X; one in the targets flows into the results. Nothing is printed.
    z, x, y = endogenous_data(n, 2, 2, 15)
    {"instruments": z, "regressors": x, "targets": y}[where].flat[3] = value
    m = fitted(korvalis.IV, *endogenous_data(30, 2, 2, 8))
    before = snapshot(CASE, m)
    if where == "targets":
        m.fit(z, x, y)
        assert not np.isfinite(m.coefficients).all() and not np.isfinite(m.residuals[3])
    else:
        with pytest.raises(ValueError) as err:
            m.fit(z, x, y)
        assert str(err.value) == "Input contains NaN or infinite values"
        assert snapshot(CASE, m) == before
    assert capfd.readouterr() == ("", "")


# --- prediction, arrays, inference, report -------------------------------------------------

@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_targets_minus_predictions_are_the_residuals(fit_intercept):
    z, x, y = endogenous_data(35, 3, 3, 10)
    m = fitted(korvalis.IV, z, x, y, fit_intercept)
    assert_close(y - m.predict(x), m.residuals)


@pytest.mark.parametrize("cls", [korvalis.IV, korvalis.TSLS], ids=["IV", "TSLS"])
@pytest.mark.parametrize("fit,cols,message", [
    pytest.param(False, 2, "Model not fitted", id="unfitted"),
    pytest.param(True, 1, "Feature count mismatch: expected 2, got 1", id="fewer-columns"),
    pytest.param(True, 3, "Feature count mismatch: expected 2, got 3", id="more-columns"),
])
def test_predict_errors(cls, fit, cols, message):
    m = fitted(cls, *endogenous_data(30, 2, 3 if cls is korvalis.TSLS else 2, 12)) if fit else cls()
    with pytest.raises(ValueError) as err:
        m.predict(np.ones((4, cols)))
    assert str(err.value) == message


def test_inputs_are_not_written_and_layouts_agree():
    z, x, y = endogenous_data(40, 2, 2, 13)
    copies = [a.copy() for a in (z, x, y)]
    base = fitted(korvalis.IV, z, x, y)
    for a, c in zip((z, x, y), copies):
        np.testing.assert_array_equal(a, c)
    wide = np.zeros((40, 4))
    wide[:, ::2] = x
    for zz, xx, yy in [(np.asfortranarray(z), np.asfortranarray(x), y), (z, wide[:, ::2], y),
                       (z[::-1], x[::-1], y[::-1])]:
        m = fitted(korvalis.IV, zz, xx, yy)
        assert_close(params_of(m), params_of(base), 1e-12)
        assert_close(m.covariance_matrix, base.covariance_matrix, 1e-12)


@pytest.mark.parametrize("n,fit_intercept", [
    pytest.param(20, True, id="df17"),
    pytest.param(33, True, id="df30"),
    pytest.param(34, True, id="df31-normal"),
    pytest.param(20, False, id="df18-no-intercept"),
])
def test_p_values_and_intervals_use_n_minus_p(n, fit_intercept):
    # SciPy's t (df ≤ 30) or normal distribution with df = n − p; linearmodels' p-values for df ≤ 30.
    z, x, y = endogenous_data(n, 2, 2, 16)
    m = fitted(korvalis.IV, z, x, y, fit_intercept)
    df = n - 2 - fit_intercept
    b, s = m.coefficients, m.standard_errors()
    assert_close(m.p_values(), [rr.p_value(t, df) for t in b / s], 1e-9)
    assert_close(m.confidence_intervals(), np.column_stack([b - rr.critical(df) * s, b + rr.critical(df) * s]))
    if df <= 30:
        assert_close(m.p_values(), linearmodels_fit(z, x, y, fit_intercept).pvalues[int(fit_intercept):], 1e-8)


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_report(fit_intercept):
    z, x, y = endogenous_data(24, 2, 2, 17)
    text = fitted(korvalis.IV, z, x, y, fit_intercept).summary()
    ref = linearmodels_fit(z, x, y, fit_intercept)
    assert text == expected_report("IV", "Instrumental Variables", ref, y, fit_intercept, text)


def test_unfitted_object():
    m = korvalis.IV(fit_intercept=False)
    assert m.fit_intercept is False and not m.is_fitted()
    assert all(getattr(m, name) is None for name in ATTRIBUTES)
    assert m.standard_errors() is m.t_statistics() is m.p_values() is m.confidence_intervals() is None
    text = m.summary()
    assert text.startswith(" " * 28 + "IV\n") and "x1" not in text and "Mean Squared Error:" not in text
    assert repr(m).startswith("<builtins.IV object at ")
    assert korvalis.IV.__doc__.startswith("Instrumental Variables (IV) regression estimator for exactly identified")
