"""Formulas and data frames in, named results out: korvalis's estimators behind the formula syntax of statsmodels,
linearmodels and pyfixest.

    from korvalis import formula as kf
    res = kf.ols("np.log(wage) ~ educ + exper + I(exper**2) + C(region)", df)
    res.params, res.bse, res.pvalues, res.conf_int(), res.summary()

Each function builds the design with formulaic (transformations, ``C(x)`` and categoricals with a reference level,
interactions), drops the rows with a missing value in any column the model uses (never the whole frame), fits the
korvalis class on float64 arrays and returns a :class:`FormulaResults` whose numbers are exactly the class's. The
formula's intercept becomes ``fit_intercept`` (``0 +`` or ``- 1`` turns it off), never a column of ones. Syntax
beyond formulaic's: ``[endog ~ instruments]`` in ``iv()`` and ``tsls()``, and ``| entity`` in ``fe()``. A Dask
DataFrame fits through korvalis.dask (``ols()``, ``wls()``, ``iv()``, ``tsls()``), every partition's design made by one
design layout (formulaic's model structure) built from the frame's dtypes.

Conventions are the classes', documented rather than changed: inference uses the class's residual degrees of freedom
(n − p; n − k for FE, whose entities are not subtracted), Student's t up to 30 of them and the normal beyond; robust
errors are HC0 (OLS) and entity-clustered without small-sample factor (FE); ``rsquared`` is the class's ``r_squared``
(FE's overall R² with the effects, GLS's on the whitened scale) and ``resid`` the class's ``residuals`` (GLS's
whitened, FE's within residuals).
"""

from __future__ import annotations

import ast
import builtins
import importlib
import re
import sys
import warnings
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pandas as pd
from formulaic import Formula, ModelSpec, model_matrix
from formulaic.errors import DataMismatchWarning, FactorEvaluationError
from formulaic.transforms import TRANSFORMS

import korvalis

__all__ = ["ols", "wls", "gls", "iv", "tsls", "fe", "FormulaResults"]


def _load_kernels() -> Any:
    # The private accessors live in korvalis._kernels; importing it must not leave a name on the korvalis module,
    # whose namespace is its six classes and __all__ (and the submodules imported from it, such as this one).
    kernels = importlib.import_module("korvalis._kernels")
    vars(korvalis).pop("_kernels", None)
    return kernels


_kernels = _load_kernels()

_INTERCEPT = "Intercept"
_CLASSES = {"ols": korvalis.OLS, "wls": korvalis.WLS, "gls": korvalis.GLS, "iv": korvalis.IV, "tsls": korvalis.TSLS,
            "fe": korvalis.FE}


# ---------------------------------------------------------------------------------------------------- formula parts


@dataclass
class _Parts:
    """A formula split into what formulaic reads: the target, the exogenous terms, the bracketed endogenous terms
    and excluded instruments (iv, tsls) and the entity after the bar (fe)."""

    target: str
    exog: str
    endog: str | None = None
    instruments: str | None = None
    entity: str | None = None


def _top_level(text: str, chars: str) -> list[int]:
    """Positions of `chars` outside parentheses, brackets, braces and quotes."""
    depth, quote, found = 0, "", []
    for i, c in enumerate(text):
        if quote:
            if c == quote:
                quote = ""
        elif depth == 0 and c in chars:
            found.append(i)
            depth += c in "([{"
        elif c in "'\"`":
            quote = c
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
    return found


def _join_terms(*pieces: str) -> str:
    terms = [p.strip() for p in pieces if p and p.strip()]
    text = " + ".join(terms)
    # A piece that began or ended with an operator left dangling once the bracket was cut out.
    text = re.sub(r"\+\s*\+", "+", text).strip()
    return text.strip("+ ").strip() or "1"


def _split(formula: str, kind: str) -> _Parts:
    if not isinstance(formula, str):
        raise TypeError(f"formula must be a str, not {type(formula).__name__}")
    tildes = _top_level(formula, "~")
    if len(tildes) != 1:
        raise ValueError(f"formula {formula!r} must have one '~' between the target and the terms")
    target, rhs = formula[: tildes[0]].strip(), formula[tildes[0] + 1 :]
    if not target:
        raise ValueError(f"formula {formula!r} has no target before '~'")
    parts = _Parts(target=target, exog=rhs)

    bars = _top_level(rhs, "|")
    if kind == "fe":
        if len(bars) != 1:
            raise ValueError(f"fe() needs the entity after one bar, as in 'y ~ x1 + x2 | entity'; got {formula!r}")
        parts.entity = rhs[bars[0] + 1 :].strip()
        rhs = rhs[: bars[0]]
        if not parts.entity.isidentifier():
            raise ValueError(f"the entity after '|' must be one column name, not {parts.entity!r}")
    elif bars:
        raise ValueError(f"only fe() takes an entity after '|'; got {formula!r}")

    opens = [i for i in _top_level(rhs, "[")]
    if kind in ("iv", "tsls"):
        if len(opens) != 1:
            raise ValueError(
                f"{kind}() needs one bracketed part '[endogenous ~ instruments]', as in "
                f"'y ~ 1 + exog + [endog ~ z1 + z2]'; got {formula!r}"
            )
        start = opens[0]
        depth, end = 0, -1
        for i in range(start, len(rhs)):
            depth += rhs[i] == "["
            depth -= rhs[i] == "]"
            if depth == 0:
                end = i
                break
        if end < 0:
            raise ValueError(f"unclosed '[' in {formula!r}")
        inner = rhs[start + 1 : end]
        inner_tildes = _top_level(inner, "~")
        if len(inner_tildes) != 1:
            raise ValueError(f"the bracketed part must read '[endogenous ~ instruments]'; got [{inner}]")
        parts.endog = inner[: inner_tildes[0]].strip()
        parts.instruments = inner[inner_tildes[0] + 1 :].strip()
        if not parts.endog or not parts.instruments:
            raise ValueError(f"the bracketed part must name endogenous terms and instruments; got [{inner}]")
        rhs = rhs[:start] + " + " + rhs[end + 1 :]
    elif opens:
        raise ValueError(f"only iv() and tsls() take a bracketed '[endogenous ~ instruments]' part; got {formula!r}")
    parts.exog = _join_terms(rhs)
    return parts


