"""The six estimator classes described as data, for tests that run over all of them.

Each `Case` knows the class's Python surface (methods with parameters, methods without,
attributes), how to build valid `fit` and `predict` arguments of a given size, and how to
take a snapshot of everything an object answers, so that a test can prove that a call
changed nothing.
"""

import inspect
import math
import re
import struct
import types
from dataclasses import dataclass, field

import numpy as np

import korvalis

_DATE = re.compile(r"(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d{2} [A-Z][a-z]{2} \d{4}")
_TIME = re.compile(r"\b\d{2}:\d{2}:\d{2}\b")
_ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+>")

def mask_clock(report):
    """The report with its date and time replaced, so that two reports can be compared."""
    return _TIME.sub("<time>", _DATE.sub("<date>", report))


def _design(rng, n, k):
    return rng.normal(size=(n, k))


def _ols_fit(rng, n, k):
    x = _design(rng, n, k)
    return (x, x @ np.arange(1.0, k + 1) + 0.5 + rng.normal(scale=0.3, size=n))


def _wls_fit(rng, n, k):
    x, y = _ols_fit(rng, n, k)
    return (x, y, rng.uniform(0.5, 2.0, size=n))


def _gls_fit(rng, n, k):
    x, y = _ols_fit(rng, n, k)
    a = rng.normal(size=(n, n))
    return (x, y, a @ a.T / n + np.eye(n))


def _iv_fit(rng, n, k):
    z = _design(rng, n, k)
    x = z + rng.normal(scale=0.5, size=(n, k))
    return (z, x, x @ np.arange(1.0, k + 1) + 0.5 + rng.normal(scale=0.3, size=n))


def _tsls_fit(rng, n, k):
    z = _design(rng, n, k + 1)
    x = z[:, :k] + 0.5 * z[:, k:] + rng.normal(scale=0.5, size=(n, k))
    return (z, x, x @ np.arange(1.0, k + 1) + 0.5 + rng.normal(scale=0.3, size=n))


def _fe_ids(n, groups=3):
    return np.arange(n, dtype=np.int64) % groups + 10


def _fe_fit(rng, n, k):
    x = _design(rng, n, k)
    ids = _fe_ids(n)
    return (x, x @ np.arange(1.0, k + 1) + ids * 0.1 + rng.normal(scale=0.3, size=n), ids)


def _plain_predict(rng, m, k):
    return (_design(rng, m, k),)


def _fe_predict(rng, m, k):
    return (_design(rng, m, k), _fe_ids(m))


@dataclass
class Case:
    name: str
    options: tuple                  # constructor parameter names
    fit_params: tuple               # names of fit's parameters, in order
    fit_kinds: tuple                # "matrix", "vector", "ids" per fit parameter
    predict_params: tuple
    predict_kinds: tuple
    noarg_methods: tuple            # registered without parameters
    attributes: tuple
    has_ci: bool                    # confidence_intervals(alpha=0.05)
    make_fit: object = field(repr=False)
    make_predict: object = field(repr=False)
    not_fitted: tuple = ()          # (exception type, message) of predict on a new object

    @property
    def cls(self):
        return getattr(korvalis, self.name)

    @property
    def param_methods(self):
        methods = {"fit": self.fit_params, "predict": self.predict_params}
        if self.has_ci:
            methods["confidence_intervals"] = ("alpha",)
        return methods

    @property
    def surface(self):
        """The table's view of the class, in the form of `registered_surface`."""
        methods = dict(self.param_methods, **{name: () for name in self.noarg_methods})
        return {"new": self.options, "methods": methods, "attributes": tuple(sorted(self.attributes)), "other": ()}

    def fit_args(self, n=40, k=2, seed=0):
        return self.make_fit(np.random.default_rng(seed), n, k)

    def predict_args(self, m=7, k=2, seed=1):
        return self.make_predict(np.random.default_rng(seed), m, k)

    def fitted(self, n=40, k=2, seed=0, **options):
        """An object fitted on valid data."""
        model = self.cls(**options)
        model.fit(*self.fit_args(n, k, seed))
        return model


_LINEAR_METHODS = ("standard_errors", "t_statistics", "p_values", "summary", "is_fitted")

