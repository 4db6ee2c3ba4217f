// Coefficient inference, residual diagnostics and the header fit statistics.
// Tail probabilities are computed directly as upper tails (erfc, the incomplete beta and
// the complement forms of Boost.Math) so that small p-values never cancel to zero.
// Boost.Math runs under a policy that ignores every error: the inputs are checked here,
// and no C++ exception or errno ever leaves these functions.
#include "models/linear/stat_utils.hpp"

#include <boost/math/distributions/chi_squared.hpp>
#include <boost/math/distributions/fisher_f.hpp>
#include <boost/math/distributions/normal.hpp>
#include <boost/math/distributions/students_t.hpp>
#include <boost/math/special_functions/beta.hpp>
#include <cmath>
#include <limits>

#include "linalg/singular_values.hpp"

namespace kv::stats {

namespace {

namespace bm = boost::math;
namespace bp = boost::math::policies;
using Policy = bp::policy<bp::domain_error<bp::ignore_error>, bp::pole_error<bp::ignore_error>,
                          bp::overflow_error<bp::ignore_error>, bp::underflow_error<bp::ignore_error>,
                          bp::denorm_error<bp::ignore_error>, bp::evaluation_error<bp::ignore_error>,
                          bp::rounding_error<bp::ignore_error>, bp::indeterminate_result_error<bp::ignore_error>>;
using Normal = bm::normal_distribution<double, Policy>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kSqrt2 = 1.4142135623730951;
constexpr std::uint64_t kLargestStudentDf = 30;  // df = 31 and above use the normal distribution

// The process-wide standard normal, created on first use (a function-local static is
// initialised exactly once, even under concurrent first calls).
const Normal& standard_normal() {
    static const Normal dist(0.0, 1.0);
    return dist;
}

bool student_branch(std::uint64_t df) { return df >= 1 && df <= kLargestStudentDf; }

// P(|T| > x) for Student's t with nu degrees of freedom, x ≥ 0 (x = +inf allowed).
// I_h(ν/2, ½) with h = ν / (ν + x²); for small x the complementary argument
// 1 − h = x² / (ν + x²) is formed instead, since h itself would round to 1.
double student_two_sided(double x, double nu) {
    if (std::isinf(x)) return 0.0;
    if (x > 1e150) {
        // h ≈ ν/x² would underflow; the series I_h(a, ½) = h^a / (a·B(a, ½)) · (1 + O(h))
        // is exact to double precision here (it matters for ν = 1, whose tail is ~2/(πx)).
        const double a = nu / 2.0;
        const double log_h = std::log(nu) - 2.0 * std::log(x);
        return std::exp(a * log_h - std::log(a * bm::beta(a, 0.5, Policy())));
    }
    const double x2 = x * x;  // at most 1e300
    if (nu > 2.0 * x2) return bm::ibetac(0.5, nu / 2.0, x2 / (nu + x2), Policy());
    return bm::ibeta(nu / 2.0, 0.5, nu / (nu + x2), Policy());
}

// Upper tail of the chi-squared distribution with 2 degrees of freedom at x ≥ 0.
double chi2_2_upper_tail(double x) {
    static const bm::chi_squared_distribution<double, Policy> chi2(2.0);
    return bm::cdf(bm::complement(chi2, x));
}

}  // namespace

double p_value(double t, std::uint64_t df) {
    if (df == 0) return 1.0;
    if (std::isnan(t)) return kNaN;
    const double x = std::fabs(t);
    if (student_branch(df)) return student_two_sided(x, static_cast<double>(df));
    const Normal& dist = standard_normal();
    return std::erfc((x - dist.mean()) / (dist.standard_deviation() * kSqrt2));
}

Result<double> critical_value(std::uint64_t df, double alpha) {
    if (!(alpha >= 0.0 && alpha <= 2.0)) return value_error("alpha must be between 0 and 2");
    if (alpha == 0.0) return kInf;
    if (alpha == 2.0) return -kInf;
    if (alpha == 1.0) return 0.0;
    if (student_branch(df)) {
        // Student's t quantile at 1 − alpha/2: x = I⁻¹(ν/2, ½; 2q') with q' the smaller tail,
        // y = 1 − x returned by the inversion itself, t = √(ν·y/x).
        const double nu = static_cast<double>(df);
        const double two_tails = alpha < 1.0 ? alpha : 2.0 - alpha;
        double y = 0.0;
        const double x = bm::ibeta_inv(nu / 2.0, 0.5, two_tails, &y, Policy());
        if (!(x >= std::numeric_limits<double>::min())) {
            // x underflows for the far tails of few degrees of freedom (ν = 1, alpha ≲ 1e-154);
            // Boost's quantile works from the tail series there.
            const bm::students_t_distribution<double, Policy> dist(nu);
            return bm::quantile(bm::complement(dist, alpha * 0.5));
        }
        const double c = std::sqrt(nu * y) / std::sqrt(x);
        return alpha < 1.0 ? c : -c;
    }
    if (alpha == 0.05) return 1.96;
    return bm::quantile(bm::complement(standard_normal(), alpha * 0.5));
}

std::optional<Vector> p_values(const std::optional<Vector>& coefficients, const std::optional<Vector>& standard_errors,
                               std::uint64_t df) {
    auto t = t_statistics(coefficients, standard_errors);
    if (!t) return std::nullopt;
    for (double& v : *t) v = p_value(v, df);
    return t;
}

Result<Matrix> confidence_intervals(const Vector& estimates, const Vector& std_errors, std::uint64_t df, double alpha) {
    auto c = critical_value(df, alpha);
    if (!c) return fail(c.error());
    const std::size_t m = estimates.size();
    Matrix out = Matrix::zeros(m, 2);  // column 0 lower, column 1 upper
    for (std::size_t i = 0; i < m; ++i) {
        const double margin = std_errors[i] * *c;
        out(i, 0) = estimates[i] - margin;
        out(i, 1) = margin + estimates[i];
    }
    return out;
}

Result<std::optional<Matrix>> confidence_intervals(const std::optional<Vector>& coefficients,
                                                   const std::optional<Vector>& standard_errors, std::uint64_t df,
                                                   std::optional<double> alpha) {
    if (!coefficients || !standard_errors) return std::optional<Matrix>{};
    auto ci = confidence_intervals(*coefficients, *standard_errors, df, alpha.value_or(0.05));
    if (!ci) return fail(ci.error());
    return std::optional<Matrix>(std::move(*ci));
}

std::optional<Vector> t_statistics(const std::optional<Vector>& coefficients,
                                   const std::optional<Vector>& standard_errors) {
    if (!coefficients || !standard_errors) return std::nullopt;
    Vector t(coefficients->size());
    for (std::size_t i = 0; i < t.size(); ++i) t[i] = (*coefficients)[i] / (*standard_errors)[i];
    return t;
}

SplitParameters split_intercept_and_coefs(const Vector& params, const Vector& std_errors, bool fit_intercept) {
    SplitParameters out;
    if (fit_intercept) {
        out.intercept = params[0];
        out.intercept_std_error = std_errors[0];
        out.coefficients.assign(params.begin() + 1, params.end());
        out.standard_errors.assign(std_errors.begin() + 1, std_errors.end());
    } else {
        out.coefficients = params;
        out.standard_errors = std_errors;
    }
    return out;
}

double scaled_condition_number(const MatView& design) {
    const std::size_t n = design.rows, p = design.cols;
    if (n == 0 || p == 0) return kNaN;
    // Unit-length columns, n × p. Each norm is max|a|·√Σ(a/max|a|)², as dnrm2 forms it,
    // and the column is divided by the two factors in turn, so no step can overflow.
    Matrix unit(n, p);
    bool zero_column = false;
    for (std::size_t j = 0; j < p; ++j) {
        double largest = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double v = design(i, j);
            if (!std::isfinite(v)) return kNaN;
            largest = std::fmax(largest, std::fabs(v));
        }
        if (largest == 0.0) {
            zero_column = true;
            continue;
        }
        double* col = unit.col(j);
        double sum_of_squares = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            col[i] = design(i, j) / largest;
            sum_of_squares += col[i] * col[i];
        }
        const double length = std::sqrt(sum_of_squares);
        for (std::size_t i = 0; i < n; ++i) col[i] /= length;
    }
    // More columns than rows: the columns are linearly dependent, the smallest of the p
    // singular values of the design is zero.
    if (zero_column || n < p) return kInf;
    auto sv = singular_values(std::move(unit));
    if (!sv || sv->empty()) return kNaN;
    const double smallest = sv->back();
    if (smallest == 0.0) return kInf;
    return sv->front() / smallest;
}

