"""FE, the within estimator: fit, entity effects, standard errors, predict and failures.

References: an explicit least-squares fit with one dummy column per entity (LSDV) written in
NumPy below, linearmodels.PanelOLS with entity effects, and the entity-clustered sandwich
formed in NumPy from pandas group means.
"""
import time

import numpy as np
import pandas as pd
import pytest
import scipy.stats
from linearmodels.panel import PanelOLS

import korvalis
from estimators import CASE_BY_NAME, snapshot

CASE = CASE_BY_NAME["FE"]
RTOL = 1e-10


def panel(n=60, groups=5, k=3, seed=0, ids=None):
    rng = np.random.default_rng(seed)
    if ids is None:
        ids = rng.integers(0, groups, n).astype(np.int64) * 7 - 3
    ids = np.asarray(ids, dtype=np.int64)
    x = rng.normal(size=(len(ids), k))
    y = x @ np.linspace(1.0, -1.0, k) + 0.3 * pd.factorize(ids)[0] + rng.normal(size=len(ids))
    return x, y, ids


def lsdv(x, y, ids):
    """Least squares on x and one dummy per entity, dummies in order of first occurrence."""
    order = list(dict.fromkeys(ids.tolist()))
    dummies = (ids[:, None] == np.array(order, dtype=np.int64)[None, :]).astype(float)
    z = np.hstack([x, dummies])
    coef = np.linalg.lstsq(z, y, rcond=None)[0]
    resid = y - z @ coef
    n, k, g = len(y), x.shape[1], len(order)
    mse = resid @ resid / (n - g - k)
    se = np.sqrt(np.diag(np.linalg.inv(z.T @ z))[:k] * mse)
    return dict(beta=coef[:k], alpha=coef[k:], resid=resid, mse=mse, se=se, order=order)


def fitted(x, y, ids, robust=False):
    m = korvalis.FE(robust=robust)
    m.fit(x, y, ids)
    return m


def demeaned(a, ids):
    return a - pd.DataFrame(a).groupby(ids).transform("mean").to_numpy().reshape(a.shape)


LAYOUTS = {
    "c_order": lambda a: np.ascontiguousarray(a),
    "f_order": lambda a: np.asfortranarray(a),
    "strided": lambda a: np.repeat(a, 2, axis=0)[::2],
}


@pytest.mark.parametrize("layout", LAYOUTS, ids=list(LAYOUTS))
@pytest.mark.parametrize("n", [60, 14], ids=["normal_route", "svd_route"])  # 2(G + k) = 16
def test_matches_lsdv(layout, n):
    x, y, ids = panel(n=n, groups=5)
    ref = lsdv(x, y, ids)
    m = fitted(LAYOUTS[layout](x), y[::-1].copy()[::-1], ids)
    np.testing.assert_allclose(m.coefficients, ref["beta"], rtol=RTOL)
    np.testing.assert_allclose(m.fixed_effects, ref["alpha"], rtol=RTOL)
    np.testing.assert_allclose(m.residuals, ref["resid"], rtol=1e-9, atol=1e-12)
    assert m.mse == pytest.approx(ref["mse"], rel=RTOL)
    np.testing.assert_allclose(m.standard_errors(), ref["se"], rtol=RTOL)
    np.testing.assert_allclose(np.sqrt(np.diag(m.covariance_matrix())), ref["se"], rtol=RTOL)
    assert (m.n_samples, m.n_features, m.n_entities) == (n, 3, len(ref["order"]))
    # overall R² of the model with effects: LSDV's centred R²
    assert m.r_squared == pytest.approx(1 - ref["resid"] @ ref["resid"] / np.sum((y - y.mean()) ** 2), rel=RTOL)


