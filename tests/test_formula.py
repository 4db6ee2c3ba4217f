"""korvalis.formula: formulas on pandas and polars frames, missing rows, names, the private accessors.

References: statsmodels (OLS, robust HC0, WLS, GLS), linearmodels (IV2SLS, unadjusted and debiased) and pyfixest
(feols with iid and entity-clustered errors without small-sample factors) fitted on the same frames with the same
formulas; the class fitted on the same arrays; identities (the named report is the class's report with the names put
in; listwise deletion over the formula's columns equals the fit on the frame cut by hand; a column's dtype does not
change the numbers).
"""

from __future__ import annotations

import inspect
import re
import subprocess
import sys
from pathlib import Path
from typing import Any, Callable

import numpy as np
import pandas as pd
import polars as pl
import pytest
import scipy.stats
import statsmodels.api as sm
import statsmodels.formula.api as smf
from linearmodels.iv import IV2SLS

import korvalis
from korvalis import formula as kf

DATA = Path(__file__).resolve().parent.parent / "examples" / "data"


def csv(name: str) -> pd.DataFrame:
    return pd.read_csv(DATA / name)


def ar1(rho: float, n: int) -> np.ndarray:
    return np.asarray(rho ** np.abs(np.subtract.outer(np.arange(n), np.arange(n))), dtype=np.float64)


LONGLEY = "TOTEMP ~ GNPDEFL + GNP + UNEMP + ARMED + POP + YEAR"
MROZ_OLS = "np.log(np.exp(lwage)) ~ educ + exper + I(exper**2)"
TSLS = "lwage ~ 1 + exper + expersq + [educ ~ motheduc + fatheduc]"
IV = "lwage ~ 1 + exper + expersq + [educ ~ fatheduc]"
GRUNFELD = "invest ~ value + capital | firm"


@pytest.fixture(scope="module")
def wages() -> pd.DataFrame:
    """Generated wage-like data with every column type the formula layer must take: int64, bool, nullable Int64,
    float32, str and categorical, with missing values in used and unused columns, and a non-default index."""
    rng = np.random.default_rng(22)
    n = 300
    d = pd.DataFrame({
        "educ": rng.integers(8, 20, n),
        "exper": rng.integers(0, 40, n),
        "union": rng.random(n) < 0.3,
        "kids": pd.array(rng.integers(0, 4, n), dtype="Int64"),
        "hours": rng.normal(40, 5, n).astype(np.float32),
        "region": rng.choice(["north", "south", "east", "west"], n),
        "sector": pd.Categorical(rng.choice(["a", "b", "c"], n)),
        "firm": rng.integers(0, 25, n) * 7 + 3,
        "notes": np.nan,
    }, index=pd.Index(np.arange(n) * 10 + 5, name="person"))
    d["wage"] = np.exp(0.5 + 0.08 * d.educ + 0.02 * d.exper - 0.0003 * d.exper**2 + 0.1 * d.union
                       + 0.01 * d.hours.astype(float) + rng.normal(0, 0.3, n))
    d.loc[d.index[[3, 40]], "educ"] = np.nan
    d.loc[d.index[7], "kids"] = pd.NA
    d.loc[d.index[[9, 41]], "region"] = None
    return d


# ------------------------------------------------------------------------------------------------ numbers vs peers


def statsmodels_case(fit: Callable[[], Any], peer: Callable[[], Any], tol: float) -> tuple[Any, Any, float]:
    return fit, peer, tol


PEER_CASES = {
    "ols-mroz": (lambda: kf.ols(MROZ_OLS, csv("mroz.csv")), lambda: smf.ols(MROZ_OLS, csv("mroz.csv")).fit(), 1e-10),
    "ols-hc0-mroz": (lambda: kf.ols(MROZ_OLS, csv("mroz.csv"), robust=True),
                     lambda: smf.ols(MROZ_OLS, csv("mroz.csv")).fit(cov_type="HC0"), 1e-10),
    "ols-longley": (lambda: kf.ols(LONGLEY, csv("longley.csv")), lambda: smf.ols(LONGLEY, csv("longley.csv")).fit(),
                    1e-6),
    "ols-categorical-interaction": (
        lambda: kf.ols("np.log(wage) ~ educ + C(region, Treatment('west')) + union + educ:union",
                       pd.read_csv(DATA / "mroz.csv").pipe(lambda d: d.assign(
                           wage=np.exp(d.lwage), union=d.kidslt6 > 0,
                           region=np.array(["north", "south", "east", "west"])[d.age % 4]))),
        lambda: smf.ols("np.log(wage) ~ educ + C(region, Treatment('west')) + union + educ:union",
                        pd.read_csv(DATA / "mroz.csv").pipe(lambda d: d.assign(
                            wage=np.exp(d.lwage), union=d.kidslt6 > 0,
                            region=np.array(["north", "south", "east", "west"])[d.age % 4]))).fit(), 1e-9),
    "wls-anes": (lambda: kf.wls("mean_selfLR ~ educ + income", csv("anes96_cells.csv"), weights="n"),
                 lambda: smf.wls("mean_selfLR ~ educ + income", csv("anes96_cells.csv"),
                                 weights=csv("anes96_cells.csv")["n"]).fit(), 1e-10),
    "gls-longley-ar1": (lambda: kf.gls(LONGLEY, csv("longley.csv"), sigma=ar1(0.3, 16)),
                        lambda: smf.gls(LONGLEY, csv("longley.csv"), sigma=ar1(0.3, 16)).fit(), 1e-6),
}