DiagnosticStats DiagnosticStats::compute(const VecView& residuals, double condition_number) {
    DiagnosticStats d{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, condition_number};
    const std::size_t count = residuals.size;
    if (count < 2) return d;
    const double n = static_cast<double>(count);

    // Two passes, each summing into four interleaved partial sums (independent chains the
    // processor overlaps): Σe, Σe² and Σ(Δe)², then the central moments about the mean.
    double sum4[4] = {}, sq4[4] = {}, diff4[4] = {};
    for (std::size_t t = 0; t < count; ++t) {
        const double e = residuals[t];
        const double diff = t > 0 ? e - residuals[t - 1] : 0.0;
        sum4[t & 3] += e;
        sq4[t & 3] += e * e;
        diff4[t & 3] += diff * diff;
    }
    const double sum = (sum4[0] + sum4[1]) + (sum4[2] + sum4[3]);
    const double sum_sq = (sq4[0] + sq4[1]) + (sq4[2] + sq4[3]);
    const double sum_sq_diff = (diff4[0] + diff4[1]) + (diff4[2] + diff4[3]);

    const double mean = sum / n;
    double s2v[4] = {}, s3v[4] = {}, s4v[4] = {};
    for (std::size_t t = 0; t < count; ++t) {
        const double c = residuals[t] - mean;
        const double c2 = c * c;
        s2v[t & 3] += c2;
        s3v[t & 3] += c2 * c;
        s4v[t & 3] += c2 * c2;
    }
    const double s2 = (s2v[0] + s2v[1]) + (s2v[2] + s2v[3]);
    const double s3 = (s3v[0] + s3v[1]) + (s3v[2] + s3v[3]);
    const double s4 = (s4v[0] + s4v[1]) + (s4v[2] + s4v[3]);
    return from_sums(count, s2, s3, s4, sum_sq, sum_sq_diff, condition_number);
}

