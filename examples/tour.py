"""A tour of korvalis: the six estimators fitted on classic real data sets.

Run it after `pip install .` with `python examples/tour.py`. It needs only NumPy and korvalis: the data are the CSV
files in examples/data/ (see examples/data/README.md for their sources). For each model it prints the question the
model asks and which column each of the report's rows x1, x2, ... stands for, then the model's summary().
"""

from __future__ import annotations

import csv
import textwrap
from dataclasses import dataclass
from pathlib import Path
from typing import Protocol

import numpy as np
from numpy.typing import NDArray

import korvalis

DATA = Path(__file__).resolve().parent / "data"

Columns = dict[str, NDArray[np.float64]]


def read_csv(name: str, text_columns: tuple[str, ...] = ()) -> tuple[Columns, dict[str, list[str]]]:
    """Numeric columns as float64 arrays, and the named text columns as lists of strings."""
    with (DATA / name).open(newline="") as f:
        rows = list(csv.DictReader(f))
    header = list(rows[0])
    numbers = {c: np.array([float(r[c]) for r in rows]) for c in header if c not in text_columns}
    texts = {c: [r[c] for r in rows] for c in text_columns}
    return numbers, texts


def columns(data: Columns, names: list[str]) -> NDArray[np.float64]:
    """The named columns side by side, as an n × k float64 matrix."""
    return np.column_stack([data[n] for n in names])


def announce(title: str, question: str, regressors: list[str]) -> None:
    print("#" * 78)
    rows = ", ".join(f"x{i} = {name}" for i, name in enumerate(regressors, start=1))
    for text in (title, "Asks: " + question, "Rows: " + rows):
        print(textwrap.fill(text, width=78, initial_indent="# ", subsequent_indent="#   "))
    print("#" * 78)


def ar1_covariance(rho: float, n: int) -> NDArray[np.float64]:
    """Σᵢⱼ = ρ^|i−j|: the correlation matrix of a stationary AR(1) error (its common scale does not change β)."""
    lags = np.abs(np.subtract.outer(np.arange(n), np.arange(n)))
    return np.asarray(rho**lags, dtype=np.float64)


class Report(Protocol):
    def summary(self) -> str: ...


@dataclass
class Fit:
    """One fitted model of the tour and what it asks."""

    title: str
    question: str
    regressors: list[str]
    model: Report


def longley_ols_and_gls() -> list[Fit]:
    data, _ = read_csv("longley.csv")
    names = ["GNPDEFL", "GNP", "UNEMP", "ARMED", "POP", "YEAR"]
    x, y = columns(data, names), data["TOTEMP"]

    ols = korvalis.OLS()
    ols.fit(x, y)

    # The same equation by GLS, with an AR(1) error: rho is the slope of e[t] on e[t-1] of the OLS residuals.
    e = ols.residuals
    assert e is not None
    lag = korvalis.OLS(fit_intercept=False)
    lag.fit(e[:-1, np.newaxis], e[1:])
    assert lag.coefficients is not None
    rho = float(lag.coefficients[0])
    gls = korvalis.GLS()
    gls.fit(x, y, ar1_covariance(rho, len(y)))

    return [
        Fit(
            "OLS on Longley's US macroeconomic series, 1947-1962 (16 years)",
            "how does total employment move with prices, output, unemployment, the armed forces, population and "
            "time?",
            names,
            ols,
        ),
        Fit(
            "GLS on Longley with AR(1) errors, Sigma[i, j] = rho^|i-j|",
            f"the same equation, allowing each year's error to carry over into the next (rho = {rho:.4f}, the "
            "slope of each OLS residual on the one before)",
            names,
            gls,
        ),
    ]


def anes_wls() -> Fit:
    data, _ = read_csv("anes96_cells.csv")
    names = ["educ", "income"]
    wls = korvalis.WLS()
    wls.fit(columns(data, names), data["mean_selfLR"], data["n"])
    return Fit(
        "WLS on grouped answers of the 1996 American National Election Study (140 education x income cells)",
        "do education and household income shift the mean liberal (1) to conservative (7) self-placement? Each "
        "cell mean is weighted by its number of respondents, since its variance is sigma^2 / n",
        names,
        wls,
    )


def grunfeld_fe() -> Fit:
    data, text = read_csv("grunfeld.csv", text_columns=("firm",))
    firms, firm_id = np.unique(np.array(text["firm"]), return_inverse=True)
    names = ["value", "capital"]
    fe = korvalis.FE()
    fe.fit(columns(data, names), data["invest"], firm_id.astype(np.int64))
    return Fit(
        f"FE on Grunfeld's investment panel ({len(firms)} US firms, 1935-1954)",
        "how does a firm's gross investment respond to its market value and capital stock, each firm keeping its "
        "own level (one effect per firm)?",
        names,
        fe,
    )


def mroz_iv_and_tsls() -> list[Fit]:
    data, _ = read_csv("mroz.csv")
    names = ["educ", "exper", "expersq"]
    regressors, y = columns(data, names), data["lwage"]

    iv = korvalis.IV()
    iv.fit(columns(data, ["fatheduc", "exper", "expersq"]), regressors, y)
    tsls = korvalis.TSLS()
    tsls.fit(columns(data, ["exper", "expersq", "motheduc", "fatheduc"]), regressors, y)

    return [
        Fit(
            "IV on Mroz's 428 working women (PSID, 1975), educ instrumented by fatheduc",
            "what does one more year of schooling return in log wage, if schooling is endogenous (ability) and the "
            "father's schooling moves it but not the wage? exper and expersq are their own instruments",
            names,
            iv,
        ),
        Fit(
            "TSLS on the same women, educ instrumented by motheduc and fatheduc",
            "the same return to schooling with both parents' schooling as instruments (over-identified: 4 "
            "instruments for 3 regressors; the constant is an instrument of its own)",
            names,
            tsls,
        ),
    ]


def fits() -> list[Fit]:
    """The tour's models, fitted, in the order it prints them."""
    return [*longley_ols_and_gls(), anes_wls(), grunfeld_fe(), *mroz_iv_and_tsls()]


def main() -> None:
    for fit in fits():
        announce(fit.title, fit.question, fit.regressors)
        print(fit.model.summary())


if __name__ == "__main__":
    main()
