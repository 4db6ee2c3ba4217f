// Shared inference, residual diagnostics and the summary report of every estimator.
// Estimators hand their stored state to these functions; nothing here keeps state apart
// from the process-wide standard normal distribution.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "linalg/matrix.hpp"
#include "models/error.hpp"

namespace kv::stats {

// n − (k + 1) with an intercept, n − k without, wrapping like unsigned arithmetic.
inline std::uint64_t residual_df(std::uint64_t n, std::uint64_t k, bool intercept) {
    return n - (k + (intercept ? 1 : 0));
}

// Two-sided p-value of t: Student's t for 1 ≤ df ≤ 30, the standard normal for df ≥ 31
// (wrapped values included), exactly 1.0 for df = 0; NaN for a NaN t.
double p_value(double t, std::uint64_t df);

// The critical value at 1 − alpha/2 (Student's t for 1 ≤ df ≤ 30, else the standard normal,
// 1.96 exactly at alpha = 0.05). ValueError "alpha must be between 0 and 2" outside [0, 2] or NaN.
Result<double> critical_value(std::uint64_t df, double alpha);

// Per-coefficient p-values, or nothing when coefficients or standard errors are absent.
std::optional<Vector> p_values(const std::optional<Vector>& coefficients, const std::optional<Vector>& standard_errors,
                               std::uint64_t df);

// m × 2 intervals (lower, upper) for the estimates.
Result<Matrix> confidence_intervals(const Vector& estimates, const Vector& std_errors, std::uint64_t df, double alpha);
// The methods' form: absent inputs give an absent result; a missing alpha means 0.05.
Result<std::optional<Matrix>> confidence_intervals(const std::optional<Vector>& coefficients,
                                                   const std::optional<Vector>& standard_errors, std::uint64_t df,
                                                   std::optional<double> alpha);

// t = coefficients / standard errors element by element (IEEE division), or nothing.
std::optional<Vector> t_statistics(const std::optional<Vector>& coefficients,
                                   const std::optional<Vector>& standard_errors);

struct SplitParameters {
    std::optional<double> intercept;
    Vector coefficients;
    std::optional<double> intercept_std_error;
    Vector standard_errors;
};
// Separates the intercept (element 0 when fit_intercept) from the slopes.
SplitParameters split_intercept_and_coefs(const Vector& params, const Vector& std_errors, bool fit_intercept);

// Condition number of a design: largest over smallest singular value after scaling every
// column to unit Euclidean length (Belsley, Kuh and Welsch). +inf when the smallest singular
// value is exactly 0, a column is all zero or there are more columns than rows; NaN for an
// empty design, any non-finite entry or a failed SVD.
double scaled_condition_number(const MatView& design);

struct DiagnosticStats {
    double durbin_watson;
    double jarque_bera;
    double jarque_bera_p_value;
    double omnibus;
    double omnibus_p_value;
    double skewness;
    double kurtosis;
    double condition_number;

    // Residual statistics of `residuals`; the condition number is computed by the caller
    // (once per fit, see scaled_condition_number) and passed through. Equal residuals have
    // skewness and kurtosis 0; a non-finite residual leaves every residual statistic NaN.
    static DiagnosticStats compute(const VecView& residuals, double condition_number);
    // The same statistics from the sums a pass over the residuals (or the merged residual round of
    // a chunked fit) gives: their count, the central moment sums Σc², Σc³, Σc⁴ about their mean,
    // Σe² and Durbin–Watson's Σ(eₜ − eₜ₋₁)².
    static DiagnosticStats from_sums(std::size_t count, double s2, double s3, double s4, double sum_sq,
                                     double sum_sq_diff, double condition_number);
};

// The words of the report's notes; each is applied only to a finite value.
const char* durbin_watson_phrase(double durbin_watson);
const char* jarque_bera_phrase(double jarque_bera_p_value);
const char* condition_number_phrase(double condition_number);

// The fit statistics of the report header, recomputed by every summary; none is stored.
struct HeaderStats {
    std::uint64_t n = 0;   // observations
    std::uint64_t p = 0;   // regressors ("Df Model:")
    std::uint64_t k = 0;   // parameters: p + 1 with an intercept
    std::uint64_t df = 0;  // n − k, wrapping like the inference rules
    double r_squared = 0.0;
    double adj_r_squared = 0.0;
    double f_statistic = 0.0;
    double f_p_value = 1.0;  // upper tail of F(p, df) at the F-statistic
    double log_likelihood = 0.0;
    double aic = 0.0;
    double bic = 0.0;
};
HeaderStats header_statistics(std::optional<double> r_squared, std::optional<double> mse, std::uint64_t n_samples,
                              std::uint64_t n_features, bool fit_intercept);

// What distinguishes one class's report from another's.
struct ReportLayout {
    const char* model_label;      // "OLS Regression Results"
    const char* method;           // "Least Squares"
    const char* covariance_type;  // "nonrobust", "HC0", "clustered"
    bool intercept_row;           // prints "const" when intercept and its standard error are present
    bool within_r_squared_line;   // FE: "Within R-squared:" below "Model:"
};

// What a report calls its rows and target when the caller knows them (the formula layer): `terms`
// names every printed row in order (the intercept's first when the report has that row), and
// `dropped` adds a line counting the rows left out for missing values. A longer name widens its line.
struct ReportNames {
    std::string target;
    std::vector<std::string> terms;
    std::optional<std::uint64_t> dropped;
};

// The fitted state a report reads. Absent values follow the unfitted rules of the report.
struct ReportInput {
    std::optional<double> r_squared;
    std::optional<double> mse;
    std::optional<double> intercept;
    std::optional<double> intercept_std_error;
    std::optional<double> within_r_squared;
    std::optional<Vector> coefficients;
    std::optional<Vector> standard_errors;
    std::uint64_t n_samples = 0;   // 0 when absent
    std::uint64_t n_features = 0;  // 0 when absent
    bool fit_intercept = false;    // k = p + 1 when true (FE passes false)
    std::optional<DiagnosticStats> diagnostics;  // present only for classes with diagnostics that can compute them
    const ReportNames* names = nullptr;          // "y", "const" and "x1" … "xk" when absent
};

// The fixed-width report; fails only where a statistical function rejects its input.
Result<std::string> summary(const ReportLayout& layout, const ReportInput& input);

}  // namespace kv::stats
