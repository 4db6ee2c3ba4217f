// Placeholder until the estimator lands.
#include "models/linear/gls.hpp"

#include "models/linear/stat_utils.hpp"

namespace kv {
Status GLS::fit(MatView, VecView, MatView) { return runtime_error("GLS.fit is not available yet"); }
Result<Vector> GLS::predict(MatView) const { return runtime_error("Model not fitted"); }
std::optional<Vector> GLS::t_statistics() const { return stats::t_statistics(coefficients, standard_errors); }
std::optional<Vector> GLS::p_values() const { return std::nullopt; }
Result<std::optional<Matrix>> GLS::confidence_intervals(std::optional<double>) const { return std::optional<Matrix>{}; }
Result<std::string> GLS::summary() const { return std::string(); }
std::string GLS::repr() const { return std::string("GLS(fit_intercept=") + (fit_intercept ? "true" : "false") + ")"; }
}  // namespace kv