def test_against_linearmodels():
    x, y, ids = panel(n=80, groups=6, k=2, seed=3)
    index = pd.MultiIndex.from_arrays([ids, pd.Series(ids).groupby(ids).cumcount().to_numpy()])
    model = PanelOLS(pd.Series(y, index=index), pd.DataFrame(x, index=index), entity_effects=True)
    ref = model.fit()
    m = fitted(x, y, ids)
    np.testing.assert_allclose(m.coefficients, ref.params.to_numpy(), rtol=RTOL)
    assert m.within_r_squared == pytest.approx(ref.rsquared_within, rel=RTOL)
    # plain entity-clustered sandwich: no small-sample, effect-count or group factors
    plain = model.fit(cov_type="clustered", cluster_entity=True, debiased=False, group_debias=False,
                      auto_df=False, count_effects=False)
    np.testing.assert_allclose(fitted(x, y, ids, robust=True).standard_errors(), plain.std_errors.to_numpy(),
                               rtol=1e-9)


def test_clustered_standard_errors_match_numpy_sandwich():
    x, y, ids = panel(n=90, groups=7, k=3, seed=5)
    xw = demeaned(x, ids)
    a_inv = np.linalg.inv(xw.T @ xw)
    e = lsdv(x, y, ids)["resid"]
    meat = sum(np.outer(s, s) for s in (xw[ids == g].T @ e[ids == g] for g in np.unique(ids)))
    expected = np.sqrt(np.diag(a_inv @ meat @ a_inv))
    robust = fitted(x, y, ids, robust=True)
    classical = fitted(x, y, ids)
    np.testing.assert_allclose(robust.standard_errors(), expected, rtol=1e-9)
    assert not np.allclose(robust.standard_errors(), classical.standard_errors(), rtol=1e-3)
    # the covariance matrix stays the classical mse·(X̃ᵀX̃)⁻¹
    np.testing.assert_allclose(robust.covariance_matrix(), classical.covariance_matrix(), rtol=1e-14)
    np.testing.assert_allclose(robust.t_statistics(), robust.coefficients / robust.standard_errors(), rtol=1e-15)


@pytest.mark.parametrize("groups,k", [(50, 1), (100_000, 1), (250_000, 1), (250_000, 3)],
                         ids=["sums-table", "sums-table-far", "by-entity-svd", "by-entity-svd-k3"])
def test_many_entities_match_the_within_transformation(groups, k):
    # Reference: the within transformation by pandas group means, least squares by NumPy, and the
    # clustered sandwich from bincount scores. 10⁵ drawn ids (about 95,000 entities) keep the entity
    # sums in a table read ahead of its use; 2.5·10⁵ (about 175,000 entities, most of one or two
    # rows) visit the rows entity by entity and take the SVD route (n ≤ 2(G + k)), solved on the
    # triangular factor of the demeaned data.
    x, y, ids = panel(n=300_000, groups=groups, k=k, seed=8)
    xw, yw = demeaned(x, ids), demeaned(y[:, None], ids)[:, 0]
    beta = np.linalg.lstsq(xw, yw, rcond=None)[0]
    e = yw - xw @ beta
    codes, uniques = pd.factorize(ids)
    a_inv = np.linalg.inv(xw.T @ xw)
    se = np.sqrt(np.diag(a_inv) * (e @ e) / (len(y) - len(uniques) - k))
    scores = np.column_stack([np.bincount(codes, weights=e * xw[:, j]) for j in range(k)])
    clustered = np.sqrt(np.diag(a_inv @ (scores.T @ scores) @ a_inv))
    m, r = fitted(x, y, ids), fitted(x, y, ids, robust=True)
    np.testing.assert_allclose(m.coefficients, beta, rtol=RTOL)
    np.testing.assert_allclose(m.standard_errors(), se, rtol=RTOL)
    # Entities of one to three rows leave residuals near 0, where both sides' rounding of the entity
    # means (about ε·|y|) is what differs.
    np.testing.assert_allclose(m.residuals, e, rtol=1e-9, atol=1e-10)
    np.testing.assert_allclose(r.standard_errors(), clustered, rtol=1e-9)


