"""korvalis's estimators on Dask arrays: the same fits, over row chunks.

``import korvalis.dask as kd``, then ``kd.OLS`` and ``kd.WLS`` take the in-memory classes' constructor
options, methods and attributes, and ``fit`` takes Dask arrays chunked along rows. A fit is a fold of
mergeable rounds over the chunks, each chunk read by the same native code the in-memory classes run:

1. the Gram round: the Gram matrix of [1 | x | y] (rows weighted by √w for WLS), merged by sums;
2. only where the shared solve cannot prove the Gram safe (an ill-conditioned design): the factor round,
   the R factor of [1 | x | y] by tall-skinny QR, merged by the QR of two stacked factors;
3. the residual round: SSR, the weighted moments of y behind R², and, where the report has them, the
   residual moments (merged pairwise) and Durbin–Watson's sum (each chunk's first and last residual),
   and HC0's meat.

Only p × p blocks and per-chunk scalars travel; residuals stay a lazy Dask array and ``predict`` returns
one. The result is committed on an in-memory estimator object (``model``), which then answers every
attribute, inference method and ``summary()`` exactly as a fit in memory would.
"""

from __future__ import annotations

import importlib
import inspect
import types
from typing import Any, Callable

import dask
import dask.array as da
import numpy as np

import korvalis

# The private kernel module; loading it leaves korvalis's own namespace as it was.
_kernels: Any = importlib.import_module("korvalis._kernels")
vars(korvalis).pop("_kernels", None)

__all__ = ["OLS", "WLS", "IV", "TSLS", "FE"]

_GRAM_SHIFT = 10  # where a packed Gram round keeps its weight shift
_REFINEMENT_ROUNDS = 2


def __getattr__(name: str) -> Any:
    if name == "GLS":
        raise AttributeError(
            "korvalis.dask has no GLS: its n × n error covariance does not scale over chunks; "
            "fit it in memory with korvalis.GLS"
        )
    raise AttributeError(f"module 'korvalis.dask' has no attribute {name!r}")


def _fold(parts: list[Any], merge: Callable[..., Any]) -> Any:
    """A tree of pairwise merges of neighbouring parts, so row order is kept (Durbin–Watson needs it)."""
    merge_task = dask.delayed(merge, pure=True)
    while len(parts) > 1:
        parts = [merge_task(parts[i], parts[i + 1]) if i + 1 < len(parts) else parts[i]
                 for i in range(0, len(parts), 2)]
    return parts[0]


