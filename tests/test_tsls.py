"""TSLS: two-stage least squares with the constant among the first-stage instruments.

References: linearmodels.IV2SLS (unadjusted covariance, debiased, constant among the exogenous
regressors), statsmodels OLS where the first stage interpolates, korvalis.IV for q = k (an identity
checked against linearmodels in test_iv.py), a 50-digit mpmath computation for ill-conditioned data,
and invariances of the projection on the instruments.
"""

import mpmath
import numpy as np
import pytest
import statsmodels.api as sm
from scipy import stats
from linearmodels.iv import IV2SLS

import korvalis

ATTRIBUTES = ("coefficients", "intercept", "mse", "r_squared", "residuals", "n_samples", "n_features",
              "covariance_matrix")


def endogenous_data(n, k, q, seed, const=1.5):
    """k endogenous regressors, q ≥ k instruments, structural error correlated with X."""
    rng = np.random.default_rng(seed)
    z = rng.standard_normal((n, q))
    u = rng.standard_normal(n)
    pi = 0.3 * rng.standard_normal((q, k))
    pi[:k] += np.eye(k)
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
    m = korvalis.TSLS(fit_intercept=fit_intercept)
    m.fit(z, x, y)
    return m


def params_of(m):
    return np.r_[m.intercept, m.coefficients] if m.fit_intercept else m.coefficients


def snapshot(m):
    state = {name: getattr(m, name) for name in ATTRIBUTES}
    state["standard_errors"] = m.standard_errors()
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

# n, k, q, seed. With an intercept the first stage takes the normal equations when n > 3(q + 1),
# the second when n > 3(k + 1); both sides of each threshold are covered.
CASES = [
    pytest.param(60, 2, 3, 0, id="overid-n60"),
    pytest.param(200, 1, 4, 1, id="overid-n200"),
    pytest.param(30, 2, 2, 2, id="exact-n30"),
    pytest.param(10, 1, 2, 3, id="stage1-normal-n10"),
    pytest.param(9, 1, 2, 4, id="stage1-svd-n9"),
    pytest.param(7, 1, 1, 5, id="stage2-normal-n7"),
    pytest.param(6, 1, 1, 6, id="stage2-svd-n6"),
    pytest.param(12, 3, 5, 7, id="small-overid"),
]


@pytest.mark.parametrize("n,k,q,seed", CASES)
def test_matches_linearmodels_with_constant(n, k, q, seed):
    # linearmodels.IV2SLS with the constant among the exogenous regressors (so also an instrument).
    z, x, y = endogenous_data(n, k, q, seed)
    m = fitted(z, x, y)
    ref = IV2SLS(y, np.ones((n, 1)), x, z).fit(cov_type="unadjusted", debiased=True)
    assert_close(m.intercept, ref.params.values[0])
    assert_close(m.coefficients, ref.params.values[1:])
    assert m.covariance_matrix.shape == (k + 1, k + 1)
    assert_close(m.covariance_matrix, ref.cov.values)
    assert_close(m.standard_errors(), ref.std_errors.values[1:])
    assert_close(np.sqrt(m.covariance_matrix[0, 0]), ref.std_errors.values[0])
    assert_close(m.residuals, ref.resids.values)
    assert_close(m.mse, ref.s2)
    assert_close(m.r_squared, ref.rsquared)
    assert (m.n_samples, m.n_features) == (n, k)


@pytest.mark.parametrize("n,k,q,seed", CASES)
def test_matches_linearmodels_without_constant(n, k, q, seed):
    # linearmodels.IV2SLS with no exogenous regressors; R² is not compared (linearmodels uses an
    # uncentred total sum of squares without a constant).
    z, x, y = endogenous_data(n, k, q, seed, const=0.0)
    m = fitted(z, x, y, fit_intercept=False)
    ref = IV2SLS(y, None, x, z).fit(cov_type="unadjusted", debiased=True)
    assert m.intercept is None
    assert_close(m.coefficients, ref.params.values)
    assert_close(m.covariance_matrix, ref.cov.values)
    assert_close(m.standard_errors(), ref.std_errors.values)
    assert_close(m.residuals, ref.resids.values)
    assert_close(m.mse, ref.s2)


# --- identities -----------------------------------------------------------------------------

