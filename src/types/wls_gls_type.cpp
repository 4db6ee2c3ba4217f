// The Python surfaces of WLS and GLS: the same methods and attributes, different fit arguments.
#include "binding/binding.hpp"
#include "models/inference.hpp"
#include "models/linear/gls.hpp"
#include "models/linear/wls.hpp"
#include "types/rows.hpp"
#include "types/types.hpp"

namespace kv::py {

PyObject* wls_type() {
    static PyObject* type = nullptr;
    if (type) return type;
    static PyMethodDef* methods = method_table(
        method<&WLS::fit, "fit:x,y,weights", Access::Exclusive>(
            "fit",
            "fit($self, x, y, weights)\n--\n\nWLS fitting with optimized diagonal weighting and numerical stability.\n\n"
            "WLS is more efficient than GLS since we only need to handle diagonal weight matrix.\n"
            "This implementation uses sqrt(weights) transformation for numerical stability."),
        method<&WLS::predict, "predict:x">("predict",
                                           "predict($self, x)\n--\n\nFast prediction with optimized operations"),
        inference_rows<WLS>(),
        method<&WLS::summary>("summary", "summary($self)\n--\n\n"),
        is_fitted_row<WLS>());
    static PyGetSetDef attributes[] = {
        attribute<WLS, &WLS::coefficients>("coefficients"), attribute<WLS, &WLS::intercept>("intercept"),
        attribute<WLS, &WLS::fit_intercept>("fit_intercept"), attribute<WLS, &WLS::mse>("mse"),
        attribute<WLS, &WLS::r_squared>("r_squared"),       attribute<WLS, &WLS::residuals>("residuals"),
        attribute<WLS, &WLS::n_samples>("n_samples"),       attribute<WLS, &WLS::n_features>("n_features"),
        end_of_attributes,
    };
    type = create_type({"WLS", "(fit_intercept=True)", "", sizeof(Object<WLS>),
                        &construct<WLS, "__new__:fit_intercept", std::optional<bool>>, &dealloc<WLS>,
                        &repr<&WLS::repr>, methods, attributes});
    return type;
}

PyObject* gls_type() {
    static PyObject* type = nullptr;
    if (type) return type;
    static PyMethodDef* methods = method_table(
        method<&GLS::fit, "fit:x,y,sigma", Access::Exclusive>(
            "fit", "fit($self, x, y, sigma)\n--\n\nGLS fitting with optimized Cholesky whitening and efficient operations"),
        method<&GLS::predict, "predict:x">("predict",
                                           "predict($self, x)\n--\n\nFast prediction with optimized operations"),
        inference_rows<GLS>(),
        method<&GLS::summary>("summary", "summary($self)\n--\n\n"),
        is_fitted_row<GLS>());
    static PyGetSetDef attributes[] = {
        attribute<GLS, &GLS::coefficients>("coefficients"), attribute<GLS, &GLS::intercept>("intercept"),
        attribute<GLS, &GLS::fit_intercept>("fit_intercept"), attribute<GLS, &GLS::mse>("mse"),
        attribute<GLS, &GLS::r_squared>("r_squared"),       attribute<GLS, &GLS::residuals>("residuals"),
        attribute<GLS, &GLS::n_samples>("n_samples"),       attribute<GLS, &GLS::n_features>("n_features"),
        end_of_attributes,
    };
    type = create_type({"GLS", "(fit_intercept=True)", "", sizeof(Object<GLS>),
                        &construct<GLS, "__new__:fit_intercept", std::optional<bool>>, &dealloc<GLS>,
                        &repr<&GLS::repr>, methods, attributes});
    return type;
}

}  // namespace kv::py