class _Chunked:
    """The fit over chunks of one in-memory class; everything else is read from the fitted object."""

    __slots__ = ("model", "_residuals")
    _class: Any
    _predict_param = "x"
    _rescales = False  # whether the class rescales data whose squares leave double range (OLS does)
    _inputs: tuple[str, ...]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self.model = self._class(*args, **kwargs)
        self._residuals: da.Array | None = None

    def __repr__(self) -> str:
        return repr(self.model)

    @property
    def residuals(self) -> da.Array | None:
        """The residuals of the last fit, a lazy Dask array (None before a fit)."""
        return self._residuals

    # ------------------------------------------------------------------ input checks

    def _arrays(self, method: str, values: tuple[Any, ...], names: tuple[str, ...]) -> list[da.Array]:
        cls = type(self).__name__
        for value, name in zip(values, names):
            if isinstance(value, np.ndarray):
                raise TypeError(
                    f"korvalis.dask.{cls}.{method}: argument '{name}' is a NumPy array; korvalis.dask takes Dask "
                    f"arrays chunked along rows (fit NumPy arrays in memory with korvalis.{cls})"
                )
            if not isinstance(value, da.Array):
                raise TypeError(
                    f"korvalis.dask.{cls}.{method}: argument '{name}': expected a Dask array, "
                    f"got '{type(value).__qualname__}'"
                )
        # The in-memory class words every fault of type and shape: ask it on empty arrays of the same
        # dtypes and dimensions (a TypeError is the argument's; anything else comes later, on the data).
        probe = [np.empty((0,) * v.ndim, dtype=v.dtype) for v in values]
        try:
            getattr(self._class(), method)(*probe)
        except TypeError as error:
            raise TypeError(str(error)) from None
        except (ValueError, RuntimeError):
            pass
        return list(values)

    @staticmethod
    def _align(x: da.Array, others: list[da.Array]) -> tuple[da.Array, list[da.Array]]:
        """x in one column block, every input in x's row chunks (unknown chunk sizes kept as they are)."""
        if x.numblocks[1] > 1:
            x = x.rechunk({1: -1})
        known = not any(np.isnan(c) for a in [x, *others] for c in a.chunks[0])
        if known:
            return x, [a if a.chunks[0] == x.chunks[0] else a.rechunk({0: x.chunks[0]}) for a in others]
        if any(a.numblocks[0] != x.numblocks[0] for a in others):
            x = x.compute_chunk_sizes()
            others = [a.compute_chunk_sizes() for a in others]
            return _Chunked._align(x, others)
        return x, others

    def _shapes_fault(self, arrays: list[da.Array]) -> None:
        """Inputs of known, inconsistent or empty shapes: the in-memory class's error, read from zero-stride
        arrays of those shapes (it rejects them before reading any element)."""
        shapes = [a.shape for a in arrays]
        if any(np.isnan(d) for s in shapes for d in s):
            return
        rows = {s[0] for s in shapes}
        if len(rows) == 1 and all(d > 0 for s in shapes for d in s):
            return
        zeros = [np.broadcast_to(np.zeros(1, dtype=a.dtype), a.shape) for a in arrays]
        self._class(*self._options()).fit(*zeros)

    def _options(self) -> tuple[Any, ...]:
        return (self.model.fit_intercept,)

    def _params(self) -> np.ndarray:
        """The fitted coefficient vector, intercept first."""
        params = np.asarray(self.model.coefficients)
        return np.concatenate([[self.model.intercept], params]) if self.model.fit_intercept else params

    # ------------------------------------------------------------------ the fit

    def _fit(self, x: da.Array, y: da.Array, w: da.Array | None = None, z: da.Array | None = None,
             moments: bool = False, hc0: bool = False) -> None:
        """The rounds of one fit. x: the regressors; z: the instruments of an instrumental fit (its Gram and
        factor rounds are of [1 | z | x | y]); w: the weights of a weighted fit."""
        intercept = bool(self.model.fit_intercept)
        k, q = x.shape[1], (z.shape[1] if z is not None else 0)

        def blocks(a: da.Array | None) -> list[Any]:
            return a.to_delayed().ravel().tolist() if a is not None else [None] * len(x.to_delayed().ravel())

        xs, ys, ws, zs = blocks(x), blocks(y), blocks(w), blocks(z)
        # The Gram and factor rounds read [1 | first | second | y]: instruments first when there are any.
        firsts, seconds = (zs, xs) if z is not None else (xs, [None] * len(xs))
        rows = list(zip(firsts, seconds, ys, ws))

        def fold(kernel: Callable[..., Any], merge: Callable[..., Any], *extra: Any) -> Any:
            task = dask.delayed(kernel, pure=True)
            (merged,) = dask.compute(_fold([task(a, b, yb, wb, intercept, *extra) for a, b, yb, wb in rows], merge))
            return merged

        gram = fold(_kernels.gram_chunk, _kernels.merge_gram)
        scales = None
        if self._rescales and _kernels.rescale(gram, None, intercept) is not None:
            # Squares beyond double range: every round again on [1 | x | y] scaled column by column by powers
            # of two (exact), as the in-memory class does with its copy, and the results scaled back.
            range_task = dask.delayed(_kernels.range_chunk, pure=True)
            (ranges,) = dask.compute(_fold([range_task(xb, yb) for xb, yb in zip(xs, ys)], _kernels.merge_range))
            scales = _kernels.rescale(gram, ranges, intercept)
            gram = fold(_kernels.gram_chunk, _kernels.merge_gram, scales)
        solved = _kernels.solve(self.model, q, k, gram, None, scales)
        if solved is not None:
            solution, params, shift = solved
        else:
            # A route needs the design: the R factor of [D | y] stands in for it.
            shift = int(gram[_GRAM_SHIFT])
            factor = fold(_kernels.factor_chunk, _kernels.merge_factor, shift, None, scales)
            solution, params, shift = _kernels.solve(self.model, q, k, gram, factor, scales)
            if z is None:
                # The factor's rounding costs digits on the hardest designs: steps of iterative refinement,
                # each a factor round on the residuals formed in double-double, bring β to the in-memory digits.
                for _ in range(_REFINEMENT_ROUNDS):
                    correction = fold(_kernels.factor_chunk, _kernels.merge_factor, shift, params, scales)
                    params = _kernels.refine(solution, correction)

        residual_task = dask.delayed(_kernels.residual_chunk, pure=True)
        (sums,) = dask.compute(_fold(
            [residual_task(xb, yb, wb, intercept, shift, params, moments, hc0, scales)
             for xb, yb, wb in zip(xs, ys, ws)],
            _kernels.merge_residual))
        _kernels.commit(self.model, k, solution, sums, scales)
        params = self._params()

        residual_chunk = dask.delayed(_kernels.residuals_chunk, pure=True)
        self._residuals = da.concatenate([
            da.from_delayed(residual_chunk(xb, yb, intercept, params), shape=(n,), dtype=np.float64)
            for xb, yb, n in zip(xs, ys, x.chunks[0])
        ]) if xs else da.zeros((0,), dtype=np.float64)

    def predict(self, x: Any) -> da.Array:
        """Predictions for the rows of a Dask array, as a Dask array (computed lazily)."""
        return self._predict(x)

    def _predict(self, x: Any) -> da.Array:
        (x,) = self._arrays("predict", (x,), (self._predict_param,))
        # Unfitted, or the wrong number of columns: the in-memory class's own error, at once.
        self.model.predict(np.zeros((0, x.shape[1])))
        if x.numblocks[1] > 1:
            x = x.rechunk({1: -1})
        intercept = bool(self.model.fit_intercept)
        params = self._params()
        task = dask.delayed(_kernels.predict_chunk, pure=True)
        parts = [da.from_delayed(task(xb, intercept, params), shape=(rows,), dtype=np.float64)
                 for xb, rows in zip(x.to_delayed().ravel().tolist(), x.chunks[0])]
        return da.concatenate(parts) if parts else da.zeros((0,), dtype=np.float64)


