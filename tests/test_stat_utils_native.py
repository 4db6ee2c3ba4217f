"""The shared statistics helpers on inputs the OLS surface cannot produce.

A small C++ driver (tests/native/stat_utils_driver.cpp), a target of the project's CMake build
linked with the same numerical core as the module, is fed one command per line. A driver that
cannot be built fails these tests; none is skipped. References: numpy.linalg.cond of the column-scaled
design; NumPy and SciPy formulas for the residual statistics; SciPy's t, normal and F
distributions; the documented thresholds, edge rules and layouts of the report.
"""

import math
import os
import pathlib
import subprocess
import sys

import mpmath as mp
import numpy as np
import pytest
import scipy.stats as st

from report_reference import stats_line

ROOT = pathlib.Path(__file__).resolve().parents[1]
NAN, INF = math.nan, math.inf


def build_driver():
    """The driver executable: the one named by KORVALIS_NATIVE_DRIVER (the sanitizer build's), or the
    project's stat_utils_driver target built into build/native."""
    given = os.environ.get("KORVALIS_NATIVE_DRIVER")
    if given:
        return pathlib.Path(given)
    build = ROOT / "build" / "native"
    steps = [["cmake", "-S", str(ROOT), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
              f"-DPython_EXECUTABLE={sys.executable}"],
             ["cmake", "--build", str(build), "--target", "stat_utils_driver"]]
    for step in steps:
        done = subprocess.run(step, capture_output=True, text=True)
        if done.returncode != 0:
            pytest.fail(f"the native driver did not build: {' '.join(step)}\n{done.stdout}\n{done.stderr}")
    return build / "stat_utils_driver"


@pytest.fixture(scope="module")
def driver():
    exe = build_driver()
    proc = subprocess.Popen([str(exe)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, encoding="utf-8")

    def ask(line, multiline=False):
        proc.stdin.write(line + "\n")
        proc.stdin.flush()
        if not multiline:
            return proc.stdout.readline().rstrip("\n")
        out = []
        while True:
            chunk = proc.stdout.readline()
            if chunk.startswith("<<END>>"):
                return "".join(out)
            out.append(chunk)

    yield ask
    proc.stdin.close()
    assert proc.wait(timeout=10) == 0  # a sanitizer report at exit fails the module


def floats(text):
    return [float(v) for v in text.split()]


def tok(v):
    return "none" if v is None else repr(float(v))


# ---------------------------------------------------------------- condition number

def cond(driver, a, order="F"):
    a = np.asarray(a, dtype=float)
    rows, cols = a.shape
    if order == "F":
        buf, rs, cs = a.flatten(order="F"), 1, rows
    else:
        buf, rs, cs = a.flatten(order="C"), cols, 1
    return floats(driver(f"cond {rows} {cols} {rs} {cs} {buf.size} " + " ".join(map(repr, buf.tolist()))))[0]


def scaled_cond_reference(a):
    return np.linalg.cond(a / np.linalg.norm(a, axis=0))


def design(n, k, seed, spread=1.0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, k))
    x[:, -1] = x[:, 0] + spread * x[:, -1]  # the last column leans on the first
    return np.column_stack([np.ones(n), 50.0 + x])


CONDITIONED = {
    "well": design(40, 3, 1, spread=1.0),
    "moderate": design(40, 3, 2, spread=0.05),
    "ill": design(200, 4, 3, spread=1e-6),
    "square": design(5, 4, 4)[:, :5],
    "tall-thin": np.random.default_rng(5).normal(size=(3000, 2)),
}


@pytest.mark.parametrize("order", ["F", "C"], ids=["column-major", "row-major"])
@pytest.mark.parametrize("a", CONDITIONED.values(), ids=CONDITIONED.keys())
def test_condition_number_matches_numpy_cond_of_scaled_design(driver, a, order):
    expected = scaled_cond_reference(a)
    # Singular values are perturbed by about eps·σ_max, so the smallest by eps·κ relative.
    np.testing.assert_allclose(cond(driver, a, order), expected, rtol=1e-13 * max(1.0, expected))


