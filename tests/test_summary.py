"""The OLS summary report: layout, number formats, omission rules and every printed value.

References: an independent rendering of the report (tests/report_reference.py) fed by
statsmodels, SciPy and NumPy; the documented widths of each kind of line; the local clock
read by Python's time module under a time zone set by the test.
"""

import math
import re
import time

import numpy as np
import pytest
import scipy.stats as st

import korvalis
import report_reference as ref_report
from estimators import CASE_BY_NAME, snapshot

WEEKDAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]  # tm_wday of Python's struct_time: Monday = 0
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
DATE_RE = re.compile(r"(Sun|Mon|Tue|Wed|Thu|Fri|Sat), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4}")
TIME_RE = re.compile(r"([01]\d|2[0-3]):[0-5]\d:[0-5]\d")


def data(n, k, seed, scale=1.0, noise=1.0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, k))
    y = scale * (0.7 + x @ np.linspace(0.5, -0.4, k) + noise * rng.normal(size=n))
    return x, y


def fitted(x, y, fit_intercept=True, robust=False):
    m = korvalis.OLS(fit_intercept=fit_intercept, robust=robust)
    m.fit(x, y)
    return m


def date_time_values(text):
    date = next(line for line in text.splitlines() if line.startswith("Date:"))[26:51].rstrip()
    clock = next(line for line in text.splitlines() if line.startswith("Time:"))[26:51].rstrip()
    return date, clock


def with_stamp(expected, text):
    """The expected text with the report's own date and time, after checking their form."""
    date, clock = date_time_values(text)
    assert DATE_RE.fullmatch(date), date
    assert TIME_RE.fullmatch(clock), clock
    return expected.replace(f"{'<date>':<25}", f"{date:<25}").replace(f"{'<time>':<25}", f"{clock:<25}")


def statistics(text):
    """label (without its colon) -> printed number, for the header pairs and the statistics lines."""
    values = {}
    for line in text.splitlines():
        if len(line) == 90:
            values[line[52:77].rstrip().rstrip(":")] = line[78:].strip()
        elif len(line) == 77:
            values[line[:25].rstrip().rstrip(":")] = line[26:38].strip()
            values[line[39:64].rstrip().rstrip(":")] = line[65:].strip()
    return values


CASES = {
    "intercept-n50-k3": dict(n=50, k=3, seed=1),
    "no-intercept": dict(n=40, k=2, seed=2, fit_intercept=False),
    "robust-HC0": dict(n=60, k=2, seed=3, robust=True),
    "n19-no-normality-lines": dict(n=19, k=1, seed=4),
    "n20-all-lines": dict(n=20, k=1, seed=4),
    "df30-student": dict(n=32, k=1, seed=5),
    "df31-normal": dict(n=33, k=1, seed=5),
    "df1": dict(n=4, k=2, seed=6),
    "tiny-scale-negative-zeros": dict(n=30, k=2, seed=7, scale=1e-7),
    "large-n": dict(n=5000, k=4, seed=8),
    "strong-signal": dict(n=300, k=2, seed=9, noise=0.2),
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES.keys())
def test_report_matches_independent_rendering(case):
    case = dict(case)
    fit_intercept = case.pop("fit_intercept", True)
    robust = case.pop("robust", False)
    x, y = data(**case)
    text = fitted(x, y, fit_intercept, robust).summary()
    expected = ref_report.render(ref_report.fit_reference(x, y, fit_intercept, robust))
    assert text == with_stamp(expected, text)


def test_report_of_collinear_design_prints_scaled_condition_number():
    # Reference: numpy.linalg.cond of the design after scaling each column to unit length.
    rng = np.random.default_rng(11)
    base = rng.normal(size=200)
    x = np.column_stack([1000.0 + base, 1000.0 + base + 0.01 * rng.normal(size=200), rng.normal(size=200)])
    y = x @ [1.0, -1.0, 0.5] + rng.normal(size=200)
    text = fitted(x, y).summary()
    expected = ref_report.scaled_condition_number(np.column_stack([np.ones(200), x]))
    assert expected > 1e5
    assert statistics(text)["Cond. No."] == f"{expected:.3f}"
    assert "- Condition number indicates: potential multicollinearity issues\n" in text