def test_clustered_variance_that_overflows_gives_nan_not_zero():
    # scores near 1e200: their outer products overflow and the sandwich meets inf − inf
    rng = np.random.default_rng(1)
    ids = np.repeat(np.arange(3), 4).astype(np.int64)
    x, y = rng.normal(size=(12, 2)) * 1e100, rng.normal(size=12) * 1e100
    m = fitted(x, y, ids, robust=True)
    assert np.all(np.isfinite(m.coefficients))
    assert np.all(np.isnan(m.standard_errors()))


def test_single_entity_clustered_errors_vanish():
    x, y, _ = panel(n=30, k=2, seed=2)
    m = fitted(x, y, np.full(30, 4, dtype=np.int64), robust=True)
    se = m.standard_errors()
    assert np.all(se >= 0) and np.all(se < 1e-10)


@pytest.mark.parametrize("ids,order", [
    ([7, 3, 7, 3, 9, 9] * 3, [7, 3, 9]),
    ([5, 1, 5, 1] * 4, [5, 1]),
    ([1, 5, 1, 5] * 4, [1, 5]),
    ([-1, 2**63 - 1, -2**63, -1, 2**63 - 1, -2**63] * 3, [-1, 2**63 - 1, -2**63]),
    ([-4, -4, -4, 0, 0, 6, 6, 6, 6, 9, 9, 9], [-4, 0, 6, 9]),
    ([-2**63] * 4 + [0] * 4 + [2**62] * 4, [-2**63, 0, 2**62]),
], ids=["7_3_9", "5_1", "1_5", "extreme", "sorted", "sorted_extreme"])
def test_entities_numbered_by_first_occurrence(ids, order):
    ids = np.array(ids, dtype=np.int64)
    x, y, _ = panel(ids=ids, k=2, seed=4)
    m = fitted(x, y, ids)
    ref = lsdv(x, y, ids)
    assert ref["order"] == order and m.n_entities == len(order)
    np.testing.assert_allclose(m.fixed_effects, ref["alpha"], rtol=RTOL)
    np.testing.assert_allclose(m.predict(x, ids), x @ ref["beta"] + ref["alpha"][[order.index(i) for i in ids]],
                               rtol=RTOL)


def test_effects_follow_first_occurrence_not_id_value():
    x, y, _ = panel(n=16, k=2, seed=6)
    ids = np.array([5, 1] * 8, dtype=np.int64)
    a = fitted(x, y, ids)
    relabelled = fitted(x, y, np.array([1, 5] * 8, dtype=np.int64))  # same rows per entity
    np.testing.assert_array_equal(relabelled.fixed_effects, a.fixed_effects)
    rolled = np.roll(np.arange(16), -1)  # the same rows, id 1 now first
    b = fitted(x[rolled], y[rolled], ids[rolled])
    np.testing.assert_allclose(b.coefficients, a.coefficients, rtol=RTOL)
    np.testing.assert_allclose(b.fixed_effects, a.fixed_effects[::-1], rtol=RTOL)


def test_ids_in_high_bits_keep_numbering_fast():
    # 2¹⁷ ids that differ only above bit 40; an unmixed hash would put them all in one slot
    groups = 1 << 17
    ids = np.tile(np.arange(groups, dtype=np.int64) << 40, 2)
    rng = np.random.default_rng(7)
    x = rng.normal(size=(2 * groups, 1))
    y = rng.normal(size=2 * groups)
    start = time.perf_counter()
    m = fitted(x, y, ids)
    assert time.perf_counter() - start < 5.0
    assert m.n_entities == groups
    mean_rows = lambda a: (a[:groups] + a[groups:]) / 2  # noqa: E731
    np.testing.assert_allclose(m.fixed_effects, mean_rows(y) - mean_rows(x[:, 0]) * m.coefficients[0], rtol=1e-9,
                               atol=1e-12)


