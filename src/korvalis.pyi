"""Classical econometric regression on NumPy arrays: OLS, WLS, GLS, IV, TSLS and FE.

Every estimator is configured by its constructor, fitted by ``fit`` and then read through read-only attributes and
methods. Inputs must already be NumPy arrays of the exact dtype (float64 data, int64 entity ids) and number of
dimensions: nothing is converted, any memory layout is read in place and never written. Every array handed back is a
fresh copy. Before the first successful ``fit`` the result attributes and the inference methods return ``None``,
``summary()`` returns an empty report and ``predict`` raises. A ``fit`` that raises leaves the object exactly as it
was.
"""

from typing import SupportsFloat, final

import numpy
from numpy.typing import NDArray

__all__ = ["OLS", "GLS", "WLS", "IV", "TSLS", "FE"]

@final
class OLS:
    """Ordinary least squares, with classical or heteroskedasticity-robust (HC0) standard errors.

    ``OLS(fit_intercept=True, robust=False)``: with ``fit_intercept`` a leading column of ones is added to ``x`` and
    its coefficient is reported as ``intercept``; with ``robust`` the standard errors (and so t-statistics, p-values,
    intervals and the report) are HC0 sandwich errors, while ``covariance_matrix()`` stays the classical one.
    """

    def __new__(cls, fit_intercept: bool | numpy.bool_ = True, robust: bool | numpy.bool_ = False) -> OLS: ...
    def is_fitted(self) -> bool:
        """Whether a ``fit`` has succeeded on this object."""

    def fit(self, x: NDArray[numpy.float64], y: NDArray[numpy.float64]) -> None:
        """Fit ``y`` (n) on ``x`` (n × k) by least squares and store every result on the object.

        Raises ValueError for empty input, mismatched lengths, n ≤ number of parameters or a NaN/infinite value, and
        RuntimeError when the design is singular.
        """

    def predict(self, x: NDArray[numpy.float64]) -> NDArray[numpy.float64]:
        """Make predictions using the fitted OLS model - optimized for performance

        Returns ``x @ coefficients + intercept`` for an ``x`` with as many columns as the training data (ValueError
        otherwise); RuntimeError before the model is fitted.
        """

    def standard_errors(self) -> NDArray[numpy.float64] | None:
        """Calculate standard errors of coefficients

        One per slope (the intercept's appears in ``summary()`` only); HC0 when ``robust``. None before fitting.
        """

    def t_statistics(self) -> NDArray[numpy.float64] | None:
        """Calculate t-statistics for coefficients

        ``coefficients / standard_errors()``, one per slope; None before fitting.
        """

    def p_values(self) -> NDArray[numpy.float64] | None:
        """Calculate p-values for coefficients using t-distribution

        Two-sided, one per slope, with n − p degrees of freedom (Student's t up to 30 of them, the normal beyond);
        None before fitting.
        """

    def confidence_intervals(self, alpha: float | SupportsFloat = 0.05) -> NDArray[numpy.float64] | None:
        """Calculate confidence intervals for coefficients

        A (k, 2) array of lower and upper bounds at level 1 − ``alpha``, one row per slope; None before fitting.
        ValueError for an ``alpha`` outside [0, 2].
        """

    def summary(self) -> str:
        """Generate a summary of the model results

        A fixed-width text report: fit statistics, the coefficient table (intercept as "const", slopes as "x1",
        "x2", …), error statistics and residual diagnostics with short notes.
        """

    def covariance_matrix(self) -> NDArray[numpy.float64] | None:
        """Get the covariance matrix of coefficients

        The classical ``mse · (DᵀD)⁻¹`` of all parameters, intercept first (also for a ``robust`` model); None
        before fitting.
        """

    @property
    def coefficients(self) -> NDArray[numpy.float64] | None:
        """Slope estimates, one per column of ``x`` (the intercept is separate); None before fitting."""

    @property
    def fit_intercept(self) -> bool:
        """Whether an intercept is estimated (constructor option)."""

    @property
    def robust(self) -> bool:
        """Whether the standard errors are HC0 (constructor option)."""

    @property
    def mse(self) -> float | None:
        """Residual variance SSR / (n − p); None before fitting."""

    @property
    def r_squared(self) -> float | None:
        """Coefficient of determination, centred on the mean of ``y`` also without an intercept; None before fitting."""

    @property
    def intercept(self) -> float | None:
        """The estimated intercept; None before fitting or without ``fit_intercept``."""

    @property
    def n_samples(self) -> int | None:
        """Number of observations of the last fit; None before fitting."""

    @property
    def n_features(self) -> int | None:
        """Number of columns of ``x`` of the last fit (the intercept not counted); None before fitting."""

    @property
    def residuals(self) -> NDArray[numpy.float64] | None:
        """``y − ŷ`` for the training rows; None before fitting."""