def _reads(cls: type[_Chunked]) -> type[_Chunked]:
    """Gives a chunked class every attribute and method of its in-memory class that reads the fitted state,
    each answered by the object the fit was committed on (fit, predict and residuals are the class's own)."""
    for name, member in vars(cls._class).items():
        if name.startswith("_") or name in ("fit", "predict", "residuals"):
            continue
        if isinstance(member, types.GetSetDescriptorType):
            setattr(cls, name, property(lambda self, name=name: getattr(self.model, name), doc=member.__doc__))
        elif isinstance(member, types.MethodDescriptorType):
            def method(self: _Chunked, *args: Any, __name: str = name, **kwargs: Any) -> Any:
                return getattr(self.model, __name)(*args, **kwargs)
            method.__name__ = method.__qualname__ = name
            method.__doc__ = member.__doc__
            method.__signature__ = inspect.signature(member)  # type: ignore[attr-defined]
            setattr(cls, name, method)
    return cls


@_reads
class OLS(_Chunked):
    """Ordinary least squares over row chunks of Dask arrays (classical or HC0 standard errors)."""

    __slots__ = ()
    _class = korvalis.OLS
    _rescales = True

    def _options(self) -> tuple[Any, ...]:
        return (self.model.fit_intercept, self.model.robust)

    def fit(self, x: Any, y: Any) -> None:
        """Fits on Dask arrays x (n × k, float64) and y (n, float64) chunked along rows."""
        x, y = self._arrays("fit", (x, y), ("x", "y"))
        self._shapes_fault([x, y])
        x, (y,) = self._align(x, [y])
        self._fit(x, y, moments=True, hc0=bool(self.model.robust))


@_reads
class WLS(_Chunked):
    """Weighted least squares over row chunks of Dask arrays."""

    __slots__ = ()
    _class = korvalis.WLS

    def fit(self, x: Any, y: Any, weights: Any) -> None:
        """Fits on Dask arrays x (n × k), y (n) and weights (n, positive), float64, chunked along rows."""
        x, y, weights = self._arrays("fit", (x, y, weights), ("x", "y", "weights"))
        self._shapes_fault([x, y, weights])
        x, (y, weights) = self._align(x, [y, weights])
        self._fit(x, y, w=weights)


class _Instrumental(_Chunked):
    __slots__ = ()
    _predict_param = "regressors"

    def fit(self, instruments: Any, regressors: Any, targets: Any) -> None:
        """Fits on Dask arrays instruments (n × q), regressors (n × k) and targets (n), float64, chunked along
        rows."""
        z, x, y = self._arrays("fit", (instruments, regressors, targets), ("instruments", "regressors", "targets"))
        self._shapes_fault([z, x, y])
        if x.numblocks[1] > 1:
            x = x.rechunk({1: -1})
        z, (x, y) = self._align(z, [x, y])
        self._fit(x, y, z=z)

    def predict(self, regressors: Any) -> da.Array:  # type: ignore[override]
        """Predictions for the rows of a Dask array of regressors, as a Dask array (computed lazily)."""
        return self._predict(regressors)


@_reads
class IV(_Instrumental):
    """Instrumental variables for exactly identified models, over row chunks of Dask arrays."""

    __slots__ = ()
    _class = korvalis.IV


@_reads
class TSLS(_Instrumental):
    """Two-stage least squares over row chunks of Dask arrays."""

    __slots__ = ()
    _class = korvalis.TSLS