@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
@pytest.mark.parametrize("n,k,ill", [
    pytest.param(40, 2, False, id="n40-k2"),
    pytest.param(8, 2, False, id="n8-k2-svd"),
    pytest.param(100, 3, False, id="n100-k3"),
    pytest.param(60, 2, True, id="near-collinear-instruments"),
])
def test_exactly_identified_equals_iv(n, k, ill, fit_intercept):
    # korvalis.IV on the same data. TSLS works through Gram matrices, which square the condition
    # number, so the tolerance follows cond([1 | Z])².
    z, x, y = endogenous_data(n, k, k, 11)
    if ill:
        z[:, 1] = z[:, 0] + 1e-4 * z[:, 1]
    w = np.column_stack([np.ones(n), z]) if fit_intercept else z
    rtol = max(1e-10, 1e-15 * np.linalg.cond(w) ** 2)
    t = fitted(z, x, y, fit_intercept)
    iv = korvalis.IV(fit_intercept=fit_intercept)
    iv.fit(z, x, y)
    assert_close(params_of(t), params_of(iv), rtol)
    assert_close(t.covariance_matrix, iv.covariance_matrix, rtol)
    assert_close(t.residuals, iv.residuals, rtol)
    assert_close(t.mse, iv.mse, rtol)
    assert_close(t.r_squared, iv.r_squared, rtol)


@pytest.mark.parametrize("position", [0, 2], ids=["first", "middle"])
@pytest.mark.parametrize("value", [1.0, 3.0, -0.1], ids=["ones", "threes", "minus-tenths"])
@pytest.mark.parametrize("n", [12, 16, 40, 400], ids=["n12-svd", "n16-normal", "n40", "n400"])
def test_constant_instrument_adds_nothing(n, value, position):
    # With an intercept the constant is already an instrument: a constant column among Z leaves the
    # span of [1 | Z], hence X̂ and every result, unchanged (the fit without it is the reference).
    z, x, y = endogenous_data(n, 2, 3, n)
    base = fitted(z, x, y)
    m = fitted(np.insert(z, position, value, axis=1), x, y)
    assert_close(params_of(m), params_of(base))
    assert_close(m.covariance_matrix, base.covariance_matrix)
    assert_close(m.residuals, base.residuals)
    assert_close(m.r_squared, base.r_squared)


@pytest.mark.parametrize("n", [12, 40], ids=["n12-svd", "n40-normal"])
def test_redundant_instrument_adds_nothing(n):
    # A column that is a linear combination of the others leaves the span of [1 | Z] unchanged.
    z, x, y = endogenous_data(n, 2, 3, 20 + n)
    base = fitted(z, x, y)
    m = fitted(np.column_stack([z, 2.0 * z[:, 0] - z[:, 2] + 0.5]), x, y)
    assert_close(params_of(m), params_of(base))
    assert_close(m.covariance_matrix, base.covariance_matrix)


@pytest.mark.parametrize("n", [12, 40], ids=["n12-svd", "n40-normal"])
def test_instrument_units_do_not_matter(n):
    # Rescaling instrument columns leaves their span unchanged, so every result is the same.
    z, x, y = endogenous_data(n, 2, 3, 30 + n)
    base = fitted(z, x, y)
    m = fitted(z * np.array([1e-7, 1.0, 1e7]), x, y)
    assert_close(params_of(m), params_of(base), 1e-9)
    assert_close(m.covariance_matrix, base.covariance_matrix, 1e-9)


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_interpolating_first_stage_gives_ols(fit_intercept):
    # n ≤ columns of [1 | Z]: X̂ = X, so the fit is least squares of y on [1 | X] (statsmodels OLS),
    # covariance s²(DᵀD)⁻¹ included.
    n, k = 7, 2
    q = n - 1 if fit_intercept else n
    z, x, y = endogenous_data(n, k, q, 40)
    m = fitted(z, x, y, fit_intercept)
    ref = sm.OLS(y, sm.add_constant(x) if fit_intercept else x).fit()
    assert_close(params_of(m), ref.params)
    assert_close(m.covariance_matrix, ref.cov_params())
    assert_close(m.residuals, ref.resid)
    if fit_intercept:
        assert_close(m.r_squared, ref.rsquared)