# ---------------------------------------------------------------------------------------------------- data frames


def _frame(data: Any) -> pd.DataFrame:
    """The data as a pandas DataFrame: pandas as it is, polars through Arrow, a mapping of columns as a frame."""
    if isinstance(data, pd.DataFrame):
        return data
    module = type(data).__module__.split(".")[0]
    if module == "polars" and hasattr(data, "to_pandas"):
        if type(data).__name__ == "LazyFrame":
            data = data.collect()
        frame = data.to_pandas()
        # A polars Categorical keeps its levels in order of appearance; like a string column (and pandas) its
        # reference level is the first in sorted order. An Enum keeps the order it declares.
        # Integer and boolean columns with nulls arrive as float64 and object: they become pandas' nullable types, so
        # their values (and the level names of C(x)) are those of the same pandas column.
        for name, dtype in data.schema.items():
            column = frame[name]
            if type(dtype).__name__ == "Categorical" and isinstance(column.dtype, pd.CategoricalDtype):
                frame[name] = column.cat.reorder_categories(sorted(column.cat.categories))
            elif dtype.is_integer() and column.dtype.kind == "f":
                frame[name] = column.astype("Int64")
            elif type(dtype).__name__ == "Boolean" and column.dtype == object:
                frame[name] = column.astype("boolean")
        return frame
    if isinstance(data, Mapping):
        return pd.DataFrame(dict(data))
    raise TypeError(f"data must be a pandas or polars DataFrame, not {type(data).__name__}")


def _caller_context(depth: int = 2) -> dict[str, Any]:
    """The names visible where the public function was called (for user functions in formulas)."""
    frame = sys._getframe(depth)
    return {**frame.f_globals, **frame.f_locals}


def _identifiers(formula: str) -> set[str]:
    """Every name a formula's Python factors mention, functions and modules included."""
    f = Formula(formula)
    found: set[str] = set()
    for part in ([f.lhs, f.rhs] if hasattr(f, "lhs") else [f]):
        for term in part:
            for factor in term.factors:
                if str(getattr(factor.eval_method, "value", factor.eval_method)) == "python":
                    found |= {n.id for n in ast.walk(ast.parse(str(factor.expr), mode="eval")) if isinstance(n, ast.Name)}
    return found


def _factor_names(formula: str) -> list[str]:
    """The names a formula's factors read, in order: a looked-up factor's own name, and the plain names of a Python
    factor's expression (not the functions it calls nor the modules it reads attributes of; Q("a b") names a b)."""
    f = Formula(formula)
    parts = [f.lhs, f.rhs] if hasattr(f, "lhs") else [f]
    names: list[str] = []
    for part in parts:
        for term in part:
            for factor in term.factors:
                method = str(getattr(factor.eval_method, "value", factor.eval_method))
                if method == "lookup":
                    names.append(str(factor.expr))
                elif method == "python":
                    tree = ast.parse(str(factor.expr), mode="eval")
                    skip = set()
                    for node in ast.walk(tree):
                        if isinstance(node, ast.Call) and isinstance(node.func, ast.Name):
                            skip.add(id(node.func))
                            if node.func.id == "Q" and node.args and isinstance(node.args[0], ast.Constant):
                                names.append(str(node.args[0].value))
                        elif isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name):
                            skip.add(id(node.value))
                    names += [n.id for n in ast.walk(tree) if isinstance(n, ast.Name) and id(n) not in skip]
    return list(dict.fromkeys(names))


def _data_variables(formula: str, context: Mapping[str, Any], columns: pd.Index, where: str) -> list[str]:
    """The data columns a formula reads, in order of first use; an unknown name is an error that names it."""
    found: list[str] = []
    for name in _factor_names(formula):
        if name in columns:
            found.append(name)
        elif name not in context and name not in TRANSFORMS and not hasattr(builtins, name):
            raise ValueError(f"Unknown column {name!r} in {where}: the data has no such column")
    return found


def _plain_column(s: pd.Series, drop_unused: bool = True) -> pd.Series:
    """A column without its missing values in a dtype formulaic reads as numbers or levels: nullable (and Arrow)
    integers, floats and booleans become their NumPy dtypes; categories no kept row has are left out."""
    dtype = s.dtype
    if isinstance(dtype, pd.CategoricalDtype):
        return s.cat.remove_unused_categories() if drop_unused else s
    if dtype == object and len(s) and s.map(type).eq(bool).all():
        return s.astype(bool)
    numpy_dtype = getattr(dtype, "numpy_dtype", None)
    if pd.api.types.is_extension_array_dtype(dtype) and numpy_dtype is not None and numpy_dtype.kind in "biuf":
        return pd.Series(s.to_numpy(dtype=numpy_dtype), index=s.index, name=s.name)
    return s