@pytest.mark.parametrize("scale", [1e-300, 1e-160, 1e160, 1e300], ids=lambda s: f"scale{s:g}")
def test_condition_number_is_free_of_overflow_and_underflow(driver, scale):
    # Scaling a column does not change the scaled condition number: the reference is the
    # unscaled design (squaring 1e300 or 1e-300 would overflow or vanish).
    a = design(30, 2, 6)
    b = a.copy()
    b[:, 1] *= scale
    np.testing.assert_allclose(cond(driver, b), scaled_cond_reference(a), rtol=1e-12)


INFINITE_OR_NAN = {
    "zero-column": (np.column_stack([np.ones(5), np.zeros(5), np.arange(5.0)]), INF),
    "parallel-axis-columns": (np.array([[1.0, 2.0], [0.0, 0.0], [0.0, 0.0]]), INF),
    "more-columns-than-rows": (np.arange(6.0).reshape(2, 3) + [[0, 0, 1], [1, 0, 0]], INF),
    "nan-entry": (np.array([[1.0, 2.0], [1.0, NAN], [1.0, 3.0]]), NAN),
    "inf-entry": (np.array([[1.0, 2.0], [1.0, INF], [1.0, 3.0]]), NAN),
    "nan-beside-zero-column": (np.array([[0.0, 2.0], [0.0, NAN], [0.0, 3.0]]), NAN),
}


@pytest.mark.parametrize("a, expected", INFINITE_OR_NAN.values(), ids=INFINITE_OR_NAN.keys())
def test_condition_number_infinite_and_nan_rules(driver, a, expected):
    np.testing.assert_equal(cond(driver, a), expected)


def test_condition_number_of_duplicate_columns_is_huge(driver):
    # Rounding in the factorisation leaves a smallest singular value of order eps, not 0.
    rng = np.random.default_rng(8)
    x = rng.normal(size=40)
    assert cond(driver, np.column_stack([np.ones(40), x, x])) > 1e14


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)], ids=["no-rows", "no-columns", "empty"])
def test_condition_number_of_empty_design_is_nan(driver, shape):
    assert math.isnan(floats(driver(f"cond {shape[0]} {shape[1]} 1 {shape[0]} 0"))[0])


def test_condition_number_of_a_zero_on_the_diagonal_is_finite(driver):
    # A dummy regressor with a 0 in its second row: the old diagonal ratio gave +inf.
    a = np.column_stack([np.ones(6), [1, 0, 1, 1, 0, 1.0], [0.5, 2, 0, 1, 3, 4.0]])
    np.testing.assert_allclose(cond(driver, a), scaled_cond_reference(a), rtol=1e-13)


def test_condition_number_reads_strided_views(driver):
    # Every other row of a C-ordered buffer: row stride 2·cols.
    full = design(20, 2, 7)
    rows, cols = 10, full.shape[1]
    buf = full.flatten(order="C")
    got = floats(driver(f"cond {rows} {cols} {2 * cols} 1 {buf.size} " + " ".join(map(repr, buf.tolist()))))[0]
    np.testing.assert_allclose(got, scaled_cond_reference(full[::2]), rtol=1e-13)


# ---------------------------------------------------------------- residual diagnostics

FIELDS = ["durbin_watson", "jarque_bera", "jarque_bera_p_value", "omnibus", "omnibus_p_value", "skewness", "kurtosis",
          "condition_number"]


def diagnostics(driver, e, condition=7.5, stride=1):
    e = np.asarray(e, dtype=float)
    buf = np.zeros((len(e) - 1) * stride + 1) if len(e) else np.zeros(0)
    buf[::stride] = e
    values = floats(driver(f"diag {condition!r} {stride} {buf.size} " + " ".join(map(repr, buf.tolist()))))
    return dict(zip(FIELDS, values))