def test_single_entity_is_centred_least_squares():
    x, y, _ = panel(n=25, k=2, seed=8)
    m = fitted(x, y, np.zeros(25, dtype=np.int64))
    beta = np.linalg.lstsq(x - x.mean(0), y - y.mean(), rcond=None)[0]
    np.testing.assert_allclose(m.coefficients, beta, rtol=RTOL)
    np.testing.assert_allclose(m.fixed_effects, [y.mean() - x.mean(0) @ beta], rtol=RTOL)


def test_one_residual_degree_of_freedom():
    ids = np.array([0, 0, 1, 1, 2, 2, 2], dtype=np.int64)  # n = G + k + 1
    x, y, _ = panel(ids=ids, k=3, seed=9)
    m = fitted(x, y, ids)
    ref = lsdv(x, y, ids)
    assert m.mse == pytest.approx(ref["resid"] @ ref["resid"], rel=1e-9)


def test_target_constant_within_entities_gives_zero_within_r_squared():
    ids = np.repeat(np.arange(3), [3, 5, 7]).astype(np.int64)
    x, _, _ = panel(ids=ids, k=1, seed=10)
    m = fitted(x, np.repeat([0.1, 0.7, 1.3], [3, 5, 7]), ids)
    assert m.within_r_squared == 0.0


def constant_within(k):
    """A first regressor taking 0.1, 0.7 and 1.3 over entities of 3, 5 and 7 rows."""
    ids = np.repeat(np.arange(3), [3, 5, 7]).astype(np.int64)
    x, y, _ = panel(ids=ids, k=k, seed=11)
    x[:, 0] = np.repeat([0.1, 0.7, 1.3], [3, 5, 7])
    return x, y, ids


# 15 rows, 3 entities: k = 2 takes the normal equations (15 > 10), k = 5 the SVD (15 ≤ 16).
@pytest.mark.parametrize("k,message", [
    (2, "Matrix is singular"),
    (5, "Cannot compute standard errors: matrix is singular"),
], ids=["normal_route", "svd_route"])
def test_regressor_constant_within_entities_is_singular(k, message):
    with pytest.raises(RuntimeError) as err:
        fitted(*constant_within(k))
    assert str(err.value) == message


# About 126,000 entities of 200,000 rows (one to a few rows each) and about 98,000 of 400,000: the
# rows are visited entity by entity, and the two sizes take the SVD route and the normal equations.
@pytest.mark.parametrize("n,values,message", [
    (200_000, 200_000, "Cannot compute standard errors: matrix is singular"),
    (400_000, 100_000, "Matrix is singular"),
], ids=["svd_route", "normal_route"])
def test_regressor_constant_within_many_small_entities_is_singular(n, values, message):
    rng = np.random.default_rng(21)
    ids = rng.integers(0, values, n).astype(np.int64)
    x = rng.normal(size=(n, 2))
    x[:, 0] = 0.1 * (ids % 7) + 0.3
    y = x[:, 1] + rng.normal(size=n)
    with pytest.raises(RuntimeError) as err:
        fitted(x, y, ids)
    assert str(err.value) == message
    x[:, 0] += 1e-3 * rng.normal(size=n)  # the same data with the regressor varying: a fit
    assert np.isfinite(fitted(x, y, ids).coefficients).all()


# G = 2, k = 3: 2(G + k) = 10, so 10 rows solve by SVD and 11 by the normal equations; a
# regressor constant within entities tells the routes apart by their messages.
@pytest.mark.parametrize("n,message", [
    (10, "Cannot compute standard errors: matrix is singular"),
    (11, "Matrix is singular"),
], ids=["n10_svd", "n11_normal"])
def test_route_threshold(n, message):
    ids = np.array([0, 1] * 6, dtype=np.int64)[:n]
    x, y, _ = panel(ids=ids, k=3, seed=12)
    x[:, 1] = np.where(ids == 0, 2.5, -1.5)
    with pytest.raises(RuntimeError) as err:
        fitted(x, y, ids)
    assert str(err.value) == message
    x, y, _ = panel(ids=ids, k=3, seed=12)
    np.testing.assert_allclose(fitted(x, y, ids).coefficients, lsdv(x, y, ids)["beta"], rtol=RTOL)