def test_peer_table_covers_the_in_memory_estimators() -> None:
    assert {k.split("-")[0] for k in PEER_CASES} == {"ols", "wls", "gls"}


@pytest.mark.parametrize("case", list(PEER_CASES), ids=list(PEER_CASES))
def test_statsmodels_numbers_and_names(case: str) -> None:
    fit, peer, tol = PEER_CASES[case]
    res, ref = fit(), peer()
    # the same names (patsy lists categorical terms first, formulaic by degree and as written; formulaic reads a
    # bool column as a number, patsy as a level)
    names = list(res.params.index)
    theirs = [n.replace("[T.True]", "") for n in ref.params.index]
    assert sorted(names) == sorted(theirs)

    def peer(values: Any) -> np.ndarray:
        return pd.Series(np.asarray(values), index=theirs)[names].to_numpy()

    for ours, expected in [(res.params, ref.params), (res.bse, ref.bse), (res.tvalues, ref.tvalues)]:
        np.testing.assert_allclose(ours.to_numpy(), peer(expected), rtol=tol)
    cov = pd.DataFrame(np.asarray(ref.cov_params()), index=theirs, columns=theirs).loc[names, names].to_numpy()
    np.testing.assert_allclose(res.cov_params().to_numpy(), cov, rtol=tol * 10, atol=1e-14 * np.abs(cov).max())
    assert res.nobs == ref.nobs and res.df_resid == ref.df_resid
    if case.startswith(("ols", "wls")):
        np.testing.assert_allclose(res.rsquared, ref.rsquared, rtol=1e-9)
        np.testing.assert_allclose(res.resid.to_numpy(), ref.resid.to_numpy(), rtol=1e-7, atol=1e-10)
        np.testing.assert_allclose(res.fittedvalues.to_numpy(), ref.fittedvalues.to_numpy(), rtol=1e-9)
        assert list(res.resid.index) == list(ref.resid.index)
    # The class's convention: Student's t up to 30 residual degrees of freedom, the normal beyond (1.96 at 95%).
    if res.df_resid <= 30:
        np.testing.assert_allclose(res.pvalues.to_numpy(), peer(ref.pvalues), rtol=1e-6)
        ci = np.asarray(ref.conf_int())
        np.testing.assert_allclose(res.conf_int().to_numpy(), np.column_stack([peer(ci[:, 0]), peer(ci[:, 1])]),
                                   rtol=1e-6)
    else:
        normal = 2 * scipy.stats.norm.sf(np.abs(peer(ref.tvalues)))
        np.testing.assert_allclose(res.pvalues.to_numpy(), normal, rtol=1e-8, atol=1e-300)
        b, s = peer(ref.params), peer(ref.bse)
        np.testing.assert_allclose(res.conf_int().to_numpy(), np.column_stack([b - 1.96 * s, b + 1.96 * s]),
                                   rtol=1e-9)


