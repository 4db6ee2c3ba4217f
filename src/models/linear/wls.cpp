// Placeholder until the estimator lands.
#include "models/linear/wls.hpp"

#include "models/linear/stat_utils.hpp"

namespace kv {
Status WLS::fit(MatView, VecView, VecView) { return runtime_error("WLS.fit is not available yet"); }
Result<Vector> WLS::predict(MatView) const { return value_error("Model must be fitted before making predictions"); }
std::optional<Vector> WLS::t_statistics() const { return stats::t_statistics(coefficients, standard_errors); }
std::optional<Vector> WLS::p_values() const { return std::nullopt; }
Result<std::optional<Matrix>> WLS::confidence_intervals(std::optional<double>) const { return std::optional<Matrix>{}; }
Result<std::string> WLS::summary() const { return std::string(); }
std::string WLS::repr() const { return std::string("WLS(fit_intercept=") + (fit_intercept ? "True" : "False") + ")"; }
}  // namespace kv
