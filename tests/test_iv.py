"""IV: exactly identified instrumental variables.

References: linearmodels.IV2SLS (unadjusted covariance, debiased, constant among the exogenous
regressors), the closed form (ZᵀX)⁻¹Zᵀy with its sandwich written in NumPy and, for ill-conditioned
data, in 50-digit mpmath, and statsmodels OLS for the identity Z = X.
"""

import mpmath
import numpy as np
import pytest
import statsmodels.api as sm
from scipy import stats
from linearmodels.iv import IV2SLS

import korvalis

ATTRIBUTES = ("coefficients", "intercept", "covariance_matrix", "mse", "r_squared", "residuals", "n_samples",
              "n_features")


def endogenous_data(n, k, seed, const=1.5):
    """k endogenous regressors, k instruments, structural error correlated with X."""
    rng = np.random.default_rng(seed)
    z = rng.standard_normal((n, k))
    u = rng.standard_normal(n)
    pi = np.eye(k) + 0.3 * rng.standard_normal((k, k))
    x = z @ pi + 0.6 * u[:, None] + 0.5 * rng.standard_normal((n, k))
    beta = np.array([2.0, -1.0, 0.5, 3.0, -2.5][:k])
    y = const + x @ beta + u
    return z, x, y


def assert_close(actual, expected, rtol=1e-10):
    """Relative to the largest expected magnitude, so entries near zero are judged on the array's scale."""
    expected = np.asarray(expected, dtype=float)
    atol = rtol * float(np.max(np.abs(expected))) if expected.size else 0.0
    np.testing.assert_allclose(actual, expected, rtol=rtol, atol=atol)


def fitted(z, x, y, fit_intercept=True):
    m = korvalis.IV(fit_intercept=fit_intercept)
    m.fit(z, x, y)
    return m


def snapshot(m):
    state = {name: getattr(m, name) for name in ATTRIBUTES}
    state["standard_errors"] = m.standard_errors()
    state["t_statistics"] = m.t_statistics()
    state["is_fitted"] = m.is_fitted()
    return state


def assert_same_state(a, b):
    assert a.keys() == b.keys()
    for key in a:
        if isinstance(a[key], np.ndarray):
            np.testing.assert_array_equal(a[key], b[key], err_msg=key)
        else:
            assert a[key] == b[key], key


# --- against linearmodels -------------------------------------------------------------------

CASES = [
    pytest.param(40, 1, 0, id="n40-k1"),
    pytest.param(60, 2, 1, id="n60-k2"),
    pytest.param(25, 3, 2, id="n25-k3"),
    pytest.param(300, 4, 3, id="n300-k4"),
]


@pytest.mark.parametrize("n,k,seed", CASES)
def test_matches_linearmodels_with_constant(n, k, seed):
    # linearmodels.IV2SLS with the constant as an exogenous regressor, exactly identified.
    z, x, y = endogenous_data(n, k, seed)
    m = fitted(z, x, y)
    ref = IV2SLS(y, np.ones((n, 1)), x, z).fit(cov_type="unadjusted", debiased=True)
    assert_close(m.intercept, ref.params.values[0])
    assert_close(m.coefficients, ref.params.values[1:])
    assert_close(m.covariance_matrix, ref.cov.values)
    assert_close(m.standard_errors(), ref.std_errors.values[1:])
    assert_close(m.t_statistics(), ref.tstats.values[1:])
    assert_close(m.residuals, ref.resids.values)
    assert_close(m.mse, ref.s2)
    assert_close(m.r_squared, ref.rsquared)
    assert (m.n_samples, m.n_features) == (n, k)


@pytest.mark.parametrize("n,k,seed", CASES)
def test_matches_linearmodels_without_constant(n, k, seed):
    # linearmodels.IV2SLS with no exogenous regressors; R² is not compared (linearmodels uses an
    # uncentred total sum of squares without a constant).
    z, x, y = endogenous_data(n, k, seed)
    m = fitted(z, x, y, fit_intercept=False)
    ref = IV2SLS(y, None, x, z).fit(cov_type="unadjusted", debiased=True)
    assert m.intercept is None
    assert_close(m.coefficients, ref.params.values)
    assert m.covariance_matrix.shape == (k, k)
    assert_close(m.covariance_matrix, ref.cov.values)
    assert_close(m.standard_errors(), ref.std_errors.values)
    assert_close(m.residuals, ref.resids.values)
    assert_close(m.mse, ref.s2)