@pytest.mark.parametrize("estimator, formula", [(kf.iv, IV), (kf.tsls, TSLS)], ids=["iv", "tsls"])
def test_iv_and_tsls_match_linearmodels(estimator: Any, formula: str) -> None:
    d = csv("mroz.csv")
    res = estimator(formula, d)
    ref = IV2SLS.from_formula(formula, d).fit(cov_type="unadjusted", debiased=True)
    names = ["Intercept", "exper", "expersq", "educ"]
    assert list(res.params.index) == names
    order = ["Intercept", "exper", "expersq", "educ"]
    np.testing.assert_allclose(res.params.to_numpy(), ref.params[order].to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(res.bse.to_numpy(), ref.std_errors[order].to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(res.tvalues.to_numpy(), ref.tstats[order].to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(res.cov_params().to_numpy(), ref.cov.loc[order, order].to_numpy(), rtol=1e-8)
    # df = 424 ≥ 31: p-values and intervals from the normal, as the class's report prints them.
    normal = 2 * scipy.stats.norm.sf(np.abs(ref.tstats[order].to_numpy()))
    np.testing.assert_allclose(res.pvalues.to_numpy(), normal, rtol=1e-8)
    ci = res.conf_int(0.05).to_numpy()
    np.testing.assert_allclose(ci[:, 1] - ci[:, 0], 2 * 1.96 * res.bse.to_numpy(), rtol=1e-12)
    np.testing.assert_allclose(res.rsquared, ref.rsquared, rtol=1e-9)
    np.testing.assert_allclose(res.resid.to_numpy(), ref.resids.to_numpy(), rtol=1e-8, atol=1e-12)


def test_tsls_small_sample_uses_student_t_like_its_report() -> None:
    d = csv("mroz.csv").iloc[:25]
    res = kf.tsls(TSLS, d)
    assert res.df_resid == 21
    ref = IV2SLS.from_formula(TSLS, d).fit(cov_type="unadjusted", debiased=True)
    order = list(res.params.index)
    np.testing.assert_allclose(res.pvalues.to_numpy(), ref.pvalues[order].to_numpy(), rtol=1e-7)
    np.testing.assert_allclose(res.conf_int().to_numpy(), ref.conf_int().loc[order].to_numpy(), rtol=1e-7)
    # the report prints the same rows
    row = next(line for line in res.summary().splitlines() if line.startswith("educ "))
    assert row.split()[1:] == [f"{res.params['educ']:.4f}", f"{res.bse['educ']:.3f}", f"{res.tvalues['educ']:.3f}",
                               f"{res.pvalues['educ']:.3f}", *(f"{v:.3f}" for v in res.conf_int().loc["educ"])]


@pytest.mark.parametrize("robust", [False, True], ids=["iid", "clustered"])
def test_fe_matches_pyfixest(robust: bool) -> None:
    pf = pytest.importorskip("pyfixest")
    d = csv("grunfeld.csv")
    res = kf.fe(GRUNFELD, d, robust=robust)
    vcov: Any = {"CRV1": "firm"} if robust else "iid"
    # no small-sample factor on the clustered errors, as the class computes them
    plain = {"k_adj": False, "G_adj": False} if "k_adj" in inspect.signature(pf.ssc).parameters else {
        "adj": False, "cluster_adj": False}
    ref = pf.feols(GRUNFELD, d, vcov=vcov, ssc=pf.ssc(**plain) if robust else pf.ssc())
    np.testing.assert_allclose(res.params.to_numpy(), ref.coef().to_numpy(), rtol=1e-10)
    np.testing.assert_allclose(res.bse.to_numpy(), ref.se().to_numpy(), rtol=1e-8)
    np.testing.assert_allclose(res.cov_params().to_numpy(), ref._vcov, rtol=1e-8)
    np.testing.assert_allclose(res.rsquared, ref._r2, rtol=1e-10)
    np.testing.assert_allclose(res.fittedvalues.to_numpy(), ref.predict(), rtol=1e-9)
    assert list(res.params.index) == ["value", "capital"] and res.df_resid == 218
    assert list(res.fixed_effects.index) == list(dict.fromkeys(d["firm"]))


def test_numbers_equal_the_class_on_the_same_arrays(wages: pd.DataFrame) -> None:
    res = kf.ols("np.log(wage) ~ educ + exper + union", wages, robust=True)
    kept = wages.dropna(subset=["wage", "educ", "exper", "union"])
    x = kept[["educ", "exper", "union"]].to_numpy(dtype=float)
    m = korvalis.OLS(robust=True)
    m.fit(x, np.log(kept.wage.to_numpy()))
    np.testing.assert_array_equal(res.params.to_numpy(), np.r_[m.intercept, m.coefficients])
    np.testing.assert_array_equal(res.bse.to_numpy()[1:], m.standard_errors())
    np.testing.assert_array_equal(res.pvalues.to_numpy()[1:], m.p_values())
    np.testing.assert_array_equal(res.conf_int(0.1).to_numpy()[1:], m.confidence_intervals(0.1))
    assert isinstance(res.model, korvalis.OLS) and res.model.robust


# ------------------------------------------------------------------------------------------------ the report


REPORT_CASES = {
    "ols": lambda: kf.ols(MROZ_OLS, csv("mroz.csv")),
    "ols-no-intercept": lambda: kf.ols("lwage ~ 0 + educ + exper", csv("mroz.csv")),
    "wls": lambda: kf.wls("mean_selfLR ~ educ + income", csv("anes96_cells.csv"), weights="n"),
    "gls": lambda: kf.gls(LONGLEY, csv("longley.csv"), sigma=ar1(0.3, 16)),
    "iv": lambda: kf.iv(IV, csv("mroz.csv")),
    "tsls": lambda: kf.tsls(TSLS, csv("mroz.csv")),
    "fe": lambda: kf.fe(GRUNFELD, csv("grunfeld.csv"), robust=True),
}


def stamp_free(text: str) -> list[str]:
    return [line for line in text.splitlines() if not line.startswith(("Date:", "Time:"))]


@pytest.mark.parametrize("case", list(REPORT_CASES), ids=list(REPORT_CASES))
def test_named_report_is_the_class_report_with_names(case: str) -> None:
    res = REPORT_CASES[case]()
    ours = stamp_free(res.summary())
    theirs = stamp_free(res.model.summary())
    names = list(res.params.index)
    default = (["const"] if res.model.__class__.__name__ != "FE" and res.model.fit_intercept else []) + [
        f"x{i}" for i in range(1, res.model.n_features + 1)]
    expected = []
    for line in theirs:
        if line.startswith("Dep. Variable:"):
            line = line.replace("y" + " " * 24, f"{res._design.target_name:<25}", 1)
        head = line[:15].strip()
        if head in default and line[15] == " ":
            line = f"{names[default.index(head)]:<15}" + line[15:]
        expected.append(line)
        if line.startswith("Covariance Type:"):
            expected.append(f"{'Dropped (missing):':<25} {res.n_missing:<25}")
    assert ours == expected


def test_a_longer_name_widens_its_line() -> None:
    d = csv("mroz.csv").rename(columns={"educ": "years_of_completed_schooling"})
    text = kf.ols("lwage ~ years_of_completed_schooling", d).summary()
    row = next(line for line in text.splitlines() if line.startswith("years_of_completed_schooling"))
    assert row.startswith("years_of_completed_schooling ") and len(row) == 75 + len("years_of_completed_schooling") - 15
    assert re.search(r"^Dropped \(missing\): +0 *$", text, flags=re.M)


# ------------------------------------------------------------------------------------------------ missing rows


@pytest.mark.parametrize(
    "formula, used",
    [
        ("np.log(wage) ~ educ + exper", ["wage", "educ", "exper"]),
        ("np.log(wage) ~ educ + kids + C(region)", ["wage", "educ", "kids", "region"]),
        ("np.log(wage) ~ exper + hours + sector", ["wage", "exper", "hours", "sector"]),
    ],
    ids=["numeric", "nullable-and-string", "no-missing"],
)
def test_rows_are_dropped_over_the_formula_columns_only(wages: pd.DataFrame, formula: str, used: list[str]) -> None:
    res = kf.ols(formula, wages)
    kept = wages.dropna(subset=used)
    assert res.nobs == len(kept) and res.n_missing == len(wages) - len(kept)
    assert list(res.resid.index) == list(kept.index) and list(res.dropped_index) == sorted(
        set(wages.index) - set(kept.index))
    # statsmodels drops the same rows (patsy's missing="drop" over the formula's columns)
    ref = smf.ols(formula, kept.astype({"kids": float, "hours": float})).fit()
    assert sorted(res.params.index) == sorted(ref.params.index)
    np.testing.assert_allclose(res.params.to_numpy(), ref.params[res.params.index].to_numpy(), rtol=1e-9)
    assert re.search(rf"^Dropped \(missing\): +{res.n_missing} *$", res.summary(), flags=re.M)


CARD_IV = "lwage ~ 1 + exper + expersq + black + south + smsa + [educ ~ nearc4]"
CARD_TSLS = "lwage ~ 1 + exper + expersq + black + south + smsa + IQ + [educ ~ nearc4 + nearc2]"


@pytest.mark.parametrize(
    "estimator, formula, nobs", [(kf.iv, CARD_IV, 3010), (kf.tsls, CARD_TSLS, 2061)], ids=["iv", "tsls-with-iq"])
def test_card_keeps_the_rows_its_formula_can_use(estimator: Any, formula: str, nobs: int) -> None:
    """Card's 3010 men: a whole-frame dropna() keeps 1600 of them; the formula's own columns keep all 3010, or the
    2061 with an IQ score. linearmodels drops the same rows."""
    card = pytest.importorskip("linearmodels.datasets.card").load()
    assert len(card.dropna()) == 1600
    res = estimator(formula, card)
    ref = IV2SLS.from_formula(formula, card).fit(cov_type="unadjusted", debiased=True)
    assert res.nobs == ref.nobs == nobs and res.n_missing == 3010 - nobs
    names = list(res.params.index)
    np.testing.assert_allclose(res.params.to_numpy(), ref.params[names].to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(res.bse.to_numpy(), ref.std_errors[names].to_numpy(), rtol=1e-9)


def test_wage_panel_fe_matches_panelols() -> None:
    from linearmodels import PanelOLS

    panel = pytest.importorskip("linearmodels.datasets.wage_panel").load()
    res = kf.fe("lwage ~ expersq + union + married | nr", panel)
    ref = PanelOLS.from_formula("lwage ~ expersq + union + married + EntityEffects",
                                panel.set_index(["nr", "year"])).fit()
    np.testing.assert_allclose(res.params.to_numpy(), ref.params.to_numpy(), rtol=1e-10)
    np.testing.assert_allclose(res.bse.to_numpy(), ref.std_errors.to_numpy(), rtol=1e-10)
    assert res.nobs == 4360 and list(res.params.index) == ["expersq", "union", "married"]


def test_missing_raise_names_each_column_and_count(wages: pd.DataFrame) -> None:
    with pytest.raises(ValueError) as e:
        kf.ols("np.log(wage) ~ educ + kids + C(region) + notes", wages, missing="raise")
    assert str(e.value) == ("Missing values in the columns the model uses: 'educ' (2 rows), 'kids' (1 row), "
                            "'region' (2 rows), 'notes' (300 rows)")


def test_weights_and_sigma_follow_the_kept_rows(wages: pd.DataFrame) -> None:
    w = np.linspace(1, 3, len(wages))
    res = kf.wls("np.log(wage) ~ educ + exper", wages, weights=w)
    keep = wages.educ.notna().to_numpy()
    ref = smf.wls("np.log(wage) ~ educ + exper", wages[keep], weights=w[keep]).fit()
    np.testing.assert_allclose(res.params.to_numpy(), ref.params.to_numpy(), rtol=1e-10)
    by_column = kf.wls("np.log(wage) ~ educ + exper", wages.assign(w=w), weights="w")
    np.testing.assert_array_equal(by_column.params.to_numpy(), res.params.to_numpy())
    sigma = ar1(0.5, len(wages))
    g = kf.gls("np.log(wage) ~ educ + exper", wages, sigma=sigma)
    ref = sm.GLS(np.log(wages.wage[keep]), sm.add_constant(wages[keep][["educ", "exper"]].astype(float)),
                 sigma=sigma[np.ix_(keep, keep)]).fit()
    np.testing.assert_allclose(g.params.to_numpy(), ref.params.to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(g.bse.to_numpy(), ref.bse.to_numpy(), rtol=1e-9)


# ------------------------------------------------------------------------------------------------ errors


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda d: kf.ols("np.log(wage) ~ educ + nosuch", d), ValueError,
         "Unknown column 'nosuch' in formula 'np.log(wage) ~ educ + nosuch': the data has no such column"),
        (lambda d: kf.ols("np.log(exper) ~ educ", d), ValueError,
         "Input contains NaN or infinite values: 'np.log(exper)' ({zero_exper} rows)"),
        (lambda d: kf.ols("wage ~ np.log(exper) + np.sqrt(educ - 10)", d), ValueError,
         "Input contains NaN or infinite values: 'np.log(exper)' ({zero_exper} rows), 'np.sqrt(educ - 10)' "
         "({low_educ} rows)"),
        (lambda d: kf.wls("wage ~ educ", d, weights=np.r_[np.inf, np.ones(299)]), ValueError,
         "Input contains NaN or infinite values: 'weights' (1 row)"),
        (lambda d: kf.wls("wage ~ educ", d, weights="nosuch"), ValueError,
         "Unknown column 'nosuch' given as weights: the data has no such column"),
        (lambda d: kf.wls("wage ~ educ", d, weights=np.ones(5)), ValueError,
         "weights must hold one value per row of the data (300), not shape (5,)"),
        (lambda d: kf.fe("wage ~ educ", d), ValueError,
         "fe() needs the entity after one bar, as in 'y ~ x1 + x2 | entity'; got 'wage ~ educ'"),
        (lambda d: kf.fe("wage ~ educ | nosuch", d), ValueError,
         "Unknown column 'nosuch' in formula 'wage ~ educ | nosuch': the data has no such column"),
        (lambda d: kf.ols("wage ~ educ | firm", d), ValueError,
         "only fe() takes an entity after '|'; got 'wage ~ educ | firm'"),
        (lambda d: kf.tsls("wage ~ educ", d), ValueError,
         "tsls() needs one bracketed part '[endogenous ~ instruments]', as in 'y ~ 1 + exog + [endog ~ z1 + z2]'; "
         "got 'wage ~ educ'"),
        (lambda d: kf.ols("wage ~ [educ ~ exper]", d), ValueError,
         "only iv() and tsls() take a bracketed '[endogenous ~ instruments]' part; got 'wage ~ [educ ~ exper]'"),
        (lambda d: kf.iv("wage ~ exper + [educ ~ hours + kids]", d), ValueError,
         "iv() needs exactly one excluded instrument per endogenous regressor; the formula has 2 for 1: use tsls() "
         "for more instruments than endogenous regressors"),
        (lambda d: kf.iv("wage ~ exper + [educ + hours ~ kids]", d), ValueError,
         "iv() needs exactly one excluded instrument per endogenous regressor; the formula has 1 for 2"),
        (lambda d: kf.tsls("wage ~ exper + [educ + hours ~ kids]", d), ValueError,
         "tsls() needs at least one excluded instrument per endogenous regressor; the formula has 1 for 2"),
        (lambda d: kf.ols("wage ~ 1", d), ValueError,
         "the formula 'wage ~ 1' leaves no regressor besides the intercept"),
        (lambda d: kf.ols("wage ~ center(nosuch)", d), ValueError,
         "Unknown column 'nosuch' in formula 'wage ~ center(nosuch)': the data has no such column"),
        (lambda d: kf.ols("wage ~ educ", d, missing="keep"), ValueError, "missing must be 'drop' or 'raise', not 'keep'"),
        (lambda d: kf.ols("wage ~ educ + notes", d), ValueError,
         "Every row has a missing value in the columns the model uses: 'educ' (2 rows), 'notes' (300 rows)"),
        (lambda d: kf.wls("wage ~ educ", d, weights=np.r_[-1.0, np.ones(299)]), ValueError,
         "All weights must be positive and finite"),
        (lambda d: kf.ols("wage ~ educ", d.to_numpy()), TypeError, "data must be a pandas or polars DataFrame, not ndarray"),
        (lambda d: kf.gls("wage ~ educ", d, sigma=np.eye(3)), ValueError,
         "sigma must be 300 x 300 (one row and column per row of the data), not 3 x 3"),
    ],
    ids=["unknown-column", "log-zero", "two-bad-columns", "bad-weights", "unknown-weights", "short-weights",
         "fe-no-bar", "fe-unknown-entity", "bar-outside-fe", "tsls-no-bracket", "bracket-outside-iv",
         "iv-overidentified", "iv-underidentified", "tsls-underidentified", "intercept-only",
         "unknown-inside-transform", "bad-missing", "all-rows-missing", "negative-weight", "not-a-frame", "sigma-shape"],
)
def test_errors_name_what_is_wrong(wages: pd.DataFrame, call: Any, error: type, message: str) -> None:
    kept = wages[wages.educ.notna()]  # the rows the formulas with educ keep
    counts = {"zero_exper": int((kept.exper == 0).sum()), "low_educ": int((kept.educ < 10).sum())}
    assert min(counts.values()) > 1
    with pytest.raises(error) as e:
        call(wages)
    assert str(e.value) == message.format(**counts)


@pytest.mark.parametrize(
    "fit, error, message",
    [
        (lambda d: kf.ols("wage ~ north + south + east + west + educ", d), RuntimeError,
         "Matrix is singular: 'Intercept', 'north', 'south', 'east', 'west' are linearly dependent"),
        (lambda d: kf.ols("wage ~ educ + exper + twice", d), RuntimeError,
         "Matrix is singular: 'Intercept', 'exper', 'twice' are linearly dependent"),
        (lambda d: kf.fe("wage ~ educ + firm_size | firm", d), RuntimeError,
         "Matrix is singular: 'firm_size' is constant within every entity (the entity effects absorb it)"),
        (lambda d: kf.fe("wage ~ educ + exper + mix | firm", d), RuntimeError,
         "Matrix is singular: 'educ', 'exper', 'mix' are linearly dependent within entities"),
        (lambda d: kf.tsls("wage ~ 1 + exper + [educ ~ zero]", d), ValueError,
         "X̂'X̂ matrix is singular: instruments: 'zero' is zero in every row used"),
    ],
    ids=["dummy-trap", "collinear", "fe-entity-constant", "fe-within-dependent", "tsls-zero-instrument"],
)
def test_rank_deficiency_names_the_columns(wages: pd.DataFrame, fit: Any, error: type, message: str) -> None:
    d = wages.dropna(subset=["educ", "region"]).copy()
    for r in ["north", "south", "east", "west"]:
        d[r] = (d.region == r).astype(float)
    d["twice"] = 2 * d.exper + 1
    d["firm_size"] = d.firm * 0.5
    d["mix"] = d.educ - 2 * d.exper + d.firm  # an entity-level offset of a combination of two regressors
    d["zero"] = 0.0
    with pytest.raises(error) as e:
        fit(d)
    assert type(e.value) is error and str(e.value) == message
    # chained to the class's own refusal
    assert type(e.value.__cause__) is error and str(e.value.__cause__) == message.split(": ", 1)[0]


def test_nearly_collinear_design_the_class_fits_is_not_refused(wages: pd.DataFrame) -> None:
    d = wages.dropna(subset=["educ"]).assign(close=lambda f: f.exper + 1e-6 * np.sin(np.arange(len(f))))
    res = kf.ols("wage ~ exper + close", d)
    m = korvalis.OLS()
    m.fit(d[["exper", "close"]].to_numpy(dtype=float), d.wage.to_numpy())
    np.testing.assert_array_equal(res.params.to_numpy()[1:], m.coefficients)


# ------------------------------------------------------------------------------------------------ data types


def test_polars_nulls_keep_integer_and_boolean_columns(wages: pd.DataFrame) -> None:
    d = wages.reset_index().assign(flag=lambda f: pd.array(f.union, dtype="boolean"))
    d.loc[[1, 2], "flag"] = pd.NA
    formula = "np.log(wage) ~ C(kids) + flag + educ"
    res = kf.ols(formula, d)
    other = kf.ols(formula, pl.from_pandas(d.drop(columns="notes")))
    assert list(other.params.index) == list(res.params.index)
    assert "C(kids)[T.1]" in res.params.index and "flag" in res.params.index
    np.testing.assert_allclose(other.params.to_numpy(), res.params.to_numpy(), rtol=1e-12)
    assert other.n_missing == res.n_missing == 5


def test_polars_frame_gives_the_pandas_numbers(wages: pd.DataFrame) -> None:
    formula = "np.log(wage) ~ educ + union + kids + hours + C(region) + sector"
    res = kf.ols(formula, wages)
    frame = pl.from_pandas(wages.reset_index().drop(columns="notes"))
    other = kf.ols(formula, frame)
    assert list(other.params.index) == list(res.params.index)
    np.testing.assert_allclose(other.params.to_numpy(), res.params.to_numpy(), rtol=1e-12)
    assert other.nobs == res.nobs and other.n_missing == res.n_missing


@pytest.mark.parametrize(
    "convert",
    [lambda s: s, lambda s: s.astype(np.int32), lambda s: s.astype(str), lambda s: s.astype("category"),
     lambda s: s.astype("Int64"), lambda s: s.astype(float)],
    ids=["int64", "int32", "str", "category", "Int64", "float"],
)
def test_entity_columns_of_any_type_are_coded(wages: pd.DataFrame, convert: Any) -> None:
    d = wages.dropna(subset=["educ"])
    res = kf.fe("np.log(wage) ~ educ + exper | firm", d.assign(firm=convert(d.firm)))
    m = korvalis.FE()
    m.fit(d[["educ", "exper"]].to_numpy(dtype=float), np.log(d.wage.to_numpy()), d.firm.to_numpy(dtype=np.int64))
    np.testing.assert_allclose(res.params.to_numpy(), m.coefficients, rtol=1e-12)
    np.testing.assert_allclose(res.fixed_effects.to_numpy(), m.fixed_effects, rtol=1e-10)
    assert [str(v) for v in res.fixed_effects.index] == [str(v) for v in convert(d.firm).drop_duplicates()]


@pytest.mark.parametrize(
    "formula, intercept", [("lwage ~ educ", True), ("lwage ~ 0 + educ", False), ("lwage ~ educ - 1", False)],
    ids=["default", "zero-plus", "minus-one"],
)
def test_the_formula_intercept_is_fit_intercept(formula: str, intercept: bool) -> None:
    res = kf.ols(formula, csv("mroz.csv"))
    assert res.model.fit_intercept is intercept and res.model.n_features == 1
    assert list(res.params.index) == (["Intercept"] if intercept else []) + ["educ"]


# ------------------------------------------------------------------------------------------------ predict


def test_predict_aligns_with_the_new_index_and_keeps_levels(wages: pd.DataFrame) -> None:
    formula = "np.log(wage) ~ educ + I(exper**2) + C(region)"
    res = kf.ols(formula, wages)
    new = wages.iloc[:12]
    out = res.predict(new)
    assert list(out.index) == list(new.index)
    missing = new.educ.isna() | new.region.isna()
    assert out[missing].isna().all() and out[~missing].notna().all()
    ref = smf.ols(formula, wages).fit()
    np.testing.assert_allclose(out[~missing].to_numpy(), ref.predict(new[~missing]).to_numpy(), rtol=1e-10)
    # one row alone still gets the training levels
    one = res.predict(new[~missing].iloc[[0]])
    assert one.iloc[0] == pytest.approx(out[~missing].iloc[0], rel=1e-12)
    with pytest.raises(ValueError, match=r"^Levels the model was not fitted on: \{'mars'\}$"):
        res.predict(new[~missing].assign(region="mars"))


def test_fe_entity_may_be_an_index_level() -> None:
    d = csv("grunfeld.csv")
    panel = d.set_index(["firm", "year"])
    res, ref = kf.fe(GRUNFELD, panel), kf.fe(GRUNFELD, d)
    np.testing.assert_array_equal(res.params.to_numpy(), ref.params.to_numpy())
    assert list(res.resid.index) == list(panel.index)
    np.testing.assert_array_equal(res.predict(panel.iloc[:3]).to_numpy(), ref.predict(d.iloc[:3]).to_numpy())


def test_fe_predict_adds_each_entity_effect_and_refuses_unknown_ones() -> None:
    d = csv("grunfeld.csv")
    res = kf.fe(GRUNFELD, d)
    out = res.predict(d.iloc[[0, 25, 219]])
    np.testing.assert_allclose(out.to_numpy(), res.fittedvalues.iloc[[0, 25, 219]].to_numpy(), rtol=1e-12)
    with pytest.raises(ValueError) as e:
        res.predict(d.iloc[:2].assign(firm="Acme"))
    assert str(e.value) == "Unknown entity 'Acme' in column 'firm': not among the entities the model was fitted on"


# ------------------------------------------------------------------------------------------------ the module


def test_importing_korvalis_imports_no_formula_dependency() -> None:
    code = ("import sys, korvalis; bad = [m for m in ('pandas', 'formulaic', 'polars', 'pyarrow', 'scipy') "
            "if m in sys.modules]; print(bad, sorted(k for k in vars(korvalis) if not k.startswith('__')))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[] ['FE', 'GLS', 'IV', 'OLS', 'TSLS', 'WLS']"


def test_the_formula_submodule_adds_its_own_name_only() -> None:
    code = ("import korvalis.formula, korvalis; "
            "print(sorted(k for k in vars(korvalis) if not k.startswith('__')), korvalis.__all__)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == ("['FE', 'GLS', 'IV', 'OLS', 'TSLS', 'WLS', 'formula'] "
                           "['OLS', 'GLS', 'WLS', 'IV', 'TSLS', 'FE']")


@pytest.mark.parametrize("name", ["covariance", "inference", "summary"])
def test_private_accessors_refuse_what_is_not_an_estimator(name: str) -> None:
    import importlib

    kernels = importlib.import_module("korvalis._kernels")
    vars(korvalis).pop("_kernels", None)
    args: list[Any] = {"covariance": [object()], "inference": [object(), 0.05],
                       "summary": [object(), "y", [], None]}[name]
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes a korvalis estimator .* not 'object'$"):
        getattr(kernels, name)(*args)
    assert kernels.covariance(korvalis.OLS()) is None and kernels.inference(korvalis.TSLS(), 0.05) is None


# ------------------------------------------------------------------------------------------------ Dask frames
# Reference: the same formula on the same rows in memory (the class fitted on the whole pandas frame), for any
# partitioning; the in-memory layer's own numbers are checked against the peers above.

DASK_CASES = {
    "ols": (lambda d: kf.ols("np.log(wage) ~ educ + I(exper**2) + union + kids + sector", d), 1),
    "ols-hc0-many-partitions": (lambda d: kf.ols("np.log(wage) ~ educ + exper + sector", d, robust=True), 13),
    "wls-weights-column": (lambda d: kf.wls("np.log(wage) ~ educ + exper", d, weights="hours"), 4),
    "iv": (lambda d: kf.iv("np.log(wage) ~ 1 + exper + [educ ~ kids]", d), 3),
    "tsls": (lambda d: kf.tsls("np.log(wage) ~ 1 + exper + union + [educ ~ kids + hours + sector]", d), 6),
    "fe-clustered": (lambda d: kf.fe("np.log(wage) ~ educ + exper + union | firm", d, robust=True), 4),
    # string entities, numbered in one order of first appearance over all partitions
    "fe-string-entity": (lambda d: kf.fe("np.log(wage) ~ educ + exper | name",
                                         d.assign(name="firm " + (d.firm * 7 % 13).astype(str))), 5),
}


@pytest.mark.parametrize("case", list(DASK_CASES), ids=list(DASK_CASES))
def test_dask_frame_fits_as_in_memory(wages: pd.DataFrame, case: str) -> None:
    dd = pytest.importorskip("dask.dataframe")
    fit, partitions = DASK_CASES[case]
    frame = wages.drop(columns=["region", "notes"]).astype({"hours": np.float64})
    res, ref = fit(dd.from_pandas(frame, npartitions=partitions)), fit(frame)
    assert list(res.params.index) == list(ref.params.index)
    for ours, theirs in [(res.params, ref.params), (res.bse, ref.bse), (res.pvalues, ref.pvalues)]:
        np.testing.assert_allclose(ours.to_numpy(), theirs.to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(res.cov_params().to_numpy(), ref.cov_params().to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(res.conf_int().to_numpy(), ref.conf_int().to_numpy(), rtol=1e-9)
    assert (res.nobs, res.n_missing, res.missing_counts) == (ref.nobs, ref.n_missing, ref.missing_counts)
    np.testing.assert_allclose(res.resid.compute(), ref.resid.to_numpy(), rtol=1e-7, atol=1e-12)
    np.testing.assert_allclose(res.fittedvalues.compute(), ref.fittedvalues.to_numpy(), rtol=1e-10)
    assert stamp_free(res.summary())[2:] == stamp_free(ref.summary())[2:]
    if res.fixed_effects is not None:
        pd.testing.assert_series_equal(res.fixed_effects, ref.fixed_effects, rtol=1e-9)
    if case != "fe-string-entity":  # (whose entity column the case adds to the frame it fits)
        out = res.predict(dd.from_pandas(frame.iloc[:40], npartitions=3)).compute()
        pd.testing.assert_series_equal(out, ref.predict(frame.iloc[:40]), rtol=1e-12)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda d: kf.ols("wage ~ educ + region", d), ValueError,
         "the levels of 'region' cannot be known before every partition of the Dask DataFrame is read; declare them "
         "as a categorical column with known categories, for example df = df.categorize(columns=[...]) or "
         "df[col] = df[col].astype(pd.CategoricalDtype([...]))"),
        (lambda d: kf.ols("wage ~ educ + C(firm)", d), ValueError,
         "the levels of 'C(firm)' cannot be known before every partition of the Dask DataFrame is read; declare them "
         "as a categorical column with known categories, for example df = df.categorize(columns=[...]) or "
         "df[col] = df[col].astype(pd.CategoricalDtype([...]))"),
        (lambda d: kf.ols("wage ~ center(exper)", d), ValueError,
         "'center(exper)' learns its parameters from the whole column, which no partition of a Dask DataFrame "
         "holds: compute the transformed column on the frame first"),
        (lambda d: kf.gls("wage ~ educ", d, sigma=np.eye(300)), TypeError,
         "gls() takes pandas and polars DataFrames: korvalis.dask fits OLS, WLS, IV, TSLS and FE over partitions, not "
         "GLS; compute() the Dask DataFrame to fit gls() in memory"),
        (lambda d: kf.fe("wage ~ educ | nope", d), ValueError,
         "Unknown column 'nope' in formula 'wage ~ educ | nope': the data has no such column"),
        (lambda d: kf.iv("wage ~ exper + [educ ~ hours + kids]", d), ValueError,
         "iv() needs exactly one excluded instrument per endogenous regressor; the formula has 2 for 1: use tsls() "
         "for more instruments than endogenous regressors"),
        (lambda d: kf.tsls("wage ~ exper + [educ ~ kids + C(firm)]", d), ValueError,
         "the levels of 'C(firm)' cannot be known before every partition of the Dask DataFrame is read; declare them "
         "as a categorical column with known categories, for example df = df.categorize(columns=[...]) or "
         "df[col] = df[col].astype(pd.CategoricalDtype([...]))"),
        (lambda d: kf.wls("wage ~ educ", d, weights=np.ones(300)), TypeError,
         "on a Dask DataFrame the weights are one of its columns: give the column's name"),
        (lambda d: kf.ols("np.log(exper) ~ educ", d), ValueError,
         "Input contains NaN or infinite values: 'np.log(exper)' ({zero_exper} rows)"),
        (lambda d: kf.ols("wage ~ educ + twice", d.assign(twice=2 * d.educ)), RuntimeError,
         "Matrix is singular: 'educ', 'twice' are linearly dependent"),
        (lambda d: kf.ols("wage ~ educ + kids", d, missing="raise"), ValueError,
         "Missing values in the columns the model uses: 'educ' (2 rows), 'kids' (1 row)"),
    ],
    ids=["string-levels", "integer-levels", "stateful-transform", "gls", "fe-unknown-entity", "iv-overidentified",
         "instrument-levels",
         "weights-array", "log-zero", "collinear", "missing-raise"],
)
def test_dask_frame_errors(wages: pd.DataFrame, call: Any, error: type, message: str) -> None:
    dd = pytest.importorskip("dask.dataframe")
    frame = dd.from_pandas(wages.drop(columns="notes"), npartitions=3)
    zero_exper = int((wages[wages.educ.notna()].exper == 0).sum())
    with pytest.raises(error) as e:
        call(frame)
    assert str(e.value) == message.format(zero_exper=zero_exper)


def test_dask_frame_with_declared_levels_fits(wages: pd.DataFrame) -> None:
    dd = pytest.importorskip("dask.dataframe")
    frame = wages.drop(columns="notes")
    declared = dd.from_pandas(frame, npartitions=5).categorize(columns=["region"])
    res = kf.ols("np.log(wage) ~ educ + C(region, Treatment('west'))", declared)
    ref = kf.ols("np.log(wage) ~ educ + C(region, Treatment('west'))", frame)
    assert list(res.params.index) == list(ref.params.index)
    np.testing.assert_allclose(res.params.to_numpy(), ref.params.to_numpy(), rtol=1e-10)
