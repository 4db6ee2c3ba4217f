"""TSLS: two-stage least squares with the constant among the first-stage instruments.

References: linearmodels.IV2SLS (unadjusted covariance, debiased, the constant among the exogenous
regressors), statsmodels OLS where the first stage interpolates, korvalis.IV for q = k (checked
against linearmodels in test_iv.py), a 50-digit mpmath computation for ill-conditioned data,
invariances of the projection on the instruments, and the reference rendering of the report.
"""

import mpmath
import numpy as np
import pytest
import statsmodels.api as sm

import korvalis
from estimators import CASE_BY_NAME, snapshot
from test_iv import ATTRIBUTES, assert_close, endogenous_data, expected_report, fitted, linearmodels_fit, params_of

CASE = CASE_BY_NAME["TSLS"]


def tsls(z, x, y, fit_intercept=True):
    return fitted(korvalis.TSLS, z, x, y, fit_intercept)


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


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["constant", "no-constant"])
@pytest.mark.parametrize("n,k,q,seed", CASES)
def test_matches_linearmodels(n, k, q, seed, fit_intercept):
    # R² only with a constant: linearmodels' total sum of squares is uncentred without one.
    z, x, y = endogenous_data(n, k, q, seed, const=1.5 if fit_intercept else 0.0)
    m = tsls(z, x, y, fit_intercept)
    ref = linearmodels_fit(z, x, y, fit_intercept)
    assert_close(params_of(m), ref.params)
    assert_close(m.covariance_matrix, ref.cov)
    assert_close(m.standard_errors(), ref.std_errors[int(fit_intercept):])
    assert_close(m.residuals, ref.resids)
    assert_close(m.mse, ref.s2)
    if fit_intercept:
        assert_close(m.r_squared, ref.rsquared)
    assert (m.n_samples, m.n_features) == (n, k)


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
@pytest.mark.parametrize("n,ill", [
    pytest.param(40, False, id="n40"),
    pytest.param(8, False, id="n8-svd"),
    pytest.param(60, True, id="near-collinear-instruments"),
])
def test_exactly_identified_equals_iv(n, ill, fit_intercept):
    # Gram matrices square the condition number, so the tolerance follows cond([1 | Z])².
    z, x, y = endogenous_data(n, 2, 2, 11)
    if ill:
        z[:, 1] = z[:, 0] + 1e-4 * z[:, 1]
    w = np.column_stack([np.ones(n), z]) if fit_intercept else z
    rtol = max(1e-10, 1e-15 * np.linalg.cond(w) ** 2)
    t, iv = tsls(z, x, y, fit_intercept), fitted(korvalis.IV, z, x, y, fit_intercept)
    for name in ("covariance_matrix", "residuals", "mse", "r_squared"):
        assert_close(getattr(t, name), getattr(iv, name), rtol)
    assert_close(params_of(t), params_of(iv), rtol)


SAME_SPAN = {
    # Each keeps the span of [1 | Z], hence X̂ and every result.
    "ones-first": lambda z: np.insert(z, 0, 1.0, axis=1),
    "threes-middle": lambda z: np.insert(z, 2, 3.0, axis=1),
    "minus-tenths": lambda z: np.insert(z, 1, -0.1, axis=1),
    "combination": lambda z: np.column_stack([z, 2.0 * z[:, 0] - z[:, 2] + 0.5]),
    "rescaled": lambda z: z * np.array([1e-7, 1.0, 1e7]),
}


@pytest.mark.parametrize("change", SAME_SPAN.values(), ids=SAME_SPAN.keys())
@pytest.mark.parametrize("n", [12, 16, 40, 400], ids=["n12-svd", "n16-normal", "n40", "n400"])
def test_instruments_with_the_same_span_give_the_same_fit(n, change):
    # The fit on the unchanged instruments is the reference.
    z, x, y = endogenous_data(n, 2, 3, n)
    base, m = tsls(z, x, y), tsls(change(z), x, y)
    assert_close(params_of(m), params_of(base), 1e-9)
    assert_close(m.covariance_matrix, base.covariance_matrix, 1e-9)
    assert_close(m.residuals, base.residuals, 1e-9)


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_interpolating_first_stage_gives_ols(fit_intercept):
    # n ≤ columns of [1 | Z]: X̂ = X, and the fit is statsmodels OLS of y on [1 | X].
    z, x, y = endogenous_data(7, 2, 6 if fit_intercept else 7, 40)
    m = tsls(z, x, y, fit_intercept)
    ref = sm.OLS(y, sm.add_constant(x) if fit_intercept else x).fit()
    assert_close(params_of(m), ref.params)
    assert_close(m.covariance_matrix, ref.cov_params())
    assert_close(m.residuals, ref.resid)


