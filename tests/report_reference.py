"""An independent rendering of the OLS report, for comparison with ``summary()``.

The numbers come from statsmodels (estimates, standard errors, R², F, Durbin-Watson,
Jarque-Bera), SciPy (Student's t, normal, chi-squared and F tails and quantiles) and NumPy
(moments, the omnibus statistic, the condition number of the column-scaled design). The
layout is written out here a second time, field by field, from the documented widths.
Python's float formatting rounds the exact binary value with ties to even, like glibc's.
"""

import math

import numpy as np
import scipy.stats as st
import statsmodels.api as sm
from statsmodels.stats.stattools import durbin_watson, jarque_bera

DATE_LINE_PREFIX = "Date:"
TIME_LINE_PREFIX = "Time:"


def num(v, decimals):
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    return f"{v:.{decimals}f}"


def exponent(v):
    if math.isnan(v):
        return "NaN"
    mantissa, exp = f"{v:.2e}".split("e")
    return f"{mantissa}e{int(exp)}"


def pair(label, value, label2, number):
    return f"{label:<25} {value:<25} {label2:<25} {number:>12}\n"


def single(label, value):
    return f"{label:<25} {value:<25}\n"


def stats_line(label, v, label2, v2):
    return f"{label:<25} {num(v, 3):>12} {label2:<25} {num(v2, 3):>12}\n"


def ieee_ratio(b, s):
    with np.errstate(divide="ignore", invalid="ignore"):
        return float(np.float64(b) / np.float64(s))


def row(name, b, s, c, df):
    t = ieee_ratio(b, s)
    return (f"{name:<15} {num(b, 4):>10} {num(s, 3):>10} {num(t, 3):>10} {num(p_value(t, df), 3):>10}"
            f" {num(b - c * s, 3):>7} {num(b + c * s, 3):>7}\n")


def p_value(t, df):
    """Two-sided p-value: Student's t for 1 ≤ df ≤ 30, the normal distribution above."""
    if df == 0:
        return 1.0
    if math.isnan(t):
        return math.nan
    if df <= 30:
        return 2.0 * st.t.sf(abs(t), df)
    return 2.0 * st.norm.sf(abs(t))


def critical(df, alpha=0.05):
    if 1 <= df <= 30:
        return st.t.isf(alpha / 2, df)
    return 1.96 if alpha == 0.05 else st.norm.isf(alpha / 2)


def omnibus(e):
    """The report's omnibus statistic: squared standardised skewness plus squared
    standardised excess kurtosis, with the exact small-sample variances."""
    n = len(e)
    skew = st.skew(e, bias=True)
    kurt = st.kurtosis(e, fisher=True, bias=True)
    var_s = 6.0 * n * (n - 1) / ((n - 2) * (n + 1) * (n + 3))
    se_k = 2.0 * math.sqrt(var_s) * math.sqrt((n * n - 1) / ((n - 3) * (n + 5)))
    stat = skew**2 / var_s + (kurt / se_k) ** 2
    return stat, st.chi2.sf(stat, 2)


def scaled_condition_number(design):
    return np.linalg.cond(design / np.linalg.norm(design, axis=0))


def fit_reference(x, y, fit_intercept=True, robust=False):
    """statsmodels' fit of the same model, and what the report derives from it."""
    n, k = x.shape
    design = sm.add_constant(x, has_constant="add") if fit_intercept else x
    res = sm.OLS(y, design).fit(cov_type="HC0" if robust else "nonrobust")
    params, bse, e = np.asarray(res.params), np.asarray(res.bse), np.asarray(res.resid)
    kk = k + (1 if fit_intercept else 0)
    df = n - kk
    mse = res.ssr / df
    # The report's R² is centred with or without an intercept (statsmodels' is uncentred
    # without one), clamped to [-1, 1].
    centred = y - y.mean()
    r2 = res.rsquared if fit_intercept else max(-1.0, min(1.0, 1.0 - res.ssr / (centred @ centred)))
    adj = 1.0 - (n - 1) * (1.0 - r2) / df
    f = (r2 / k) / ((1.0 - r2) / df) if k else 0.0
    f_p = st.f.sf(f, k, df) if f > 0 and k else 1.0
    ll = -(n / 2.0) * (math.log(2.0 * math.pi * mse) + 1.0)
    return dict(n=n, k=k, kk=kk, df=df, params=params, bse=bse, resid=e, mse=mse, r2=r2, adj=adj, f=f,
                f_p=f_p, ll=ll, aic=2 * kk - 2 * ll, bic=math.log(n) * kk - 2 * ll, design=design,
                fit_intercept=fit_intercept, robust=robust, statsmodels=res)


