"""p_values() and confidence_intervals() of OLS: the p-value and critical-value rules.

References: SciPy's Student's t and normal distributions (sf, isf); the interval formula
estimate ∓ c·se recomputed with NumPy.
"""

import math

import numpy as np
import pytest
import scipy.stats as st

import korvalis
from estimators import CASE_BY_NAME, snapshot

ALPHA_MESSAGE = "alpha must be between 0 and 2"


def fit_with_df(df, k=2, seed=0, noise=1.0, fit_intercept=True):
    """An OLS fit whose residual degrees of freedom are `df`."""
    n = df + k + (1 if fit_intercept else 0)
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, k))
    y = 0.4 + x @ np.linspace(0.3, -0.2, k) + noise * rng.normal(size=n)
    m = korvalis.OLS(fit_intercept=fit_intercept)
    m.fit(x, y)
    return m


def t_of(m):
    return m.coefficients / m.standard_errors()


def reference_p(t, df):
    return 2.0 * st.t.sf(np.abs(t), df) if df <= 30 else 2.0 * st.norm.sf(np.abs(t))


DFS = [pytest.param(df, id=f"df{df}") for df in (1, 2, 5, 30, 31, 32, 997)]


@pytest.mark.parametrize("df", DFS)
def test_p_values_match_scipy(df):
    # Student's t for df ≤ 30, the standard normal from df = 31 on.
    m = fit_with_df(df, seed=df)
    p = m.p_values()
    assert p.shape == (2,)
    np.testing.assert_allclose(p, reference_p(t_of(m), df), rtol=1e-10, atol=0)


@pytest.mark.parametrize(
    "df, noise",
    [
        pytest.param(5, 1e-4, id="student-df5"),
        pytest.param(400, 0.3, id="normal-df400"),
        pytest.param(3000, 0.8, id="normal-df3000"),
    ],
)
def test_small_p_values_do_not_cancel_to_zero(df, noise):
    # |t| well above 8.3, where 2·(1 − Φ) is exactly 0 in double precision.
    m = fit_with_df(df, k=1, seed=7, noise=noise)
    t = t_of(m)
    assert np.all(np.abs(t) > 9)
    assert df <= 30 or np.all(np.abs(t) < 37)  # erfc underflows to 0 beyond about 38
    p = m.p_values()
    assert np.all(p > 0)
    np.testing.assert_allclose(p, reference_p(t, df), rtol=1e-10, atol=0)


def one_column_fit(x, y):
    m = korvalis.OLS(fit_intercept=False)
    m.fit(np.asarray(x, dtype=float)[:, None], np.asarray(y, dtype=float))
    return m