def tsls_in_mpmath(z, x, y):
    """θ = (DᵀD)⁻¹Dᵀy with D = [1 | X̂], X̂ = W(WᵀW)⁻¹WᵀX, W = [1 | Z]; V = s²(DᵀD)⁻¹ from y − [1 | X]θ."""
    with mpmath.workdps(50):
        n = len(y)
        w = mpmath.matrix(np.column_stack([np.ones(n), z]).tolist())
        xhat = w * (mpmath.inverse(w.T * w) * (w.T * mpmath.matrix(x.tolist())))
        d = mpmath.matrix(n, xhat.cols + 1)
        for i in range(n):
            d[i, 0] = 1
            for j in range(xhat.cols):
                d[i, j + 1] = xhat[i, j]
        dtd_inv = mpmath.inverse(d.T * d)
        theta = dtd_inv * (d.T * mpmath.matrix(y.tolist()))
        r = mpmath.matrix(y.tolist()) - mpmath.matrix(np.column_stack([np.ones(n), x]).tolist()) * theta
        v = dtd_inv * (sum(e ** 2 for e in r) / (n - d.cols))
        return (np.array([float(t) for t in theta]),
                np.array([[float(v[i, j]) for j in range(v.cols)] for i in range(v.rows)]))


@pytest.mark.parametrize("which,spread", [
    pytest.param("instruments", 1e-3, id="instruments-1e-3"),
    pytest.param("instruments", 1e-6, id="instruments-1e-6"),
    pytest.param("regressors", 1e-3, id="regressors-1e-3"),
    pytest.param("regressors", 1e-5, id="regressors-1e-5"),
])
def test_ill_conditioned_against_mpmath(which, spread):
    # Two nearly equal columns (condition numbers 2e3 to 2e6). The stages keep at least about nine
    # digits on the normal equations and switch to the orthogonal route below that, hence 1e-8.
    rng = np.random.default_rng(60)
    n = 40
    z = rng.standard_normal((n, 3))
    u = rng.standard_normal(n)
    if which == "instruments":
        z[:, 1] = z[:, 0] + spread * z[:, 1]
        x = z[:, [0, 2]] + 0.5 * u[:, None] + rng.standard_normal((n, 2))
    else:
        x = z[:, :2] + 0.5 * u[:, None] + rng.standard_normal((n, 2))
        x[:, 1] = x[:, 0] + spread * x[:, 1]
    y = 1.0 + x @ [2.0, -1.0] + u
    theta, v = tsls_in_mpmath(z, x, y)
    m = fitted(z, x, y)
    assert_close(params_of(m), theta, 1e-8)
    assert_close(m.covariance_matrix, v, 1e-8)


def test_r_squared_is_not_clamped():
    # A weak instrument and a target unrelated to x: R² = 1 − SSR/TSS (NumPy) lies below −1.
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
    z, x, _ = endogenous_data(30, 2, 3, 41)
    assert fitted(z, x, np.full(30, -2.0)).r_squared == 0.0


@pytest.mark.parametrize("n", [13, 5], ids=["normal", "svd"])
def test_no_regressors(n, capfd):
    # k = 0: with an intercept it is ȳ with variance s²/n (NumPy); without, nothing is estimated
    # and the residuals are y itself. Nothing is printed on the way.
    rng = np.random.default_rng(61)
    z, y = rng.standard_normal((n, 2)), rng.standard_normal(n)
    m = fitted(z, np.empty((n, 0)), y)
    assert_close(m.intercept, y.mean())
    assert_close(m.covariance_matrix, [[y.var(ddof=1) / n]])
    m = fitted(z, np.empty((n, 0)), y, fit_intercept=False)
    assert m.coefficients.shape == (0,) and m.covariance_matrix.shape == (0, 0)
    np.testing.assert_array_equal(m.residuals, y)
    assert_close(m.mse, y @ y / n)
    assert capfd.readouterr() == ("", "")


# --- validation -----------------------------------------------------------------------------

def arrays(nz, q, nx, k, ny):
    rng = np.random.default_rng(0)
    return rng.standard_normal((nz, q)), rng.standard_normal((nx, k)), rng.standard_normal(ny)


ROWS = "All inputs must have the same number of samples"
SAMPLES = "Number of samples must be greater than number of regressors"