def reference_diagnostics(e):
    """NumPy/SciPy formulas written independently of the driver's code."""
    e = np.asarray(e, dtype=float)
    n = len(e)
    dw = np.sum(np.diff(e) ** 2) / np.sum(e**2)
    skew = st.skew(e, bias=True)
    kurt = st.kurtosis(e, fisher=True, bias=True)
    jb = n / 6.0 * (skew**2 + kurt**2 / 4.0)
    var_s = 6.0 * n * (n - 1) / ((n - 2) * (n + 1) * (n + 3))
    var_k = 4.0 * var_s * (n * n - 1) / ((n - 3) * (n + 5))
    om = skew**2 / var_s + kurt**2 / var_k
    return dict(durbin_watson=dw, jarque_bera=jb, jarque_bera_p_value=st.chi2.sf(jb, 2), omnibus=om,
                omnibus_p_value=st.chi2.sf(om, 2), skewness=skew, kurtosis=kurt)


@pytest.mark.parametrize("stride", [1, 3], ids=["contiguous", "stride3"])
@pytest.mark.parametrize("n, seed, dist", [(20, 1, "normal"), (57, 2, "exponential"), (1000, 3, "t3")],
                         ids=["n20-normal", "n57-exponential", "n1000-t3"])
def test_diagnostics_match_numpy_formulas(driver, n, seed, dist, stride):
    rng = np.random.default_rng(seed)
    e = {"normal": rng.normal, "exponential": rng.exponential, "t3": lambda size: rng.standard_t(3, size)}[dist](
        size=n)
    got = diagnostics(driver, e, stride=stride)
    expected = reference_diagnostics(e)
    for field, value in expected.items():
        np.testing.assert_allclose(got[field], value, rtol=1e-10, atol=1e-300, err_msg=field)
    assert got["condition_number"] == 7.5


def test_large_jarque_bera_keeps_a_positive_p_value(driver):
    # One outlier: JB near 580, chi2.sf = exp(−JB/2) ≈ 1e-126, which 1 − F₂(JB) would give as 0.
    e = np.r_[np.random.default_rng(4).normal(size=60), 8.0]
    got = diagnostics(driver, e)
    assert 0 < got["jarque_bera_p_value"] < 1e-100
    np.testing.assert_allclose(got["jarque_bera_p_value"], st.chi2.sf(got["jarque_bera"], 2), rtol=1e-10)


def nan_fields(d):
    return {f for f, v in d.items() if math.isnan(v)}


@pytest.mark.parametrize(
    "n, missing",
    [
        pytest.param(1, set(FIELDS) - {"condition_number"}, id="n1-only-condition"),
        pytest.param(2, {"jarque_bera", "jarque_bera_p_value", "omnibus", "omnibus_p_value", "skewness", "kurtosis"},
                     id="n2-durbin-watson-only"),
        pytest.param(3, {"jarque_bera", "jarque_bera_p_value", "omnibus", "omnibus_p_value", "kurtosis"},
                     id="n3-skewness"),
        pytest.param(4, {"jarque_bera", "jarque_bera_p_value", "omnibus", "omnibus_p_value"}, id="n4-kurtosis"),
        pytest.param(19, {"jarque_bera", "jarque_bera_p_value", "omnibus", "omnibus_p_value"}, id="n19"),
        pytest.param(20, set(), id="n20-all"),
    ],
)
def test_diagnostics_available_by_sample_size(driver, n, missing):
    e = np.random.default_rng(n).normal(size=n)
    got = diagnostics(driver, e)
    assert nan_fields(got) == missing
    if "skewness" not in missing:
        np.testing.assert_allclose(got["skewness"], st.skew(e, bias=True), rtol=1e-10)
    if n >= 2:
        np.testing.assert_allclose(got["durbin_watson"], np.sum(np.diff(e) ** 2) / (e @ e), rtol=1e-12)


