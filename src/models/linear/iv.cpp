// IV for exactly identified models: the instrumental estimator with as many instruments as
// regressors. [1 | Z] and QᵀX₁ are each judged by the rank rule, and the estimate never comes
// from inverting the product ZᵀX, whose condition is roughly the product of theirs.
#include "models/linear/iv.hpp"

#include "models/inference.hpp"
#include "models/linear/layouts.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/linear/instrumental.hpp"

namespace kv {

namespace {

constexpr const char* singular = "Z'X matrix is singular. Check instrument-regressor correlation.";

constexpr InstrumentalText text{
    .singular_instruments = singular,
    .projection_failed = singular,
    .no_degrees_of_freedom = "Insufficient degrees of freedom for covariance estimation",
    .second_stage = {.normal_above = 0, .kind = ErrorKind::Value, .singular = singular, .singular_svd = singular,
                     .svd_failed = singular, .forward_solve = singular, .back_solve = singular,
                     .inverse_forward = singular, .inverse_back = singular},
};

constexpr PredictText predict_text{ErrorKind::Value, "Model not fitted", "Feature count mismatch: expected "};

}  // namespace

Status IV::fit(MatView instruments, MatView regressors, VecView targets) {
    const std::size_t n = instruments.rows, k = regressors.cols;
    if (n != targets.size) return value_error("Instruments and targets must have the same number of samples");
    if (regressors.rows != n) return value_error("Regressors and targets must have the same number of samples");
    if (instruments.cols != k)
        return value_error(
            "IV estimator requires exactly the same number of instruments as regressors (exact identification). "
            "For overidentified cases, use TSLS estimator.");
    if (n <= k) return value_error("Number of samples must be greater than number of regressors");
    const std::size_t p = k + (fit_intercept ? 1 : 0);
    if (auto limit = check_lapack_limits(n, p); !limit.ok()) return limit;

    auto next = fit_instrumental(instruments, regressors, targets, fit_intercept, text);
    if (!next) return fail(std::move(next.error()));
    state_ = std::move(*next);
    return {};
}

Result<VectorOut> IV::predict(MatView regressors) const {
    return predict_linear(state_ ? &*state_ : nullptr, regressors, predict_text);
}

Result<std::string> IV::named_summary(const stats::ReportNames* names) const {
    stats::ReportInput in = inference::report_input(*this);
    in.names = names;
    return stats::summary(stats::iv_layout, in);
}

}  // namespace kv