@pytest.mark.parametrize("shapes,fit_intercept,message", [
    # Each case also breaks every later rule, so the first rule in the order must win.
    pytest.param((2, 1, 3, 2, 3), True, ROWS, id="instrument-rows"),
    pytest.param((2, 1, 2, 2, 3), True, ROWS, id="target-length"),
    pytest.param((3, 2, 2, 2, 2), True, ROWS, id="regressor-rows"),
    pytest.param((2, 1, 2, 2, 2), True, "TSLS requires at least as many instruments as regressors",
                 id="underidentified"),
    pytest.param((2, 2, 2, 2, 2), True, SAMPLES, id="n-eq-k"),
    pytest.param((2, 2, 2, 2, 2), False, SAMPLES, id="n-eq-k-no-intercept"),
    pytest.param((0, 3, 0, 2, 0), True, SAMPLES, id="empty"),
    pytest.param((3, 4, 3, 2, 3), True, "Insufficient degrees of freedom for covariance estimation",
                 id="n-eq-k-plus-1"),
])
def test_validation_messages_in_order(shapes, fit_intercept, message):
    m = korvalis.TSLS(fit_intercept=fit_intercept)
    with pytest.raises(ValueError) as err:
        m.fit(*arrays(*shapes))
    assert str(err.value) == message
    assert not m.is_fitted()
    assert all(getattr(m, name) is None for name in ATTRIBUTES)
    assert m.standard_errors() is None


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
@pytest.mark.parametrize("n", [8, 40], ids=["svd", "normal"])
def test_zero_regressor_is_singular(n, fit_intercept):
    # A zero regressor projects to a zero column of X̂: DᵀD has an exactly zero pivot.
    z, x, y = endogenous_data(n, 2, 3, 42)
    x[:, 1] = 0.0
    with pytest.raises(ValueError) as err:
        korvalis.TSLS(fit_intercept=fit_intercept).fit(z, x, y)
    assert str(err.value) == "X̂'X̂ matrix is singular"


@pytest.mark.parametrize("where", ["instruments", "regressors", "targets"])
@pytest.mark.parametrize("n", [8, 40], ids=["svd", "normal"])
def test_non_finite_input_fails_or_propagates(n, where, capfd):
    # Inputs are not screened for NaN: the fit either ends in a stage's failure or carries NaN
    # into its results, and LAPACK never prints.
    z, x, y = endogenous_data(n, 2, 3, 43)
    {"instruments": z, "regressors": x, "targets": y}[where].flat[3] = np.nan
    m = korvalis.TSLS()
    try:
        m.fit(z, x, y)
    except ValueError as err:
        assert str(err) in ("Failed to solve first stage regression", "Failed to solve second stage regression",
                            "X̂'X̂ matrix is singular")
        assert not m.is_fitted()
    else:
        assert np.isnan(m.coefficients).any() or np.isnan(m.residuals).any()
    assert capfd.readouterr() == ("", "")


def failing_inputs():
    z, x, y = endogenous_data(20, 2, 3, 44)
    zero = x.copy()
    zero[:, 0] = 0.0
    return {
        "rows": (z, x, y[:-1]),
        "instruments": (z[:, :1], x, y),
        "samples": (z[:2], x[:2], y[:2]),
        "degrees-of-freedom": (z[:3], x[:3], y[:3]),
        "singular": (z, zero, y),
    }


@pytest.mark.parametrize("case", list(failing_inputs()))
def test_failed_refit_changes_nothing(case):
    m = fitted(*endogenous_data(30, 2, 3, 45))
    before = snapshot(m)
    with pytest.raises(ValueError):
        m.fit(*failing_inputs()[case])
    assert_same_state(before, snapshot(m))


def test_refit_replaces_state():
    # linearmodels on the second data set: nothing of the first fit survives.
    m = fitted(*endogenous_data(30, 2, 3, 46))
    z, x, y = endogenous_data(50, 1, 2, 47)
    m.fit(z, x, y)
    ref = IV2SLS(y, np.ones((50, 1)), x, z).fit(cov_type="unadjusted", debiased=True)
    assert_close(params_of(m), ref.params.values)
    assert m.residuals.shape == (50,) and m.covariance_matrix.shape == (2, 2)


# --- prediction -----------------------------------------------------------------------------

@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_targets_minus_predictions_are_the_residuals(fit_intercept):
    z, x, y = endogenous_data(50, 2, 4, 48)
    m = fitted(z, x, y, fit_intercept)
    assert_close(y - m.predict(x), m.residuals)


def test_predict_new_rows():
    # NumPy: X·β + intercept on rows the model has not seen.
    m = fitted(*endogenous_data(35, 2, 3, 49))
    new = np.array([[0.5, -1.0], [2.0, 0.0]])
    assert_close(m.predict(new), new @ m.coefficients + m.intercept)