def test_diagnostics_of_constant_residuals(driver):
    got = diagnostics(driver, np.ones(25))
    assert got == dict(durbin_watson=0.0, jarque_bera=0.0, jarque_bera_p_value=1.0, omnibus=0.0, omnibus_p_value=1.0,
                       skewness=0.0, kurtosis=0.0, condition_number=7.5)


def test_diagnostics_of_zero_residuals_have_no_durbin_watson(driver):
    got = diagnostics(driver, np.zeros(25))
    assert math.isnan(got["durbin_watson"])
    assert (got["skewness"], got["kurtosis"], got["jarque_bera"]) == (0.0, 0.0, 0.0)


def test_non_finite_residual_gives_nan_shape_statistics(driver):
    # A NaN residual makes the moments NaN; the statistics stay NaN instead of reading as 0.
    e = np.random.default_rng(5).normal(size=30)
    e[7] = NAN
    got = diagnostics(driver, e)
    assert nan_fields(got) == set(FIELDS) - {"condition_number"}


# ---------------------------------------------------------------- p-value and critical-value rules

@pytest.mark.parametrize("t", [0.0, 2.5, -40.0, INF, NAN], ids=["t0", "t2.5", "t-40", "t-inf", "t-nan"])
def test_p_value_is_one_at_df_zero(driver, t):
    assert floats(driver(f"pvalue {t!r} 0")) == [1.0]


def student_tail_mp(t, df):
    """P(|T| > t) for Student's t, by mpmath's regularised incomplete beta at 50 digits."""
    with mp.workdps(50):
        t, nu = mp.mpf(t), mp.mpf(df)
        return mp.betainc(nu / 2, mp.mpf(1) / 2, 0, nu / (nu + t * t), regularized=True)


def student_quantile_mp(df, alpha):
    """The t with two-sided tail alpha (negative for alpha > 1), solved in log t by mpmath."""
    sign, target = (1, mp.mpf(alpha)) if alpha < 1 else (-1, 2 - mp.mpf(alpha))
    with mp.workdps(50):
        def excess(u):
            return mp.log(student_tail_mp(mp.exp(u), df)) - mp.log(target)

        lo, hi = mp.mpf(-80), mp.mpf(800)  # a bracket in log t, narrowed by bisection, then refined
        for _ in range(40):
            mid = (lo + hi) / 2
            lo, hi = (mid, hi) if excess(mid) > 0 else (lo, mid)
        u = mp.findroot(excess, (lo, hi), solver="anderson")
        return sign * float(mp.exp(u))


@pytest.mark.parametrize("df", [1, 7, 30, 31, 10**6, 2**64 - 1], ids=lambda d: f"df{d}")
@pytest.mark.parametrize("t", [0.0, 1e-9, 0.3, 1.96, 6.0, 1e5, 1e200], ids=lambda t: f"t{t:g}")
def test_p_value_matches_reference(driver, t, df):
    # Student's t: mpmath (SciPy's t.sf loses the digits near t = 0); normal: SciPy's norm.sf.
    # A wrapped df (n below the parameter count) takes the normal branch.
    got = floats(driver(f"pvalue {-t!r} {df}"))[0]
    expected = float(student_tail_mp(t, df)) if df <= 30 else 2 * st.norm.sf(t)
    np.testing.assert_allclose(got, expected, rtol=1e-10, atol=0)


def test_p_value_of_1_96_just_below_0_05(driver):
    p = floats(driver("pvalue 1.96 31"))[0]
    assert 0.049 < p < 0.05


@pytest.mark.parametrize("df", [0, 31, 2**64 - 3], ids=["df0", "df31", "df-wrapped"])
@pytest.mark.parametrize("alpha", [1e-300, 1e-10, 0.01, 0.1, 0.5, 1.3, 2 - 1e-12], ids=lambda a: f"alpha{a:g}")
def test_critical_value_outside_student_range_follows_alpha(driver, df, alpha):
    # The standard normal quantile at 1 − alpha/2, by SciPy's norm.isf (no cancellation in 1 − alpha/2).
    np.testing.assert_allclose(floats(driver(f"crit {df} {alpha!r}"))[0], st.norm.isf(alpha / 2), rtol=1e-12)


