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
    module_spec = importlib.util.spec_from_file_location("korvalis_tour", TOUR)
    assert module_spec is not None and module_spec.loader is not None
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = module  # dataclasses look their module up there
    module_spec.loader.exec_module(module)
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
    import korvalis

    # run from "/" so nothing of the checkout is importable by accident; korvalis itself from where it was found
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(korvalis.__file__).resolve().parent.parent),
                                                       os.environ.get("PYTHONPATH", "")]))
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
    lines = out.splitlines()
    # a report's title: 28 spaces and the model label, above the first rule of "="
    titles = [a[28:] for a, b in zip(lines, lines[1:]) if a.startswith(" " * 28) and a[28:29] != " " and b == "=" * 78]
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


# ------------------------------------------------------------------------------------------------ the formula tour

FORMULA_TOUR = ROOT / "examples" / "formula_tour.py"


def test_formula_tour_fits_the_tour_models_with_names(fitted: dict[str, Any]) -> None:
    """Identity: examples/formula_tour.py fits through korvalis.formula the models the tour fits on arrays; the
    numbers are the classes' to the last bit (GLS up to its estimated rho), the reports name their rows."""
    pytest.importorskip("formulaic")
    module_spec = importlib.util.spec_from_file_location("korvalis_formula_tour", FORMULA_TOUR)
    assert module_spec is not None and module_spec.loader is not None
    module = importlib.util.module_from_spec(module_spec)
    sys.modules[module_spec.name] = module
    module_spec.loader.exec_module(module)
    results = {type(r.model).__name__: r for r in module.fits().values()}
    assert sorted(results) == sorted(fitted)
    for name, res in results.items():
        m = fitted[name]
        ours = res.params.to_numpy()
        theirs = m.coefficients if name == "FE" else np.r_[m.intercept, m.coefficients]
        if name in ("IV", "TSLS"):  # the tour lists educ first, the formula the exogenous terms first
            theirs = theirs[[0, 2, 3, 1]]
        # the same arrays (IV, TSLS: in another column order, GLS: with its rho estimated again) give the same numbers
        np.testing.assert_allclose(ours, theirs, rtol=1e-13 if name in ("OLS", "WLS", "FE") else 1e-9, err_msg=name)
        lines = res.summary().splitlines()
        table = lines[lines.index("-" * 78) + 1 :]
        table = table[: table.index("=" * 78)]
        assert [line[: len(n)] for line, n in zip(table, res.params.index)] == list(res.params.index), name
        assert len(table) == len(ours), name
    assert list(results["IV"].params.index) == ["Intercept", "exper", "I(exper ** 2)", "educ"]
    assert results["FE"].fixed_effects is not None and results["FE"].fixed_effects.index[0] == "General Motors"
    proc = subprocess.run([sys.executable, str(FORMULA_TOUR)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.count("P>|t|") == 6 and "Dep. Variable:            lwage" in proc.stdout


# ------------------------------------------------------------------------------------------------ the README


def test_readme_examples_run(monkeypatch: pytest.MonkeyPatch) -> None:
    """Every Python block of the README runs, in order, in one namespace (later blocks use earlier names), from the
    checkout's root as a reader runs them (the formula section reads examples/data)."""
    monkeypatch.chdir(ROOT)
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


# ------------------------------------------------------------------------------------------------ the README's table
# "The same numbers in statsmodels and linearmodels": each row of that table, on generated data.


@pytest.fixture(scope="module")
def generated() -> dict[str, Any]:
    rng = np.random.default_rng(7)
    n = 400
    x = rng.standard_normal((n, 3))
    y = 1.0 + x @ np.array([0.5, -1.0, 0.25]) + rng.standard_normal(n) * (1.0 + np.abs(x[:, 0]))
    return {"x": x, "y": y, "w": rng.uniform(0.5, 2.0, n), "rng": rng}


def test_readme_ols_row(generated: dict[str, Any]) -> None:
    sm = pytest.importorskip("statsmodels.api")
    import korvalis

    x, y = generated["x"], generated["y"]
    r = sm.OLS(y, sm.add_constant(x)).fit()
    m = korvalis.OLS()
    m.fit(x, y)
    np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], r.params, rtol=1e-10)
    np.testing.assert_allclose(m.standard_errors(), r.bse[1:], rtol=1e-10)
    np.testing.assert_allclose(m.t_statistics(), r.tvalues[1:], rtol=1e-10)
    np.testing.assert_allclose(m.covariance_matrix(), r.cov_params(), rtol=1e-10)
    np.testing.assert_allclose([m.mse, m.r_squared], [r.mse_resid, r.rsquared], rtol=1e-10)
    np.testing.assert_allclose(m.residuals, r.resid, rtol=1e-9, atol=1e-12)
    f_line = next(line for line in m.summary().splitlines() if "F-statistic:" in line and "Prob" not in line)
    assert float(f_line.split()[-1]) == pytest.approx(r.fvalue, abs=5e-4)
    hc0 = korvalis.OLS(robust=True)
    hc0.fit(x, y)
    np.testing.assert_allclose(hc0.standard_errors(), sm.OLS(y, sm.add_constant(x)).fit(cov_type="HC0").bse[1:],
                               rtol=1e-10)


