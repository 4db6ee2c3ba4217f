"""The tour's data sets fitted through korvalis.formula: formulas on data frames, named results.

Run it after `pip install ".[formula]"` with `python examples/formula_tour.py`. The same six models as
examples/tour.py, written as a statsmodels, linearmodels or pyfixest user writes them; every report names its rows
and its target, and the numbers are those of the classes the tour fits on arrays.
"""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pandas as pd

from korvalis import formula as kf

DATA = Path(__file__).resolve().parent / "data"


def ar1_covariance(rho: float, n: int) -> np.ndarray:
    """Σᵢⱼ = ρ^|i−j|: the correlation matrix of a stationary AR(1) error."""
    return np.asarray(rho ** np.abs(np.subtract.outer(np.arange(n), np.arange(n))), dtype=np.float64)


def fits() -> dict[str, kf.FormulaResults]:
    """The tour's models through the formula layer, in the order it prints them."""
    longley = pd.read_csv(DATA / "longley.csv")
    equation = "TOTEMP ~ GNPDEFL + GNP + UNEMP + ARMED + POP + YEAR"
    ols = kf.ols(equation, longley)
    # rho: the slope of each OLS residual on the one before, as in the tour
    e = ols.resid.to_numpy()
    rho = kf.ols("e ~ 0 + lag", pd.DataFrame({"e": e[1:], "lag": e[:-1]})).params["lag"]
    gls = kf.gls(equation, longley, sigma=ar1_covariance(rho, len(longley)))

    cells = pd.read_csv(DATA / "anes96_cells.csv")
    wls = kf.wls("mean_selfLR ~ educ + income", cells, weights="n")

    # the firm names are the entities: no numbering by hand
    fe = kf.fe("invest ~ value + capital | firm", pd.read_csv(DATA / "grunfeld.csv"))

    mroz = pd.read_csv(DATA / "mroz.csv")
    iv = kf.iv("lwage ~ 1 + exper + I(exper**2) + [educ ~ fatheduc]", mroz)
    tsls = kf.tsls("lwage ~ 1 + exper + I(exper**2) + [educ ~ motheduc + fatheduc]", mroz)
    return {"OLS on Longley": ols, f"GLS on Longley, AR(1) errors with rho = {rho:.4f}": gls,
            "WLS on the 1996 election study's cells, weighted by their size": wls,
            "FE on Grunfeld's investment panel, one effect per firm": fe,
            "IV on Mroz's working women, educ instrumented by fatheduc": iv,
            "TSLS on the same women, educ instrumented by motheduc and fatheduc": tsls}


def main() -> None:
    results = fits()
    for title, res in results.items():
        print("#" * 78)
        print(f"# {title}\n# {res.formula}")
        print("#" * 78)
        print(res.summary())
    fe = results["FE on Grunfeld's investment panel, one effect per firm"]
    assert fe.fixed_effects is not None
    print("Firm effects of the FE fit, by firm name:")
    print(fe.fixed_effects.round(3).to_string())


if __name__ == "__main__":
    main()