def arrays(n=6, k=2, ny=None, nid=None, nan=None):
    x = np.arange(n * k, dtype=float).reshape(n, k) ** 1.5
    y = np.sin(np.arange(n if ny is None else ny, dtype=float))
    ids = np.arange(n if nid is None else nid, dtype=np.int64) % 2
    if nan == "x":
        x[-1, -1] = np.nan
    if nan == "y":
        y[0] = np.inf
    return x, y, ids


MSG_MISMATCH = "Array length mismatch: X has 5 rows, y has {} elements, entity_id has {} elements"
MSG_EMPTY = "Input arrays cannot be empty"
MSG_NAN = "Input contains NaN or infinite values"
MSG_G = "Insufficient degrees of freedom: number of entities must be less than number of observations"
MSG_DOF = "Insufficient degrees of freedom for Fixed Effects estimation"


@pytest.mark.parametrize("args,message", [
    (arrays(n=0), MSG_EMPTY),
    (arrays(k=0), MSG_EMPTY),
    (arrays(ny=0), MSG_EMPTY),
    (arrays(nid=0, nan="x"), MSG_EMPTY),
    (arrays(n=5, ny=4), MSG_MISMATCH.format(4, 5)),
    (arrays(n=5, nid=6, nan="x"), MSG_MISMATCH.format(5, 6)),
    (arrays(nan="x"), MSG_NAN),
    (arrays(nan="y"), MSG_NAN),
    ((arrays()[0], arrays()[1], np.arange(6, dtype=np.int64)), MSG_G),
    ((np.ones((6, 3)), np.ones(6), np.array([0, 0, 1, 1, 2, 2], dtype=np.int64)), MSG_DOF),
    # NaN is named before the degrees of freedom, which are known only once the entities are numbered.
    ((arrays(nan="x")[0], arrays()[1], np.arange(6, dtype=np.int64)), MSG_NAN),
    ((np.ones((6, 3)), arrays(nan="y")[1], np.array([0, 0, 1, 1, 2, 2], dtype=np.int64)), MSG_NAN),
    # Squares beyond double range are no NaN: such data are rescaled and fitted (below).
], ids=["no_rows", "no_cols", "empty_y", "empty_ids_before_nan", "short_y", "long_ids_before_nan", "nan_x", "inf_y",
        "every_row_own_entity", "n_equals_G_plus_k", "nan_before_own_entities", "inf_before_degrees_of_freedom"])
def test_fit_validation(args, message):
    m = korvalis.FE()
    with pytest.raises(ValueError) as err:
        m.fit(*args)
    assert str(err.value) == message
    assert not m.is_fitted() and m.coefficients is None and m.covariance_matrix() is None


@pytest.mark.parametrize("scale", [1e200, 1e-200], ids=["squares_overflow", "squares_underflow"])
def test_data_whose_squares_leave_double_range_fit_as_scaled(scale):
    # The finiteness of the data is read from their sums of squares; an overflowing sum is no NaN.
    # Reference: the same fit on the unscaled data, with β unchanged and the effects scaled.
    x, y, ids = panel(n=40, groups=4, k=2, seed=14)
    m, big = fitted(x, y, ids), fitted(x * scale, y * scale, ids)
    np.testing.assert_allclose(big.coefficients, m.coefficients, rtol=1e-12)
    np.testing.assert_allclose(big.fixed_effects, m.fixed_effects * scale, rtol=1e-12)


def test_predict():
    x, y, _ = panel(n=12, k=2, seed=13)
    ids = np.array([10, 20] * 6, dtype=np.int64)
    m = fitted(x, y, ids)
    new = np.array([[0.5, -1.0], [2.0, np.nan]])
    got = m.predict(new, np.array([20, 20], dtype=np.int64))
    assert got[0] == pytest.approx(new[0] @ m.coefficients + m.fixed_effects[1], rel=1e-15)
    assert np.isnan(got[1])
    assert m.predict(np.empty((0, 2)), np.empty(0, dtype=np.int64)).shape == (0,)