def tsls_in_mpmath(z, x, y):
    """θ = (DᵀD)⁻¹Dᵀy with D = [1 | X̂], X̂ = W(WᵀW)⁻¹WᵀX, W = [1 | Z]; V = s²(DᵀD)⁻¹, s² from y − [1 | X]θ."""
    n = len(y)
    with mpmath.workdps(50):
        w = mpmath.matrix(np.column_stack([np.ones(n), z]).tolist())
        xhat = w * (mpmath.inverse(w.T * w) * (w.T * mpmath.matrix(x.tolist())))
        d = mpmath.matrix([[1] + [xhat[i, j] for j in range(xhat.cols)] for i in range(n)])
        dtd_inv = mpmath.inverse(d.T * d)
        theta = dtd_inv * (d.T * mpmath.matrix(y.tolist()))
        r = mpmath.matrix(y.tolist()) - mpmath.matrix(np.column_stack([np.ones(n), x]).tolist()) * theta
        v = dtd_inv * (sum(e ** 2 for e in r) / (n - d.cols))
        return np.array(theta.tolist(), dtype=float).ravel(), np.array(v.tolist(), dtype=float)


@pytest.mark.parametrize("which,spread", [("instruments", 1e-3), ("instruments", 1e-6), ("regressors", 1e-3),
                                          ("regressors", 1e-5)])
def test_ill_conditioned_against_mpmath(which, spread):
    # Two nearly equal columns (condition 2e3 to 2e6). Each stage keeps about nine digits on the
    # normal equations and takes the orthogonal route below that, hence 1e-8.
    z, x, y = endogenous_data(40, 2, 3, 60)
    if which == "instruments":
        z[:, 1] = z[:, 0] + spread * z[:, 1]
    else:
        x[:, 1] = x[:, 0] + spread * x[:, 1]
    theta, v = tsls_in_mpmath(z, x, y)
    m = tsls(z, x, y)
    assert_close(params_of(m), theta, 1e-8)
    assert_close(m.covariance_matrix, v, 1e-8)


@pytest.mark.parametrize("n", [13, 5], ids=["normal", "svd"])
def test_no_regressors(n, capfd):
    # k = 0: with an intercept, ȳ with variance s²/n (NumPy); without, nothing is estimated and the
    # residuals are y. Nothing is printed on the way.
    rng = np.random.default_rng(61)
    z, y = rng.standard_normal((n, 2)), rng.standard_normal(n)
    m = tsls(z, np.empty((n, 0)), y)
    assert_close([m.intercept, m.covariance_matrix[0, 0]], [y.mean(), y.var(ddof=1) / n])
    m = tsls(z, np.empty((n, 0)), y, fit_intercept=False)
    assert m.covariance_matrix.shape == (0, 0)
    np.testing.assert_array_equal(m.residuals, y)
    assert capfd.readouterr() == ("", "")


# --- failures -------------------------------------------------------------------------------

def inputs(nz, q, nx, k, ny, zero_regressor=False, instruments=None):
    rng = np.random.default_rng(0)
    z, x, y = rng.standard_normal((nz, q)), rng.standard_normal((nx, k)), rng.standard_normal(ny)
    if zero_regressor:
        x[:, 1] = 0.0  # projects to a zero column of X̂: DᵀD has an exactly zero pivot
    if instruments is not None:  # uninformative: X̂ is the column means, collinear with the constant
        z[:] = instruments
    return z, x, y


ROWS = "All inputs must have the same number of samples"
SAMPLES = "Number of samples must be greater than number of regressors"
FAILURES = {
    # Each case also breaks every later rule, so the first rule in the order must win.
    "instrument-rows": ((2, 1, 3, 2, 3), True, ROWS),
    "target-length": ((2, 1, 2, 2, 3), True, ROWS),
    "regressor-rows": ((3, 2, 2, 2, 2), True, ROWS),
    "underidentified": ((2, 1, 2, 2, 2), True, "TSLS requires at least as many instruments as regressors"),
    "n-eq-k": ((2, 2, 2, 2, 2), True, SAMPLES),
    "n-eq-k-no-intercept": ((2, 2, 2, 2, 2), False, SAMPLES),
    "empty": ((0, 3, 0, 2, 0), True, SAMPLES),
    "n-eq-k-plus-1": ((3, 4, 3, 2, 3), True, "Insufficient degrees of freedom for covariance estimation"),
    "singular-svd": ((8, 3, 8, 2, 8, True), True, "X̂'X̂ matrix is singular"),
    "singular-normal": ((40, 3, 40, 2, 40, True), True, "X̂'X̂ matrix is singular"),
    "singular-no-intercept": ((40, 3, 40, 2, 40, True), False, "X̂'X̂ matrix is singular"),
    "zero-instruments-svd": ((8, 3, 8, 2, 8, False, 0.0), True, "X̂'X̂ matrix is singular"),
    "zero-instruments-normal": ((40, 3, 40, 2, 40, False, 0.0), True, "X̂'X̂ matrix is singular"),
    "constant-instruments": ((40, 3, 40, 2, 40, False, 2.5), True, "X̂'X̂ matrix is singular"),
}