def test_header_statistics_match_statsmodels():
    # R², adjusted R², F and its p-value: statsmodels; the log-likelihood by the report's
    # formula with mse = SSR / df (statsmodels' llf uses SSR / n, so it is not compared).
    import statsmodels.api as sm

    x, y = data(80, 3, seed=14)
    res = sm.OLS(y, sm.add_constant(x)).fit()
    got = statistics(fitted(x, y).summary())
    mse = res.ssr / res.df_resid
    ll = -(80 / 2) * (math.log(2 * math.pi * mse) + 1)
    assert got["R-squared"] == f"{res.rsquared:.3f}"
    assert got["Adj. R-squared"] == f"{res.rsquared_adj:.3f}"
    assert got["F-statistic"] == f"{res.fvalue:.3f}"
    assert got["Prob (F-statistic)"] == ref_report.exponent(res.f_pvalue)
    assert got["Log-Likelihood"] == f"{ll:.3f}"
    assert got["AIC"] == f"{2 * 4 - 2 * ll:.3f}"
    assert got["BIC"] == f"{math.log(80) * 4 - 2 * ll:.3f}"


def y_with_r_squared(x, target, seed):
    """y whose centred R² on [1, x] (one regressor) is `target`: a multiple of the centred x
    plus noise orthogonal to 1 and x."""
    rng = np.random.default_rng(seed)
    xc = x - x.mean()
    noise = rng.normal(size=len(x))
    q, _ = np.linalg.qr(np.column_stack([np.ones(len(x)), x]))
    noise -= q @ (q.T @ noise)
    a = math.sqrt(target / (1 - target) * (noise @ noise) / (xc @ xc))
    return 3.0 + a * xc + noise


@pytest.mark.parametrize(
    "tail, printed",
    [
        pytest.param(9.997e-5, "1.00e-4", id="mantissa-carried"),
        pytest.param(0.5, "5.00e-1", id="half"),
        pytest.param(1.234e-10, "1.23e-10", id="1e-10"),
        pytest.param(4.2e-200, "4.20e-200", id="tiny-tail-not-zero"),
    ],
)
def test_prob_f_is_upper_tail_in_exponent_form(tail, printed):
    # Reference: scipy.stats.f.sf. F(1, ν) is the square of Student's t with ν degrees of
    # freedom, so the F with upper tail `tail` is t.isf(tail / 2, ν)² (f.isf overflows here).
    n = 60
    x = np.random.default_rng(15).normal(size=n)
    f_target = st.t.isf(tail / 2, n - 2) ** 2
    r2 = f_target / (f_target + n - 2)
    m = fitted(x[:, None], y_with_r_squared(x, r2, 16))
    got = statistics(m.summary())
    f = (m.r_squared / 1) / ((1 - m.r_squared) / (n - 2))
    assert got["Prob (F-statistic)"] == ref_report.exponent(st.f.sf(f, 1, n - 2)) == printed


@pytest.mark.parametrize(
    "kind", ["zero-R2", "negative-R2-without-intercept"],
)
def test_prob_f_is_one_when_f_is_not_positive(kind):
    rng = np.random.default_rng(17)
    if kind == "zero-R2":
        x, y, intercept = rng.normal(size=(30, 1)), np.zeros(30), True
    else:  # a mean far from zero that the model without intercept cannot follow
        x, y, intercept = rng.normal(size=(30, 1)), 10 + rng.normal(size=30), False
    m = fitted(x, y, fit_intercept=intercept)
    got = statistics(m.summary())
    f = (m.r_squared / 1) / ((1 - m.r_squared) / (30 - (2 if intercept else 1)))
    assert f <= 0
    assert got["F-statistic"] == f"{f:.3f}"
    assert got["Prob (F-statistic)"] == "1.00e0"