def _missing_mask(frame: pd.DataFrame, columns: list[str], missing: str) -> tuple[np.ndarray, dict[str, int]]:
    counts: dict[str, int] = {}
    mask = np.zeros(len(frame), dtype=bool)
    for c in columns:
        isna = frame[c].isna().to_numpy()
        if isna.any():
            counts[c] = int(isna.sum())
            mask |= isna
    if missing == "raise" and counts:
        listed = ", ".join(f"{c!r} ({k} {'row' if k == 1 else 'rows'})" for c, k in counts.items())
        raise ValueError(f"Missing values in the columns the model uses: {listed}")
    return mask, counts


def _check_finite(blocks: Sequence[tuple[np.ndarray, Sequence[str]]]) -> None:
    bad = []
    for values, names in blocks:
        v = values.reshape(len(values), -1)
        rows = (~np.isfinite(v)).sum(axis=0)
        bad += [f"{name!r} ({k} {'row' if k == 1 else 'rows'})" for name, k in zip(names, rows) if k]
    if bad:
        raise ValueError("Input contains NaN or infinite values: " + ", ".join(dict.fromkeys(bad)))


def _matrix(spec_source: Any, data: pd.DataFrame, context: Mapping[str, Any]) -> pd.DataFrame:
    """A model matrix, turning formulaic's warning about levels it did not see into an error that names them."""
    with warnings.catch_warnings():
        # A transformation's NaN or infinity (np.log(0)) is reported by the finite check that follows, by column.
        warnings.simplefilter("ignore", RuntimeWarning)
        warnings.simplefilter("error", DataMismatchWarning)
        try:
            if isinstance(spec_source, ModelSpec):
                return spec_source.get_model_matrix(data, context=context, na_action="ignore")
            return model_matrix(spec_source, data, context=context, na_action="ignore")
        except DataMismatchWarning as w:
            levels = re.search(r"\{.*\}", str(w))
            raise ValueError("Levels the model was not fitted on: " + (levels.group(0) if levels else str(w))) from None
        except FactorEvaluationError as e:
            raise ValueError(f"cannot build the design: {e}") from e


def _split_intercept(mm: pd.DataFrame) -> tuple[np.ndarray, list[str], bool]:
    names = [str(c) for c in mm.columns]
    intercept = _INTERCEPT in names
    keep = [c for c in names if c != _INTERCEPT]
    x = np.ascontiguousarray(mm[keep].to_numpy(dtype=np.float64)) if keep else np.empty((len(mm), 0))
    return x, keep, intercept


# ---------------------------------------------------------------------------------------------------- design


@dataclass
class _Design:
    """Everything one fit hands to a class and what the results need to name and predict."""

    kind: str
    formula: str
    target_name: str
    y: np.ndarray
    x: np.ndarray
    x_names: list[str]
    intercept: bool
    index: pd.Index
    dropped_index: pd.Index
    missing_counts: dict[str, int]
    x_spec: ModelSpec
    x_variables: list[str]
    context: Mapping[str, Any]
    z: np.ndarray | None = None
    z_names: list[str] = field(default_factory=list)
    entity: str | None = None
    codes: np.ndarray | None = None
    levels: pd.Index | None = None
    weights: np.ndarray | None = None
    sigma: np.ndarray | None = None

    @property
    def names(self) -> list[str]:
        return ([_INTERCEPT] if self.intercept else []) + self.x_names


def _build(kind: str, formula: str, data: Any, missing: str, context: Mapping[str, Any],
           weights: Any = None, sigma: Any = None) -> _Design:
    if missing not in ("drop", "raise"):
        raise ValueError(f"missing must be 'drop' or 'raise', not {missing!r}")
    if _is_dask(data):
        raise TypeError(f"{kind}() takes pandas and polars DataFrames: korvalis.dask fits OLS, WLS, IV, TSLS and FE "
                        f"over partitions, not {kind.upper()}; compute() the Dask DataFrame to fit {kind}() in memory")
    frame = _frame(data)
    parts = _split(formula, kind)
    n_all = len(frame)
    context = {"np": np, "numpy": np, **context}

    # The structural regressors (exogenous + endogenous) and, for iv/tsls, the instruments (exogenous + excluded).
    regressors = parts.exog if parts.endog is None else f"{parts.exog} + {parts.endog}"
    main = f"{parts.target} ~ {regressors}"
    used = _data_variables(main, context, frame.columns, f"formula {formula!r}")
    instruments = None
    if parts.instruments is not None:
        instruments = f"{parts.exog} + {parts.instruments}"
        used += _data_variables(instruments, context, frame.columns, f"formula {formula!r}")
    if parts.entity is not None:
        frame = _entity_column(frame, parts.entity)
        if parts.entity not in frame.columns:
            raise ValueError(f"Unknown column {parts.entity!r} in formula {formula!r}: the data has no such column")
        used.append(parts.entity)
    if isinstance(weights, str):
        if weights not in frame.columns:
            raise ValueError(f"Unknown column {weights!r} given as weights: the data has no such column")
        used.append(weights)
    used = list(dict.fromkeys(used))

    mask, counts = _missing_mask(frame, used, missing)
    keep = ~mask
    if n_all and not keep.any():
        listed = ", ".join(f"{c!r} ({k} {'row' if k == 1 else 'rows'})" for c, k in counts.items())
        raise ValueError(f"Every row has a missing value in the columns the model uses: {listed}")
    sub = frame.loc[keep, used] if mask.any() else frame[used]
    sub = pd.DataFrame({c: _plain_column(sub[c]) for c in used if c != parts.entity}, index=sub.index)

    mm = _matrix(main, sub, context)
    y_frame, x_frame = mm.lhs, mm.rhs
    if y_frame.shape[1] != 1:
        raise ValueError(f"the target {parts.target!r} must be one numeric column, not {y_frame.shape[1]} columns")
    target_name = str(y_frame.columns[0])
    y = np.ascontiguousarray(y_frame.to_numpy(dtype=np.float64)[:, 0])
    x, x_names, intercept = _split_intercept(x_frame)
    blocks = [(y, [target_name]), (x, x_names)]

    design = _Design(kind=kind, formula=formula, target_name=target_name, y=y, x=x, x_names=x_names,
                     intercept=intercept, index=frame.index[keep], dropped_index=frame.index[mask],
                     missing_counts=counts, x_spec=x_frame.model_spec,
                     x_variables=_data_variables(regressors, context, frame.columns, f"formula {formula!r}"),
                     context=context)
    if instruments is not None:
        z, design.z_names, _ = _split_intercept(_matrix(instruments, sub, context))
        design.z = z
        blocks.append((z, design.z_names))
    if parts.entity is not None:
        # Entities of any integer, string or categorical type, numbered in order of first appearance.
        codes, levels = pd.factorize(frame.loc[keep, parts.entity] if mask.any() else frame[parts.entity],
                                     sort=False)
        design.entity, design.codes, design.levels = parts.entity, codes.astype(np.int64), pd.Index(levels)
        # FE absorbs the constant in the entity effects.
        design.intercept = False
    if weights is not None:
        if isinstance(weights, str):
            w = _plain_column(frame.loc[keep, weights]).to_numpy(dtype=np.float64)
            name = weights
        else:
            w = _whole_frame_vector(weights, n_all, "weights")[keep]
            name = "weights"
        design.weights = np.ascontiguousarray(w)
        blocks.append((design.weights, [name]))
    if sigma is not None:
        s = np.asarray(sigma, dtype=np.float64)
        if s.shape != (n_all, n_all):
            raise ValueError(f"sigma must be {n_all} x {n_all} (one row and column per row of the data), "
                             f"not {' x '.join(map(str, s.shape))}")
        design.sigma = np.ascontiguousarray(s[np.ix_(keep, keep)])
        blocks.append((design.sigma.reshape(-1, 1), ["sigma"]))
    _check_finite(blocks)
    return design