def test_readme_wls_and_gls_rows(generated: dict[str, Any]) -> None:
    sm = pytest.importorskip("statsmodels.api")
    import korvalis

    x, y, w = generated["x"], generated["y"], generated["w"]
    r = sm.WLS(y, sm.add_constant(x), weights=w).fit()
    m = korvalis.WLS()
    m.fit(x, y, w)
    np.testing.assert_allclose(np.r_[m.intercept, m.coefficients], r.params, rtol=1e-10)
    np.testing.assert_allclose(m.standard_errors(), r.bse[1:], rtol=1e-10)
    np.testing.assert_allclose(m.r_squared, r.rsquared, rtol=1e-10)
    np.testing.assert_allclose(m.residuals, r.resid, rtol=1e-9, atol=1e-12)

    n = 120
    xs, ys = x[:n], y[:n]
    sigma = 0.5 ** np.abs(np.subtract.outer(np.arange(n), np.arange(n)))
    r = sm.GLS(ys, sm.add_constant(xs), sigma=sigma).fit()
    g = korvalis.GLS()
    g.fit(xs, ys, sigma)
    np.testing.assert_allclose(np.r_[g.intercept, g.coefficients], r.params, rtol=1e-10)
    np.testing.assert_allclose(g.standard_errors(), r.bse[1:], rtol=1e-10)
    np.testing.assert_allclose(g.mse, r.mse_resid, rtol=1e-10)
    # both whiten with the inverse of the lower Cholesky factor of Σ
    np.testing.assert_allclose(g.residuals, r.wresid, rtol=1e-9, atol=1e-12)


def test_readme_iv_residuals_row() -> None:
    pytest.importorskip("linearmodels")
    r = iv2sls(["fatheduc"])
    d = source_mroz()
    import korvalis

    m = korvalis.IV()
    m.fit(d[["fatheduc", "exper", "expersq"]].to_numpy(dtype=float), d[["educ", "exper", "expersq"]].to_numpy(
        dtype=float), d["lwage"].to_numpy())
    np.testing.assert_allclose(m.residuals, r.resids.to_numpy(), rtol=1e-9, atol=1e-12)


def test_readme_fe_rows(generated: dict[str, Any]) -> None:
    pytest.importorskip("linearmodels")
    import pandas as pd
    from linearmodels import PanelOLS

    import korvalis

    rng = generated["rng"]
    n, g, k = 600, 30, 2
    ids = rng.permutation(np.arange(n) % g).astype(np.int64)
    effect = rng.standard_normal(g)
    x = rng.standard_normal((n, k)) + effect[ids, None]
    y = x @ np.array([1.0, -0.5]) + effect[ids] + rng.standard_normal(n) * (1 + np.abs(x[:, 0]))
    index = pd.MultiIndex.from_arrays([ids, pd.Series(ids).groupby(ids).cumcount().to_numpy()])
    model = PanelOLS(pd.Series(y, index=index), pd.DataFrame(x, index=index), entity_effects=True)
    classical, clustered = model.fit(), model.fit(cov_type="clustered", cluster_entity=True)

    m = korvalis.FE()
    m.fit(x, y, ids)
    np.testing.assert_allclose(m.coefficients, classical.params.to_numpy(), rtol=1e-10)
    np.testing.assert_allclose(m.standard_errors(), classical.std_errors.to_numpy(), rtol=1e-10)
    np.testing.assert_allclose(m.within_r_squared, classical.rsquared, rtol=1e-10)
    np.testing.assert_allclose(m.r_squared, classical.rsquared_inclusive, rtol=1e-10)
    robust = korvalis.FE(robust=True)
    robust.fit(x, y, ids)
    np.testing.assert_allclose(robust.standard_errors() * np.sqrt(n / (n - k)), clustered.std_errors.to_numpy(),
                               rtol=1e-10)
