// Placeholder until the estimator lands.
#include "models/panel_data/fe.hpp"

#include "models/linear/stat_utils.hpp"

namespace kv {
Status FE::fit(MatView, VecView, IdView) { return runtime_error("FE.fit is not available yet"); }
Result<Vector> FE::predict(MatView, IdView) const { return runtime_error("Model not fitted. Call fit() first."); }
std::optional<Vector> FE::t_statistics() const { return stats::t_statistics(coefficients, standard_errors); }
std::optional<Vector> FE::p_values() const { return std::nullopt; }
Result<std::optional<Matrix>> FE::confidence_intervals(std::optional<double>) const { return std::optional<Matrix>{}; }
Result<std::string> FE::summary() const { return std::string(); }
std::optional<Matrix> FE::covariance_matrix() { return std::nullopt; }
std::string FE::repr() const { return std::string("FE(robust=") + (robust ? "True" : "False") + ")"; }
}  // namespace kv