@pytest.mark.parametrize("shapes,fit_intercept,message", FAILURES.values(), ids=FAILURES.keys())
def test_failures_in_order_leave_a_new_object_unfitted(shapes, fit_intercept, message):
    m = korvalis.TSLS(fit_intercept=fit_intercept)
    with pytest.raises(ValueError) as err:
        m.fit(*inputs(*shapes))
    assert str(err.value) == message
    assert snapshot(CASE, m) == snapshot(CASE, korvalis.TSLS(fit_intercept=fit_intercept))


@pytest.mark.parametrize("case", [c for c, (_, fi, _) in FAILURES.items() if fi])
def test_failed_refit_changes_nothing(case):
    m = tsls(*endogenous_data(30, 2, 3, 45))
    before = snapshot(CASE, m)
    with pytest.raises(ValueError):
        m.fit(*inputs(*FAILURES[case][0]))
    assert snapshot(CASE, m) == before


NAN_MESSAGE = "Input contains NaN or infinite values"
FIRST_STAGE = "Failed to solve first stage regression"
SECOND_STAGE = "Failed to solve second stage regression"
# (where, n, value) → the message, or None when the value flows into the results. A NaN instrument
# fails the first stage's solve (its own message); where a non-finite value would make a design look
# singular the fit names it instead; the second stage's SVD keeps its own failure.
NON_FINITE = {
    ("instruments", 8, "nan"): FIRST_STAGE, ("instruments", 40, "nan"): FIRST_STAGE,
    ("instruments", 8, "inf"): NAN_MESSAGE, ("instruments", 40, "inf"): NAN_MESSAGE,
    ("regressors", 8, "nan"): SECOND_STAGE, ("regressors", 40, "nan"): NAN_MESSAGE,
    ("regressors", 8, "inf"): SECOND_STAGE, ("regressors", 40, "inf"): NAN_MESSAGE,
    ("targets", 8, "nan"): None, ("targets", 40, "nan"): None,
    ("targets", 8, "inf"): None, ("targets", 40, "inf"): None,
}
VALUES = {"nan": np.nan, "inf": np.inf}


@pytest.mark.parametrize("where,n,value", NON_FINITE.keys(), ids=["-".join(map(str, k)) for k in NON_FINITE])
def test_non_finite_input_is_named_or_propagates(where, n, value, capfd):
    z, x, y = endogenous_data(n, 2, 3, 43)
    {"instruments": z, "regressors": x, "targets": y}[where].flat[3] = VALUES[value]
    m = tsls(*endogenous_data(30, 2, 3, 45))
    before = snapshot(CASE, m)
    message = NON_FINITE[where, n, value]
    if message is None:
        m.fit(z, x, y)
        assert not np.isfinite(m.coefficients).all() and not np.isfinite(m.residuals[3])
    else:
        with pytest.raises(ValueError) as err:
            m.fit(z, x, y)
        assert str(err.value) == message
        assert snapshot(CASE, m) == before
    assert capfd.readouterr() == ("", "")


# --- prediction, arrays, surface, report ----------------------------------------------------

@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
def test_targets_minus_predictions_are_the_residuals(fit_intercept):
    z, x, y = endogenous_data(50, 2, 4, 48)
    m = tsls(z, x, y, fit_intercept)
    assert_close(y - m.predict(x), m.residuals)


@pytest.mark.parametrize("n", [9, 60], ids=["svd", "normal"])
def test_inputs_are_not_written_and_layouts_agree(n):
    z, x, y = endogenous_data(n, 2, 3, 51)
    copies = [a.copy() for a in (z, x, y)]
    base = tsls(z, x, y)
    for a, c in zip((z, x, y), copies):
        np.testing.assert_array_equal(a, c)
    wide = np.zeros((n, 6))
    wide[:, ::2] = z
    for zz, xx, yy in [(np.asfortranarray(z), np.asfortranarray(x), y), (wide[:, ::2], x, y),
                       (z[::-1], x[::-1], y[::-1])]:
        m = tsls(zz, xx, yy)
        assert_close(params_of(m), params_of(base), 1e-12)
        assert_close(m.covariance_matrix, base.covariance_matrix, 1e-12)


def test_surface_and_unfitted_object():
    m = korvalis.TSLS()
    for name in ("p_values", "t_statistics", "confidence_intervals"):
        assert not hasattr(m, name)
    assert m.fit_intercept is True and not m.is_fitted() and m.standard_errors() is None
    assert all(getattr(m, name) is None for name in ATTRIBUTES)
    assert repr(m).startswith("<builtins.TSLS object at ")
    assert m.summary().startswith(" " * 28 + "TSLS\n")


@pytest.mark.parametrize("fit_intercept", [True, False], ids=["intercept", "no-intercept"])
@pytest.mark.parametrize("n", [24, 40], ids=["df21-student", "df37-normal"])
def test_report(n, fit_intercept):
    z, x, y = endogenous_data(n, 2, 3, 17)
    text = tsls(z, x, y, fit_intercept).summary()
    ref = linearmodels_fit(z, x, y, fit_intercept)
    assert text == expected_report("TSLS", "Two-Stage Least Squares", ref, y, fit_intercept, text)
