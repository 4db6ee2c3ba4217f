// The Python surface of OLS: its method and attribute tables.
#include "binding/binding.hpp"
#include "models/inference.hpp"
#include "models/linear/ols.hpp"
#include "types/types.hpp"

namespace kv::py {

PyObject* ols_type() {
    static PyObject* type = nullptr;
    if (type) return type;
    {
        static PyMethodDef methods[] = {
            method<&OLS::is_fitted>("is_fitted", "is_fitted($self)\n--\n\n"),
            method<&OLS::fit, "fit:x,y", Access::Exclusive>("fit", "fit($self, x, y)\n--\n\n"),
            method<&OLS::predict, "predict:x">(
                "predict", "predict($self, x)\n--\n\nMake predictions using the fitted OLS model - optimized for performance"),
            method<&inference::standard_errors<OLS>>("standard_errors",
                                              "standard_errors($self)\n--\n\nCalculate standard errors of coefficients"),
            method<&inference::t_statistics<OLS>>("t_statistics",
                                       "t_statistics($self)\n--\n\nCalculate t-statistics for coefficients"),
            method<&inference::p_values<OLS>>("p_values",
                                   "p_values($self)\n--\n\nCalculate p-values for coefficients using t-distribution"),
            method<&inference::confidence_intervals<OLS>, "confidence_intervals:alpha">(
                "confidence_intervals",
                "confidence_intervals($self, alpha=0.05)\n--\n\nCalculate confidence intervals for coefficients"),
            method<&OLS::summary>("summary", "summary($self)\n--\n\nGenerate a summary of the model results"),
            method<&OLS::covariance_matrix, Access::Exclusive>(
                "covariance_matrix", "covariance_matrix($self)\n--\n\nGet the covariance matrix of coefficients"),
            end_of_methods,
        };
        static PyGetSetDef attributes[] = {
            attribute<OLS, &OLS::coefficients>("coefficients"),
            attribute<OLS, &OLS::fit_intercept>("fit_intercept"),
            attribute<OLS, &OLS::robust>("robust"),
            attribute<OLS, &OLS::mse>("mse"),
            attribute<OLS, &OLS::r_squared>("r_squared"),
            attribute<OLS, &OLS::intercept>("intercept"),
            attribute<OLS, &OLS::n_samples>("n_samples"),
            attribute<OLS, &OLS::n_features>("n_features"),
            attribute<OLS, &OLS::residuals>("residuals"),
            end_of_attributes,
        };
        type = create_type({"OLS", "(fit_intercept=True, robust=False)", "", sizeof(Object<OLS>),
                            &construct<OLS, "__new__:fit_intercept,robust", std::optional<bool>, std::optional<bool>>,
                            &dealloc<OLS>, &repr<&OLS::repr>, methods, attributes});
    }
    return type;
}

}  // namespace kv::py
