"""Accuracy on NIST's Statistical Reference Datasets for linear regression (certified values),
and on ill-conditioned synthetic designs checked against an mpmath solution of the same data."""
import json
import math
import pathlib

import numpy as np
import pytest

import korvalis

# Part of the repository: a missing or unreadable file stops the collection of this module, failing the run.
DATA = pathlib.Path(__file__).resolve().parent / "data" / "nist_strd_linear.json"
NIST = json.loads(DATA.read_text())["datasets"]


def test_reference_data_holds_all_eleven_problems():
    # A truncated file would otherwise shrink every table below without a failure.
    assert sorted(NIST) == sorted(["Norris", "Pontius", "NoInt1", "NoInt2", "Filip", "Longley",
                                   "Wampler1", "Wampler2", "Wampler3", "Wampler4", "Wampler5"])
    assert all(len(ds["y"]) == ds["n"] for ds in NIST.values())


def lre(estimate, certified):
    """Log relative error, capped at 15; for a certified 0 the log absolute error."""
    if certified == 0:
        err = abs(estimate)
    else:
        err = abs(estimate - certified) / abs(certified)
    if err == 0:
        return 15.0
    return min(15.0, -math.log10(err))


def design(ds):
    x = np.asarray(ds["x"], dtype=float).reshape(ds["n"], ds["x_columns"])
    if ds["polynomial"]:
        x = x[:, 0][:, None] ** np.arange(1, ds["k"] + 1)
    return x, np.asarray(ds["y"], dtype=float)


class Fitted:
    """Estimates and slope standard errors of one estimator on a NIST dataset, with the scale
    factor that turns its mse back into the residual variance of the original problem."""

    def __init__(self, model, intercept, mse_scale=1.0):
        self.model, self.intercept, self.mse_scale = model, intercept, mse_scale

    @property
    def estimates(self):
        m = self.model
        return ([m.intercept] if self.intercept else []) + list(m.coefficients)


def ols(x, y, intercept):
    m = korvalis.OLS(fit_intercept=intercept)
    m.fit(x, y)
    return Fitted(m, intercept)


def wls(c):
    # Constant weights leave the problem unchanged; 4 scales every row by exactly 2.
    def fit(x, y, intercept):
        m = korvalis.WLS(fit_intercept=intercept)
        m.fit(x, y, np.full(len(y), c))
        return Fitted(m, intercept)
    return fit


def gls(c):
    # Σ = c·I leaves β unchanged; the whitened mse is the residual variance divided by c.
    def fit(x, y, intercept):
        m = korvalis.GLS(fit_intercept=intercept)
        m.fit(x, y, c * np.eye(len(y)))
        return Fitted(m, intercept, mse_scale=c)
    return fit


FITTERS = {"ols": ols, "wls-unit": wls(1.0), "wls-4": wls(4.0), "gls-identity": gls(1.0), "gls-quarter": gls(0.25)}
NAMES = sorted(NIST)
CASES = [pytest.param(name, fitter, id=f"{name}-{fitter}") for fitter in FITTERS for name in NAMES]


def fit_nist(name, fitter="ols"):
    ds = NIST[name]
    x, y = design(ds)
    return ds, FITTERS[fitter](x, y, ds["intercept"])


@pytest.mark.parametrize("name,fitter", CASES)
def test_estimates(name, fitter):
    ds, f = fit_nist(name, fitter)
    for i, (e, c) in enumerate(zip(f.estimates, ds["certified"]["estimates"])):
        assert lre(e, c) >= 7, f"{name} parameter {i}: LRE {lre(e, c):.2f}"


@pytest.mark.parametrize("name,fitter", CASES)
def test_slope_standard_errors(name, fitter):
    ds, f = fit_nist(name, fitter)
    certified = ds["certified"]["std_errors"][1 if ds["intercept"] else 0:]
    for i, (e, c) in enumerate(zip(f.model.standard_errors(), certified)):
        if c != 0:
            assert lre(e, c) >= 6, f"{name} standard error {i}: LRE {lre(e, c):.2f}"


@pytest.mark.parametrize("name", [n for n in NAMES if NIST[n]["intercept"]])
def test_ols_intercept_standard_error(name):
    # The intercept's standard error is kept apart from the slopes': read it from the covariance.
    ds, f = fit_nist(name)
    certified = ds["certified"]["std_errors"][0]
    if certified != 0:
        se = math.sqrt(f.model.covariance_matrix()[0, 0])
        assert lre(se, certified) >= 6, f"{name} intercept standard error: LRE {lre(se, certified):.2f}"


@pytest.mark.parametrize("name,fitter", CASES)
def test_residual_sd_and_r_squared(name, fitter):
    ds, f = fit_nist(name, fitter)
    c = ds["certified"]
    sd = math.sqrt(f.model.mse * f.mse_scale)
    assert lre(sd, c["residual_sd"]) >= 7, f"{name} residual SD: LRE {lre(sd, c['residual_sd']):.2f}"
    if ds["intercept"]:
        # NIST certifies the uncentred R² for the models without a constant; ours is centred.
        r2 = f.model.r_squared
        assert lre(r2, c["r_squared"]) >= 7, f"{name} R²: LRE {lre(r2, c['r_squared']):.2f}"


