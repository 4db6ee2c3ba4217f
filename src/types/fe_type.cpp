// The Python surface of FE.
#include "binding/binding.hpp"
#include "models/inference.hpp"
#include "models/panel_data/fe.hpp"
#include "types/types.hpp"

namespace kv::py {

PyObject* fe_type() {
    static PyObject* type = nullptr;
    if (type) return type;
    static PyMethodDef methods[] = {
        method<&FE::is_fitted>("is_fitted", "is_fitted($self)\n--\n\n"),
        method<&FE::fit, "fit:x,y,entity_id", Access::Exclusive>("fit", "fit($self, x, y, entity_id)\n--\n\n"),
        method<&FE::predict, "predict:x,entity_id">(
            "predict", "predict($self, x, entity_id)\n--\n\nMake predictions using the fitted Fixed Effects model"),
        method<&inference::standard_errors<FE>>("standard_errors",
                                         "standard_errors($self)\n--\n\nCalculate standard errors of coefficients"),
        method<&inference::t_statistics<FE>>("t_statistics", "t_statistics($self)\n--\n\nCalculate t-statistics for coefficients"),
        method<&inference::p_values<FE>>("p_values",
                              "p_values($self)\n--\n\nCalculate p-values for coefficients using t-distribution"),
        method<&inference::confidence_intervals<FE>, "confidence_intervals:alpha">(
            "confidence_intervals",
            "confidence_intervals($self, alpha=0.05)\n--\n\nCalculate confidence intervals for coefficients"),
        method<&FE::summary>(
            "summary",
            "summary($self)\n--\n\nGenerate a summary of the model results with Fixed Effects specific statistics"),
        method<&FE::covariance_matrix, Access::Exclusive>(
            "covariance_matrix", "covariance_matrix($self)\n--\n\nGet the covariance matrix of coefficients"),
        end_of_methods,
    };
    static PyGetSetDef attributes[] = {
        attribute<FE, &FE::coefficients>("coefficients"),
        attribute<FE, &FE::robust>("robust"),
        attribute<FE, &FE::mse>("mse"),
        attribute<FE, &FE::r_squared>("r_squared"),
        attribute<FE, &FE::within_r_squared>("within_r_squared"),
        attribute<FE, &FE::n_samples>("n_samples"),
        attribute<FE, &FE::n_features>("n_features"),
        attribute<FE, &FE::n_entities>("n_entities"),
        attribute<FE, &FE::residuals>("residuals"),
        attribute<FE, &FE::fixed_effects>("fixed_effects"),
        end_of_attributes,
    };
    type = create_type({"FE", "(robust=False)", "", sizeof(Object<FE>),
                        &construct<FE, "__new__:robust", std::optional<bool>>, &dealloc<FE>, &repr<&FE::repr>,
                        methods, attributes});
    return type;
}

}  // namespace kv::py
