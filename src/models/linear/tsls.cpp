// Placeholder until the estimator lands.
#include "models/linear/tsls.hpp"

#include "models/linear/stat_utils.hpp"

namespace kv {
Status TSLS::fit(MatView, MatView, VecView) { return value_error("TSLS.fit is not available yet"); }
Result<Vector> TSLS::predict(MatView) const { return value_error("Model not fitted"); }
Result<std::string> TSLS::summary() const { return std::string(); }
}  // namespace kv
