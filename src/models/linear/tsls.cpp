// TSLS: the first stage projects X on W = [1 | Z] (Z alone without an intercept, since the
// constant is then no regressor), X̂ = P_W X; the second stage regresses y on D = [1 | X̂] by the
// shared step (normal equations when n > 3p, SVD least squares otherwise or when they fail for
// a reason other than rank). Residuals, mse, R² and the covariance s²·(DᵀD)⁻¹ all come from the
// structural residuals y − Xβ − intercept, with X itself. A rank-deficient instrument set is
// accepted: the projection on its span is still unique.
//
// With n ≤ q + 1 (the columns of W, ones column included) and W of full row rank, as generic data
// give, the first stage interpolates, X̂ = X, and the fit is ordinary least squares of y on [1 | X].
#include "models/linear/tsls.hpp"

#include "models/inference.hpp"
#include "models/linear/layouts.hpp"
#include "models/linear/fit_utils.hpp"
#include "models/linear/instrumental.hpp"

namespace kv {

namespace {

constexpr const char* singular = "X̂'X̂ matrix is singular";

constexpr InstrumentalText text{
    .singular_instruments = nullptr,
    .projection_failed = "Failed to solve first stage regression",
    .no_degrees_of_freedom = "Insufficient degrees of freedom for covariance estimation",
    .second_stage = {.normal_above = 3, .svd_after_failed_normal = true, .kind = ErrorKind::Value,
                     .singular = singular, .singular_svd = singular,
                     .svd_failed = "Failed to solve second stage regression"},
};

constexpr PredictText predict_text{ErrorKind::Value, "Model not fitted", "Feature count mismatch: expected "};

}  // namespace

Status TSLS::check_shapes(std::size_t n, std::size_t ny, std::size_t nx, std::size_t q, std::size_t k) const {
    if (nx != n || ny != n) return value_error("All inputs must have the same number of samples");
    if (q < k) return value_error("TSLS requires at least as many instruments as regressors");
    if (n <= k) return value_error("Number of samples must be greater than number of regressors");
    return check_lapack_limits(n, q + (fit_intercept ? 1 : 0));
}

Status TSLS::fit(MatView instruments, MatView regressors, VecView targets) {
    if (auto shapes = check_shapes(instruments.rows, targets.size, regressors.rows, instruments.cols, regressors.cols);
        !shapes.ok())
        return shapes;
    auto next = fit_instrumental(instruments, regressors, targets, fit_intercept, text);
    if (!next) return fail(std::move(next.error()));
    state_ = std::move(*next);
    return {};
}

Result<std::optional<Solution>> TSLS::solve_rounds(std::size_t q, std::size_t k, const rounds::GramRound& gram,
                                                   const rounds::FactorRound* factor) const {
    auto check = [this](std::size_t n, std::size_t ny, std::size_t nx, std::size_t nq, std::size_t nk) {
        return check_shapes(n, ny, nx, nq, nk);
    };
    return solve_instrumental_rounds(q, k, fit_intercept, gram, factor, text, check);
}

Status TSLS::commit_rounds(std::size_t k, Solution sol, const rounds::ResidualRound& round) {
    auto next = finish_instrumental_rounds(k, fit_intercept, std::move(sol), round, text);
    if (!next) return fail(std::move(next.error()));
    adopt(std::move(*next));
    return {};
}

Result<VectorOut> TSLS::predict(MatView regressors) const {
    return predict_linear(state_ ? &*state_ : nullptr, regressors, predict_text);
}

Result<std::string> TSLS::named_summary(const stats::ReportNames* names) const {
    stats::ReportInput in = inference::report_input(*this);
    in.names = names;
    return stats::summary(stats::tsls_layout, in);
}

}  // namespace kv