# --- against the closed form ----------------------------------------------------------------

@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
@pytest.mark.parametrize("n,k,seed", CASES)
def test_closed_form_and_sandwich(n, k, seed, fit_intercept):
    # β = (Z₁ᵀX₁)⁻¹Z₁ᵀy and V = σ²(Z₁ᵀX₁)⁻¹(Z₁ᵀZ₁)(X₁ᵀZ₁)⁻¹, by NumPy solves instead of an inverse.
    z, x, y = endogenous_data(n, k, seed)
    if fit_intercept:
        z1, x1 = np.column_stack([np.ones(n), z]), np.column_stack([np.ones(n), x])
    else:
        z1, x1 = z, x
    p = x1.shape[1]
    beta = np.linalg.solve(z1.T @ x1, z1.T @ y)
    r = y - x1 @ beta
    sigma2 = r @ r / (n - p)
    left = np.linalg.solve(z1.T @ x1, z1.T @ z1)
    v = sigma2 * np.linalg.solve(z1.T @ x1, left.T).T
    m = fitted(z, x, y, fit_intercept)
    params = np.r_[m.intercept, m.coefficients] if fit_intercept else m.coefficients
    assert_close(params, beta)
    assert_close(m.residuals, r)
    assert_close(m.mse, sigma2)
    assert_close(m.covariance_matrix, v)
    assert_close(m.standard_errors(), np.sqrt(np.diag(v))[p - k:])
    # R² is the coefficient of determination of the structural residuals, 1 − SSR/TSS.
    assert_close(m.r_squared, 1 - r @ r / np.sum((y - y.mean()) ** 2))


@pytest.mark.parametrize("spread", [1e-3, 1e-5, 1e-7])
def test_ill_conditioned_regressors_against_mpmath(spread):
    # Two nearly equal regressors; the closed form in 50 digits. One LU solve of Z₁ᵀX₁ loses
    # about log10 cond([1 | X]) digits, hence a tolerance of 10·ε·cond.
    rng = np.random.default_rng(5)
    n = 40
    z = rng.standard_normal((n, 2))
    u = rng.standard_normal(n)
    x = z + 0.5 * u[:, None] + rng.standard_normal((n, 2))
    x[:, 1] = x[:, 0] + spread * x[:, 1]
    y = 1.0 + x @ [2.0, -1.0] + u
    z1, x1 = np.column_stack([np.ones(n), z]), np.column_stack([np.ones(n), x])
    with mpmath.workdps(50):
        zm = mpmath.matrix(z1.tolist())
        beta = mpmath.inverse(zm.T * mpmath.matrix(x1.tolist())) * (zm.T * mpmath.matrix(y.tolist()))
        beta = np.array([float(b) for b in beta])
    m = fitted(z, x, y)
    assert_close(np.r_[m.intercept, m.coefficients], beta, 10 * np.finfo(float).eps * np.linalg.cond(x1))


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_instruments_equal_to_regressors_give_ols(fit_intercept):
    # statsmodels OLS: with Z = X the IV estimate is least squares and V = σ²(XᵀX)⁻¹.
    rng = np.random.default_rng(7)
    x = rng.standard_normal((50, 3))
    y = 0.7 + x @ [1.0, -2.0, 0.25] + rng.standard_normal(50)
    m = fitted(x, x, y, fit_intercept)
    ref = sm.OLS(y, sm.add_constant(x) if fit_intercept else x).fit()
    params = np.r_[m.intercept, m.coefficients] if fit_intercept else m.coefficients
    assert_close(params, ref.params)
    assert_close(m.covariance_matrix, ref.cov_params())
    assert_close(m.residuals, ref.resid)
    assert_close(m.mse, ref.scale)
    if fit_intercept:
        assert_close(m.r_squared, ref.rsquared)


def test_r_squared_is_not_clamped():
    # A weak instrument and a target unrelated to x: the structural fit is far worse than the
    # mean, and R² = 1 − SSR/TSS (NumPy) falls below −1 as computed.
    rng = np.random.default_rng(0)
    n = 40
    z = rng.standard_normal((n, 1))
    x = 0.05 * z + rng.standard_normal((n, 1))
    y = rng.standard_normal(n)
    m = fitted(z, x, y)
    r = y - m.intercept - x[:, 0] * m.coefficients[0]
    expected = 1 - r @ r / np.sum((y - y.mean()) ** 2)
    assert expected < -1
    assert_close(m.r_squared, expected)