DiagnosticStats DiagnosticStats::from_sums(std::size_t count, double s2, double s3, double s4, double sum_sq,
                                           double sum_sq_diff, double condition_number) {
    DiagnosticStats d{kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, condition_number};
    if (count < 2) return d;
    const double n = static_cast<double>(count);
    if (sum_sq > 0.0) d.durbin_watson = sum_sq_diff / sum_sq;
    const double m2 = s2 / n, m3 = s3 / n, m4 = s4 / n;
    // Residuals that are all equal have no shape: skewness and excess kurtosis 0. A
    // non-finite residual leaves m2 NaN or infinite, and the statistics stay NaN.
    double skew = kNaN, kurt = kNaN;
    if (m2 == 0.0) {
        skew = 0.0;
        kurt = 0.0;
    } else if (m2 > 0.0) {
        const double sd = std::sqrt(m2);
        skew = m3 / (sd * sd * sd);
        kurt = m4 / (m2 * m2) - 3.0;
    }

    if (count >= 20 && !std::isnan(skew) && !std::isnan(kurt)) {
        const double jb = (kurt * kurt * 0.25 + skew * skew) * (n / 6.0);
        d.jarque_bera = jb;
        if (std::isfinite(jb) && jb >= 0.0) d.jarque_bera_p_value = chi2_2_upper_tail(jb);

        const double var_s = (n - 1.0) * (6.0 * n) / ((3.0 + n) * ((1.0 + n) * (n - 2.0)));
        if (var_s > 0.0) {
            const double se_s = std::sqrt(var_s);
            const double se_k = 2.0 * se_s * std::sqrt((n * n - 1.0) / ((n - 3.0) * (n + 5.0)));
            if (se_k > 0.0) {
                const double z_s = skew / se_s, z_k = kurt / se_k;
                d.omnibus = z_s * z_s + z_k * z_k;
                if (std::isfinite(d.omnibus)) d.omnibus_p_value = chi2_2_upper_tail(d.omnibus);
            }
        }
    }
    if (count >= 3) d.skewness = skew;
    if (count >= 4) d.kurtosis = kurt;
    return d;
}

const char* durbin_watson_phrase(double durbin_watson) {
    if (durbin_watson < 1.5) return "positive autocorrelation";
    if (durbin_watson > 2.5) return "negative autocorrelation";
    return "no significant autocorrelation";
}

const char* jarque_bera_phrase(double jarque_bera_p_value) {
    return jarque_bera_p_value < 0.05 ? "reject normality hypothesis" : "fail to reject normality hypothesis";
}

const char* condition_number_phrase(double condition_number) {
    if (condition_number > 30.0) return "potential multicollinearity issues";
    if (condition_number > 15.0) return "moderate condition number";
    return "well-conditioned";
}

HeaderStats header_statistics(std::optional<double> r_squared, std::optional<double> mse, std::uint64_t n_samples,
                              std::uint64_t n_features, bool fit_intercept) {
    HeaderStats h;
    h.n = n_samples;
    h.p = n_features;
    h.k = n_features + (fit_intercept ? 1 : 0);
    h.df = h.n - h.k;
    const double n = static_cast<double>(h.n), p = static_cast<double>(h.p), k = static_cast<double>(h.k),
                 df = static_cast<double>(h.df);
    if (r_squared) {
        const double r2 = *r_squared;
        h.r_squared = r2;
        h.adj_r_squared = 1.0 - (n - 1.0) * (1.0 - r2) / df;
        h.f_statistic = (h.n != h.k && h.p != 0) ? (r2 / p) / ((1.0 - r2) / df) : 0.0;
    }
    // Upper tail of F(p, df); a negative F (R² < 0, possible without an intercept) has no tail.
    const double f = h.f_statistic;
    if (!(f > 0.0) || h.p == 0 || h.df == 0) {
        h.f_p_value = 1.0;
    } else if (std::isinf(f)) {
        h.f_p_value = 0.0;
    } else {
        const bm::fisher_f_distribution<double, Policy> dist(p, df);
        h.f_p_value = bm::cdf(bm::complement(dist, f));
    }
    if (mse) {
        const double half_n = -n / 2.0;
        h.log_likelihood = std::log(6.283185307179586 * *mse) * half_n + half_n;
        h.aic = (k + k) + (-2.0 * h.log_likelihood);
        h.bic = std::log(n) * k + (-2.0 * h.log_likelihood);
    }
    return h;
}

}  // namespace kv::stats
