// Rows that several classes' tables share, written once: the inference methods every linear
// class registers (bound to the templates of models/inference.hpp) and the assembly of a method
// table from rows and blocks of rows. A new common method is a row here and a line in the stub.
#pragma once

#include <array>
#include <vector>

#include "binding/binding.hpp"
#include "models/inference.hpp"

namespace kv::py {

struct InferenceDocs {
    const char* standard_errors = "standard_errors($self)\n--\n\n";
    const char* t_statistics = "t_statistics($self)\n--\n\n";
    const char* p_values = "p_values($self)\n--\n\n";
    const char* confidence_intervals = "confidence_intervals($self, alpha=0.05)\n--\n\n";
};

// The docstrings OLS and FE give their inference methods.
inline constexpr InferenceDocs described_inference{
    "standard_errors($self)\n--\n\nCalculate standard errors of coefficients",
    "t_statistics($self)\n--\n\nCalculate t-statistics for coefficients",
    "p_values($self)\n--\n\nCalculate p-values for coefficients using t-distribution",
    "confidence_intervals($self, alpha=0.05)\n--\n\nCalculate confidence intervals for coefficients",
};

// standard_errors, t_statistics, p_values and confidence_intervals, in that order.
template <class M>
std::array<PyMethodDef, 4> inference_rows(const InferenceDocs& docs = {}) {
    return {method<&inference::standard_errors<M>>("standard_errors", docs.standard_errors),
            method<&inference::t_statistics<M>>("t_statistics", docs.t_statistics),
            method<&inference::p_values<M>>("p_values", docs.p_values),
            method<&inference::confidence_intervals<M>, "confidence_intervals:alpha">("confidence_intervals",
                                                                                      docs.confidence_intervals)};
}

template <class M>
PyMethodDef is_fitted_row() {
    return method<&inference::is_fitted<M>>("is_fitted", "is_fitted($self)\n--\n\n");
}

namespace detail {
inline void append(std::vector<PyMethodDef>& table, const PyMethodDef& row) { table.push_back(row); }
template <std::size_t N>
void append(std::vector<PyMethodDef>& table, const std::array<PyMethodDef, N>& rows) {
    table.insert(table.end(), rows.begin(), rows.end());
}
}  // namespace detail

// The rows and blocks in order, closed by the sentinel; the table lives as long as the type
// (for the rest of the process).
template <class... Rows>
PyMethodDef* method_table(const Rows&... rows) {
    auto* table = new std::vector<PyMethodDef>();
    (detail::append(*table, rows), ...);
    table->push_back(end_of_methods);
    return table->data();
}

}  // namespace kv::py