LINE_WIDTHS = [
    pytest.param(lambda s: set(s) <= {"="}, 78, id="equals-rule"),
    pytest.param(lambda s: set(s) == {"-"}, 78, id="dash-rule"),
    pytest.param(lambda s: s.lstrip().startswith("coef"), 78, id="table-header"),
    pytest.param(lambda s: s.split(":")[0] in {"Dep. Variable", "Model", "Method", "Date", "Time",
                                               "No. Observations", "Df Residuals"}, 90, id="header-pair"),
    pytest.param(lambda s: s.startswith(("Df Model:", "Covariance Type:")), 51, id="header-single"),
    pytest.param(lambda s: s.startswith(("Mean Squared", "Omnibus", "Jarque-Bera (JB)", "Skew", "Durbin-Watson:")),
                 77, id="statistics"),
    pytest.param(lambda s: s.startswith(("const ", "x1 ", "x2 ", "x3 ")), 75, id="coefficient-row"),
]


@pytest.mark.parametrize("select, width", LINE_WIDTHS)
def test_line_widths(select, width):
    x, y = data(50, 3, seed=18)
    lines = fitted(x, y).summary().split("\n")
    chosen = [line for line in lines if line and select(line)]
    assert chosen
    assert {len(line) for line in chosen} == {width}


def test_unfitted_report():
    # Zero counts (Df Residuals saturates at 0 with an intercept), zero statistics,
    # Prob (F-statistic) 1.00e0, no rows, no error statistics, no diagnostics.
    text = korvalis.OLS().summary()
    expected = (
        " " * 28 + "OLS Regression Results\n" + "=" * 78 + "\n"
        + ref_report.pair("Dep. Variable:", "y", "R-squared:", "0.000")
        + ref_report.pair("Model:", "OLS Regression Results", "Adj. R-squared:", "0.000")
        + ref_report.pair("Method:", "Least Squares", "F-statistic:", "0.000")
        + ref_report.pair("Date:", "<date>", "Prob (F-statistic):", "1.00e0")
        + ref_report.pair("Time:", "<time>", "Log-Likelihood:", "0.000")
        + ref_report.pair("No. Observations:", "0", "AIC:", "0.000")
        + ref_report.pair("Df Residuals:", "0", "BIC:", "0.000")
        + ref_report.single("Df Model:", "0")
        + ref_report.single("Covariance Type:", "nonrobust")
        + "=" * 78 + "\n"
        + "                      coef    std err          t      P>|t| [0.025      0.975]\n"
        + "-" * 78 + "\n" + "=" * 78 + "\n" + "=" * 78 + "\n"
    )
    assert text == with_stamp(expected, text)


def test_robust_rows_use_hc0_standard_errors():
    # Reference: statsmodels' HC0 standard errors.
    import statsmodels.api as sm

    x, y = data(45, 2, seed=21)
    text = fitted(x, y, robust=True).summary()
    bse = sm.OLS(y, sm.add_constant(x)).fit(cov_type="HC0").bse
    rows = [line for line in text.splitlines() if line.startswith(("const ", "x1 ", "x2 "))]
    assert [r[27:37].strip() for r in rows] == [f"{s:.3f}" for s in bse]


def test_without_intercept_first_row_is_x1_and_df_counts_slopes():
    x, y = data(25, 2, seed=22)
    text = fitted(x, y, fit_intercept=False).summary()
    rows = [line[:15].rstrip() for line in text.splitlines() if len(line) == 75]
    assert rows == ["x1", "x2"]
    assert "\nDf Residuals:             23 " in text