@pytest.mark.parametrize("df", [1, 2, 3, 4, 9, 30], ids=lambda d: f"df{d}")
@pytest.mark.parametrize("alpha", [1e-300, 1e-10, 0.01, 0.05, 0.5, 0.999999, 1.3, 2 - 1e-9],
                         ids=lambda a: f"alpha{a:g}")
def test_critical_value_student_matches_mpmath(driver, df, alpha):
    # SciPy's t.isf is not used: it is off by 1e-4 relative near alpha = 1 and overflows far out.
    np.testing.assert_allclose(floats(driver(f"crit {df} {alpha!r}"))[0], student_quantile_mp(df, alpha), rtol=1e-12)


@pytest.mark.parametrize("df", [0, 5, 31], ids=["df0", "df5", "df31"])
@pytest.mark.parametrize("alpha, c", [(0.0, INF), (2.0, -INF), (1.0, 0.0)], ids=["alpha0", "alpha2", "alpha1"])
def test_critical_value_at_alpha_edges(driver, df, alpha, c):
    assert floats(driver(f"crit {df} {alpha!r}")) == [c]


@pytest.mark.parametrize("df", [0, 31], ids=["df0", "df31"])
def test_critical_value_is_exactly_1_96_at_0_05(driver, df):
    assert floats(driver(f"crit {df} 0.05")) == [1.96]


@pytest.mark.parametrize("df", [0, 1, 30, 31], ids=lambda d: f"df{d}")
@pytest.mark.parametrize("alpha", ["nan", "-0.0001", "2.0000001", "inf", "-inf"])
def test_critical_value_rejects_alpha_outside_0_2(driver, df, alpha):
    assert driver(f"crit {df} {alpha}") == "alpha must be between 0 and 2"


# ---------------------------------------------------------------- header statistics and phrases

def header(driver, r2, mse, n, p, intercept):
    out = driver(f"header {tok(r2)} {tok(mse)} {n} {p} {int(intercept)}").split()
    names = ["n", "p", "k", "df", "r2", "adj", "f", "f_p", "ll", "aic", "bic"]
    return dict(zip(names, [int(v) for v in out[:4]] + [float(v) for v in out[4:]]))


@pytest.mark.parametrize(
    "r2, n, p, intercept",
    [(0.37, 50, 3, True), (0.999, 25, 2, True), (0.02, 1000, 5, False), (0.6, 6, 4, True)],
    ids=["typical", "near-one", "no-intercept", "df1"],
)
def test_header_statistics_match_formulas_and_scipy_f(driver, r2, n, p, intercept):
    mse = 0.8
    h = header(driver, r2, mse, n, p, intercept)
    k = p + intercept
    df = n - k
    f = (r2 / p) / ((1 - r2) / df)
    ll = -(n / 2) * (math.log(2 * math.pi * mse) + 1)
    assert (h["n"], h["p"], h["k"], h["df"]) == (n, p, k, df)
    np.testing.assert_allclose(h["adj"], 1 - (n - 1) * (1 - r2) / df, rtol=1e-13)
    np.testing.assert_allclose(h["f"], f, rtol=1e-13)
    np.testing.assert_allclose(h["f_p"], st.f.sf(f, p, df), rtol=1e-10)
    np.testing.assert_allclose([h["ll"], h["aic"], h["bic"]], [ll, 2 * k - 2 * ll, math.log(n) * k - 2 * ll],
                               rtol=1e-13)


