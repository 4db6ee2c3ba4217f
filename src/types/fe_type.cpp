// The Python surface of FE.
#include "binding/binding.hpp"
#include "models/inference.hpp"
#include "models/panel_data/fe.hpp"
#include "types/rows.hpp"
#include "types/types.hpp"

namespace kv::py {

PyObject* fe_type() {
    static PyObject* type = nullptr;
    if (type) return type;
    static PyMethodDef* methods = method_table(
        is_fitted_row<FE>(),
        method<&FE::fit, "fit:x,y,entity_id", Access::Exclusive>("fit", "fit($self, x, y, entity_id)\n--\n\n"),
        method<&FE::predict, "predict:x,entity_id">(
            "predict", "predict($self, x, entity_id)\n--\n\nMake predictions using the fitted Fixed Effects model"),
        inference_rows<FE>(described_inference),
        method<&FE::summary>(
            "summary",
            "summary($self)\n--\n\nGenerate a summary of the model results with Fixed Effects specific statistics"),
        method<&inference::covariance_matrix<FE>, Access::Exclusive>(
            "covariance_matrix", "covariance_matrix($self)\n--\n\nGet the covariance matrix of coefficients"));
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
