// Placeholder until the estimator lands.
#include "models/linear/iv.hpp"

#include "models/linear/stat_utils.hpp"

namespace kv {
Status IV::fit(MatView, MatView, VecView) { return value_error("IV.fit is not available yet"); }
Result<Vector> IV::predict(MatView) const { return value_error("Model not fitted"); }
std::optional<Vector> IV::t_statistics() const { return stats::t_statistics(coefficients, standard_errors); }
std::optional<Vector> IV::p_values() const { return std::nullopt; }
Result<std::optional<Matrix>> IV::confidence_intervals(std::optional<double>) const { return std::optional<Matrix>{}; }
Result<std::string> IV::summary() const { return std::string(); }
}  // namespace kv