def _entity_column(frame: pd.DataFrame, name: str) -> pd.DataFrame:
    """The frame with the entity as a column: a panel indexed by (entity, time), as linearmodels keeps it, names
    its entity by an index level."""
    if name in frame.columns or name not in frame.index.names:
        return frame
    return frame.assign(**{name: frame.index.get_level_values(name)})


def _whole_frame_vector(values: Any, n: int, name: str) -> np.ndarray:
    if isinstance(values, pd.Series):
        values = values.to_numpy()
    v = np.asarray(values, dtype=np.float64)
    if v.ndim != 1 or len(v) != n:
        raise ValueError(f"{name} must hold one value per row of the data ({n}), not shape {v.shape}")
    return v


# ---------------------------------------------------------------------------------------------------- rank


def _dependent_sets(d: np.ndarray, names: list[str]) -> list[list[str]]:
    """Sets of columns of d that are linearly dependent, found by a pivoted QR of the unit-length columns: each
    column beyond the numerical rank with the columns of the basis that express it."""
    from scipy.linalg import qr, solve_triangular

    n, p = d.shape
    if p == 0:
        return []
    norms = np.linalg.norm(d, axis=0)
    zero = norms <= np.finfo(float).tiny
    sets = [[names[j]] for j in np.flatnonzero(zero)]
    live = np.flatnonzero(~zero)
    if live.size == 0:
        return sets
    a = d[:, live] / norms[live]
    _, r, piv = qr(a, mode="economic", pivoting=True)
    diag = np.abs(np.diag(r))
    rank = int(np.sum(diag > max(n, len(live)) * np.finfo(float).eps * diag[0]))
    for j in range(rank, len(live)):
        c = solve_triangular(r[:rank, :rank], r[:rank, j])
        big = np.abs(c) > 1e-7 * np.abs(c).max() if c.size else np.zeros(0, bool)
        members = sorted([int(piv[i]) for i in np.flatnonzero(big)] + [int(piv[j])])
        sets.append([names[live[m]] for m in members])
    return sets


def _describe_sets(sets: list[list[str]], zero_text: str, dependent_text: str) -> str:
    texts = []
    for s in sets:
        if len(s) == 1:
            texts.append(f"{s[0]!r} {zero_text}")
        else:
            texts.append(", ".join(repr(v) for v in s) + f" {dependent_text}")
    return "; ".join(texts)


def _rank_message(design: _Design) -> str | None:
    """What makes the design rank deficient, in the formula's names, or None when it has full rank."""
    if design.kind == "fe":
        assert design.codes is not None
        x = design.x
        means = pd.DataFrame(x).groupby(design.codes).transform("mean").to_numpy()
        within = x - means
        # A column whose within variation is rounding next to its own length is constant in every entity.
        constant = np.linalg.norm(within, axis=0) <= 1e-10 * np.maximum(np.linalg.norm(x, axis=0), 1e-300)
        within[:, constant] = 0.0
        sets = _dependent_sets(within, design.x_names)
        if not sets:
            return None
        return _describe_sets(sets, "is constant within every entity (the entity effects absorb it)",
                              "are linearly dependent within entities")
    messages = []
    blocks = [("regressors", design.x, design.x_names)]
    if design.z is not None:
        blocks.append(("instruments", design.z, design.z_names))
    for label, x, names in blocks:
        if design.intercept:
            x = np.column_stack([np.ones(len(x)), x])
            names = [_INTERCEPT] + names
        if design.weights is not None:
            x = x * np.sqrt(np.abs(design.weights))[:, None]
        if not np.isfinite(x).all():
            return None
        sets = _dependent_sets(x, names)
        if sets:
            text = _describe_sets(sets, "is zero in every row used", "are linearly dependent")
            messages.append(text if design.z is None else f"{label}: {text}")
    return "; ".join(messages) or None