def test_constant_target_has_r_squared_zero():
    # |TSS| below the guard gives exactly 0.0.
    z, x, _ = endogenous_data(20, 2, 4)
    m = fitted(z, x, np.full(20, 4.0))
    assert m.r_squared == 0.0


def test_no_regressors_estimates_the_mean():
    # k = 0 with an intercept: Z₁ = X₁ = 1, the intercept is ȳ with variance σ²/n.
    y = np.array([1.0, 4.0, 2.0, 7.0, 3.0])
    m = fitted(np.empty((5, 0)), np.empty((5, 0)), y)
    assert_close(m.intercept, y.mean())
    assert m.coefficients.shape == (0,)
    assert_close(m.covariance_matrix, [[y.var(ddof=1) / 5]])


# --- validation -----------------------------------------------------------------------------

EXACT = ("IV estimator requires exactly the same number of instruments as regressors (exact identification). "
         "For overidentified cases, use TSLS estimator.")


def arrays(nz, kz, nx, kx, ny):
    rng = np.random.default_rng(0)
    return rng.standard_normal((nz, kz)), rng.standard_normal((nx, kx)), rng.standard_normal(ny)


@pytest.mark.parametrize("shapes,fit_intercept,message", [
    # Each case also breaks every later rule, so the first rule in the order must win.
    pytest.param((5, 3, 4, 2, 6), True, "Instruments and targets must have the same number of samples",
                 id="targets-first"),
    pytest.param((2, 3, 4, 2, 2), True, "Regressors and targets must have the same number of samples",
                 id="regressor-rows"),
    pytest.param((2, 3, 2, 2, 2), True, EXACT, id="overidentified"),
    pytest.param((8, 1, 8, 2, 8), True, EXACT, id="underidentified"),
    pytest.param((2, 2, 2, 2, 2), True, "Number of samples must be greater than number of regressors", id="n-eq-k"),
    pytest.param((2, 2, 2, 2, 2), False, "Number of samples must be greater than number of regressors",
                 id="n-eq-k-no-intercept"),
    pytest.param((0, 2, 0, 2, 0), True, "Number of samples must be greater than number of regressors", id="empty"),
    pytest.param((3, 2, 3, 2, 3), True, "Insufficient degrees of freedom for covariance estimation",
                 id="n-eq-k-plus-1"),
])
def test_validation_messages_in_order(shapes, fit_intercept, message):
    m = korvalis.IV(fit_intercept=fit_intercept)
    with pytest.raises(ValueError) as err:
        m.fit(*arrays(*shapes))
    assert str(err.value) == message
    assert not m.is_fitted()
    assert all(getattr(m, name) is None for name in ATTRIBUTES)
    assert m.standard_errors() is None and m.t_statistics() is None


def test_n_eq_k_plus_1_without_intercept_fits():
    z, x, y = arrays(3, 2, 3, 2, 3)
    m = fitted(z, x, y, fit_intercept=False)
    assert m.is_fitted() and m.covariance_matrix.shape == (2, 2)
    r = y - x @ m.coefficients
    assert_close(m.mse, r @ r / 1)


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_zero_instrument_column_is_singular(fit_intercept):
    z, x, y = endogenous_data(20, 2, 5)
    z[:, 1] = 0.0
    with pytest.raises(ValueError) as err:
        korvalis.IV(fit_intercept=fit_intercept).fit(z, x, y)
    assert str(err.value) == "Z'X matrix is singular. Check instrument-regressor correlation."


def failing_inputs():
    z, x, y = endogenous_data(20, 2, 6)
    zero = z.copy()
    zero[:, 0] = 0.0
    return {
        "targets": (z, x, y[:-1]),
        "regressor-rows": (z, x[:-1], y),
        "identification": (np.column_stack([z, z[:, 0]]), x, y),
        "samples": (z[:2], x[:2], y[:2]),
        "degrees-of-freedom": (z[:3], x[:3], y[:3]),
        "singular": (zero, x, y),
    }


@pytest.mark.parametrize("case", list(failing_inputs()))
def test_failed_refit_changes_nothing(case):
    z, x, y = endogenous_data(30, 2, 8)
    m = fitted(z, x, y)
    before = snapshot(m)
    with pytest.raises(ValueError):
        m.fit(*failing_inputs()[case])
    assert_same_state(before, snapshot(m))