@final
class GLS:
    """Generalised least squares with a known n × n error covariance Σ, by Cholesky whitening.

    ``GLS(fit_intercept=True)``. ``fit`` factors Σ = LLᵀ, whitens ``y``, ``x`` and the intercept column by
    triangular solves with L and runs least squares on the whitened data; ``residuals``, ``mse`` and ``r_squared``
    belong to that whitened regression.
    """

    def __new__(cls, fit_intercept: bool | numpy.bool_ = True) -> GLS: ...
    def fit(self, x: NDArray[numpy.float64], y: NDArray[numpy.float64], sigma: NDArray[numpy.float64]) -> None:
        """GLS fitting with optimized Cholesky whitening and efficient operations

        ``x`` (n × k), ``y`` (n) and ``sigma`` (n × n, only its lower triangle is read). Raises ValueError for
        inconsistent shapes, empty input or too few samples, RuntimeError when Σ or the whitened design is not
        positive definite.
        """

    def predict(self, x: NDArray[numpy.float64]) -> NDArray[numpy.float64]:
        """Fast prediction with optimized operations

        Returns ``x @ coefficients + intercept`` (Σ plays no part); RuntimeError before fitting, ValueError for a
        wrong number of columns.
        """

    def standard_errors(self) -> NDArray[numpy.float64] | None:
        """Standard errors of the slopes, from ``mse · (XᵀΣ⁻¹X)⁻¹``; None before fitting."""

    def t_statistics(self) -> NDArray[numpy.float64] | None:
        """``coefficients / standard_errors()``, one per slope; None before fitting."""

    def p_values(self) -> NDArray[numpy.float64] | None:
        """Two-sided p-values of the slopes with n − p degrees of freedom; None before fitting."""

    def confidence_intervals(self, alpha: float | SupportsFloat = 0.05) -> NDArray[numpy.float64] | None:
        """A (k, 2) array of lower and upper bounds at level 1 − ``alpha``, one row per slope; None before fitting.

        ValueError for an ``alpha`` outside [0, 2].
        """

    def summary(self) -> str:
        """The fixed-width text report, with residual diagnostics computed on the whitened design."""

    def is_fitted(self) -> bool:
        """Whether a ``fit`` has succeeded on this object."""

    @property
    def coefficients(self) -> NDArray[numpy.float64] | None:
        """Slope estimates, one per column of ``x``; None before fitting."""

    @property
    def intercept(self) -> float | None:
        """The estimated intercept; None before fitting or without ``fit_intercept``."""

    @property
    def fit_intercept(self) -> bool:
        """Whether an intercept is estimated (constructor option)."""

    @property
    def mse(self) -> float | None:
        """Whitened residual sum of squares divided by n − p; None before fitting."""

    @property
    def r_squared(self) -> float | None:
        """R² of the whitened regression, clamped to [−1, 1]; None before fitting."""

    @property
    def residuals(self) -> NDArray[numpy.float64] | None:
        """Whitened residuals ``L⁻¹y − L⁻¹Dβ``; None before fitting."""

    @property
    def n_samples(self) -> int | None:
        """Number of observations of the last fit; None before fitting."""

    @property
    def n_features(self) -> int | None:
        """Number of columns of ``x`` of the last fit; None before fitting."""

