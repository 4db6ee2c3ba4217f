// The entity means of FE's within transformation, as a reduce that can be split and merged:
// `EntitySums` takes blocks of rows (`add`) and the sums of another instance over other rows
// (`merge`), keyed by entity id in order of first appearance, and gives each entity's mean of
// every column of [x | y] as a pair hi + lo. Demeaning is then a map over row blocks
// (`demean_rows`). The fit runs one instance over all its rows; a caller holding the rows in
// chunks folds one instance per chunk and merges them, with the same means.
//
// Each entity's sums are compensated (Knuth's TwoSum: each sum carries the rounding error of its
// additions, so its error is that of a sum in twice the precision) and each mean kept as hi + lo,
// so a demeaned value (x − hi) − lo is x − mean to within about one rounding of the small centred
// value, not of |x|. An entity whose values in a column are all identical gets that value as its
// mean (lo = 0), so its demeaned values are exactly zero and a regressor constant within every
// entity is found singular. The state is two doubles per entity and column.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "linalg/matrix.hpp"
#include "models/panel_data/entity_index.hpp"

namespace kv {

// Row entity numbers; n is bounded by the LAPACK limit, so 32 bits suffice.
using Codes = std::vector<std::uint32_t>;

// The entities of a column of ids: their numbers by first appearance, the id of each number and
// its row count.
struct Numbering {
    EntityIndex index;
    std::vector<std::int64_t> ids;      // G, by number
    std::vector<std::uint64_t> counts;  // G
    std::size_t size() const { return counts.size(); }
};

// Numbers the ids (codes[i] ← the number of ids[i]): by runs when the ids are sorted, through a
// direct table when they span a range not much longer than the column, by hashing otherwise.
Numbering number_entities(const IdView& ids, std::uint32_t* codes);

// The running state of one entity over its rows, per column of a width-w row: the sums and their
// carries (2w doubles; Knuth's TwoSum, the carry collecting each addition's rounding error).
inline void add_entity_row(double* __restrict state, const double* __restrict row, std::size_t w) {
    double* __restrict s = state;
    double* __restrict c = state + w;
    for (std::size_t j = 0; j < w; ++j) {
        const double v = row[j], t = s[j] + v, z = t - s[j];
        c[j] += (s[j] - (t - z)) + (v - z);
        s[j] = t;
    }
}

// The mean hi[j] + hi[w + j] of each column from an entity's state over `count` rows (`out` may be
// `state`). hi = s/m; the remainder s − hi·m is exact (Dekker's product gives hi·m as p + e, and
// s − p is exact because p is within a factor two of s), and it plus the carry, divided by m, is
// lo; the pair is then renormalised so that hi is the double nearest the mean. When every value
// of the column is one v, s + c = m·v exactly and the remainder is m·(v − hi) exactly, so
// lo = v − hi and the pair renormalises to v + 0: the demeaned values are exactly zero.
inline void entity_mean(const double* state, std::uint64_t count, std::size_t w, double* out) {
    const double m = static_cast<double>(count);
    constexpr double split = 134217729.0;  // 2²⁷ + 1, Veltkamp's splitting constant
    const double mt = split * m, mh = mt - (mt - m), ml = m - mh;
    for (std::size_t j = 0; j < w; ++j) {
        const double s = state[j], c = state[w + j];
        const double q = s / m;
        const double qt = split * q, qh = qt - (qt - q), ql = q - qh;
        const double p = q * m, e = ((qh * mh - p) + qh * ml + ql * mh) + ql * ml;
        const double lo = (((s - p) - e) + c) / m;
        const double hi = q + lo;
        out[w + j] = lo - (hi - q);
        out[j] = hi;
    }
}

// Row i of [x | y] (width x.cols + 1) into `row`.
inline void read_row(const MatView& x, const VecView& y, std::size_t i, double* __restrict row) {
    const std::size_t k = x.cols;
    const double* xr = x.data + static_cast<std::ptrdiff_t>(i) * x.rs;
    if (x.cs == 1) {
        for (std::size_t j = 0; j < k; ++j) row[j] = xr[j];  // a short row: a loop, not a library call
    } else {
        for (std::size_t j = 0; j < k; ++j) row[j] = xr[static_cast<std::ptrdiff_t>(j) * x.cs];
    }
    row[k] = y[i];
}

class EntitySums {
public:
    // Sums over the columns of [x | y], `width` = x.cols + 1.
    explicit EntitySums(std::size_t width) : w_(width), squares_(width, 0.0), largest_(width, 0.0) {}
    // Sums over rows numbered beforehand (number_entities): the entities, their ids and counts are
    // taken from `numbering`, and `add_numbered` reads each row's number from the codes.
    EntitySums(std::size_t width, Numbering&& numbering);

    // Rows [i0, i0 + m) of x and y with their entity ids; new ids are numbered in order of appearance.
    void add(const MatView& x, const VecView& y, const IdView& ids, std::size_t i0, std::size_t m);
    // Rows [i0, i0 + m) whose numbers are codes[i0 …]; `prefetch` asks for each row's sums a few
    // rows ahead (worth it once the table has left the first cache levels).
    void add_numbered(const MatView& x, const VecView& y, const std::uint32_t* codes, std::size_t i0, std::size_t m,
                      bool prefetch = false);
    // The sums of `other` (over other rows, with the same width) added entity by entity; its new
    // entities follow ours in its order of first appearance.
    void merge(const EntitySums& other);

    std::size_t entities() const { return ids_.size(); }
    std::size_t width() const { return w_; }
    const std::vector<std::int64_t>& ids() const { return ids_; }
    const std::vector<std::uint64_t>& counts() const { return counts_; }
    EntityIndex& index() { return index_; }
    // Per column over every row added: Σv² and max|v|.
    const Vector& squares() const { return squares_; }
    const Vector& largest() const { return largest_; }

    // Every entity's means: 2w doubles per entity, hi then lo (mean = hi + lo).
    std::vector<double> means() const;
    // The same, formed in place of the sums (which are gone afterwards), so no second table is needed.
    std::vector<double> take_means();

    // The whole state as one flat vector (the ids' bits copied into doubles), and back: how the sums of a
    // chunk of rows travel between processes.
    Vector pack() const;
    static EntitySums unpack(const VecView& v);

private:
    std::uint64_t number_of(std::int64_t id);
    void add_row(std::size_t g, const double* row);

    std::size_t w_;
    EntityIndex index_;
    std::vector<std::int64_t> ids_;        // by number
    std::vector<std::uint64_t> counts_;    // rows added, by number
    std::vector<double> state_;            // 2w per entity (add_entity_row)
    Vector squares_, largest_;
};

// The demeaned rows [i0, i0 + m) of [x | y] as the columns of a column-major width × m buffer:
// (v − hi) − lo with each row's entity means (`means` as EntitySums::means gives them), asking
// for the means a few rows ahead with `prefetch`.
void demean_rows(const MatView& x, const VecView& y, const std::uint32_t* codes, const double* means, std::size_t i0,
                 std::size_t m, double* buf, bool prefetch = false);

}  // namespace kv