# ---------------------------------------------------------------------------------------------------- fitting


def _fit(design: _Design, **options: Any) -> FormulaResults:
    kind = design.kind
    cls = _CLASSES[kind]
    model = cls(**options) if kind == "fe" else cls(fit_intercept=design.intercept, **options)
    try:
        if kind == "ols":
            model.fit(design.x, design.y)
        elif kind == "wls":
            model.fit(design.x, design.y, design.weights)
        elif kind == "gls":
            model.fit(design.x, design.y, design.sigma)
        elif kind in ("iv", "tsls"):
            model.fit(design.z, design.x, design.y)
        else:
            model.fit(design.x, design.y, design.codes)
    except (ValueError, RuntimeError) as e:
        identification = _identification_error(kind, design.x_names, design.z_names)
        if identification:
            raise ValueError(identification) from e
        if design.x.shape[1] == 0:
            raise ValueError(f"the formula {design.formula!r} leaves no regressor besides the intercept") from e
        try:
            detail = _rank_message(design)
        except Exception:  # the diagnosis never stands in for the class's own refusal
            detail = None
        if detail is None:
            raise
        raise type(e)(f"{e}: {detail}") from e
    return FormulaResults(model, design)


def _identification_error(kind: str, x_names: list[str], z_names: list[str]) -> str | None:
    """What an iv() or tsls() formula lacks in excluded instruments, or None."""
    if kind not in ("iv", "tsls"):
        return None
    exog = len(set(x_names) & set(z_names))
    endog, excluded = len(x_names) - exog, len(z_names) - exog
    if (kind == "iv" and excluded == endog) or (kind == "tsls" and excluded >= endog):
        return None
    need = "exactly one" if kind == "iv" else "at least one"
    hint = ": use tsls() for more instruments than endogenous regressors" if excluded > endog else ""
    return f"{kind}() needs {need} excluded instrument per endogenous regressor; the formula has {excluded} for {endog}{hint}"


def ols(formula: str, data: Any, robust: bool = False, *, missing: str = "drop") -> FormulaResults:
    """Ordinary least squares, ``statsmodels.formula.api.ols(formula, data).fit()``; ``robust`` gives HC0 errors.
    A Dask DataFrame fits through korvalis.dask.OLS."""
    if _is_dask(data):
        return _fit_dask("ols", formula, data, missing, _caller_context(), None, robust=robust)
    return _fit(_build("ols", formula, data, missing, _caller_context()), robust=robust)


def wls(formula: str, data: Any, weights: Any, *, missing: str = "drop") -> FormulaResults:
    """Weighted least squares; ``weights`` is a column name or one value per row of ``data`` (by position). A Dask
    DataFrame fits through korvalis.dask.WLS, with the weights as one of its columns."""
    if _is_dask(data):
        return _fit_dask("wls", formula, data, missing, _caller_context(), weights)
    return _fit(_build("wls", formula, data, missing, _caller_context(), weights=weights))


def gls(formula: str, data: Any, sigma: Any, *, missing: str = "drop") -> FormulaResults:
    """Generalised least squares with the n × n error covariance ``sigma`` over every row of ``data`` (by position;
    the rows and columns of dropped rows are left out)."""
    return _fit(_build("gls", formula, data, missing, _caller_context(), sigma=sigma))


def iv(formula: str, data: Any, *, missing: str = "drop") -> FormulaResults:
    """Instrumental variables, exactly identified: ``"y ~ 1 + exog + [endog ~ instrument]"``. A Dask DataFrame fits
    through korvalis.dask.IV."""
    if _is_dask(data):
        return _fit_dask("iv", formula, data, missing, _caller_context(), None)
    return _fit(_build("iv", formula, data, missing, _caller_context()))


def tsls(formula: str, data: Any, *, missing: str = "drop") -> FormulaResults:
    """Two-stage least squares: ``"y ~ 1 + exper + [educ ~ fatheduc + motheduc]"``. A Dask DataFrame fits through
    korvalis.dask.TSLS."""
    if _is_dask(data):
        return _fit_dask("tsls", formula, data, missing, _caller_context(), None)
    return _fit(_build("tsls", formula, data, missing, _caller_context()))


def fe(formula: str, data: Any, robust: bool = False, *, missing: str = "drop") -> FormulaResults:
    """The within (fixed-effects) estimator with the entity after a bar: ``"lwage ~ union + married | nr"``;
    ``robust`` gives entity-clustered errors. A Dask DataFrame fits through korvalis.dask.FE, its entities numbered
    in one order of first appearance over all partitions."""
    if _is_dask(data):
        return _fit_dask("fe", formula, data, missing, _caller_context(), None, robust=robust)
    return _fit(_build("fe", formula, data, missing, _caller_context()), robust=robust)


# ---------------------------------------------------------------------------------------------------- results