@final
class WLS:
    """Weighted least squares with one known positive weight per observation.

    ``WLS(fit_intercept=True)``. Minimises Σ wᵢ(yᵢ − ŷᵢ)² by scaling each row with √wᵢ; no n × n matrix is formed.
    """

    def __new__(cls, fit_intercept: bool | numpy.bool_ = True) -> WLS: ...
    def fit(self, x: NDArray[numpy.float64], y: NDArray[numpy.float64], weights: NDArray[numpy.float64]) -> None:
        """WLS fitting with optimized diagonal weighting and numerical stability.

        WLS is more efficient than GLS since we only need to handle diagonal weight matrix.
        This implementation uses sqrt(weights) transformation for numerical stability.

        ``x`` (n × k), ``y`` and ``weights`` (n). Raises ValueError for inconsistent lengths, empty input, too few
        samples or a weight that is not positive and finite; RuntimeError for a singular design.
        """

    def predict(self, x: NDArray[numpy.float64]) -> NDArray[numpy.float64]:
        """Fast prediction with optimized operations

        Returns ``x @ coefficients + intercept`` (weights play no part); ValueError before fitting or for a wrong
        number of columns.
        """

    def standard_errors(self) -> NDArray[numpy.float64] | None:
        """Standard errors of the slopes from the weighted residual variance; None before fitting."""

    def t_statistics(self) -> NDArray[numpy.float64] | None:
        """``coefficients / standard_errors()``, one per slope; None before fitting."""

    def p_values(self) -> NDArray[numpy.float64] | None:
        """Two-sided p-values of the slopes with n − p degrees of freedom; None before fitting."""

    def confidence_intervals(self, alpha: float | SupportsFloat = 0.05) -> NDArray[numpy.float64] | None:
        """A (k, 2) array of lower and upper bounds at level 1 − ``alpha``, one row per slope; None before fitting.

        ValueError for an ``alpha`` outside [0, 2].
        """

    def summary(self) -> str:
        """The fixed-width text report (without residual diagnostics)."""

    def is_fitted(self) -> bool:
        """Whether a ``fit`` has succeeded on this object."""

    @property
    def coefficients(self) -> NDArray[numpy.float64] | None:
        """Slope estimates, one per column of ``x``; None before fitting."""

    @property
    def intercept(self) -> float | None:
        """The estimated intercept; None before fitting or without ``fit_intercept``."""

    @property
    def fit_intercept(self) -> bool:
        """Whether an intercept is estimated (constructor option)."""

    @property
    def mse(self) -> float | None:
        """Unweighted residual sum of squares divided by n − p; None before fitting."""

    @property
    def r_squared(self) -> float | None:
        """Weighted R², centred on the weighted mean of ``y``; None before fitting."""

    @property
    def residuals(self) -> NDArray[numpy.float64] | None:
        """Unweighted residuals ``y − ŷ``; None before fitting."""

    @property
    def n_samples(self) -> int | None:
        """Number of observations of the last fit; None before fitting."""

    @property
    def n_features(self) -> int | None:
        """Number of columns of ``x`` of the last fit; None before fitting."""