def render(ref, date="<date>", time="<time>"):
    """The expected report of an OLS fit described by ``fit_reference``."""
    out = " " * 28 + "OLS Regression Results\n" + "=" * 78 + "\n"
    out += pair("Dep. Variable:", "y", "R-squared:", num(ref["r2"], 3))
    out += pair("Model:", "OLS Regression Results", "Adj. R-squared:", num(ref["adj"], 3))
    out += pair("Method:", "Least Squares", "F-statistic:", num(ref["f"], 3))
    out += pair("Date:", date, "Prob (F-statistic):", exponent(ref["f_p"]))
    out += pair("Time:", time, "Log-Likelihood:", num(ref["ll"], 3))
    out += pair("No. Observations:", str(ref["n"]), "AIC:", num(ref["aic"], 3))
    out += pair("Df Residuals:", str(ref["df"]), "BIC:", num(ref["bic"], 3))
    out += single("Df Model:", str(ref["k"]))
    out += single("Covariance Type:", "HC0" if ref["robust"] else "nonrobust")
    out += "=" * 78 + "\n"
    out += " " * 15 + "".join(f" {h:>10}" for h in ("coef", "std err", "t", "P>|t|")) + " [0.025      0.975]\n"
    out += "-" * 78 + "\n"
    df = ref["df"]
    c = critical(df)
    names = (["const"] if ref["fit_intercept"] else []) + [f"x{i + 1}" for i in range(ref["k"])]
    for name, b, s in zip(names, ref["params"], ref["bse"]):
        out += row(name, b, s, c, df)
    out += "=" * 78 + "\n"
    out += stats_line("Mean Squared Error:", ref["mse"], "Root MSE:", math.sqrt(ref["mse"]))

    e = ref["resid"]
    n = len(e)
    dw = durbin_watson(e) if e @ e > 0 else math.nan
    if np.ptp(e) == 0:
        skew = kurt = 0.0
    else:
        skew = st.skew(e, bias=True)
        kurt = st.kurtosis(e, fisher=True, bias=True)
    cond = scaled_condition_number(ref["design"])
    jb_p = math.nan
    if n >= 20:
        om, om_p = omnibus(e) if np.ptp(e) else (0.0, 1.0)
        jb, jb_p, _, _ = jarque_bera(e) if np.ptp(e) else (0.0, 1.0, 0, 0)
        out += stats_line("Omnibus:", om, "Prob(Omnibus):", om_p)
        out += stats_line("Jarque-Bera (JB):", jb, "Prob(JB):", jb_p)
    out += stats_line("Skew:", skew, "Kurtosis:", kurt)
    if math.isfinite(dw) and math.isfinite(cond):
        out += stats_line("Durbin-Watson:", dw, "Cond. No.:", cond)
    out += "=" * 78 + "\n"
    out += "Diagnostic Notes:\n"
    if math.isfinite(dw):
        word = ("positive autocorrelation" if dw < 1.5 else
                "negative autocorrelation" if dw > 2.5 else "no significant autocorrelation")
        out += f"- Durbin-Watson suggests {word}\n"
    if math.isfinite(jb_p):
        word = "reject normality hypothesis" if jb_p < 0.05 else "fail to reject normality hypothesis"
        out += f"- Jarque-Bera test: {word} (\u03b1=0.05)\n"
    if math.isfinite(cond):
        word = ("potential multicollinearity issues" if cond > 30 else
                "moderate condition number" if cond > 15 else "well-conditioned")
        out += f"- Condition number indicates: {word}\n"
    out += "=" * 78 + "\n"
    return out