# Designs on which the Cholesky route is exact: Σx² is a perfect square or the right-hand
# side is orthogonal to x, so the coefficient and standard error come out as written.
SPECIAL_T = {
    "t-zero": (lambda n: ([1.0, -1.0] * (n // 2), [1.0, 1.0, 2.0, 2.0] * (n // 4)), 0.0, 1.0),
    "t-plus-inf": (lambda n: ([1.0, 2.0, 2.0, 4.0] * (n // 4), [2.0, 4.0, 4.0, 8.0] * (n // 4)), math.inf, 0.0),
    "t-minus-inf": (lambda n: ([1.0, 2.0, 2.0, 4.0] * (n // 4), [-2.0, -4.0, -4.0, -8.0] * (n // 4)), -math.inf,
                    0.0),
    "t-nan": (lambda n: ([1.0] * n, [0.0] * n), math.nan, math.nan),
}


@pytest.mark.parametrize("n", [4, 16, 36], ids=["student-df3", "student-df15", "normal-df35"])
@pytest.mark.parametrize("make, t, p", SPECIAL_T.values(), ids=SPECIAL_T.keys())
def test_special_t_values(make, t, p, n):
    m = one_column_fit(*make(n))
    with np.errstate(divide="ignore", invalid="ignore"):
        got_t = t_of(m)[0]
    np.testing.assert_equal(got_t, t)
    np.testing.assert_equal(m.p_values(), [p])


ALPHAS = [pytest.param(a, id=f"alpha{a:g}") for a in (1e-12, 0.001, 0.01, 0.05, 0.1, 0.5, 0.999, 1.5, 1.99)]


def reference_critical(df, alpha):
    if 1 <= df <= 30:
        return st.t.isf(alpha / 2, df)
    return 1.96 if alpha == 0.05 else st.norm.isf(alpha / 2)


@pytest.mark.parametrize("alpha", ALPHAS)
@pytest.mark.parametrize("df", DFS)
def test_confidence_intervals_match_scipy_quantiles(df, alpha):
    m = fit_with_df(df, seed=100 + df)
    b, se = m.coefficients, m.standard_errors()
    c = reference_critical(df, alpha)
    expected = np.column_stack([b - se * c, b + se * c])
    got = m.confidence_intervals(alpha)
    assert got.shape == (2, 2) and got.flags.c_contiguous
    np.testing.assert_allclose(got, expected, rtol=1e-10, atol=1e-12 * np.max(np.abs(expected)))


@pytest.mark.parametrize("df", [pytest.param(31, id="df31"), pytest.param(10**4, id="df10000")])
def test_default_interval_in_normal_branch_uses_exactly_1_96(df):
    m = fit_with_df(df, seed=5)
    b, se = m.coefficients, m.standard_errors()
    margin = se * 1.96
    np.testing.assert_array_equal(m.confidence_intervals(), np.column_stack([b - margin, margin + b]))
    np.testing.assert_array_equal(m.confidence_intervals(0.05), m.confidence_intervals())


@pytest.mark.parametrize("df", [3, 40], ids=["student-df3", "normal-df40"])
@pytest.mark.parametrize(
    "alpha, lower, upper",
    [
        pytest.param(0.0, -math.inf, math.inf, id="alpha0-whole-line"),
        pytest.param(2.0, math.inf, -math.inf, id="alpha2-reversed"),
        pytest.param(1.0, 0.0, 0.0, id="alpha1-point"),
    ],
)
def test_interval_at_alpha_edges(df, alpha, lower, upper):
    m = fit_with_df(df, seed=11)
    b = m.coefficients
    ci = m.confidence_intervals(alpha)
    if alpha == 1.0:
        np.testing.assert_array_equal(ci, np.column_stack([b, b]))
    else:
        np.testing.assert_array_equal(ci, [[lower, upper]] * 2)


@pytest.mark.parametrize("df", [3, 40], ids=["student-df3", "normal-df40"])
@pytest.mark.parametrize(
    "alpha",
    [pytest.param(a, id=name) for name, a in [("nan", math.nan), ("negative", -0.5), ("tiny-negative", -1e-300),
                                                ("just-above-2", math.nextafter(2.0, 3.0)), ("three", 3.0),
                                                ("inf", math.inf), ("minus-inf", -math.inf)]],
)
def test_alpha_out_of_range_raises_and_changes_nothing(df, alpha):
    m = fit_with_df(df, seed=13)
    before = snapshot(CASE_BY_NAME["OLS"], m)
    with pytest.raises(ValueError) as info:
        m.confidence_intervals(alpha)
    assert str(info.value) == ALPHA_MESSAGE
    assert snapshot(CASE_BY_NAME["OLS"], m) == before


def test_unfitted_model_has_no_inference():
    m = korvalis.OLS()
    assert m.p_values() is None
    assert m.confidence_intervals() is None
    assert m.confidence_intervals(0.1) is None


def test_without_intercept_df_counts_slopes_only():
    # n = 32, k = 2, no intercept: df = 30, still Student's t.
    m = fit_with_df(30, k=2, seed=15, fit_intercept=False)
    assert m.n_samples == 32
    np.testing.assert_allclose(m.p_values(), 2 * st.t.sf(np.abs(t_of(m)), 30), rtol=1e-10, atol=0)
    np.testing.assert_allclose(m.confidence_intervals()[:, 1],
                               m.coefficients + st.t.isf(0.025, 30) * m.standard_errors(), rtol=1e-10)


def test_robust_p_values_use_hc0_standard_errors():
    # Reference: statsmodels' HC0 standard errors, then SciPy's t tail.
    import statsmodels.api as sm

    rng = np.random.default_rng(16)
    x = rng.normal(size=(25, 2))
    y = x @ [0.5, -0.5] + rng.normal(size=25) * (1 + np.abs(x[:, 0]))
    m = korvalis.OLS(robust=True)
    m.fit(x, y)
    bse = sm.OLS(y, sm.add_constant(x)).fit(cov_type="HC0").bse[1:]
    np.testing.assert_allclose(m.p_values(), 2 * st.t.sf(np.abs(m.coefficients / bse), 22), rtol=1e-9, atol=0)
