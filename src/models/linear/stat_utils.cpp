// Placeholder: inference and the report arrive next.
#include "models/linear/stat_utils.hpp"

#include <cmath>

namespace kv::stats {

double p_value(double, std::uint64_t) { return std::nan(""); }
Result<double> critical_value(std::uint64_t, double) { return 1.96; }
std::optional<Vector> p_values(const std::optional<Vector>&, const std::optional<Vector>&, std::uint64_t) {
    return std::nullopt;
}
Result<Matrix> confidence_intervals(const Vector& e, const Vector&, std::uint64_t, double) { return Matrix(e.size(), 2); }
Result<std::optional<Matrix>> confidence_intervals(const std::optional<Vector>&, const std::optional<Vector>&,
                                                   std::uint64_t, std::optional<double>) {
    return std::optional<Matrix>{};
}
std::optional<Vector> t_statistics(const std::optional<Vector>& c, const std::optional<Vector>& s) {
    if (!c || !s) return std::nullopt;
    Vector t(c->size());
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = (*c)[i] / (*s)[i];
    return t;
}
SplitParameters split_intercept_and_coefs(const Vector& params, const Vector& se, bool fit_intercept) {
    SplitParameters out;
    if (fit_intercept) {
        out.intercept = params[0];
        out.intercept_std_error = se[0];
        out.coefficients.assign(params.begin() + 1, params.end());
        out.standard_errors.assign(se.begin() + 1, se.end());
    } else {
        out.coefficients = params;
        out.standard_errors = se;
    }
    return out;
}
double scaled_condition_number(const MatView&) { return std::nan(""); }
DiagnosticStats DiagnosticStats::compute(const VecView&, double c) {
    const double nan = std::nan("");
    return {nan, nan, nan, nan, nan, nan, nan, c};
}
Result<std::string> summary(const ReportLayout&, const ReportInput&) { return std::string(); }

}  // namespace kv::stats