def mp_least_squares(x, y, intercept):
    """Exact least-squares solution of the double-precision data, by mpmath at 60 digits."""
    import mpmath

    mpmath.mp.dps = 60
    d = np.column_stack([np.ones(len(y)), x]) if intercept else x
    a = mpmath.matrix(d.tolist())
    b = mpmath.matrix(y.tolist())
    sol = mpmath.qr_solve(a, b)[0]
    return np.array([float(v) for v in sol])


def synthetic(kind):
    rng = np.random.default_rng(7)
    if kind == "shifted-polynomial":
        t = np.linspace(10.0, 11.0, 60)
        x = t[:, None] ** np.arange(1, 5)
        y = x @ np.array([1.0, -2.0, 0.5, 1e-3]) + rng.normal(size=60) * 1e-3
    elif kind == "nearly-collinear":
        a = rng.normal(size=80)
        x = np.column_stack([a, a + 1e-7 * rng.normal(size=80), rng.normal(size=80)])
        y = x @ np.array([1.0, 2.0, 3.0]) + rng.normal(size=80) * 1e-2
    elif kind == "large-residual":
        t = np.linspace(0, 20, 40)
        x = t[:, None] ** np.arange(1, 6)
        y = x @ np.ones(5) + 1e8 * rng.normal(size=40)
    else:  # badly scaled columns
        x = rng.normal(size=(50, 4)) * np.array([1e-8, 1.0, 1e8, 1e4])
        x[:, 3] += x[:, 2] * 1e-4 * (1 + 1e-9)
        y = x @ np.array([1e8, 1.0, 1e-8, 2e-4]) + rng.normal(size=50)
    return x, y


@pytest.mark.parametrize("kind", ["shifted-polynomial", "nearly-collinear", "large-residual", "badly-scaled"])
def test_ill_conditioned_against_mpmath(kind):
    x, y = synthetic(kind)
    m = korvalis.OLS()
    m.fit(x, y)
    exact = mp_least_squares(x, y, True)
    got = np.concatenate([[m.intercept], m.coefficients])
    worst = min(lre(g, e) for g, e in zip(got, exact))
    assert worst >= 7, f"{kind}: worst LRE {worst:.2f}"


def test_well_conditioned_fit_keeps_the_cholesky_bits():
    """On a well-conditioned design the result is the plain Cholesky solution (NumPy reference of the same steps)."""
    rng = np.random.default_rng(3)
    x = rng.normal(size=(200, 4))
    y = x @ np.array([1.0, -1.0, 2.0, 0.5]) + rng.normal(size=200)
    m = korvalis.OLS()
    m.fit(x, y)
    d = np.column_stack([np.ones(200), x])
    lchol = np.linalg.cholesky(d.T @ d)
    beta = np.linalg.solve(lchol.T, np.linalg.solve(lchol, d.T @ y))
    np.testing.assert_allclose(np.concatenate([[m.intercept], m.coefficients]), beta, rtol=1e-13)


def two_column_design(delta, seed=11):
    rng = np.random.default_rng(seed)
    a, b = rng.normal(size=(2, 400))
    x = np.column_stack([a, a + delta * b])
    y = x @ np.array([1.0, 1.0]) + rng.normal(size=400)
    return x, y


def numpy_cholesky_solution(x, y):
    lchol = np.linalg.cholesky(x.T @ x)
    return np.linalg.solve(lchol.T, np.linalg.solve(lchol, x.T @ y))


@pytest.mark.parametrize("delta,guarded", [(3e-2, False), (1e-5, True)], ids=["above-threshold", "below-threshold"])
def test_route_switches_at_the_condition_threshold(delta, guarded):
    """rcond(DᵀD) ≈ δ²/4: 2e-4 keeps the normal equations, 2.5e-11 takes the orthogonal route.
    References: the same Cholesky steps in NumPy, and the mpmath solution of the data."""
    x, y = two_column_design(delta)
    m = korvalis.OLS(fit_intercept=False)
    m.fit(x, y)
    exact = mp_least_squares(x, y, False)
    chol = numpy_cholesky_solution(x, y)
    err_exact = np.max(np.abs(m.coefficients - exact) / np.abs(exact))
    if guarded:
        assert err_exact < 1e-12
        # Cholesky of the squared system is measurably worse here: the route really changed.
        assert np.max(np.abs(chol - exact) / np.abs(exact)) > 100 * err_exact
    else:
        # Same algorithm, Gram products summed in a different order: agreement to about κ(DᵀD)·ε.
        np.testing.assert_allclose(m.coefficients, chol, rtol=1e-11)
        assert err_exact < 1e-10