@pytest.mark.parametrize("x,ids,kind,message", [
    (np.ones((2, 3)), [10, 20], ValueError, "Feature count mismatch: expected 2, got 3"),
    (np.ones((4, 2)), [10] * 5, ValueError, "Row count mismatch between X and entity_id: 4 vs 5"),
    (np.ones((3, 2)), [10, -4, 99], ValueError, "Unknown entity ID: -4. This entity was not present in training data."),
    (np.ones((3, 2)), [10, 15, 99], ValueError, "Unknown entity ID: 15. This entity was not present in training data."),
], ids=["feature_count", "row_count", "unknown_id", "unknown_id_between_known_ones"])
def test_predict_messages(x, ids, kind, message):
    m = fitted(*panel(ids=[10, 20] * 6, k=2, seed=13)[:2], np.array([10, 20] * 6, dtype=np.int64))
    with pytest.raises(kind) as err:
        m.predict(x, np.array(ids, dtype=np.int64))
    assert str(err.value) == message


def test_unfitted():
    m = korvalis.FE(robust=True)
    assert repr(m) == "FE(robust=True)" and repr(korvalis.FE()) == "FE(robust=False)"
    assert m.robust is True and not m.is_fitted()
    for name in ["coefficients", "mse", "r_squared", "within_r_squared", "n_samples", "n_features", "n_entities",
                 "residuals", "fixed_effects"]:
        assert getattr(m, name) is None
    assert m.standard_errors() is None and m.t_statistics() is None and m.covariance_matrix() is None
    with pytest.raises(RuntimeError) as err:
        m.predict(np.ones((2, 2)), np.zeros(2, dtype=np.int64))
    assert str(err.value) == "Model not fitted. Call fit() first."


def test_refit_replaces_state_and_caches():
    first = panel(ids=[0, 1, 2] * 8, k=2, seed=14)
    m = fitted(*first)
    old_cov = m.covariance_matrix()
    x, y, ids = panel(ids=[5, 6] * 10, k=2, seed=15)
    m.fit(x, y, ids)
    ref = lsdv(x, y, ids)
    np.testing.assert_allclose(m.covariance_matrix(), ref["mse"] * np.linalg.inv(demeaned(x, ids).T @ demeaned(x, ids)),
                               rtol=1e-9)
    assert not np.allclose(m.covariance_matrix(), old_cov)
    with pytest.raises(ValueError, match="Unknown entity ID: 0"):
        m.predict(x[:1], np.array([0]))


@pytest.mark.parametrize("bad", [
    constant_within(2),
    arrays(nan="y"),
    (np.ones((6, 3)), np.ones(6), np.array([0, 0, 1, 1, 2, 2], dtype=np.int64)),
], ids=["singular", "nan", "degrees_of_freedom"])
def test_failed_refit_changes_nothing(bad):
    m = fitted(*panel(ids=[0, 1, 2] * 8, k=2, seed=16))
    seen = (np.ones((2, 2)), np.array([0, 2], dtype=np.int64))  # entities of the first fit
    before = snapshot(CASE, m, seen)
    with pytest.raises((ValueError, RuntimeError)):
        m.fit(*bad)
    assert snapshot(CASE, m, seen) == before


def test_inputs_are_never_written():
    x, y, ids = panel(n=40, k=2, seed=17)
    copies = [a.copy() for a in (x, y, ids)]
    for a in (x, y, ids):
        a.flags.writeable = False
    m = fitted(x, y, ids, robust=True)
    m.predict(x, ids)
    for a, c in zip((x, y, ids), copies):
        np.testing.assert_array_equal(a, c)


