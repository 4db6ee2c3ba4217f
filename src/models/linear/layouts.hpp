// What each class's report prints in its title and header, in one place: the classes and the
// test suite's native statistics driver both read these.
#pragma once

#include "models/linear/stat_utils.hpp"

namespace kv::stats {

constexpr ReportLayout ols_layout(bool robust) {
    return {"OLS Regression Results", "Least Squares", robust ? "HC0" : "nonrobust", true, false};
}
inline constexpr ReportLayout wls_layout{"WLS Regression Results", "Weighted Least Squares", "nonrobust", true, false};
inline constexpr ReportLayout gls_layout{"GLS Regression Results", "Generalized Least Squares", "nonrobust", true,
                                         false};
inline constexpr ReportLayout iv_layout{"IV", "Instrumental Variables", "nonrobust", true, false};
inline constexpr ReportLayout tsls_layout{"TSLS", "Two-Stage Least Squares", "nonrobust", true, false};
constexpr ReportLayout fe_layout(bool robust) {
    return {"Fixed Effects Regression Results", "Within Estimator (Fixed Effects)", robust ? "clustered" : "nonrobust",
            false, true};
}

}  // namespace kv::stats