def test_predict_unfitted():
    with pytest.raises(ValueError) as err:
        korvalis.TSLS().predict(np.ones((3, 2)))
    assert str(err.value) == "Model not fitted"


@pytest.mark.parametrize("cols", [1, 3], ids=["fewer", "more"])
def test_predict_feature_count_mismatch(cols):
    m = fitted(*endogenous_data(30, 2, 3, 50))
    with pytest.raises(ValueError) as err:
        m.predict(np.ones((4, cols)))
    assert str(err.value) == f"Feature count mismatch: expected 2, got {cols}"


# --- arrays in and out ----------------------------------------------------------------------

@pytest.mark.parametrize("n", [9, 60], ids=["svd", "normal"])
def test_inputs_are_not_written_and_layouts_agree(n):
    z, x, y = endogenous_data(n, 2, 3, 51)
    copies = [a.copy() for a in (z, x, y)]
    base = fitted(z, x, y)
    for a, c in zip((z, x, y), copies):
        np.testing.assert_array_equal(a, c)
    wide = np.zeros((n, 6))
    wide[:, ::2] = z
    layouts = [
        (np.asfortranarray(z), np.asfortranarray(x), y),
        (wide[:, ::2], x, y),
        (z[::-1], x[::-1], y[::-1]),
    ]
    for zz, xx, yy in layouts:
        m = fitted(zz, xx, yy)
        assert_close(params_of(m), params_of(base), 1e-12)
        assert_close(m.covariance_matrix, base.covariance_matrix, 1e-12)


def test_returned_arrays_are_copies():
    m = fitted(*endogenous_data(30, 2, 3, 52))
    before = snapshot(m)
    m.covariance_matrix[0, 0] = 1e9
    m.coefficients[0] = 1e9
    m.residuals[0] = 1e9
    m.standard_errors()[0] = 1e9
    assert_same_state(before, snapshot(m))


def test_unfitted_object():
    m = korvalis.TSLS()
    assert m.fit_intercept is True and not m.is_fitted()
    assert all(getattr(m, name) is None for name in ATTRIBUTES)
    assert m.standard_errors() is None


@pytest.mark.parametrize("name", ["p_values", "t_statistics", "confidence_intervals"])
def test_reduced_method_set(name):
    assert not hasattr(korvalis.TSLS(), name)


def test_covariance_is_an_attribute():
    assert korvalis.TSLS().covariance_matrix is None
    assert repr(korvalis.TSLS()).startswith("<builtins.TSLS object at ")


# --- inference and the report ---------------------------------------------------------------

def reference_p_values(t, df):
    # SciPy: Student's t for 1 ≤ df ≤ 30, the standard normal from df = 31.
    return 2 * (stats.t.sf(np.abs(t), df) if df <= 30 else stats.norm.sf(np.abs(t)))


def reference_critical_value(df):
    return stats.t.ppf(0.975, df) if df <= 30 else 1.96


def report_rows(name, b, s, df):
    t = b / s
    p = reference_p_values(t, df)
    c = reference_critical_value(df)
    return f"{name:<15} {b:10.4f} {s:10.3f} {t:10.3f} {p:10.3f} {b - c * s:7.3f} {b + c * s:7.3f}\n"


def pair_line(label, value, label2, number):
    return f"{label:<25} {value:<25} {label2:<25} {number:12.3f}\n"


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_summary(fit_intercept):
    # Layout constants of the TSLS report; numbers from linearmodels (R²) and SciPy (p-values, bounds).
    n, k = 24, 2
    z, x, y = endogenous_data(n, k, 3, 17)
    m = fitted(z, x, y, fit_intercept)
    df = n - k - fit_intercept
    text = m.summary()
    lines = text.splitlines(keepends=True)
    assert lines[0] == " " * 28 + "TSLS\n"
    assert lines[1] == "=" * 78 + "\n"
    assert f"{'Model:':<25} {'TSLS':<25} {'Adj. R-squared:':<25}" in text
    assert f"{'Method:':<25} {'Two-Stage Least Squares':<25} {'F-statistic:':<25}" in text
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
    text = korvalis.TSLS().summary()
    assert text.startswith(" " * 28 + "TSLS\n")
    assert "const" not in text and "x1" not in text and "Mean Squared Error:" not in text
