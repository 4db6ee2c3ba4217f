// The Python surfaces of IV and TSLS (default object repr, covariance as an attribute).
#include "binding/binding.hpp"
#include "models/inference.hpp"
#include "models/linear/iv.hpp"
#include "models/linear/tsls.hpp"
#include "types/rows.hpp"
#include "types/types.hpp"

namespace kv::py {

namespace {
constexpr const char* iv_doc =
    "Instrumental Variables (IV) regression estimator for exactly identified models.\n"
    "\n"
    "The IV estimator is used when some regressors are endogenous (correlated with the error term).\n"
    "It uses instrumental variables to obtain consistent estimates of the parameters.\n"
    "\n"
    "This implementation handles exactly identified models where the number of instruments\n"
    "equals the number of regressors. For overidentified cases (more instruments than regressors),\n"
    "use the TSLS (Two-Stage Least Squares) estimator instead.\n"
    "\n"
    "The IV estimator solves: β̂ = (Z'X)⁻¹Z'y\n"
    "where Z are the instruments, X are the regressors, and y is the dependent variable.";
}  // namespace

PyObject* iv_type() {
    static PyObject* type = nullptr;
    if (type) return type;
    static PyMethodDef* methods = method_table(
        method<&IV::fit, "fit:instruments,regressors,targets", Access::Exclusive>(
            "fit", "fit($self, instruments, regressors, targets)\n--\n\n"),
        is_fitted_row<IV>(),
        method<&IV::predict, "predict:regressors">("predict", "predict($self, regressors)\n--\n\n"),
        inference_rows<IV>(),
        method<&IV::summary>("summary", "summary($self)\n--\n\n"));
    static PyGetSetDef attributes[] = {
        attribute<IV, &IV::coefficients>("coefficients"),
        attribute<IV, &IV::fit_intercept>("fit_intercept"),
        attribute<IV, &IV::intercept>("intercept"),
        attribute<IV, &inference::covariance_matrix<IV>>("covariance_matrix"),
        attribute<IV, &IV::mse>("mse"),
        attribute<IV, &IV::r_squared>("r_squared"),
        attribute<IV, &IV::residuals>("residuals"),
        attribute<IV, &IV::n_samples>("n_samples"),
        attribute<IV, &IV::n_features>("n_features"),
        end_of_attributes,
    };
    type = create_type({"IV", "(fit_intercept=True)", iv_doc, sizeof(Object<IV>),
                        &construct<IV, "__new__:fit_intercept", std::optional<bool>>, &dealloc<IV>, nullptr,
                        methods, attributes});
    return type;
}

PyObject* tsls_type() {
    static PyObject* type = nullptr;
    if (type) return type;
    static PyMethodDef* methods = method_table(
        method<&TSLS::fit, "fit:instruments,regressors,targets", Access::Exclusive>(
            "fit", "fit($self, instruments, regressors, targets)\n--\n\n"),
        method<&TSLS::summary>("summary", "summary($self)\n--\n\n"),
        is_fitted_row<TSLS>(),
        method<&inference::standard_errors<TSLS>>("standard_errors", "standard_errors($self)\n--\n\n"),
        method<&TSLS::predict, "predict:regressors">("predict", "predict($self, regressors)\n--\n\n"));
    static PyGetSetDef attributes[] = {
        attribute<TSLS, &TSLS::coefficients>("coefficients"),
        attribute<TSLS, &TSLS::fit_intercept>("fit_intercept"),
        attribute<TSLS, &TSLS::intercept>("intercept"),
        attribute<TSLS, &TSLS::mse>("mse"),
        attribute<TSLS, &TSLS::r_squared>("r_squared"),
        attribute<TSLS, &TSLS::residuals>("residuals"),
        attribute<TSLS, &TSLS::n_samples>("n_samples"),
        attribute<TSLS, &TSLS::n_features>("n_features"),
        attribute<TSLS, &inference::covariance_matrix<TSLS>>("covariance_matrix"),
        end_of_attributes,
    };
    type = create_type({"TSLS", "(fit_intercept=True)", "", sizeof(Object<TSLS>),
                        &construct<TSLS, "__new__:fit_intercept", std::optional<bool>>, &dealloc<TSLS>, nullptr,
                        methods, attributes});
    return type;
}

}  // namespace kv::py