class FormulaResults:
    """A fitted model with statsmodels' names. ``model`` is the korvalis class instance that did the fit; every
    number comes from it (through private accessors where the class exposes no attribute)."""

    def __init__(self, model: Any, design: _Design) -> None:
        self.model = model
        self._design = design
        names = pd.Index(design.names)
        params, bse, t, p, ci, df = _kernels.inference(model, 0.05)
        self.params = pd.Series(params, index=names, name="params")
        self.bse = pd.Series(bse, index=names, name="bse")
        self.tvalues = pd.Series(t, index=names, name="tvalues")
        self.pvalues = pd.Series(p, index=names, name="pvalues")
        self.df_resid = int(df)
        self._ci = ci
        self.nobs = int(model.n_samples)
        self.rsquared = float(model.r_squared)
        self.n_missing = len(design.dropped_index)
        self.dropped_index = design.dropped_index
        self.missing_counts = dict(design.missing_counts)
        self.resid: Any = pd.Series(model.residuals, index=design.index, name="resid")
        self.formula = design.formula
        self.fixed_effects = None
        if design.kind == "fe":
            self.fixed_effects = pd.Series(model.fixed_effects, index=design.levels, name="fixed_effects")

    @property
    def fittedvalues(self) -> Any:
        d = self._design
        values = self.model.predict(d.x, d.codes) if d.kind == "fe" else self.model.predict(d.x)
        return pd.Series(values, index=d.index, name="fittedvalues")

    def conf_int(self, alpha: float = 0.05) -> pd.DataFrame:
        ci = self._ci if alpha == 0.05 else _kernels.inference(self.model, alpha)[4]
        return pd.DataFrame(ci, index=self.params.index, columns=[0, 1])

    def cov_params(self) -> pd.DataFrame:
        """The covariance whose diagonal roots are ``bse`` (the robust one when robust), intercept included."""
        return pd.DataFrame(_kernels.covariance(self.model), index=self.params.index, columns=self.params.index)

    def summary(self) -> str:
        d = self._design
        return _kernels.summary(self.model, d.target_name, list(self.params.index), self.n_missing)

    def predict(self, new_data: Any = None) -> pd.Series:
        """The formula's regressors built from ``new_data`` with the training levels, times the estimates (plus each
        row's entity effect for FE). Rows with a missing value give NaN; the result has ``new_data``'s index."""
        if new_data is None:
            return self.fittedvalues
        d = self._design
        frame = _frame(new_data)
        if d.entity is not None:
            frame = _entity_column(frame, d.entity)
        needed = list(d.x_variables) + ([d.entity] if d.entity else [])
        for c in needed:
            if c not in frame.columns:
                raise ValueError(f"Unknown column {c!r}: the new data has no such column")
        mask, _ = _missing_mask(frame, needed, "drop")
        keep = ~mask
        out = pd.Series(np.nan, index=frame.index, name="predicted")
        if not keep.any():
            return out
        sub = frame.loc[keep, needed]
        sub = pd.DataFrame({c: _plain_column(sub[c]) for c in needed if c != d.entity}, index=sub.index)
        mm = _matrix(d.x_spec, sub, d.context)
        x = np.ascontiguousarray(mm[d.x_names].to_numpy(dtype=np.float64)) if d.x_names else np.empty((len(sub), 0))
        if d.kind == "fe":
            assert d.levels is not None
            labels = frame.loc[keep, d.entity]
            codes = d.levels.get_indexer(labels)
            if (codes < 0).any():
                unknown = list(dict.fromkeys(labels[codes < 0]))[:5]
                raise ValueError(f"Unknown entity {', '.join(map(repr, unknown))} in column {d.entity!r}: "
                                 "not among the entities the model was fitted on")
            values = self.model.predict(x, codes.astype(np.int64))
        else:
            values = self.model.predict(x)
        out[keep] = values
        return out

    def __repr__(self) -> str:
        return (f"<korvalis.formula {type(self.model).__name__} fit of {self.formula!r}: {self.nobs} observations, "
                f"{self.n_missing} dropped>")


# ---------------------------------------------------------------------------------------------------- Dask frames
#
# A Dask DataFrame is fitted by korvalis.dask over its partitions. One design layout, built from the frame's metadata
# (its dtypes, categories included) before any partition is read, makes every partition's design: the columns and
# dummy levels agree across partitions by construction, and a level set that only the data could reveal is an error
# that says how to declare it. The layer reads the frame once for the missing counts and the kept rows of each
# partition (so the chunks' sizes are known), then korvalis.dask makes its rounds.


def _is_dask(data: Any) -> bool:
    return type(data).__module__.split(".")[0] == "dask" and hasattr(data, "to_delayed")


def _partition_rows(part: pd.DataFrame, used: list[str]) -> tuple[int, int, np.ndarray]:
    """A partition's rows, those without a missing value in the columns the model uses, and the missing values of
    each of those columns."""
    isna = part[used].isna().to_numpy()
    return len(part), int((~isna.any(axis=1)).sum()), isna.sum(axis=0)


def _partition_design(part: pd.DataFrame, used: list[str], layout: Any, context: Mapping[str, Any],
                      x_names: list[str], weights: str | None, z_spec: ModelSpec | None, z_names: list[str],
                      design_columns: list[str]) -> tuple[np.ndarray, np.ndarray, np.ndarray | None, np.ndarray | None]:
    """One partition's kept rows (no missing value in `used`) as the layouts' design, target, weights and
    instruments (float64, C order), built from `design_columns`."""
    kept = part.loc[part[used].notna().all(axis=1).to_numpy(), design_columns]
    kept = pd.DataFrame({c: _plain_column(kept[c], drop_unused=False) for c in design_columns}, index=kept.index)
    mm = _matrix(layout, kept, context)
    x = np.ascontiguousarray(mm.rhs[x_names].to_numpy(dtype=np.float64)) if x_names else np.empty((len(kept), 0))
    y = np.ascontiguousarray(mm.lhs.to_numpy(dtype=np.float64)[:, 0])
    w = np.ascontiguousarray(kept[weights].to_numpy(dtype=np.float64)) if weights else None
    z = None
    if z_spec is not None:
        mz = _matrix(z_spec, kept, context)
        z = np.ascontiguousarray(mz[z_names].to_numpy(dtype=np.float64)) if z_names else np.empty((len(kept), 0))
    return x, y, w, z


