// The fitted state of an estimator and the read-only view every class gives of it. A fit builds
// a complete state and commits it in one move (`state_ = std::move(next)`); nothing is cached
// beside it, so a refit replaces everything a later call can read, and a failed fit leaves the
// previous state untouched.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "linalg/matrix.hpp"
#include "models/error.hpp"
#include "models/linear/stat_utils.hpp"

namespace kv {

struct LinearFit {
    std::uint64_t n_samples = 0;
    std::uint64_t n_features = 0;
    bool intercept = false;  // params[0] is the intercept
    Vector params;           // p: the coefficient vector, intercept first
    Vector std_errors;       // p, in the order of params
    Vector residuals;        // n
    double mse = 0.0;        // the residual variance each class reports
    double r_squared = 0.0;
    Matrix covariance;       // p × p, what covariance_matrix reports
    Matrix robust_covariance;  // p × p, the robust covariance behind std_errors; empty for classical errors
    Matrix r;                // p × p triangular factor of the design solved (the report's condition number)
    // The residual diagnostics of a fit whose residuals are not held here (a fit over row chunks keeps
    // them where its data live): the residual round's, formed at fit time.
    std::optional<stats::DiagnosticStats> diagnostics;

    // The column-scaled condition number of the design solved.
    double condition_number() const;
};

// Scales a state fitted on data whose column j was multiplied by c[j] (the target by cy) back
// to the original units: params and standard errors by c[j]/cy, residuals by 1/cy, the
// residual variance and covariance accordingly. The factor R keeps its (scale-free) condition.
void unscale(LinearFit& fit, const Vector& c, double cy);

// The messages `predict` gives; each class words its own.
struct PredictText {
    ErrorKind not_fitted_kind;
    const char* not_fitted;
    const char* mismatch;  // "... expected " takes "K, got M"; anything else stands as it is
};

// x·β (+ intercept) from a fitted state, written into the caller's array, or the class's error.
Result<VectorOut> predict_linear(const LinearFit* fit, const MatView& x, const PredictText& text);

// The read-only surface shared by every class: attributes and the inputs of inference and the
// report, all absent until a fit succeeds. `State` extends LinearFit where a class keeps more.
template <class State = LinearFit>
class Fitted {
public:
    bool is_fitted() const { return state_.has_value(); }
    std::optional<Vector> coefficients() const { return slopes(&State::params); }
    std::optional<Vector> standard_errors() const { return slopes(&State::std_errors); }
    std::optional<double> intercept() const { return first(&State::params); }
    std::optional<double> intercept_std_error() const { return first(&State::std_errors); }
    std::optional<double> mse() const { return field(&State::mse); }
    std::optional<double> r_squared() const { return field(&State::r_squared); }
    std::optional<std::uint64_t> n_samples() const { return field(&State::n_samples); }
    std::optional<std::uint64_t> n_features() const { return field(&State::n_features); }
    const Vector* residuals() const { return state_ ? &state_->residuals : nullptr; }
    // The covariance of the coefficient vector (classical also for robust OLS and FE fits).
    std::optional<Matrix> covariance_matrix() const {
        if (!state_) return std::nullopt;
        return state_->covariance;
    }
    // The covariance the standard errors are the roots of: the robust one when the fit was robust.
    std::optional<Matrix> inference_covariance() const {
        if (!state_) return std::nullopt;
        return state_->robust_covariance.size() ? state_->robust_covariance : state_->covariance;
    }

protected:
    std::optional<State> state_;

    template <class T, class Base>
    std::optional<T> field(T Base::*member) const {
        if (!state_) return std::nullopt;
        return (*state_).*member;
    }

private:
    std::optional<Vector> slopes(Vector State::*member) const {
        if (!state_) return std::nullopt;
        const Vector& v = (*state_).*member;
        return Vector(v.begin() + (state_->intercept ? 1 : 0), v.end());
    }
    std::optional<double> first(Vector State::*member) const {
        if (!state_ || !state_->intercept) return std::nullopt;
        return ((*state_).*member)[0];
    }
};

// The record a successful fit commits: the solution's params and factor, the class's residuals,
// reported residual variance and R², `covariance` as covariance_matrix reports it, and standard
// errors from `robust_covariance` when given (they stay classical otherwise).
LinearFit make_linear_fit(std::uint64_t n, std::uint64_t k, bool intercept, Vector params, Matrix r, Vector residuals,
                          double mse, double r_squared, Matrix covariance, const Matrix* robust_covariance = nullptr);

// The common record of the linear estimators, with the option every one of them has.
class LinearModel : public Fitted<> {
public:
    explicit LinearModel(std::optional<bool> fit_intercept) : fit_intercept(fit_intercept.value_or(true)) {}
    const bool fit_intercept;
    // A fit over row chunks commits a state its rounds built (korvalis.dask); the same single move as fit.
    void adopt(LinearFit next) { state_ = std::move(next); }
    // Residual degrees of freedom of inference and the report: n − p, wrapping when unfitted.
    std::uint64_t df() const {
        return stats::residual_df(n_samples().value_or(0), n_features().value_or(0), fit_intercept);
    }
};

}  // namespace kv