# Inference uses df = n − k: the absorbed entities are not subtracted.
@pytest.mark.parametrize("n,groups", [(25, 3), (100, 10)], ids=["df23_student_t", "df98_normal"])
def test_p_values_and_intervals(n, groups):
    x, y, ids = panel(n=n, groups=groups, k=2, seed=18)
    m = fitted(x, y, ids)
    t, df = m.t_statistics(), n - 2
    # references: SciPy's Student's t with df = n − k, the normal approximation with 1.96 above 30
    p = 2 * scipy.stats.t.sf(np.abs(t), df) if df <= 30 else 2 * scipy.stats.norm.sf(np.abs(t))
    c = scipy.stats.t.ppf(0.975, df) if df <= 30 else 1.96
    np.testing.assert_allclose(m.p_values(), p, rtol=1e-9)
    se = m.standard_errors()
    np.testing.assert_allclose(m.confidence_intervals(), np.column_stack([m.coefficients - c * se,
                                                                           m.coefficients + c * se]), rtol=1e-12)


def scaled_condition_number(a):
    s = np.linalg.svd(a / np.linalg.norm(a, axis=0), compute_uv=False)
    return s[0] / s[-1]


def report_lines(m):
    return m.summary().split("\n")


@pytest.mark.parametrize("robust,cov_type", [(False, "nonrobust"), (True, "clustered")], ids=["classical", "robust"])
def test_summary(robust, cov_type):
    x, y, ids = panel(n=40, groups=4, k=2, seed=19)
    m = fitted(x, y, ids, robust=robust)
    lines = report_lines(m)
    assert lines[0] == " " * 28 + "Fixed Effects Regression Results"
    model = next(i for i, line in enumerate(lines) if line.startswith("Model:"))
    assert lines[model] == "Model:".ljust(25) + " Fixed Effects Regression Results " + "Adj. R-squared:".ljust(25) \
        + lines[model][-13:]
    assert lines[model + 1] == " " * 52 + "Within R-squared:".ljust(25) + " " + f"{m.within_r_squared:12.3f}"
    method = lines[model + 2]
    assert method.startswith("Method:".ljust(25) + " Within Estimator (Fixed Effects) F-statistic:")
    assert len(lines[model]) == len(method) == len(lines[model - 1]) + 7  # 32-character values in a 25 field
    assert "Covariance Type:".ljust(25) + " " + cov_type.ljust(25) in lines
    assert "Df Residuals:".ljust(25) + " " + "38".ljust(25) in "\n".join(lines)
    assert not any(line.startswith("const") for line in lines)
    rows = [line for line in lines if line.startswith("x")]
    assert [r.split()[:3] for r in rows] == [[f"x{j + 1}", f"{b:.4f}", f"{s:.3f}"]
                                             for j, (b, s) in enumerate(zip(m.coefficients, m.standard_errors()))]
    # diagnostics: the stored residuals and the within-transformed design
    e = m.residuals
    dw = np.sum(np.diff(e) ** 2) / np.sum(e ** 2)
    cond = scaled_condition_number(demeaned(x, ids))
    assert "Durbin-Watson:".ljust(25) + f" {dw:12.3f} " + "Cond. No.:".ljust(25) + f" {cond:12.3f}" in lines


def test_summary_follows_refit():
    m = fitted(*panel(n=40, groups=4, k=2, seed=20))
    m.summary()
    x, y, ids = panel(n=50, groups=5, k=2, seed=21)
    x[:, 1] = 10 * x[:, 1] + x[:, 0]
    m.fit(x, y, ids)
    assert f"{scaled_condition_number(demeaned(x, ids)):12.3f}" in next(
        line for line in report_lines(m) if line.startswith("Durbin-Watson:"))


def test_unfitted_summary_has_no_within_line_or_rows():
    text = korvalis.FE().summary()
    assert "Fixed Effects Regression Results" in text and "Within R-squared:" not in text
    assert "Diagnostic Notes:" not in text and "\nx1 " not in text