def _partition_entities(part: pd.DataFrame, used: list[str], entity: str) -> pd.Series:
    """The entities of a partition's kept rows, each once, in order of first appearance."""
    kept = part.loc[part[used].notna().all(axis=1).to_numpy(), entity]
    return pd.Series(pd.unique(kept))


def _partition_codes(part: pd.DataFrame, used: list[str], entity: str, levels: pd.Index) -> np.ndarray:
    """The entity numbers of a partition's kept rows in the numbering of all partitions."""
    kept = part.loc[part[used].notna().all(axis=1).to_numpy(), entity]
    return np.ascontiguousarray(levels.get_indexer(kept), dtype=np.int64)


def _partition_nonfinite(x: np.ndarray, y: np.ndarray, w: np.ndarray | None, z: np.ndarray | None) -> np.ndarray:
    blocks = [y[:, None], x] + ([w[:, None]] if w is not None else []) + ([z] if z is not None else [])
    return np.concatenate([(~np.isfinite(b)).sum(axis=0) for b in blocks])


def _declared_levels_error(meta: pd.DataFrame, used: list[str], layouts: Sequence[ModelSpec]) -> None:
    """Categorical factors whose levels the metadata does not hold, and transformations that need the whole column,
    cannot take one layout for every partition."""
    def declared(c: str) -> bool:
        dtype = meta[c].dtype
        if isinstance(dtype, pd.CategoricalDtype):
            return "__UNKNOWN_CATEGORIES__" not in list(dtype.categories)
        return pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)

    unknown = [repr(c) for c in used if not declared(c)]
    for layout in layouts:
        unknown += [repr(str(f)) for f, state in layout.factor_contrasts.items() if not list(state.levels)]
    unknown = list(dict.fromkeys(unknown))
    if unknown:
        listed = ", ".join(unknown)
        raise ValueError(
            f"the levels of {listed} cannot be known before every partition of the Dask DataFrame is read; declare "
            "them as a categorical column with known categories, for example "
            "df = df.categorize(columns=[...]) or df[col] = df[col].astype(pd.CategoricalDtype([...]))"
        )
    stateful = list(dict.fromkeys(t for layout in layouts for t in layout.transform_state))
    if stateful:
        listed = ", ".join(repr(t) for t in stateful)
        raise ValueError(f"{listed} learns its parameters from the whole column, which no partition of a Dask "
                         "DataFrame holds: compute the transformed column on the frame first")


