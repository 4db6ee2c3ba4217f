// Shared fitting steps. The HC0 meat is accumulated over row blocks so that no scaled
// n × p copy of the design is ever formed.
#include "models/linear/fit_utils.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>

#include "linalg/lapack.hpp"
#include "linalg/linalg.hpp"

namespace kv {

namespace {
inline bool nonfinite(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return (bits & 0x7ff0000000000000ULL) == 0x7ff0000000000000ULL;
}
}  // namespace

bool all_finite(const MatView& x) {
    bool bad = false;
    if (x.row_major() || x.col_major()) {
        const std::size_t count = x.rows * x.cols;
        for (std::size_t i = 0; i < count; ++i) bad |= nonfinite(x.data[i]);
        return !bad;
    }
    for (std::size_t i = 0; i < x.rows; ++i)
        for (std::size_t j = 0; j < x.cols; ++j) bad |= nonfinite(x(i, j));
    return !bad;
}

bool all_finite(const VecView& v) {
    for (std::size_t i = 0; i < v.size; ++i)
        if (!std::isfinite(v[i])) return false;
    return true;
}

Error non_finite_or(Error failure, std::initializer_list<const char*> singular, std::initializer_list<MatView> data) {
    bool worded_singular = false;
    for (const char* text : singular) worded_singular = worded_singular || (text && failure.message == text);
    if (!worded_singular) return failure;
    for (const MatView& m : data)
        if (!all_finite(m)) return Error{ErrorKind::Value, "Input contains NaN or infinite values"};
    return failure;
}

Status check_lapack_limits(std::size_t rows, std::size_t cols) {
    if (!fits_lapack(rows) || !fits_lapack(cols)) return value_error(lapack_limit_message());
    return {};
}

Matrix build_design(const MatView& x, bool intercept) {
    const std::size_t n = x.rows, off = intercept ? 1 : 0;
    Matrix d(n, x.cols + off);
    if (intercept) std::fill(d.col(0), d.col(0) + n, 1.0);
    copy_into(x, d, off);
    return d;
}

Vector residuals_of(const MatView& design, const Vector& beta, const VecView& y) {
    Vector e = to_vector(y);
    gemv_update(design, beta.data(), -1.0, 1.0, e.data());
    return e;
}

void copy_design_and_target(const MatView& x, const VecView& y, bool intercept, DesignCopy& out,
                            bool column_major) {
    const std::size_t n = x.rows, k = x.cols, off = intercept ? 1 : 0, w = k + off + 1;
    if (x.row_major() && n > 0 && !column_major) {
        out.storage = Matrix(w, n);  // column-major w × n, i.e. row-major n × w
        double* dst = out.storage.data();
        for (std::size_t i = 0; i < n; ++i, dst += w) {
            if (intercept) dst[0] = 1.0;
            std::memcpy(dst + off, x.data + static_cast<std::ptrdiff_t>(i) * x.rs, k * sizeof(double));
            dst[w - 1] = y[i];
        }
        out.full = {out.storage.data(), n, w, static_cast<std::ptrdiff_t>(w), 1};
    } else {
        out.storage = Matrix(n, w);
        if (intercept) std::fill(out.storage.col(0), out.storage.col(0) + n, 1.0);
        copy_into(x, out.storage, off);
        double* ycol = out.storage.col(w - 1);
        for (std::size_t i = 0; i < n; ++i) ycol[i] = y[i];
        out.full = out.storage.view();
    }
}

bool gram_out_of_range(const Matrix& gram, std::size_t n) {
    const double tiny = std::ldexp(static_cast<double>(n), -900);
    bool out = false;
    for (std::size_t j = 0; j < gram.rows(); ++j) out |= !(std::fabs(gram(j, j)) < HUGE_VAL) || gram(j, j) < tiny;
    return out;
}

Vector max_abs_scales(const MatView& m) {
    Vector big(m.cols, 0.0);
    for (std::size_t i = 0; i < m.rows; ++i)
        for (std::size_t j = 0; j < m.cols; ++j) big[j] = std::max(big[j], std::fabs(m(i, j)));
    return scales_of_largest(std::move(big));
}

Vector scales_of_largest(Vector big) {
    for (double& b : big) {
        int e = 0;
        if (b > 0 && std::isfinite(b)) std::frexp(b, &e);
        b = std::ldexp(1.0, -e);
    }
    return big;
}

void scale_columns(DesignCopy& copy, const Vector& c) {
    const MatView& f = copy.full;
    double* base = copy.storage.data();
    for (std::size_t i = 0; i < f.rows; ++i)
        for (std::size_t j = 0; j < f.cols; ++j)
            base[static_cast<std::ptrdiff_t>(i) * f.rs + static_cast<std::ptrdiff_t>(j) * f.cs] *= c[j];
}

namespace {

template <class Weight>
double r_squared(const VecView& e, const VecView& y, bool weighted, Weight weight, double* ssr, double* wssr_out) {
    const std::size_t n = y.size;
    double ymax = 0;
    for (std::size_t i = 0; i < n; ++i) ymax = std::max(ymax, std::fabs(y[i]));
    double s = 1.0;
    if (ymax > 0 && std::isfinite(ymax)) {
        int ex = 0;
        std::frexp(ymax, &ex);
        s = std::ldexp(1.0, -ex);  // max|y·s| in [½, 1)
    }
    double sum_w = 0, sum = 0, wssr = 0, plain = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double wi = weighted ? weight(i) : 1.0, ei = e[i] * s;
        sum_w += wi;
        sum += wi * (y[i] * s);
        wssr += wi * ei * ei;
        plain += ei * ei;
    }
    if (ssr) *ssr = plain / s / s;
    if (wssr_out) *wssr_out = wssr / s / s;
    const double mean = sum / sum_w;
    double tss = 0, correction = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double wi = weighted ? weight(i) : 1.0, dev = y[i] * s - mean;
        tss += wi * dev * dev;
        correction += wi * dev;
    }
    // The corrected two-pass form: the mean's own rounding is taken out of TSS.
    tss -= correction * correction / sum_w;
    const double noise = 4.0 * std::numeric_limits<double>::epsilon() * ymax * s;
    if (tss <= sum_w * noise * noise) return 0.0;
    return 1.0 - wssr / tss;
}

}  // namespace

