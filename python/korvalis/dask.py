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
from typing import Any, Callable

import dask
import dask.array as da
import numpy as np

import korvalis

# The private kernel module; loading it leaves korvalis's own namespace as it was.
_kernels: Any = importlib.import_module("korvalis._kernels")
vars(korvalis).pop("_kernels", None)

__all__ = ["OLS", "WLS"]

_GRAM_SHIFT = 8  # where a packed Gram round keeps its weight shift
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
    _inputs: tuple[str, ...]

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        self.model = self._class(*args, **kwargs)
        self._residuals: da.Array | None = None

    def __getattr__(self, name: str) -> Any:
        if name.startswith("_"):
            raise AttributeError(name)
        return getattr(self.model, name)

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
        zeros = [np.broadcast_to(np.zeros(1), s) for s in shapes]
        self._class(*self._options()).fit(*zeros)

    def _options(self) -> tuple[Any, ...]:
        return (self.model.fit_intercept,)

    # ------------------------------------------------------------------ the fit

    def _fit(self, x: da.Array, y: da.Array, w: da.Array | None, moments: bool, hc0: bool) -> None:
        intercept = bool(self.model.fit_intercept)
        k = x.shape[1]
        xs = x.to_delayed().ravel().tolist()
        ys = y.to_delayed().ravel().tolist()
        ws = w.to_delayed().ravel().tolist() if w is not None else [None] * len(xs)
        chunks = list(zip(xs, ys, ws))

        gram_task = dask.delayed(_kernels.gram_chunk, pure=True)
        (gram,) = dask.compute(_fold([gram_task(xb, yb, wb, intercept) for xb, yb, wb in chunks],
                                     _kernels.merge_gram))
        solved = _kernels.solve(self.model, k, gram, None)
        if solved is not None:
            solution, params, shift = solved
        else:
            # A route needs the design: the R factor of [D | y] stands in for it.
            shift = int(gram[_GRAM_SHIFT])
            factor_task = dask.delayed(_kernels.factor_chunk, pure=True)
            (factor,) = dask.compute(_fold(
                [factor_task(xb, yb, wb, intercept, shift, None) for xb, yb, wb in chunks], _kernels.merge_factor))
            solution, params, shift = _kernels.solve(self.model, k, gram, factor)
            # The factor's rounding costs digits on the hardest designs: steps of iterative refinement, each
            # a factor round on the residuals formed in double-double, bring β to the in-memory digits.
            for _ in range(_REFINEMENT_ROUNDS):
                (correction,) = dask.compute(_fold(
                    [factor_task(xb, yb, wb, intercept, shift, params) for xb, yb, wb in chunks],
                    _kernels.merge_factor))
                params = _kernels.refine(solution, correction)

        residual_task = dask.delayed(_kernels.residual_chunk, pure=True)
        (sums,) = dask.compute(_fold(
            [residual_task(xb, yb, wb, intercept, shift, params, moments, hc0) for xb, yb, wb in chunks],
            _kernels.merge_residual))
        _kernels.commit(self.model, k, solution, sums)

        residual_chunk = dask.delayed(_kernels.residuals_chunk, pure=True)
        self._residuals = da.concatenate([
            da.from_delayed(residual_chunk(xb, yb, intercept, params), shape=(rows,), dtype=np.float64)
            for (xb, yb, _), rows in zip(chunks, x.chunks[0])
        ]) if chunks else da.zeros((0,), dtype=np.float64)

    def predict(self, x: Any) -> da.Array:
        """Predictions for the rows of a Dask array, as a Dask array (computed lazily)."""
        (x,) = self._arrays("predict", (x,), ("x",))
        # Unfitted, or the wrong number of columns: the in-memory class's own error, at once.
        self.model.predict(np.zeros((0, x.shape[1])))
        if x.numblocks[1] > 1:
            x = x.rechunk({1: -1})
        intercept = bool(self.model.fit_intercept)
        params = np.asarray(self.model.coefficients)
        if intercept:
            params = np.concatenate([[self.model.intercept], params])
        task = dask.delayed(_kernels.predict_chunk, pure=True)
        parts = [da.from_delayed(task(xb, intercept, params), shape=(rows,), dtype=np.float64)
                 for xb, rows in zip(x.to_delayed().ravel().tolist(), x.chunks[0])]
        return da.concatenate(parts) if parts else da.zeros((0,), dtype=np.float64)


class OLS(_Chunked):
    """Ordinary least squares over row chunks of Dask arrays (classical or HC0 standard errors)."""

    __slots__ = ()
    _class = korvalis.OLS

    def _options(self) -> tuple[Any, ...]:
        return (self.model.fit_intercept, self.model.robust)

    def fit(self, x: Any, y: Any) -> None:
        """Fits on Dask arrays x (n × k, float64) and y (n, float64) chunked along rows."""
        x, y = self._arrays("fit", (x, y), ("x", "y"))
        self._shapes_fault([x, y])
        x, (y,) = self._align(x, [y])
        self._fit(x, y, None, moments=True, hc0=bool(self.model.robust))


class WLS(_Chunked):
    """Weighted least squares over row chunks of Dask arrays."""

    __slots__ = ()
    _class = korvalis.WLS

    def fit(self, x: Any, y: Any, weights: Any) -> None:
        """Fits on Dask arrays x (n × k), y (n) and weights (n, positive), float64, chunked along rows."""
        x, y, weights = self._arrays("fit", (x, y, weights), ("x", "y", "weights"))
        self._shapes_fault([x, y, weights])
        x, (y, weights) = self._align(x, [y, weights])
        self._fit(x, y, weights, moments=False, hc0=False)
