"""Formulas and data frames in, named results out: korvalis's estimators behind the formula syntax of statsmodels,
linearmodels and pyfixest (needs the ``formula`` extra: formulaic, pandas, polars, pyarrow)."""

from typing import Any, Literal

import pandas
from numpy.typing import ArrayLike

import korvalis

__all__ = ["ols", "wls", "gls", "iv", "tsls", "fe", "FormulaResults"]

_Missing = Literal["drop", "raise"]

def ols(formula: str, data: Any, robust: bool = False, *, missing: _Missing = "drop") -> FormulaResults:
    """Ordinary least squares, ``statsmodels.formula.api.ols(formula, data).fit()``; ``robust`` gives HC0 errors.
    A Dask DataFrame fits through korvalis.dask.OLS."""

def wls(formula: str, data: Any, weights: str | ArrayLike, *, missing: _Missing = "drop") -> FormulaResults:
    """Weighted least squares; ``weights`` is a column name or one value per row of ``data`` (by position). A Dask
    DataFrame fits through korvalis.dask.WLS, with the weights as one of its columns."""

def gls(formula: str, data: Any, sigma: ArrayLike, *, missing: _Missing = "drop") -> FormulaResults:
    """Generalised least squares with the n × n error covariance ``sigma`` over every row of ``data``."""

def iv(formula: str, data: Any, *, missing: _Missing = "drop") -> FormulaResults:
    """Instrumental variables, exactly identified: ``"y ~ 1 + exog + [endog ~ instrument]"``. A Dask DataFrame fits
    through korvalis.dask.IV."""

def tsls(formula: str, data: Any, *, missing: _Missing = "drop") -> FormulaResults:
    """Two-stage least squares: ``"y ~ 1 + exper + [educ ~ fatheduc + motheduc]"``. A Dask DataFrame fits through
    korvalis.dask.TSLS."""

def fe(formula: str, data: Any, robust: bool = False, *, missing: _Missing = "drop") -> FormulaResults:
    """The within (fixed-effects) estimator with the entity after a bar: ``"lwage ~ union + married | nr"``."""

class FormulaResults:
    """A fitted model with statsmodels' names; ``model`` is the korvalis class instance that did the fit."""

    model: korvalis.OLS | korvalis.WLS | korvalis.GLS | korvalis.IV | korvalis.TSLS | korvalis.FE
    params: pandas.Series
    bse: pandas.Series
    tvalues: pandas.Series
    pvalues: pandas.Series
    df_resid: int
    nobs: int
    rsquared: float
    resid: Any  # a pandas Series; a lazy Dask array after a fit on a Dask DataFrame
    n_missing: int
    dropped_index: pandas.Index | None
    missing_counts: dict[str, int]
    formula: str
    fixed_effects: pandas.Series | None
    def __init__(self, model: Any, design: Any) -> None:
        """Made by ``ols()``, ``wls()``, ``gls()``, ``iv()``, ``tsls()`` and ``fe()``, not by hand."""
    @property
    def fittedvalues(self) -> Any: ...
    def conf_int(self, alpha: float = 0.05) -> pandas.DataFrame: ...
    def cov_params(self) -> pandas.DataFrame: ...
    def summary(self) -> str: ...
    def predict(self, new_data: Any = None) -> Any: ...
