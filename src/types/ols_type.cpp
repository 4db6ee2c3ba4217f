// The Python surface of OLS: its method and attribute tables.
#include "binding/binding.hpp"
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
            method<&OLS::get_standard_errors>("standard_errors",
                                              "standard_errors($self)\n--\n\nCalculate standard errors of coefficients"),
            method<&OLS::t_statistics>("t_statistics",
                                       "t_statistics($self)\n--\n\nCalculate t-statistics for coefficients"),
            method<&OLS::p_values>("p_values",
                                   "p_values($self)\n--\n\nCalculate p-values for coefficients using t-distribution"),
            method<&OLS::confidence_intervals, "confidence_intervals:alpha">(
                "confidence_intervals",
                "confidence_intervals($self, alpha=0.05)\n--\n\nCalculate confidence intervals for coefficients"),
            method<&OLS::summary>("summary", "summary($self)\n--\n\nGenerate a summary of the model results"),
            method<&OLS::covariance_matrix, Access::Exclusive>(
                "covariance_matrix", "covariance_matrix($self)\n--\n\nGet the covariance matrix of coefficients"),
            end_of_methods,
        };
        static PyGetSetDef attributes[] = {
            attribute<&OLS::coefficients>("coefficients"),
            attribute<&OLS::fit_intercept>("fit_intercept"),
            attribute<&OLS::robust>("robust"),
            attribute<&OLS::mse>("mse"),
            attribute<&OLS::r_squared>("r_squared"),
            attribute<&OLS::intercept>("intercept"),
            attribute<&OLS::n_samples>("n_samples"),
            attribute<&OLS::n_features>("n_features"),
            attribute<&OLS::residuals>("residuals"),
            end_of_attributes,
        };
        type = create_type({"OLS", "(fit_intercept=True, robust=False)", "", sizeof(Object<OLS>),
                            &construct<OLS, "__new__:fit_intercept,robust", std::optional<bool>, std::optional<bool>>,
                            &dealloc<OLS>, &repr<&OLS::repr>, methods, attributes});
    }
    return type;
}

}  // namespace kv::py