@pytest.mark.parametrize(
    "r2, n, p, intercept, f, f_p",
    [
        pytest.param(1.0, 10, 2, True, INF, 0.0, id="perfect-fit-F-inf"),
        pytest.param(-0.4, 10, 2, False, None, 1.0, id="negative-F"),
        pytest.param(0.0, 10, 2, True, 0.0, 1.0, id="F-zero"),
        pytest.param(NAN, 10, 2, True, NAN, 1.0, id="F-nan"),
        pytest.param(0.5, 10, 0, True, 0.0, 1.0, id="no-regressors"),
        pytest.param(0.5, 3, 2, True, 0.0, 1.0, id="df0"),
        pytest.param(None, 0, 0, True, 0.0, 1.0, id="unfitted"),
    ],
)
def test_f_statistic_edge_rules(driver, r2, n, p, intercept, f, f_p):
    h = header(driver, r2, 1.0, n, p, intercept)
    if f is None:
        assert h["f"] < 0
    else:
        np.testing.assert_equal(h["f"], f)
    assert h["f_p"] == f_p


def test_header_unfitted_has_wrapped_df_and_zero_statistics(driver):
    h = header(driver, None, None, 0, 0, True)
    assert h["df"] == 2**64 - 1
    assert [h[k] for k in ("r2", "adj", "f", "ll", "aic", "bic")] == [0.0] * 6


def test_adjusted_r_squared_with_df_zero_follows_ieee(driver):
    assert header(driver, 0.5, 1.0, 3, 2, True)["adj"] == -INF
    assert math.isnan(header(driver, 1.0, 1.0, 3, 2, True)["adj"])


PHRASES = [
    ("dw", 1.4999999, "positive autocorrelation"), ("dw", 1.5, "no significant autocorrelation"),
    ("dw", 2.5, "no significant autocorrelation"), ("dw", 2.5000001, "negative autocorrelation"),
    ("jb", 0.0499999, "reject normality hypothesis"), ("jb", 0.05, "fail to reject normality hypothesis"),
    ("cond", 15.0, "well-conditioned"), ("cond", 15.0000001, "moderate condition number"),
    ("cond", 30.0, "moderate condition number"), ("cond", 30.0000001, "potential multicollinearity issues"),
]


@pytest.mark.parametrize("which, value, phrase", PHRASES, ids=[f"{w}-{v}" for w, v, _ in PHRASES])
def test_interpretation_phrases_at_thresholds(driver, which, value, phrase):
    assert driver(f"phrase {which} {value!r}") == phrase


# ---------------------------------------------------------------- layouts of the other classes

def summary(driver, layout, r2=0.5, mse=2.0, intercept=1.0, ise=0.5, within=None, n=30, p=2, fit_intercept=True,
            coefs=(0.25, -1.5), ses=(0.1, 0.3), diag=None):
    m = -1 if coefs is None else len(coefs)
    values = [] if coefs is None else [*coefs, *ses]
    d = "none" if diag is None else " ".join(repr(float(v)) for v in diag)
    line = (f"summary {layout} {tok(r2)} {tok(mse)} {tok(intercept)} {tok(ise)} {tok(within)} {n} {p} "
            f"{int(fit_intercept)} {m} " + " ".join(repr(v) for v in values) + f" {d}")
    return driver(line, multiline=True)


DIAG = (1.234, 5.5, 0.064, 3.3, 0.19, -0.25, 0.75, 12.0)


def test_fe_report_inserts_within_r_squared_below_model(driver):
    text = summary(driver, "FE", intercept=None, ise=None, within=0.4567, fit_intercept=False, diag=DIAG)
    lines = text.split("\n")
    assert lines[0] == " " * 28 + "Fixed Effects Regression Results"
    assert lines[3].startswith("Model:                    Fixed Effects Regression Results ")
    assert lines[4] == " " * 52 + f"{'Within R-squared:':<25} {'0.457':>12}"
    assert lines[5].startswith("Method:                   Within Estimator (Fixed Effects) ")
    assert len(lines[3]) == len(lines[5]) == 97 and len(lines[4]) == 90
    assert "\nDf Residuals:             28 " in text  # FE: k = p
    assert "\nCovariance Type:          clustered" in text
    assert "const" not in text
    assert "Diagnostic Notes:\n" in text