def test_refit_replaces_state():
    # linearmodels on the second data set: nothing of the first fit survives.
    m = fitted(*endogenous_data(30, 2, 8))
    z, x, y = endogenous_data(45, 1, 9)
    m.fit(z, x, y)
    ref = IV2SLS(y, np.ones((45, 1)), x, z).fit(cov_type="unadjusted", debiased=True)
    assert_close(np.r_[m.intercept, m.coefficients], ref.params.values)
    assert m.residuals.shape == (45,) and m.covariance_matrix.shape == (2, 2)


# --- prediction -----------------------------------------------------------------------------

@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_targets_minus_predictions_are_the_residuals(fit_intercept):
    z, x, y = endogenous_data(35, 3, 10)
    m = fitted(z, x, y, fit_intercept)
    assert_close(y - m.predict(x), m.residuals)


def test_predict_new_rows():
    # NumPy: X·β + intercept on rows the model has not seen.
    z, x, y = endogenous_data(35, 2, 11)
    m = fitted(z, x, y)
    new = np.array([[0.5, -1.0], [2.0, 0.0], [0.0, 0.0]])
    assert_close(m.predict(new), new @ m.coefficients + m.intercept)
    assert m.predict(np.empty((0, 2))).shape == (0,)


def test_predict_unfitted():
    m = korvalis.IV()
    with pytest.raises(ValueError) as err:
        m.predict(np.ones((3, 2)))
    assert str(err.value) == "Model not fitted"


@pytest.mark.parametrize("cols", [1, 3], ids=["fewer", "more"])
def test_predict_feature_count_mismatch(cols):
    m = fitted(*endogenous_data(30, 2, 12))
    with pytest.raises(ValueError) as err:
        m.predict(np.ones((4, cols)))
    assert str(err.value) == f"Feature count mismatch: expected 2, got {cols}"


# --- arrays in and out ----------------------------------------------------------------------

def test_inputs_are_not_written_and_layouts_agree():
    z, x, y = endogenous_data(40, 2, 13)
    copies = [a.copy() for a in (z, x, y)]
    base = fitted(z, x, y)
    for a, c in zip((z, x, y), copies):
        np.testing.assert_array_equal(a, c)
    # Fortran order, a column-strided view and reversed rows read the same numbers.
    wide = np.zeros((40, 4))
    wide[:, ::2] = x
    layouts = [
        (np.asfortranarray(z), np.asfortranarray(x), y),
        (z, wide[:, ::2], y),
        (z[::-1], x[::-1], y[::-1]),
    ]
    for zz, xx, yy in layouts:
        m = fitted(zz, xx, yy)
        assert_close(m.coefficients, base.coefficients, rtol=1e-12)
        assert_close(m.covariance_matrix, base.covariance_matrix, rtol=1e-12)


def test_returned_arrays_are_copies():
    m = fitted(*endogenous_data(30, 2, 14))
    before = snapshot(m)
    m.covariance_matrix[0, 0] = 1e9
    m.coefficients[0] = 1e9
    m.residuals[0] = 1e9
    m.standard_errors()[0] = 1e9
    assert_same_state(before, snapshot(m))


def test_unfitted_object():
    m = korvalis.IV(fit_intercept=False)
    assert m.fit_intercept is False and not m.is_fitted()
    assert all(getattr(m, name) is None for name in ATTRIBUTES)
    assert m.standard_errors() is None and m.t_statistics() is None
    assert m.p_values() is None and m.confidence_intervals() is None


def test_surface():
    assert repr(korvalis.IV()).startswith("<builtins.IV object at ")
    assert korvalis.IV.__doc__.startswith("Instrumental Variables (IV) regression estimator for exactly identified")
    assert korvalis.IV.__doc__.endswith("and y is the dependent variable.")


@pytest.mark.parametrize("value", [np.nan, np.inf], ids=["nan", "inf"])
@pytest.mark.parametrize("where", ["instruments", "regressors", "targets"])
def test_non_finite_input_fails_or_propagates(where, value, capfd):
    # Inputs are not screened: the fit either reports the singular Z'X or carries the non-finite
    # value into its results; nothing is printed.
    z, x, y = endogenous_data(10, 2, 15)
    {"instruments": z, "regressors": x, "targets": y}[where].flat[3] = value
    m = korvalis.IV()
    try:
        m.fit(z, x, y)
    except ValueError as err:
        assert str(err) == "Z'X matrix is singular. Check instrument-regressor correlation."
        assert not m.is_fitted()
    else:
        assert not np.isfinite(m.coefficients).all() or not np.isfinite(m.residuals).all()
    assert capfd.readouterr() == ("", "")


