"""The tour (examples/tour.py) and its bundled data.

References: the data files against the copies statsmodels and linearmodels ship; every model of the tour against the
peer that fits the same model on the same data (statsmodels OLS/WLS/GLS, linearmodels PanelOLS and IV2SLS), plus two
identities (grouped WLS = individual OLS; FE = least squares with firm dummies).
"""

from __future__ import annotations

import csv
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path
from types import ModuleType
from typing import Any

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parent.parent
TOUR = ROOT / "examples" / "tour.py"
DATA = ROOT / "examples" / "data"


def load_tour() -> ModuleType:
    spec = importlib.util.spec_from_file_location("korvalis_tour", TOUR)
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def tour() -> ModuleType:
    return load_tour()


@pytest.fixture(scope="module")
def fitted(tour: ModuleType) -> dict[str, Any]:
    """The tour's fitted models by class name."""
    return {type(f.model).__name__: f.model for f in tour.fits()}


def read(name: str) -> tuple[list[str], list[list[str]]]:
    with (DATA / name).open(newline="") as f:
        rows = list(csv.reader(f))
    return rows[0], rows[1:]


# ------------------------------------------------------------------------------------------------ the data files


def source_longley() -> Any:
    sm = pytest.importorskip("statsmodels.api")
    return sm.datasets.longley.load_pandas().data


def source_grunfeld() -> Any:
    sm = pytest.importorskip("statsmodels.api")
    return sm.datasets.grunfeld.load_pandas().data


def source_mroz() -> Any:
    mroz = pytest.importorskip("linearmodels.datasets.mroz")
    d = mroz.load()
    return d[d["inlf"] == 1]


def source_anes96_cells() -> Any:
    sm = pytest.importorskip("statsmodels.api")
    d = sm.datasets.anes96.load_pandas().data
    cells = d.groupby(["educ", "income"])["selfLR"].agg(["size", "mean"]).reset_index()
    return cells.rename(columns={"size": "n", "mean": "mean_selfLR"})


@pytest.mark.parametrize(
    "name, source, text_columns",
    [
        ("longley.csv", source_longley, ()),
        ("grunfeld.csv", source_grunfeld, ("firm",)),
        ("mroz.csv", source_mroz, ()),
        ("anes96_cells.csv", source_anes96_cells, ()),
    ],
    ids=["longley", "grunfeld", "mroz", "anes96_cells"],
)
def test_csv_equals_the_shipped_source(name: str, source: Any, text_columns: tuple[str, ...]) -> None:
    header, rows = read(name)
    expected = source()
    assert len(rows) == len(expected)
    for j, col in enumerate(header):
        ours = [r[j] for r in rows]
        theirs = expected[col].tolist()
        if col in text_columns:
            assert ours == [str(v) for v in theirs], col
        else:
            np.testing.assert_array_equal(np.array(ours, dtype=float), np.array(theirs, dtype=float), err_msg=col)


# ------------------------------------------------------------------------------------------------ the tour as a program


def test_tour_runs_offline_with_numpy_and_korvalis_only() -> None:
    # Blocking an import in sys.modules makes it raise ImportError: the tour must not need any of these.
    blocked = ["statsmodels", "linearmodels", "pandas", "scipy", "sklearn", "pyfixest"]
    code = (
        "import runpy, sys\n"
        f"for name in {blocked!r}: sys.modules[name] = None\n"
        f"runpy.run_path({str(TOUR)!r}, run_name='__main__')\n"
    )
    env = dict(os.environ)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, cwd="/")
    assert proc.returncode == 0, proc.stderr
    out = proc.stdout
    assert out.count("# Asks: ") == 6
    labels = [
        "OLS Regression Results",
        "GLS Regression Results",
        "WLS Regression Results",
        "Fixed Effects Regression Results",
        "IV",
        "TSLS",
    ]
    titles = [line.strip() for line in out.splitlines() if line.startswith(" " * 28) and line.strip()]
    assert titles == labels
    # every model printed its coefficient table
    assert out.count("P>|t|") == 6


# ------------------------------------------------------------------------------------------------ the numbers


def longley() -> tuple[np.ndarray, np.ndarray]:
    d = source_longley()
    return d[["GNPDEFL", "GNP", "UNEMP", "ARMED", "POP", "YEAR"]].to_numpy(), d["TOTEMP"].to_numpy()


def test_ols_longley_matches_statsmodels(fitted: dict[str, Any]) -> None:
    sm = pytest.importorskip("statsmodels.api")
    x, y = longley()
    ref = sm.OLS(y, sm.add_constant(x)).fit()
    m = fitted["OLS"]
    # Longley's design has a condition number near 5e9: agreement to 7 digits is what double precision allows.
    np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], ref.params, rtol=1e-7)
    np.testing.assert_allclose(m.standard_errors(), ref.bse[1:], rtol=1e-6)
    np.testing.assert_allclose(m.r_squared, ref.rsquared, rtol=1e-10)


