// Route selection and failure wording for the shared least-squares step; the numerical work
// is the linear-algebra layer's (solve_normal_equations, rank_factor, solve_by_svd, inverse).
#include "models/solve.hpp"

#include <cstring>

#include "linalg/linalg.hpp"

namespace kv {

namespace {

Unexpected<Error> failure(const RoutePolicy& policy, std::string message) {
    return {Error{policy.kind, std::move(message)}};
}

Solution from(NormalSolution&& s, std::size_t p) {
    return Solution{Vector(s.beta.data(), s.beta.data() + p), std::move(s.xtx_inverse), std::move(s.r)};
}

void ensure_design(Problem& pb) {
    if (!pb.design.data && pb.materialise) pb.materialise(pb);
}

Result<Solution> svd_route(Problem& pb, const RoutePolicy& policy) {
    ensure_design(pb);
    const std::size_t n = pb.design.rows, p = pb.design.cols;
    auto sol = solve_by_svd(pb.design, MatView{pb.target.data, n, 1, pb.target.stride, 0}, pb.rank_norms);
    if (sol) return from(std::move(*sol), p);
    if (sol.error().rank_deficient) return failure(policy, policy.singular_svd);
    std::string message = policy.svd_failed;
    if (message.ends_with(": ")) message += sol.error().error.render();
    return failure(policy, std::move(message));
}

}  // namespace

GramBlocks::GramBlocks(const Matrix& gram, std::size_t p) : dtd(p, p), dty(p, 1) {
    for (std::size_t j = 0; j < p; ++j) std::memcpy(dtd.col(j), gram.col(j), p * sizeof(double));
    std::memcpy(dty.data(), gram.col(p), p * sizeof(double));
}

Result<Solution> solve(Problem pb, const RoutePolicy& policy) {
    const std::size_t n = pb.rows, p = pb.cols;
    const std::size_t size = pb.route_size ? pb.route_size : p, rows = pb.route_rows ? pb.route_rows : n;
    const bool normal = rows > policy.normal_above * size && p < policy.normal_max_p && p > 0;
    const bool lu = !normal && policy.lu_above > 0 && rows > policy.lu_above * size;
    if (!normal && !lu) return svd_route(pb, policy);

    Matrix gram_here, cross_here;
    if (!pb.gram || !pb.cross) ensure_design(pb);
    const Matrix& gram = pb.gram ? *pb.gram : (gram_here = kv::gram(pb.design));
    if (!pb.cross) {
        cross_here = Matrix(p, 1);
        const Vector y = to_vector(pb.target);
        const Vector c = matvec(MatView{pb.design.data, p, n, pb.design.cs, pb.design.rs}, y.data());  // Dᵀy
        std::copy(c.begin(), c.end(), cross_here.data());
    }
    const Matrix& cross = pb.cross ? *pb.cross : cross_here;

    if (normal) {
        if (auto quick = solve_well_conditioned(gram, cross, pb.rank_norms)) return from(std::move(*quick), p);
    }
    ensure_design(pb);
    if (lu) {
        auto r = rank_factor(pb.design, gram);
        auto inv = inverse(gram);
        if (!r || !inv) return failure(policy, policy.singular);
        return Solution{matvec(inv->view(), cross.data()), std::move(*inv), std::move(*r)};
    }
    auto sol = solve_normal_equations(pb.design, MatView{pb.target.data, n, 1, pb.target.stride, 0}, gram, cross,
                                      pb.exact, pb.rank_norms);
    if (sol) return from(std::move(*sol), p);
    const NormalStep step = sol.error();
    if (step == NormalStep::RankDeficient) return failure(policy, policy.singular);
    if (policy.svd_after_failed_normal) return svd_route(pb, policy);
    switch (step) {
        case NormalStep::ForwardSolve: return failure(policy, policy.forward_solve);
        case NormalStep::BackSolve: return failure(policy, policy.back_solve);
        case NormalStep::InverseForward: return failure(policy, policy.inverse_forward);
        case NormalStep::InverseBack: return failure(policy, policy.inverse_back);
        default: return failure(policy, policy.singular);
    }
}

}  // namespace kv