@pytest.mark.parametrize("layout", ["WLS", "IV", "TSLS"])
def test_reports_without_diagnostics_end_after_the_error_statistics(driver, layout):
    text = summary(driver, layout)
    assert "Diagnostic Notes" not in text
    assert text.endswith("\nMean Squared Error:" + " " * 14 + "2.000 Root MSE:" + " " * 24 + "1.414\n" + "=" * 78 + "\n")


@pytest.mark.parametrize(
    "layout, title, method",
    [("WLS", "WLS Regression Results", "Weighted Least Squares"), ("GLS", "GLS Regression Results",
                                                                   "Generalized Least Squares"),
     ("IV", "IV", "Instrumental Variables"), ("TSLS", "TSLS", "Two-Stage Least Squares")],
)
def test_layout_labels(driver, layout, title, method):
    lines = summary(driver, layout).split("\n")
    assert lines[0] == " " * 28 + title
    assert lines[3][:51] == f"{'Model:':<25} {title:<25}"
    assert lines[4][:51] == f"{'Method:':<25} {method:<25}"


def test_diagnostics_lines_and_notes(driver):
    text = summary(driver, "GLS", diag=DIAG)
    assert (stats_line("Omnibus:", 3.3, "Prob(Omnibus):", 0.19)
            + stats_line("Jarque-Bera (JB):", 5.5, "Prob(JB):", 0.064)
            + stats_line("Skew:", -0.25, "Kurtosis:", 0.75)
            + stats_line("Durbin-Watson:", 1.234, "Cond. No.:", 12.0)
            + "=" * 78 + "\n"
            "Diagnostic Notes:\n"
            "- Durbin-Watson suggests positive autocorrelation\n"
            "- Jarque-Bera test: fail to reject normality hypothesis (\u03b1=0.05)\n"
            "- Condition number indicates: well-conditioned\n" + "=" * 78 + "\n") in text


def test_infinite_condition_number_removes_durbin_watson_line_keeps_its_note(driver):
    diag = list(DIAG)
    diag[7] = INF
    text = summary(driver, "OLS", diag=diag)
    assert "Durbin-Watson:" not in text and "Cond. No." not in text
    assert "- Durbin-Watson suggests positive autocorrelation\n" in text
    assert "Condition number indicates" not in text


def test_each_statistics_line_needs_both_numbers_finite(driver):
    diag = [NAN, 5.5, INF, 3.3, 0.19, -0.25, NAN, 31.0]
    text = summary(driver, "OLS", diag=diag)
    assert "Omnibus:" in text
    for gone in ("Jarque-Bera (JB):", "Skew:", "Durbin-Watson", "Jarque-Bera test"):
        assert gone not in text
    assert "- Condition number indicates: potential multicollinearity issues\n" in text


def test_rows_render_non_finite_values_like_numbers(driver):
    text = summary(driver, "IV", intercept=-0.0, ise=0.0, coefs=(INF, NAN), ses=(1.0, 1.0), n=100)
    rows = [line for line in text.split("\n") if line.startswith(("const", "x1", "x2"))]
    assert rows == [
        "const              -0.0000      0.000        NaN        NaN  -0.000   0.000",  # -0 + 0 = +0
        "x1                     inf      1.000        inf      0.000     inf     inf",
        "x2                     NaN      1.000        NaN        NaN     NaN     NaN",
    ]


def test_rounding_is_half_to_even_from_the_binary_value(driver):
    # 0.0625 is exact: ties go to even (0.062); 0.1235 is stored below its decimal (0.123);
    # 2.0005 is stored above (2.001). Python's formatting is the reference.
    text = summary(driver, "WLS", coefs=(0.03125, 0.00005), ses=(0.0625, 0.1235), mse=2.0005 ** 2)
    rows = [line for line in text.split("\n") if line.startswith(("x1", "x2"))]
    assert rows[0][16:37] == f"{0.03125:>10.4f} {0.0625:>10.3f}" == "    0.0312      0.062"
    assert rows[1][16:37] == f"{0.00005:>10.4f} {0.1235:>10.3f}"
    assert "Root MSE:" + " " * 24 + f"{math.sqrt(2.0005 ** 2):.3f}\n" in text