# --- inference and the report ---------------------------------------------------------------

def reference_p_values(t, df):
    # SciPy: Student's t for 1 ≤ df ≤ 30, the standard normal from df = 31.
    return 2 * (stats.t.sf(np.abs(t), df) if df <= 30 else stats.norm.sf(np.abs(t)))


def reference_critical_value(df):
    return stats.t.ppf(0.975, df) if df <= 30 else 1.96


@pytest.mark.parametrize("n,fit_intercept", [
    pytest.param(20, True, id="df17"),
    pytest.param(33, True, id="df30"),
    pytest.param(34, True, id="df31"),
    pytest.param(20, False, id="df18-no-intercept"),
])
def test_p_values_and_intervals_use_n_minus_p(n, fit_intercept):
    # SciPy's t and normal distributions with df = n − p; for df ≤ 30 also linearmodels (debiased).
    z, x, y = endogenous_data(n, 2, 16)
    m = fitted(z, x, y, fit_intercept)
    df = n - 2 - fit_intercept
    t = m.coefficients / m.standard_errors()
    assert_close(m.p_values(), reference_p_values(t, df), 1e-9)
    c = reference_critical_value(df)
    assert_close(m.confidence_intervals(),
                 np.column_stack([m.coefficients - c * m.standard_errors(), m.coefficients + c * m.standard_errors()]),
                 1e-9)
    if df <= 30:
        ref = IV2SLS(y, np.ones((n, 1)) if fit_intercept else None, x, z).fit(cov_type="unadjusted", debiased=True)
        assert_close(m.p_values(), ref.pvalues.values[int(fit_intercept):], 1e-8)


def report_rows(name, b, s, df):
    t = b / s
    p = reference_p_values(t, df)
    c = reference_critical_value(df)
    return f"{name:<15} {b:10.4f} {s:10.3f} {t:10.3f} {p:10.3f} {b - c * s:7.3f} {b + c * s:7.3f}\n"


def pair_line(label, value, label2, number):
    return f"{label:<25} {value:<25} {label2:<25} {number:12.3f}\n"


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_summary(fit_intercept):
    # Layout constants of the IV report; numbers from linearmodels (R²) and SciPy (p-values, bounds).
    n, k = 24, 2
    z, x, y = endogenous_data(n, k, 17)
    m = fitted(z, x, y, fit_intercept)
    df = n - k - fit_intercept
    text = m.summary()
    lines = text.splitlines(keepends=True)
    assert lines[0] == " " * 28 + "IV\n"
    assert lines[1] == "=" * 78 + "\n"
    assert f"{'Model:':<25} {'IV':<25} {'Adj. R-squared:':<25}" in text
    assert f"{'Method:':<25} {'Instrumental Variables':<25} {'F-statistic:':<25}" in text
    assert f"{'No. Observations:':<25} {n:<25} " in text
    assert f"{'Df Residuals:':<25} {df:<25} " in text
    assert f"{'Df Model:':<25} {k:<25}\n" in text
    assert f"{'Covariance Type:':<25} {'nonrobust':<25}\n" in text
    if fit_intercept:
        ref = IV2SLS(y, np.ones((n, 1)), x, z).fit(cov_type="unadjusted", debiased=True)
        assert pair_line("Dep. Variable:", "y", "R-squared:", ref.rsquared) in text
        assert f"{'Adj. R-squared:':<25} {ref.rsquared_adj:12.3f}\n" in text
    rows = [report_rows(f"x{i + 1}", b, s, df) for i, (b, s) in enumerate(zip(m.coefficients, m.standard_errors()))]
    if fit_intercept:
        rows.insert(0, report_rows("const", m.intercept, np.sqrt(m.covariance_matrix[0, 0]), df))
    table = lines.index("-" * 78 + "\n") + 1
    assert lines[table:table + len(rows)] == rows
    assert lines[table + len(rows)] == "=" * 78 + "\n"
    mse_line = f"{'Mean Squared Error:':<25} {m.mse:12.3f} {'Root MSE:':<25} {np.sqrt(m.mse):12.3f}\n"
    assert lines[-2:] == [mse_line, "=" * 78 + "\n"]
    assert "Diagnostic Notes:" not in text


def test_summary_unfitted_has_no_rows():
    text = korvalis.IV().summary()
    assert text.startswith(" " * 28 + "IV\n")
    assert "const" not in text and "x1" not in text and "Mean Squared Error:" not in text
