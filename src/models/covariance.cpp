// The clustered meat from the scores the class sums in its residual pass (the HC0 meat comes
// from the residual pass itself). The sandwich A⁻¹·M·A⁻¹ is two p × p products.
#include "models/covariance.hpp"

#include <algorithm>
#include <cmath>

#include "linalg/lapack.hpp"
#include "linalg/linalg.hpp"

namespace kv {

namespace {

void mirror_lower(Matrix& m) {
    for (std::size_t j = 0; j < m.cols(); ++j)
        for (std::size_t i = j + 1; i < m.rows(); ++i) m(j, i) = m(i, j);
}

}  // namespace

Matrix sandwich(const Matrix& bread, const Matrix& meat) {
    const Matrix left = matmul(bread.view(), meat.view());
    return matmul(left.view(), bread.view());
}

Matrix classical_covariance(const Matrix& bread, double sigma2) {
    Matrix out = bread;
    for (std::size_t i = 0; i < out.size(); ++i) out.data()[i] *= sigma2;
    return out;
}

Matrix clustered_covariance(const Matrix& scores, const Matrix& bread) {
    const std::size_t clusters = scores.rows(), k = scores.cols();
    Matrix meat = Matrix::zeros(k, k);
    for (std::size_t g = 0; g < clusters; ++g)
        for (std::size_t b = 0; b < k; ++b) {
            const double sb = scores(g, b);
            for (std::size_t a = b; a < k; ++a) meat(a, b) += scores(g, a) * sb;
        }
    mirror_lower(meat);
    return sandwich(bread, meat);
}

Vector standard_errors_of(const Matrix& covariance) {
    Vector se(covariance.rows());
    for (std::size_t j = 0; j < se.size(); ++j) {
        const double d = covariance(j, j);
        se[j] = std::isnan(d) ? d : (d >= 0 ? std::sqrt(d) : 0.0);
    }
    return se;
}

}  // namespace kv