def test_slope_rows_need_both_vectors(driver):
    text = summary(driver, "OLS", coefs=None)
    assert "x1" not in text and "const" in text


def test_wide_counts_widen_their_fields(driver):
    text = summary(driver, "OLS", n=2**64 - 1, p=3)
    assert f"\nNo. Observations:         {2**64 - 1:<25} AIC:" in text
    assert f"\nDf Residuals:             {2**64 - 5:<25} BIC:" in text


# ---------------------------------------------------------------- FE's entity means, a mergeable reduce

def entity_means(driver, ids, rows, chunks):
    """EntitySums over the rows: folded chunk by chunk (sizes) and merged, or "numbered" (all rows
    numbered beforehand). [(id, count, hi, lo)] in the reduce's entity order."""
    n, w = rows.shape
    numbered = chunks == "numbered"
    sizes = [n] if numbered else chunks
    line = (f"entity_means {w - 1} {n} {len(sizes)} {' '.join(map(str, sizes))} {int(numbered)} "
            + " ".join(str(int(i)) for i in ids) + " " + " ".join(repr(float(v)) for v in rows.ravel()))
    out = driver(line).split()
    groups, at, result = int(out[0]), 1, []
    for _ in range(groups):
        ident, count = int(out[at]), int(out[at + 1])
        pairs = [float(v) for v in out[at + 2:at + 2 + 2 * w]]
        result.append((ident, count, np.array(pairs[0::2]), np.array(pairs[1::2])))
        at += 2 + 2 * w
    return result


def panel_rows(seed):
    """26 rows of 4 entities (one of a single row): a column far from zero, a column constant within
    every entity (0.1, 0.7, ...), and a target; ids in no order."""
    rng = np.random.default_rng(seed)
    ids = rng.permutation(np.repeat([42, -7, 2**40, 5], [9, 8, 8, 1]))
    level = {42: 0.1, -7: 0.7, 2**40: 1.3, 5: -2.9}
    rows = np.column_stack([1e8 + rng.normal(size=26), [level[i] for i in ids], rng.normal(size=26) * 1e-3 + 3.0])
    return ids, rows


@pytest.mark.parametrize("chunks", ["numbered", [26], [1, 12, 13], [9, 9, 8], [5] * 5 + [1]],
                         ids=["numbered", "one-chunk", "chunks-1-12-13", "chunks-9-9-8", "chunks-of-5"])
@pytest.mark.parametrize("seed", [0, 1])
def test_entity_means_folded_and_merged_are_the_exact_means(driver, chunks, seed):
    # Reference: each entity's mean in exact rational arithmetic. However the rows are split into
    # chunks, the merged reduce lists the entities in order of first appearance with their row
    # counts, hi + lo is the exact mean to double-double accuracy, hi is the double nearest it, and
    # a column constant within an entity has that value as hi and exactly 0 as lo.
    from fractions import Fraction
    ids, rows = panel_rows(seed)
    got = entity_means(driver, ids, rows, chunks)
    order = list(dict.fromkeys(ids.tolist()))
    assert [g[0] for g in got] == order
    assert [g[1] for g in got] == [int((ids == i).sum()) for i in order]
    for ident, count, hi, lo in got:
        members = rows[ids == ident]
        for j in range(rows.shape[1]):
            exact = sum(Fraction(float(v)) for v in members[:, j]) / count
            assert abs(Fraction(float(hi[j])) + Fraction(float(lo[j])) - exact) <= abs(exact) * Fraction(1, 2**100)
            assert abs(lo[j]) <= abs(np.spacing(hi[j])) / 2
        assert hi[1] == members[0, 1] and lo[1] == 0.0  # constant within the entity
