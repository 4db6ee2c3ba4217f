// The fixed-width summary report shared by every estimator: title, header pairs, the
// coefficient table, error statistics, diagnostics and notes. Numbers are printed by
// printf's %f (glibc rounds the exact binary value, ties to even); non-finite values and
// the exponent form of Prob (F-statistic) are rendered here.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <time.h>

#include "models/linear/stat_utils.hpp"

namespace kv::stats {

namespace {

// The report is 78 characters wide, like statsmodels' text summary, and built of these columns.
constexpr std::size_t kRuleWidth = 78;
constexpr std::size_t kLabelWidth = 25;   // a header or statistics label, and a header value
constexpr std::size_t kNumberWidth = 12;  // a header or statistics number
constexpr std::size_t kNameWidth = 15;    // a coefficient's name, and the interval's title
constexpr std::size_t kCellWidth = 10;    // coef, std err, t and P>|t|
constexpr std::size_t kBoundWidth = 7;    // each bound of the 95% interval

void append_padded_left(std::string& out, const std::string& text, std::size_t width) {
    out += text;
    if (text.size() < width) out.append(width - text.size(), ' ');
}

void append_padded_right(std::string& out, const std::string& text, std::size_t width) {
    if (text.size() < width) out.append(width - text.size(), ' ');
    out += text;
}

std::string non_finite_text(double v) {
    if (std::isnan(v)) return "NaN";
    return v > 0 ? "inf" : "-inf";
}

// Fixed point with `decimals` digits; "-0.000" keeps the sign of a negative zero.
std::string fixed(double v, int decimals) {
    if (!std::isfinite(v)) return non_finite_text(v);
    char buf[512];  // the largest double has 309 integer digits
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// Two-decimal mantissa, "e", then the exponent without "+" or leading zeros: 1.00e-10, 1.00e0.
// printf carries the mantissa (9.996e-5 becomes 1.00e-04), so only the exponent is rewritten.
std::string exponent_form(double v) {
    if (!std::isfinite(v)) return non_finite_text(v);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.2e", v);
    std::string text(buf);
    const std::size_t e = text.find('e');
    const int exponent = std::atoi(text.c_str() + e + 1);
    return text.substr(0, e + 1) + std::to_string(exponent);
}

void append_rule(std::string& out, char c) {
    out.append(kRuleWidth, c);
    out += '\n';
}

void append_header_pair(std::string& out, const std::string& label, const std::string& value,
                        const std::string& label2, const std::string& number) {
    append_padded_left(out, label, kLabelWidth);
    out += ' ';
    append_padded_left(out, value, kLabelWidth);
    out += ' ';
    append_padded_left(out, label2, kLabelWidth);
    out += ' ';
    append_padded_right(out, number, kNumberWidth);
    out += '\n';
}

void append_header_single(std::string& out, const std::string& label, const std::string& value) {
    append_padded_left(out, label, kLabelWidth);
    out += ' ';
    append_padded_left(out, value, kLabelWidth);
    out += '\n';
}

void append_statistics(std::string& out, const char* label, double v, const char* label2, double v2) {
    append_padded_left(out, label, kLabelWidth);
    out += ' ';
    append_padded_right(out, fixed(v, 3), kNumberWidth);
    out += ' ';
    append_padded_left(out, label2, kLabelWidth);
    out += ' ';
    append_padded_right(out, fixed(v2, 3), kNumberWidth);
    out += '\n';
}

void append_coefficient_row(std::string& out, const std::string& name, double b, double s, double c,
                            std::uint64_t df) {
    const double t = b / s;
    append_padded_left(out, name, kNameWidth);
    const std::string cells[] = {fixed(b, 4), fixed(s, 3), fixed(t, 3), fixed(p_value(t, df), 3)};
    for (const std::string& cell : cells) {
        out += ' ';
        append_padded_right(out, cell, kCellWidth);
    }
    out += ' ';
    append_padded_right(out, fixed(b - c * s, 3), kBoundWidth);
    out += ' ';
    append_padded_right(out, fixed(b + c * s, 3), kBoundWidth);
    out += '\n';
}

struct LocalStamp {
    std::string date;  // "Mon, 07 Dec 2026"
    std::string time;  // "14:05:09"
};

// English names regardless of the process locale.
LocalStamp read_local_clock() {
    static const char* const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    // CLOCK_REALTIME, not time(): glibc's time() may lag the wall clock by a few milliseconds
    // around a second boundary, so the report could print the second before Python's own clock.
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    const std::time_t now = ts.tv_sec;
    std::tm local{};
    localtime_r(&now, &local);
    char date[64], time[32];
    std::snprintf(date, sizeof date, "%s, %02d %s %d", weekdays[local.tm_wday % 7], local.tm_mday,
                  months[local.tm_mon % 12], local.tm_year + 1900);
    std::snprintf(time, sizeof time, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return {date, time};
}

bool finite(double v) { return std::isfinite(v); }

// Title, the header pairs (FE's "Within R-squared:" right below "Model:") and their rule.
void append_header(std::string& out, const ReportLayout& layout, const ReportInput& input, const HeaderStats& h) {
    const LocalStamp stamp = read_local_clock();
    // The printed count saturates at zero: a never-fitted model with an intercept has 0 − 1.
    const std::uint64_t shown_df = h.n >= h.k ? h.n - h.k : 0;
    out.append(28, ' ');
    out += layout.model_label;
    out += '\n';
    append_rule(out, '=');
    append_header_pair(out, "Dep. Variable:", input.names ? input.names->target : std::string("y"), "R-squared:",
                       fixed(h.r_squared, 3));
    append_header_pair(out, "Model:", layout.model_label, "Adj. R-squared:", fixed(h.adj_r_squared, 3));
    if (layout.within_r_squared_line && input.within_r_squared)
        append_header_pair(out, "", "", "Within R-squared:", fixed(*input.within_r_squared, 3));
    append_header_pair(out, "Method:", layout.method, "F-statistic:", fixed(h.f_statistic, 3));
    append_header_pair(out, "Date:", stamp.date, "Prob (F-statistic):", exponent_form(h.f_p_value));
    append_header_pair(out, "Time:", stamp.time, "Log-Likelihood:", fixed(h.log_likelihood, 3));
    append_header_pair(out, "No. Observations:", std::to_string(h.n), "AIC:", fixed(h.aic, 3));
    append_header_pair(out, "Df Residuals:", std::to_string(shown_df), "BIC:", fixed(h.bic, 3));
    append_header_single(out, "Df Model:", std::to_string(h.p));
    append_header_single(out, "Covariance Type:", layout.covariance_type);
    if (input.names && input.names->dropped)
        append_header_single(out, "Dropped (missing):", std::to_string(*input.names->dropped));
    append_rule(out, '=');
}

// Column titles, one row per estimate with the 95% interval, and the closing rule.
Status append_coefficient_table(std::string& out, const ReportLayout& layout, const ReportInput& input,
                                const HeaderStats& h) {
    append_padded_left(out, "", kNameWidth);
    for (const char* title : {"coef", "std err", "t", "P>|t|"}) {
        out += ' ';
        append_padded_right(out, title, kCellWidth);
    }
    out += ' ';
    append_padded_right(out, "[0.025      0.975]", kNameWidth);
    out += '\n';
    append_rule(out, '-');

    auto c = critical_value(h.df, 0.05);
    if (!c) return fail(c.error());
    // Row r's name: the caller's r-th term when it names every row, else "const", "x1", "x2", ….
    const std::vector<std::string>* terms = input.names ? &input.names->terms : nullptr;
    std::size_t row = 0;
    auto row_name = [&](std::string fallback) { return terms && row < terms->size() ? (*terms)[row++] : fallback; };
    if (layout.intercept_row && input.intercept && input.intercept_std_error)
        append_coefficient_row(out, row_name("const"), *input.intercept, *input.intercept_std_error, *c, h.df);
    if (input.coefficients && input.standard_errors) {
        const Vector& coefs = *input.coefficients;
        const Vector& ses = *input.standard_errors;
        for (std::size_t i = 0; i < std::min(coefs.size(), ses.size()); ++i) {
            std::string name(1, 'x');
            name += std::to_string(i + 1);
            append_coefficient_row(out, row_name(std::move(name)), coefs[i], ses[i], *c, h.df);
        }
    }
    append_rule(out, '=');
    return {};
}

// The error statistics and residual diagnostics, then the notes on the diagnostics.
void append_diagnostics(std::string& out, const ReportInput& input) {
    if (input.mse) append_statistics(out, "Mean Squared Error:", *input.mse, "Root MSE:", std::sqrt(*input.mse));
    const std::optional<DiagnosticStats>& d = input.diagnostics;
    if (d) {
        if (finite(d->omnibus) && finite(d->omnibus_p_value))
            append_statistics(out, "Omnibus:", d->omnibus, "Prob(Omnibus):", d->omnibus_p_value);
        if (finite(d->jarque_bera) && finite(d->jarque_bera_p_value))
            append_statistics(out, "Jarque-Bera (JB):", d->jarque_bera, "Prob(JB):", d->jarque_bera_p_value);
        if (finite(d->skewness) && finite(d->kurtosis))
            append_statistics(out, "Skew:", d->skewness, "Kurtosis:", d->kurtosis);
        if (finite(d->durbin_watson) && finite(d->condition_number))
            append_statistics(out, "Durbin-Watson:", d->durbin_watson, "Cond. No.:", d->condition_number);
    }
    append_rule(out, '=');
    if (!d) return;
    out += "Diagnostic Notes:\n";
    if (finite(d->durbin_watson)) {
        out += "- Durbin-Watson suggests ";
        out += durbin_watson_phrase(d->durbin_watson);
        out += '\n';
    }
    if (finite(d->jarque_bera_p_value)) {
        out += "- Jarque-Bera test: ";
        out += jarque_bera_phrase(d->jarque_bera_p_value);
        out += " (\u03b1=0.05)\n";
    }
    if (finite(d->condition_number)) {
        out += "- Condition number indicates: ";
        out += condition_number_phrase(d->condition_number);
        out += '\n';
    }
    append_rule(out, '=');
}

}  // namespace

Result<std::string> summary(const ReportLayout& layout, const ReportInput& input) {
    const HeaderStats h =
        header_statistics(input.r_squared, input.mse, input.n_samples, input.n_features, input.fit_intercept);
    std::string out;
    out.reserve(2048);
    append_header(out, layout, input, h);
    if (auto table = append_coefficient_table(out, layout, input, h); !table.ok()) return fail(table.error());
    append_diagnostics(out, input);
    return out;
}

}  // namespace kv::stats