def test_gls_longley_ar1_matches_statsmodels(fitted: dict[str, Any]) -> None:
    sm = pytest.importorskip("statsmodels.api")
    x, y = longley()
    ols = sm.OLS(y, sm.add_constant(x)).fit()
    rho = sm.OLS(ols.resid[1:], ols.resid[:-1]).fit().params[0]
    sigma = rho ** np.abs(np.subtract.outer(np.arange(16), np.arange(16)))
    ref = sm.GLS(y, sm.add_constant(x), sigma=sigma).fit()
    m = fitted["GLS"]
    np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], ref.params, rtol=1e-6)
    np.testing.assert_allclose(m.standard_errors(), ref.bse[1:], rtol=1e-6)


def test_wls_cells_match_statsmodels_and_individual_ols(fitted: dict[str, Any]) -> None:
    sm = pytest.importorskip("statsmodels.api")
    cells = source_anes96_cells()
    x = cells[["educ", "income"]].to_numpy(dtype=float)
    ref = sm.WLS(cells["mean_selfLR"].to_numpy(), sm.add_constant(x), weights=cells["n"].to_numpy()).fit()
    m = fitted["WLS"]
    np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], ref.params, rtol=1e-10)
    np.testing.assert_allclose(m.standard_errors(), ref.bse[1:], rtol=1e-10)
    # Identity: cell means weighted by cell size give the individual-level least-squares coefficients.
    people = sm.datasets.anes96.load_pandas().data
    ind = sm.OLS(people["selfLR"].to_numpy(), sm.add_constant(people[["educ", "income"]].to_numpy())).fit()
    np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], ind.params, rtol=1e-10)


def test_fe_grunfeld_matches_panelols_and_firm_dummies(fitted: dict[str, Any]) -> None:
    pytest.importorskip("linearmodels")
    import pandas as pd
    import statsmodels.api as sm
    from linearmodels import PanelOLS

    d = source_grunfeld()
    panel = d.set_index(["firm", "year"])
    ref = PanelOLS(panel["invest"], panel[["value", "capital"]], entity_effects=True).fit()
    m = fitted["FE"]
    np.testing.assert_allclose(m.coefficients, ref.params.to_numpy(), rtol=1e-10)
    # Least squares with one dummy per firm (LSDV): same slopes, and the classical errors with n - G - k.
    dummies = pd.get_dummies(d["firm"], dtype=float).to_numpy()
    lsdv = sm.OLS(d["invest"].to_numpy(), np.column_stack([d[["value", "capital"]].to_numpy(), dummies])).fit()
    np.testing.assert_allclose(m.coefficients, lsdv.params[:2], rtol=1e-10)
    np.testing.assert_allclose(m.standard_errors(), lsdv.bse[:2], rtol=1e-8)
    np.testing.assert_allclose(m.mse, lsdv.mse_resid, rtol=1e-10)


def iv2sls(instruments: list[str]) -> Any:
    pytest.importorskip("linearmodels")
    from linearmodels.iv import IV2SLS

    d = source_mroz().assign(const=1.0)
    return IV2SLS(d["lwage"], d[["const", "exper", "expersq"]], d[["educ"]], d[instruments]).fit(
        cov_type="unadjusted", debiased=True
    )


@pytest.mark.parametrize(
    "cls, instruments", [("IV", ["fatheduc"]), ("TSLS", ["motheduc", "fatheduc"])], ids=["IV", "TSLS"]
)
def test_iv_and_tsls_on_mroz_match_linearmodels(fitted: dict[str, Any], cls: str, instruments: list[str]) -> None:
    ref = iv2sls(instruments)
    order = ["const", "educ", "exper", "expersq"]  # korvalis: intercept first, then the regressors as given
    m = fitted[cls]
    np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], ref.params[order].to_numpy(), rtol=1e-9)
    np.testing.assert_allclose(m.covariance_matrix, ref.cov.loc[order, order].to_numpy(), rtol=1e-8)
    np.testing.assert_allclose(m.standard_errors(), ref.std_errors[order[1:]].to_numpy(), rtol=1e-8)
    np.testing.assert_allclose(m.r_squared, ref.rsquared, rtol=1e-9)


# ------------------------------------------------------------------------------------------------ the README


def test_readme_examples_run() -> None:
    """Every Python block of the README runs, in order, in one namespace (later blocks use earlier names)."""
    text = (ROOT / "README.md").read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, flags=re.S)
    assert len(blocks) >= 7
    namespace: dict[str, Any] = {}
    for block in blocks:
        exec(compile(block, "README.md", "exec"), namespace)


def test_readme_keeps_its_two_commands_first() -> None:
    text = (ROOT / "README.md").read_text()
    first = re.search(r"```bash\n(.*?)```", text, flags=re.S)
    assert first is not None
    commands = [line.split("#")[0].strip() for line in first.group(1).splitlines()]
    assert commands == [
        'pip install . && python examples/tour.py',
        'pip install ".[test]" && python -m pytest tests -q',
    ]