@final
class IV:
    """Instrumental Variables (IV) regression estimator for exactly identified models.

    The IV estimator is used when some regressors are endogenous (correlated with the error term).
    It uses instrumental variables to obtain consistent estimates of the parameters.

    This implementation handles exactly identified models where the number of instruments
    equals the number of regressors. For overidentified cases (more instruments than regressors),
    use the TSLS (Two-Stage Least Squares) estimator instead.

    The IV estimator solves: β̂ = (Z'X)⁻¹Z'y
    where Z are the instruments, X are the regressors, and y is the dependent variable.
    """

    def __new__(cls, fit_intercept: bool | numpy.bool_ = True) -> IV: ...
    def fit(
        self,
        instruments: NDArray[numpy.float64],
        regressors: NDArray[numpy.float64],
        targets: NDArray[numpy.float64],
    ) -> None:
        """Fit ``targets`` (n) on ``regressors`` (n × k) with ``instruments`` (n × k, one per regressor).

        An exogenous regressor is its own instrument: give it in both matrices. With ``fit_intercept`` the constant
        is added to both. Raises ValueError for every failure: mismatched rows, a number of instruments other than
        k (use ``TSLS`` for more), n ≤ k, or a singular ZᵀX.
        """

    def is_fitted(self) -> bool:
        """Whether a ``fit`` has succeeded on this object."""

    def predict(self, regressors: NDArray[numpy.float64]) -> NDArray[numpy.float64]:
        """Returns ``regressors @ coefficients + intercept``; ValueError before fitting or for a wrong column count."""

    def standard_errors(self) -> NDArray[numpy.float64] | None:
        """Standard errors of the slopes, from ``covariance_matrix``; None before fitting."""

    def t_statistics(self) -> NDArray[numpy.float64] | None:
        """``coefficients / standard_errors()``, one per slope; None before fitting."""

    def p_values(self) -> NDArray[numpy.float64] | None:
        """Two-sided p-values of the slopes with n − p degrees of freedom; None before fitting."""

    def confidence_intervals(self, alpha: float | SupportsFloat = 0.05) -> NDArray[numpy.float64] | None:
        """A (k, 2) array of lower and upper bounds at level 1 − ``alpha``, one row per slope; None before fitting.

        ValueError for an ``alpha`` outside [0, 2].
        """

    def summary(self) -> str:
        """The fixed-width text report (without residual diagnostics)."""

    @property
    def coefficients(self) -> NDArray[numpy.float64] | None:
        """Slope estimates, one per regressor column; None before fitting."""

    @property
    def fit_intercept(self) -> bool:
        """Whether an intercept is estimated (constructor option)."""

    @property
    def intercept(self) -> float | None:
        """The estimated intercept; None before fitting or without ``fit_intercept``."""

    @property
    def covariance_matrix(self) -> NDArray[numpy.float64] | None:
        """The p × p covariance σ²(ZᵀX)⁻¹(ZᵀZ)(XᵀZ)⁻¹ of all parameters, intercept first; None before fitting.

        An attribute here, a method on ``OLS`` and ``FE``.
        """

    @property
    def mse(self) -> float | None:
        """Residual sum of squares divided by n − p; None before fitting."""

    @property
    def r_squared(self) -> float | None:
        """1 − SSR/TSS of the structural residuals (not clamped, can be negative); None before fitting."""

    @property
    def residuals(self) -> NDArray[numpy.float64] | None:
        """Structural residuals ``y − regressors @ coefficients − intercept``; None before fitting."""

    @property
    def n_samples(self) -> int | None:
        """Number of observations of the last fit; None before fitting."""

    @property
    def n_features(self) -> int | None:
        """Number of regressor columns of the last fit; None before fitting."""

@final
class TSLS:
    """Two-stage least squares for models with at least as many instruments as regressors.

    ``TSLS(fit_intercept=True)``. The first stage projects the regressors on the instruments (and the constant, with
    ``fit_intercept``); the second regresses the target on the projections. ``TSLS`` offers no ``t_statistics``,
    ``p_values`` or ``confidence_intervals``; its report carries them.
    """

    def __new__(cls, fit_intercept: bool | numpy.bool_ = True) -> TSLS: ...
    def fit(
        self,
        instruments: NDArray[numpy.float64],
        regressors: NDArray[numpy.float64],
        targets: NDArray[numpy.float64],
    ) -> None:
        """Fit ``targets`` (n) on ``regressors`` (n × k) with ``instruments`` (n × q, q ≥ k).

        Exogenous regressors must also be given among the instruments. Raises ValueError for every failure:
        mismatched rows, q < k, n ≤ k, too few degrees of freedom or a singular second stage.
        """

    def summary(self) -> str:
        """The fixed-width text report (without residual diagnostics)."""

    def is_fitted(self) -> bool:
        """Whether a ``fit`` has succeeded on this object."""

    def standard_errors(self) -> NDArray[numpy.float64] | None:
        """Standard errors of the slopes, from ``covariance_matrix``; None before fitting."""

    def predict(self, regressors: NDArray[numpy.float64]) -> NDArray[numpy.float64]:
        """Returns ``regressors @ coefficients + intercept``; ValueError before fitting or for a wrong column count."""

    @property
    def coefficients(self) -> NDArray[numpy.float64] | None:
        """Slope estimates, one per regressor column; None before fitting."""

    @property
    def fit_intercept(self) -> bool:
        """Whether an intercept is estimated (constructor option)."""

    @property
    def intercept(self) -> float | None:
        """The estimated intercept; None before fitting or without ``fit_intercept``."""

    @property
    def mse(self) -> float | None:
        """Structural residual sum of squares divided by n − p; None before fitting."""

    @property
    def r_squared(self) -> float | None:
        """1 − SSR/TSS of the structural residuals (not clamped, can be negative); None before fitting."""

    @property
    def residuals(self) -> NDArray[numpy.float64] | None:
        """Structural residuals ``y − regressors @ coefficients − intercept``; None before fitting."""

    @property
    def n_samples(self) -> int | None:
        """Number of observations of the last fit; None before fitting."""

    @property
    def n_features(self) -> int | None:
        """Number of regressor columns of the last fit; None before fitting."""

    @property
    def covariance_matrix(self) -> NDArray[numpy.float64] | None:
        """The p × p covariance s²(X̂ᵀX̂)⁻¹ of all parameters, intercept first; None before fitting."""