@_reads
class FE(_Chunked):
    """The within (fixed-effects) estimator over row chunks of Dask arrays, with int64 entity ids.

    Three rounds: the entity sums (merged by entity id, numbered by first appearance over all rows), the Gram
    matrix of the demeaned rows, and the residuals with the entity scores of the clustered errors. The numbering
    and the entity means travel to the chunks as G-sized arrays (the ids in number order, the means).
    """

    __slots__ = ("_lookup",)
    _class = korvalis.FE

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._lookup: tuple[Any, np.ndarray] | None = None

    def _options(self) -> tuple[Any, ...]:
        return (self.model.robust,)

    def fit(self, x: Any, y: Any, entity_id: Any) -> None:
        """Fits on Dask arrays x (n × k, float64), y (n, float64) and entity_id (n, int64) chunked along rows."""
        x, y, ids = self._arrays("fit", (x, y, entity_id), ("x", "y", "entity_id"))
        self._shapes_fault([x, y, ids])
        x, (y, ids) = self._align(x, [y, ids])
        k = x.shape[1]
        xs, ys, zs = (a.to_delayed().ravel().tolist() for a in (x, y, ids))

        entity_task = dask.delayed(_kernels.entity_chunk, pure=True)
        (entities,) = dask.compute(_fold([entity_task(a, b, c) for a, b, c in zip(xs, ys, zs)],
                                         _kernels.merge_entities))
        factor = _kernels.fe_check(self.model, k, entities)
        numbered, means = _kernels.entity_lookup(entities)
        # One key each: a distributed scheduler ships them to a worker once, not with every task.
        lookup = [dask.delayed(a, pure=True) for a in (numbered.view(np.int64), means)]

        def within(with_factor: bool, params: Any = None) -> Any:
            task = dask.delayed(_kernels.within_chunk, pure=True)
            (merged,) = dask.compute(_fold(
                [task(a, b, c, *lookup, with_factor, params) for a, b, c in zip(xs, ys, zs)], _kernels.merge_within))
            return merged

        rounds = within(factor)
        solved = _kernels.fe_solve(self.model, entities, rounds)
        if solved is None:
            # The demeaned design is ill-conditioned: the within round again with its R factor, then steps of
            # refinement on residuals formed in double-double from the exact differences x − mean.
            rounds = within(True)
            solution, params = _kernels.fe_solve(self.model, entities, rounds)
            for _ in range(_REFINEMENT_ROUNDS):
                params = _kernels.fe_refine(solution, within(True, params))
        else:
            solution, params = solved

        residual_task = dask.delayed(_kernels.panel_residual_chunk, pure=True)
        (sums,) = dask.compute(_fold(
            [residual_task(a, b, c, *lookup, params, bool(self.model.robust)) for a, b, c in zip(xs, ys, zs)],
            _kernels.merge_panel_residual))
        _kernels.fe_commit(self.model, entities, solution, rounds, sums)

        self._lookup = (lookup[0], np.asarray(self.model.fixed_effects))
        residual_chunk = dask.delayed(_kernels.panel_residuals_chunk, pure=True)
        self._residuals = da.concatenate([
            da.from_delayed(residual_chunk(a, b, c, *lookup, params), shape=(n,), dtype=np.float64)
            for a, b, c, n in zip(xs, ys, zs, x.chunks[0])
        ])

    def predict(self, x: Any, entity_id: Any) -> da.Array:
        """Predictions xβ + α for the rows of Dask arrays x and entity_id, as a Dask array; an entity the fit did
        not see raises FE.predict's error when the result is computed."""
        x, ids = self._arrays("predict", (x, entity_id), ("x", "entity_id"))
        # Unfitted, the wrong number of columns, or rows that disagree: the in-memory class's own error, at once.
        self.model.predict(np.zeros((0, x.shape[1])), np.zeros(0, dtype=np.int64))
        if not any(np.isnan(d) for d in (*x.shape, *ids.shape)) and x.shape[0] != ids.shape[0]:
            self.model.predict(np.broadcast_to(np.zeros(1), (x.shape[0], x.shape[1])),
                               np.broadcast_to(np.zeros(1, dtype=np.int64), ids.shape))
        x, (ids,) = self._align(x, [ids])
        assert self._lookup is not None
        numbered, effects = self._lookup
        params = np.asarray(self.model.coefficients)
        task = dask.delayed(_kernels.panel_predict_chunk, pure=True)
        return da.concatenate([
            da.from_delayed(task(a, c, numbered, effects, params), shape=(n,), dtype=np.float64)
            for a, c, n in zip(x.to_delayed().ravel().tolist(), ids.to_delayed().ravel().tolist(), x.chunks[0])
        ])
