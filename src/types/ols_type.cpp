// The Python surface of OLS: its method and attribute tables.
#include "binding/binding.hpp"
#include "models/inference.hpp"
#include "models/linear/ols.hpp"
#include "types/rows.hpp"
#include "types/types.hpp"

namespace kv::py {

PyObject* ols_type() {
    static PyObject* type = nullptr;
    if (type) return type;
    {
        static PyMethodDef* methods = method_table(
            is_fitted_row<OLS>(),
            method<&OLS::fit, "fit:x,y", Access::Exclusive>("fit", "fit($self, x, y)\n--\n\n"),
            method<&OLS::predict, "predict:x">(
                "predict", "predict($self, x)\n--\n\nMake predictions using the fitted OLS model - optimized for performance"),
            inference_rows<OLS>(described_inference),
            method<&OLS::summary>("summary", "summary($self)\n--\n\nGenerate a summary of the model results"),
            method<&inference::covariance_matrix<OLS>, Access::Exclusive>(
                "covariance_matrix", "covariance_matrix($self)\n--\n\nGet the covariance matrix of coefficients"));
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