@final
class FE:
    """The within (fixed-effects) estimator for panel data with one effect per entity.

    ``FE(robust=False)``. Each row carries an int64 entity id; ``fit`` removes every entity's means, solves least
    squares on the demeaned data (no intercept) and recovers one effect per entity, in order of first occurrence.
    With ``robust`` the standard errors are clustered by entity.
    """

    def __new__(cls, robust: bool | numpy.bool_ = False) -> FE: ...
    def is_fitted(self) -> bool:
        """Whether a ``fit`` has succeeded on this object."""

    def fit(self, x: NDArray[numpy.float64], y: NDArray[numpy.float64], entity_id: NDArray[numpy.int64]) -> None:
        """Fit ``y`` (n) on ``x`` (n × k) with entity effects given by ``entity_id`` (n, int64, any values).

        Raises ValueError for empty input, mismatched lengths, a NaN/infinite value or too few degrees of freedom
        (n must exceed the number of entities plus k); RuntimeError for a singular within design, for example a
        regressor constant within every entity.
        """

    def predict(self, x: NDArray[numpy.float64], entity_id: NDArray[numpy.int64]) -> NDArray[numpy.float64]:
        """Make predictions using the fitted Fixed Effects model

        ``x @ coefficients`` plus each row's entity effect; every id must have been seen in training (ValueError
        otherwise). RuntimeError before fitting.
        """

    def standard_errors(self) -> NDArray[numpy.float64] | None:
        """Calculate standard errors of coefficients

        Classical, or clustered by entity when ``robust``; None before fitting.
        """

    def t_statistics(self) -> NDArray[numpy.float64] | None:
        """Calculate t-statistics for coefficients

        ``coefficients / standard_errors()``; None before fitting.
        """

    def p_values(self) -> NDArray[numpy.float64] | None:
        """Calculate p-values for coefficients using t-distribution

        Two-sided, with n − k degrees of freedom (the entities are not subtracted); None before fitting.
        """

    def confidence_intervals(self, alpha: float | SupportsFloat = 0.05) -> NDArray[numpy.float64] | None:
        """Calculate confidence intervals for coefficients

        A (k, 2) array of lower and upper bounds at level 1 − ``alpha``; None before fitting. ValueError for an
        ``alpha`` outside [0, 2].
        """

    def summary(self) -> str:
        """Generate a summary of the model results with Fixed Effects specific statistics

        The fixed-width text report with the within R² and diagnostics on the demeaned design.
        """

    def covariance_matrix(self) -> NDArray[numpy.float64] | None:
        """Get the covariance matrix of coefficients

        The classical ``mse · (X̃ᵀX̃)⁻¹`` (also for a ``robust`` model); None before fitting.
        """

    @property
    def coefficients(self) -> NDArray[numpy.float64] | None:
        """Slope estimates, one per column of ``x``; None before fitting."""

    @property
    def robust(self) -> bool:
        """Whether the standard errors are clustered by entity (constructor option)."""

    @property
    def mse(self) -> float | None:
        """Within residual sum of squares divided by n − G − k; None before fitting."""

    @property
    def r_squared(self) -> float | None:
        """R² of the model with its entity effects; None before fitting."""

    @property
    def within_r_squared(self) -> float | None:
        """R² of the demeaned regression; None before fitting."""

    @property
    def n_samples(self) -> int | None:
        """Number of observations of the last fit; None before fitting."""

    @property
    def n_features(self) -> int | None:
        """Number of columns of ``x`` of the last fit; None before fitting."""

    @property
    def n_entities(self) -> int | None:
        """Number of distinct entity ids of the last fit; None before fitting."""

    @property
    def residuals(self) -> NDArray[numpy.float64] | None:
        """Within residuals, in row order; None before fitting."""

    @property
    def fixed_effects(self) -> NDArray[numpy.float64] | None:
        """One effect per entity, in order of first occurrence of its id; None before fitting."""