@pytest.mark.parametrize("name", [n for n in NAMES if NIST[n]["intercept"]])
def test_fe_single_entity_slopes(name):
    """One entity: the within estimator is least squares on centred data, so its slopes are NIST's."""
    ds = NIST[name]
    x, y = design(ds)
    m = korvalis.FE()
    m.fit(x, y, np.zeros(len(y), dtype=np.int64))
    for i, (e, c) in enumerate(zip(m.coefficients, ds["certified"]["estimates"][1:])):
        assert lre(e, c) >= 7, f"{name} slope {i}: LRE {lre(e, c):.2f}"


def mp_estimates(kind, z, x, y, w=None, ids=None):
    """Coefficients and standard errors of the double data computed exactly (mpmath, 60 digits):
    least squares for ols/wls/gls/fe, (ZᵀX)⁻¹Zᵀy for iv, the projection estimator for tsls."""
    import mpmath

    mpmath.mp.dps = 60
    M = mpmath.matrix
    n = len(y)
    if kind == "fe":
        x = x - np.zeros_like(x)  # demeaned exactly below, row by row in mpmath
        cols = [[mpmath.mpf(v) for v in x[:, j]] for j in range(x.shape[1])] + [[mpmath.mpf(v) for v in y]]
        for g in np.unique(ids):
            rows = np.flatnonzero(ids == g)
            for c in cols:
                mean = mpmath.fsum(c[i] for i in rows) / len(rows)
                for i in rows:
                    c[i] -= mean
        d, t = M([list(r) for r in zip(*cols[:-1])]), M(cols[-1])
        df = n - len(np.unique(ids)) - x.shape[1]
    else:
        d = M(np.column_stack([np.ones(n), x]).tolist())
        t = M(y.tolist())
        df = n - d.cols
        if w is not None:
            for i in range(n):
                s = mpmath.sqrt(mpmath.mpf(w[i]))
                t[i] *= s
                for j in range(d.cols):
                    d[i, j] *= s
    if kind in ("iv", "tsls"):
        zz = M(np.column_stack([np.ones(n), z]).tolist())
        if kind == "tsls":  # X̂ = Z(ZᵀZ)⁻¹ZᵀX, then least squares of y on X̂
            xhat = zz * (mpmath.inverse(zz.T * zz) * (zz.T * d))
            bread = mpmath.inverse(xhat.T * xhat)
            beta = bread * (xhat.T * t)
        else:
            a_inv = mpmath.inverse(zz.T * d)
            beta = a_inv * (zz.T * t)
            bread = a_inv * (zz.T * zz) * a_inv.T
    else:
        bread = mpmath.inverse(d.T * d)
        beta = bread * (d.T * t)
    r = t - d * beta
    s2 = mpmath.fsum(v * v for v in r) / df
    se = [mpmath.sqrt(s2 * bread[j, j]) for j in range(bread.rows)]
    return np.array([float(v) for v in beta]), np.array([float(v) for v in se])


def ill_conditioned(kind, seed=3, n=90):
    """Full-rank data whose column-scaled condition number (for iv: of [1 | Z]) is 10⁶ to 10⁷."""
    rng = np.random.default_rng(seed)
    a, b, c = rng.normal(size=(3, n))
    near = np.column_stack([a, a + 3e-7 * b, c])
    if kind in ("iv", "tsls"):
        z = near if kind == "iv" else np.column_stack([near, rng.normal(size=n)])
        x = z[:, :3] @ np.array([[1.0, 0.2, 0.0], [0.0, 1.0, 0.3], [0.1, 0.0, 1.0]]) + 0.3 * rng.normal(size=(n, 3))
        return z, x, x @ np.array([1.0, -2.0, 0.5]) + 0.7 + rng.normal(size=n)
    y = near @ np.array([1.0, 2.0, 3.0]) + 0.7 + 1e-2 * rng.normal(size=n)
    return None, near, y


@pytest.mark.parametrize("kind", ["ols", "wls", "gls", "fe", "iv", "tsls"])
def test_ill_conditioned_full_rank_keeps_its_digits(kind):
    z, x, y = ill_conditioned(kind)
    n = len(y)
    w = ids = None
    if kind == "wls":
        w = np.random.default_rng(1).uniform(0.5, 2.0, n)
    if kind == "fe":
        ids = np.arange(n, dtype=np.int64) % 6
    model = {"ols": korvalis.OLS, "wls": korvalis.WLS, "gls": korvalis.GLS, "fe": korvalis.FE,
             "iv": korvalis.IV, "tsls": korvalis.TSLS}[kind]()
    args = {"wls": (x, y, w), "gls": (x, y, 4.0 * np.eye(n)), "fe": (x, y, ids),
            "iv": (z, x, y), "tsls": (z, x, y)}.get(kind, (x, y))
    model.fit(*args)
    beta, se = mp_estimates(kind, z, x, y, w, ids)
    got_b = model.coefficients if kind == "fe" else np.r_[model.intercept, model.coefficients]
    slopes_se = se if kind == "fe" else se[1:]
    assert min(lre(g, e) for g, e in zip(got_b, beta)) >= 8
    assert min(lre(g, e) for g, e in zip(model.standard_errors(), slopes_se)) >= 7
