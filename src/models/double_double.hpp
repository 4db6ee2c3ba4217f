// Double-double arithmetic: a value hi + lo with |lo| ≤ ulp(hi)/2 (Dekker, Knuth), for the residuals
// of refinement steps, whose digits a plain double sum of products would lose to cancellation.
#pragma once

#include <cmath>

namespace kv::dd {

struct DD {
    double hi = 0, lo = 0;
};
inline DD two_sum(double a, double b) {
    const double s = a + b, bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}
inline DD dd_add(DD a, DD b) {
    DD s = two_sum(a.hi, b.hi);
    s.lo += a.lo + b.lo;
    return two_sum(s.hi, s.lo);
}
inline DD dd_mul(DD a, double b) {
    const double p = a.hi * b;
    DD r{p, std::fma(a.hi, b, -p) + a.lo * b};
    return two_sum(r.hi, r.lo);
}
inline DD dd_mul(DD a, DD b) {
    DD r = dd_mul(a, b.hi);
    r.lo += a.hi * b.lo;
    return two_sum(r.hi, r.lo);
}

}  // namespace kv::dd