CASES = [
    Case("OLS", ("fit_intercept", "robust"), ("x", "y"), ("matrix", "vector"), ("x",), ("matrix",),
         _LINEAR_METHODS + ("covariance_matrix",),
         ("coefficients", "fit_intercept", "robust", "mse", "r_squared", "intercept", "n_samples", "n_features",
          "residuals"),
         True, _ols_fit, _plain_predict, (RuntimeError, "Model not fitted. Call fit() first.")),
    Case("GLS", ("fit_intercept",), ("x", "y", "sigma"), ("matrix", "vector", "matrix"), ("x",), ("matrix",),
         _LINEAR_METHODS,
         ("coefficients", "intercept", "fit_intercept", "mse", "r_squared", "residuals", "n_samples", "n_features"),
         True, _gls_fit, _plain_predict, (RuntimeError, "Model not fitted")),
    Case("WLS", ("fit_intercept",), ("x", "y", "weights"), ("matrix", "vector", "vector"), ("x",), ("matrix",),
         _LINEAR_METHODS,
         ("coefficients", "intercept", "fit_intercept", "mse", "r_squared", "residuals", "n_samples", "n_features"),
         True, _wls_fit, _plain_predict, (ValueError, "Model must be fitted before making predictions")),
    Case("IV", ("fit_intercept",), ("instruments", "regressors", "targets"), ("matrix", "matrix", "vector"),
         ("regressors",), ("matrix",), _LINEAR_METHODS,
         ("coefficients", "fit_intercept", "intercept", "covariance_matrix", "mse", "r_squared", "residuals",
          "n_samples", "n_features"),
         True, _iv_fit, _plain_predict, (ValueError, "Model not fitted")),
    Case("TSLS", ("fit_intercept",), ("instruments", "regressors", "targets"), ("matrix", "matrix", "vector"),
         ("regressors",), ("matrix",), ("summary", "is_fitted", "standard_errors"),
         ("coefficients", "fit_intercept", "intercept", "mse", "r_squared", "residuals", "n_samples", "n_features",
          "covariance_matrix"),
         False, _tsls_fit, _plain_predict, (ValueError, "Model not fitted")),
    Case("FE", ("robust",), ("x", "y", "entity_id"), ("matrix", "vector", "ids"), ("x", "entity_id"),
         ("matrix", "ids"), _LINEAR_METHODS + ("covariance_matrix",),
         ("coefficients", "robust", "mse", "r_squared", "within_r_squared", "n_samples", "n_features", "n_entities",
          "residuals", "fixed_effects"),
         True, _fe_fit, _fe_predict, (RuntimeError, "Model not fitted. Call fit() first.")),
]
CASE_BY_NAME = {c.name: c for c in CASES}
CASE_IDS = [c.name for c in CASES]


def registered_surface(cls):
    """What the module registers for a class: constructor parameter names, each public method with its
    parameter names after self, the sorted names of its attribute descriptors, and any other public entry."""
    methods, attributes, other = {}, [], []
    for name, value in vars(cls).items():
        if name.startswith("_"):
            continue
        if isinstance(value, (types.GetSetDescriptorType, types.MemberDescriptorType)):
            attributes.append(name)
        elif isinstance(value, types.MethodDescriptorType):
            methods[name] = tuple(inspect.signature(value).parameters)[1:]
        else:
            other.append(name)
    return {"new": tuple(inspect.signature(cls).parameters), "methods": methods,
            "attributes": tuple(sorted(attributes)), "other": tuple(other)}


def canonical(value):
    """A comparable form of a returned value: arrays by dtype, shape and bytes; floats by bits."""
    if isinstance(value, np.ndarray):
        return ("ndarray", value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, float):
        return ("float", struct.pack("<d", value))
    if isinstance(value, str):
        return ("str", mask_clock(value))
    return (type(value).__name__, value)


def outcome(fn, *args, **kwargs):
    """The canonical result of a call, or its exception type and message."""
    try:
        return canonical(fn(*args, **kwargs))
    except Exception as e:  # noqa: BLE001 - the outcome itself is what is compared
        return ("raised", type(e).__name__, str(e))


def snapshot(case, model, predict_args=None):
    """Everything the object answers without changing what it holds, comparable with `==` across
    objects (a default repr's address is masked). `predict_args` replaces the class's own."""
    snap = {"repr": _ADDRESS.sub(" at <address>>", repr(model))}
    for name in case.attributes:
        snap[name] = outcome(getattr, model, name)
    for name in case.noarg_methods:
        snap[name + "()"] = outcome(getattr(model, name))
    if case.has_ci:
        snap["confidence_intervals()"] = outcome(model.confidence_intervals)
        snap["confidence_intervals(0.1)"] = outcome(model.confidence_intervals, 0.1)
    snap["predict"] = outcome(model.predict, *(case.predict_args() if predict_args is None else predict_args))
    return snap


def array_kind_ok(value, kind):
    """Whether the binding accepts `value` for a parameter of this kind."""
    if not isinstance(value, np.ndarray):
        return False
    dt = value.dtype
    if kind == "ids":
        return value.ndim == 1 and dt.kind == "i" and dt.itemsize == 8 and dt.isnative
    ndim = 2 if kind == "matrix" else 1
    return value.ndim == ndim and dt.kind == "f" and dt.itemsize == 8 and dt.isnative


def array_type_message(param, value):
    return f"argument '{param}': '{type(value).__qualname__}' object cannot be converted to 'PyArray<T, D>'"


def is_finite_float(v):
    return isinstance(v, float) and math.isfinite(v)