def test_exact_fit_omits_durbin_watson():
    # All residuals zero: Durbin-Watson is NaN, so its line (shared with the condition number)
    # and its note go; skewness and kurtosis are 0, Jarque-Bera 0 with p-value 1.
    x = np.array([[1.0], [2.0], [2.0], [4.0]] * 6)  # Σx² = 150: the Cholesky route is exact here
    m = fitted(x, 2.0 * x[:, 0], fit_intercept=False)
    assert not np.any(m.residuals)
    text = m.summary()
    got = statistics(text)
    assert "Durbin-Watson" not in got and "Durbin-Watson" not in text
    assert (got["Skew"], got["Kurtosis"]) == ("0.000", "0.000")
    assert (got["Jarque-Bera (JB)"], got["Prob(JB)"]) == ("0.000", "1.000")
    assert (got["Omnibus"], got["Prob(Omnibus)"]) == ("0.000", "1.000")
    assert text.endswith(
        "Diagnostic Notes:\n"
        "- Jarque-Bera test: fail to reject normality hypothesis (\u03b1=0.05)\n"
        "- Condition number indicates: well-conditioned\n" + "=" * 78 + "\n"
    )


@pytest.mark.parametrize("n", [4, 36], ids=["student-branch", "normal-branch"])
def test_nan_t_statistic_prints_nan_instead_of_failing(n):
    # y = 0 with x ≠ 0: the slope is 0 with standard error 0, so t = 0/0.
    m = fitted(np.ones((n, 1)), np.zeros(n), fit_intercept=False)
    assert m.coefficients[0] == 0.0 and m.standard_errors()[0] == 0.0
    row = next(line for line in m.summary().splitlines() if line.startswith("x1 "))
    assert row == "x1                  0.0000      0.000        NaN        NaN   0.000   0.000"


def test_infinite_t_statistic_row():
    x = np.array([[1.0], [2.0], [2.0], [4.0]])
    m = fitted(x, -2.0 * x[:, 0], fit_intercept=False)
    row = next(line for line in m.summary().splitlines() if line.startswith("x1 "))
    assert row == "x1                 -2.0000      0.000       -inf      0.000  -2.000  -2.000"


def expected_stamp(t):
    tm = time.localtime(t)
    return (f"{WEEKDAYS[tm.tm_wday]}, {tm.tm_mday:02d} {MONTHS[tm.tm_mon - 1]} {tm.tm_year}",
            f"{tm.tm_hour:02d}:{tm.tm_min:02d}:{tm.tm_sec:02d}")


@pytest.mark.parametrize("zone", ["Asia/Kathmandu", "America/St_Johns", "UTC"])
def test_date_and_time_are_local(monkeypatch, zone):
    # Reference: Python's time.localtime under the same TZ, read just before and after.
    monkeypatch.setenv("TZ", zone)
    time.tzset()
    try:
        before = time.time()
        text = korvalis.OLS().summary()
        after = time.time()
        assert date_time_values(text) in {expected_stamp(before), expected_stamp(after)}
    finally:
        monkeypatch.undo()
        time.tzset()


def test_summary_leaves_the_model_unchanged():
    x, y = data(40, 2, seed=23)
    m = fitted(x, y)
    before = snapshot(CASE_BY_NAME["OLS"], m)
    first = m.summary()
    second = m.summary()
    def undated(text):  # the date and time lines may tick between two calls
        return [line for line in text.split("\n") if not line.startswith(("Date:", "Time:"))]

    assert undated(first) == undated(second)
    assert snapshot(CASE_BY_NAME["OLS"], m) == before


def test_refit_replaces_the_condition_number():
    # The condition number is kept between summaries of one fit and recomputed after a refit.
    rng = np.random.default_rng(24)
    m = korvalis.OLS()
    well = rng.normal(size=(50, 2))
    m.fit(well, rng.normal(size=50))
    first = statistics(m.summary())["Cond. No."]
    base = rng.normal(size=50)
    bad = np.column_stack([base, base + 1e-3 * rng.normal(size=50)])
    m.fit(bad, rng.normal(size=50))
    second = statistics(m.summary())["Cond. No."]
    assert first == f"{ref_report.scaled_condition_number(np.column_stack([np.ones(50), well])):.3f}"
    assert second == f"{ref_report.scaled_condition_number(np.column_stack([np.ones(50), bad])):.3f}"
