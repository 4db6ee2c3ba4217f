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

Status IV::check_shapes(std::size_t n, std::size_t ny, std::size_t nx, std::size_t q, std::size_t k) const {
    if (n != ny) return value_error("Instruments and targets must have the same number of samples");
    if (nx != n) return value_error("Regressors and targets must have the same number of samples");
    if (q != k)
        return value_error(
            "IV estimator requires exactly the same number of instruments as regressors (exact identification). "
            "For overidentified cases, use TSLS estimator.");
    if (n <= k) return value_error("Number of samples must be greater than number of regressors");
    return check_lapack_limits(n, k + (fit_intercept ? 1 : 0));
}

Status IV::fit(MatView instruments, MatView regressors, VecView targets) {
    if (auto shapes = check_shapes(instruments.rows, targets.size, regressors.rows, instruments.cols, regressors.cols);
        !shapes.ok())
        return shapes;
    auto next = fit_instrumental(instruments, regressors, targets, fit_intercept, text);
    if (!next) return fail(std::move(next.error()));
    state_ = std::move(*next);
    return {};
}

Result<std::optional<Solution>> IV::solve_rounds(std::size_t q, std::size_t k, const rounds::GramRound& gram,
                                                   const rounds::FactorRound* factor) const {
    auto check = [this](std::size_t n, std::size_t ny, std::size_t nx, std::size_t nq, std::size_t nk) {
        return check_shapes(n, ny, nx, nq, nk);
    };
    return solve_instrumental_rounds(q, k, fit_intercept, gram, factor, text, check);
}

Status IV::commit_rounds(std::size_t k, Solution sol, const rounds::ResidualRound& round) {
    auto next = finish_instrumental_rounds(k, fit_intercept, std::move(sol), round, text);
    if (!next) return fail(std::move(next.error()));
    adopt(std::move(*next));
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