double centred_r_squared(const VecView& e, const VecView& y, const double* w, double* ssr) {
    return r_squared(e, y, w != nullptr, [w](std::size_t i) { return w[i]; }, ssr, nullptr);
}

namespace {
double scale_for(double ymax) {
    if (!(ymax > 0 && std::isfinite(ymax))) return 1.0;
    int ex = 0;
    std::frexp(ymax, &ex);
    return std::ldexp(1.0, -ex);  // max|y·s| in [½, 1)
}
}  // namespace

RSquaredSums::RSquaredSums(double sum_y, double largest_y, std::size_t n)
    : sum_w_(static_cast<double>(n)), ymax_(largest_y), s_(scale_for(largest_y)) {
    mean_ = sum_y * s_ / sum_w_;
}

RSquaredSums::RSquaredSums(double weight_sum, double weighted_sum, double largest_y, const VecView& w, double c)
    : sum_w_(weight_sum), ymax_(largest_y), s_(scale_for(largest_y)), w_(&w), c_(c) {
    mean_ = weighted_sum * s_ / sum_w_;
}

void RSquaredSums::add(const double* e, const VecView& y, std::size_t i0, std::size_t m) {
    if (w_) {
        for (std::size_t i = i0; i < i0 + m; ++i) {
            const double wi = (*w_)[i] * c_ * c_, ei = e[i] * s_, dev = y[i] * s_ - mean_;
            plain_ += ei * ei;
            weighted_ += wi * ei * ei;
            tss_ += wi * dev * dev;
            correction_ += wi * dev;
        }
        return;
    }
    for (std::size_t i = i0; i < i0 + m; ++i) {
        const double ei = e[i] * s_, dev = y[i] * s_ - mean_;
        plain_ += ei * ei;
        tss_ += dev * dev;
        correction_ += dev;
    }
}

double RSquaredSums::r_squared(double* ssr, double* wssr) const {
    const double weighted = w_ ? weighted_ : plain_;
    if (ssr) *ssr = plain_ / s_ / s_;
    if (wssr) *wssr = weighted / s_ / s_;
    const double tss = tss_ - correction_ * correction_ / sum_w_;
    const double noise = 4.0 * std::numeric_limits<double>::epsilon() * ymax_ * s_;
    if (tss <= sum_w_ * noise * noise) return 0.0;
    return 1.0 - weighted / tss;
}

double clamp_r_squared(double r2) {
    if (std::isnan(r2)) return r2;
    return std::min(std::max(r2, -1.0), 1.0);
}

}  // namespace kv