def _fit_dask(kind: str, formula: str, data: Any, missing: str, context: Mapping[str, Any], weights: Any,
              **options: Any) -> FormulaResults:
    import dask
    import dask.array as da

    import korvalis.dask as kd

    if missing not in ("drop", "raise"):
        raise ValueError(f"missing must be 'drop' or 'raise', not {missing!r}")
    if weights is not None and not isinstance(weights, str):
        raise TypeError("on a Dask DataFrame the weights are one of its columns: give the column's name")
    parts = _split(formula, kind)
    columns = pd.Index(data.columns)
    regressors = parts.exog if parts.endog is None else f"{parts.exog} + {parts.endog}"
    main = f"{parts.target} ~ {regressors}"
    instruments = None if parts.instruments is None else f"{parts.exog} + {parts.instruments}"
    # Each partition's task carries the names the formula calls for (a user's function), not the caller's whole
    # namespace, which may hold what cannot travel to a worker (a Client, the frame itself).
    mentioned = _identifiers(main) | (_identifiers(instruments) if instruments else set())
    context = {"np": np, "numpy": np, **{k: v for k, v in context.items() if k in mentioned}}
    used = _data_variables(main, context, columns, f"formula {formula!r}")
    if instruments is not None:
        used += _data_variables(instruments, context, columns, f"formula {formula!r}")
    entity = parts.entity
    if entity is not None and entity not in columns:
        raise ValueError(f"Unknown column {entity!r} in formula {formula!r}: the data has no such column")
    if weights is not None:
        if weights not in columns:
            raise ValueError(f"Unknown column {weights!r} given as weights: the data has no such column")
        used.append(weights)
    used = list(dict.fromkeys(used))

    meta = data._meta
    _declared_levels_error(meta, used, [])
    design_columns = used
    if entity is not None:  # an entity of any type: its numbering is read from the data below
        used = list(dict.fromkeys(used + [entity]))
    # the levels a categorical column declares, all of them: the layout is built before any row is read
    spec_frame = pd.DataFrame({c: _plain_column(meta[c], drop_unused=False) for c in design_columns},
                              index=meta.index)
    mm = _matrix(main, spec_frame, context)
    layout = mm.model_spec
    _declared_levels_error(meta, design_columns, [mm.rhs.model_spec, mm.lhs.model_spec])
    _, x_names, intercept = _split_intercept(mm.rhs)
    target_name = str(mm.lhs.columns[0])
    z_spec: ModelSpec | None = None
    z_names: list[str] = []
    if instruments is not None:
        mz = _matrix(instruments, spec_frame, context)
        _declared_levels_error(meta, design_columns, [mz.model_spec])
        z_spec = mz.model_spec
        _, z_names, _ = _split_intercept(mz)

    partitions = data.to_delayed()
    rows_task = dask.delayed(_partition_rows, pure=True)
    (sizes,) = dask.compute([rows_task(p, used) for p in partitions])
    isna = np.sum([s[2] for s in sizes], axis=0) if sizes else np.zeros(len(used), dtype=int)
    counts = {c: int(v) for c, v in zip(used, isna) if v}
    rows = [kept for _, kept, _ in sizes]
    if missing == "raise" and counts:
        listed = ", ".join(f"{c!r} ({k} {'row' if k == 1 else 'rows'})" for c, k in counts.items())
        raise ValueError(f"Missing values in the columns the model uses: {listed}")

    design_task = dask.delayed(_partition_design, pure=True, nout=4)
    pieces = [design_task(p, used, layout, context, x_names, weights, z_spec, z_names, design_columns)
              for p in partitions]

    def stacked(i: int, width: int | None) -> Any:
        shape = (lambda r: (r,)) if width is None else (lambda r: (r, width))
        return da.concatenate([da.from_delayed(piece[i], shape=shape(r), dtype=np.float64)
                               for piece, r in zip(pieces, rows)])

    k = len(x_names)
    x, y = stacked(0, k), stacked(1, None)
    w = stacked(2, None) if weights is not None else None
    z = stacked(3, len(z_names)) if instruments is not None else None

    codes = levels = None
    if entity is not None:
        # One numbering of the entities for every partition: first appearance over the partitions in order.
        uniques_task = dask.delayed(_partition_entities, pure=True)
        (uniques,) = dask.compute([uniques_task(p, used, entity) for p in partitions])
        levels = pd.Index(pd.unique(pd.concat(uniques, ignore_index=True))) if uniques else pd.Index([])
        levels_key = dask.delayed(levels, pure=True)
        codes_task = dask.delayed(_partition_codes, pure=True)
        codes = da.concatenate([da.from_delayed(codes_task(p, used, entity, levels_key), shape=(r,), dtype=np.int64)
                                for p, r in zip(partitions, rows)])
        intercept = False  # FE absorbs the constant in the entity effects

    if kind == "fe":
        chunked = kd.FE(**options)
    else:
        chunked = {"ols": kd.OLS, "wls": kd.WLS, "iv": kd.IV, "tsls": kd.TSLS}[kind](fit_intercept=intercept, **options)
    try:
        if kind == "ols":
            chunked.fit(x, y)
        elif kind == "wls":
            chunked.fit(x, y, w)
        elif kind == "fe":
            chunked.fit(x, y, codes)
        else:
            chunked.fit(z, x, y)
    except (ValueError, RuntimeError) as e:
        if kind == "fe":
            raise
        if k == 0:
            raise ValueError(f"the formula {formula!r} leaves no regressor besides the intercept") from e
        identification = _identification_error(kind, x_names, z_names)
        if identification:
            raise ValueError(identification) from e
        names = [target_name] + x_names + ([weights] if weights else []) + z_names
        bad = np.sum(dask.compute(*[dask.delayed(_partition_nonfinite)(*piece) for piece in pieces]), axis=0)
        if bad.any():
            raise ValueError("Input contains NaN or infinite values: " + ", ".join(dict.fromkeys(
                f"{n!r} ({b} {'row' if b == 1 else 'rows'})" for n, b in zip(names, bad) if b))) from e
        # A Gram matrix has its design's linear dependencies (Gc = 0 exactly when Dc = 0).
        messages = []
        for label, block, block_names in [("regressors", x, x_names), ("instruments", z, z_names)]:
            if block is None:
                continue
            d = da.concatenate([da.ones((block.shape[0], 1), chunks=(block.chunks[0], 1)), block], axis=1) \
                if intercept else block
            if w is not None:
                d = d * da.sqrt(w)[:, None]
            sets = _dependent_sets((d.T @ d).compute(), ([_INTERCEPT] if intercept else []) + block_names)
            if sets:
                text = _describe_sets(sets, "is zero in every row used", "are linearly dependent")
                messages.append(text if z is None else f"{label}: {text}")
        if not messages:
            raise
        raise type(e)(f"{e}: " + "; ".join(messages)) from e

    design = _Design(kind=kind, formula=formula, target_name=target_name, y=np.empty(0), x=np.empty((0, k)),
                     x_names=x_names, intercept=intercept, index=pd.Index([]), dropped_index=pd.Index([]),
                     missing_counts=counts, x_spec=mm.rhs.model_spec,
                     x_variables=_data_variables(regressors, context, columns, f"formula {formula!r}"),
                     context=context, entity=entity, levels=levels)
    return _DaskResults(chunked, design, x, sum(n for n, _, _ in sizes) - sum(rows), codes)


class _DaskResults(FormulaResults):
    """The results of a fit over a Dask DataFrame: the numbers as in memory, residuals and fitted values as lazy
    Dask arrays (in the kept rows' order), ``predict`` on a Dask DataFrame partition by partition."""

    def __init__(self, chunked: Any, design: _Design, x: Any, dropped: int, codes: Any = None) -> None:
        super().__init__(chunked.model, design)
        self._chunked = chunked
        self._x = x
        self._codes = codes
        self.resid = chunked.residuals
        self.n_missing = dropped
        self.dropped_index = None  # the rows stay in their partitions; missing_counts counts them by column

    @property
    def fittedvalues(self) -> Any:
        return self._chunked.predict(self._x, *(() if self._codes is None else (self._codes,)))

    def predict(self, new_data: Any = None) -> Any:
        if new_data is None:
            return self.fittedvalues
        if _is_dask(new_data):
            import dask
            import dask.dataframe as dd

            task = dask.delayed(super().predict, pure=False)
            meta = pd.Series(dtype=np.float64, name="predicted")
            return dd.from_delayed([task(part) for part in new_data.to_delayed()], meta=meta,
                                   divisions=new_data.divisions)
        return super().predict(new_data)
