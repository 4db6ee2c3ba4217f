#include "models/panel_data/entity_sums.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kv {

namespace {

// The direct table is used when the ids' range is at most the column's length plus this many
// ids (4 bytes each), so it costs no more than the codes themselves plus a few megabytes.
constexpr std::uint64_t direct_slack = std::uint64_t{1} << 20;

constexpr std::size_t prefetch_distance = 12;

// Asks for the cache lines of `count` doubles from `p` (a hint; nothing is read).
inline void prefetch_span(const double* p, std::size_t count) {
    for (std::size_t j = 0; j < count; j += 8) __builtin_prefetch(p + j);
    __builtin_prefetch(p + count - 1);
}

template <class Id>
Numbering number_with(Id id, std::size_t n, std::uint32_t* codes) {
    Numbering out;
    if (n == 0) return out;
    // One pass for the range and whether the ids are sorted.
    std::int64_t lo = id(0), hi = lo;
    bool sorted = true;
    for (std::size_t i = 1; i < n; ++i) {
        const std::int64_t v = id(i), prev = id(i - 1);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        sorted = sorted && prev <= v;
    }
    const std::uint64_t range = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo);
    const bool direct = range < n + direct_slack;
    if (sorted) {
        // Runs: a new number where the id changes.
        std::uint32_t g = 0;
        std::uint64_t run = 1;
        out.ids.push_back(id(0));
        codes[0] = 0;
        for (std::size_t i = 1; i < n; ++i) {
            const std::int64_t v = id(i);
            if (v != id(i - 1)) {
                out.counts.push_back(run);
                out.ids.push_back(v);
                run = 0;
                ++g;
            }
            ++run;
            codes[i] = g;
        }
        out.counts.push_back(run);
        if (direct) {
            std::vector<std::uint32_t> table(range + 1, EntityIndex::unseen);
            for (std::size_t e = 0; e < out.ids.size(); ++e)
                table[static_cast<std::uint64_t>(out.ids[e]) - static_cast<std::uint64_t>(lo)] = static_cast<std::uint32_t>(e);
            out.index = EntityIndex::direct(lo, std::move(table), out.ids.size());
        } else {
            for (const std::int64_t v : out.ids) out.index.number_of(v);
        }
        return out;
    }
    if (direct) {
        std::vector<std::uint32_t> table(range + 1, EntityIndex::unseen);
        std::uint32_t next = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t v = id(i);
            std::uint32_t& slot = table[static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(lo)];
            if (slot == EntityIndex::unseen) {
                slot = next++;
                out.ids.push_back(v);
                out.counts.push_back(0);
            }
            ++out.counts[slot];
            codes[i] = slot;
        }
        out.index = EntityIndex::direct(lo, std::move(table), next);
        return out;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t v = id(i);
        const std::uint64_t g = out.index.number_of(v);
        if (g == out.counts.size()) {
            out.counts.push_back(0);
            out.ids.push_back(v);
        }
        ++out.counts[g];
        codes[i] = static_cast<std::uint32_t>(g);
    }
    return out;
}

}  // namespace

Numbering number_entities(const IdView& ids, std::uint32_t* codes) {
    if (ids.stride == 1) {
        const std::int64_t* p = ids.data;
        return number_with([p](std::size_t i) { return p[i]; }, ids.size, codes);
    }
    return number_with([&ids](std::size_t i) { return ids[i]; }, ids.size, codes);
}

EntitySums::EntitySums(std::size_t width, Numbering&& numbering)
    : w_(width),
      index_(std::move(numbering.index)),
      ids_(std::move(numbering.ids)),
      counts_(ids_.size(), 0),
      state_(ids_.size() * 2 * width, 0.0),
      squares_(width, 0.0),
      largest_(width, 0.0) {}

std::uint64_t EntitySums::number_of(std::int64_t id) {
    const std::uint64_t g = index_.number_of(id);
    if (g == ids_.size()) {
        ids_.push_back(id);
        counts_.push_back(0);
        state_.resize(state_.size() + 2 * w_, 0.0);
    }
    return g;
}

void EntitySums::add_row(std::size_t g, const double* row) {
    add_entity_row(state_.data() + g * 2 * w_, row, w_);
    ++counts_[g];
    for (std::size_t j = 0; j < w_; ++j) {
        squares_[j] += row[j] * row[j];
        largest_[j] = std::max(largest_[j], std::fabs(row[j]));
    }
}

void EntitySums::add(const MatView& x, const VecView& y, const IdView& ids, std::size_t i0, std::size_t m) {
    std::vector<double> row(w_);
    for (std::size_t i = i0; i < i0 + m; ++i) {
        read_row(x, y, i, row.data());
        add_row(number_of(ids[i]), row.data());
    }
}

void EntitySums::add_numbered(const MatView& x, const VecView& y, const std::uint32_t* codes, std::size_t i0,
                              std::size_t m, bool prefetch) {
    std::vector<double> row(w_);
    const std::size_t end = i0 + m;
    for (std::size_t i = i0; i < end; ++i) {
        // Rows of many entities reach their sums in no order the hardware can predict: ask for the
        // sums a few rows ahead.
        if (prefetch && i + prefetch_distance < end) prefetch_span(state_.data() + codes[i + prefetch_distance] * 2 * w_, 2 * w_);
        read_row(x, y, i, row.data());
        add_row(codes[i], row.data());
    }
}

void EntitySums::merge(const EntitySums& other) {
    const std::size_t w = w_;
    for (std::size_t j = 0; j < w; ++j) {
        squares_[j] += other.squares_[j];
        largest_[j] = std::max(largest_[j], other.largest_[j]);
    }
    for (std::size_t e = 0; e < other.ids_.size(); ++e) {
        if (other.counts_[e] == 0) continue;
        const std::size_t g = number_of(other.ids_[e]);
        const double* b = other.state_.data() + e * 2 * w;
        double* a = state_.data() + g * 2 * w;
        // The two sums added by TwoSum, the carries with its error.
        for (std::size_t j = 0; j < w; ++j) {
            const double s = a[j], v = b[j], t = s + v, z = t - s;
            a[w + j] += b[w + j] + ((s - (t - z)) + (v - z));
            a[j] = t;
        }
        counts_[g] += other.counts_[e];
    }
}

std::vector<double> EntitySums::means() const {
    const std::size_t groups = ids_.size(), w = w_;
    std::vector<double> out(groups * 2 * w);
    for (std::size_t g = 0; g < groups; ++g) entity_mean(state_.data() + g * 2 * w, counts_[g], w, out.data() + g * 2 * w);
    return out;
}

std::vector<double> EntitySums::take_means() {
    const std::size_t groups = ids_.size(), w = w_;
    for (std::size_t g = 0; g < groups; ++g) entity_mean(state_.data() + g * 2 * w, counts_[g], w, state_.data() + g * 2 * w);
    return std::move(state_);
}

Vector EntitySums::pack() const {
    const std::size_t groups = ids_.size(), w = w_;
    Vector v{static_cast<double>(w), static_cast<double>(groups)};
    v.reserve(2 + 2 * w + groups * (2 + 2 * w));
    v.insert(v.end(), squares_.begin(), squares_.end());
    v.insert(v.end(), largest_.begin(), largest_.end());
    for (std::size_t g = 0; g < groups; ++g) {
        double id = 0;
        std::memcpy(&id, &ids_[g], sizeof id);
        v.push_back(id);
        v.push_back(static_cast<double>(counts_[g]));
    }
    v.insert(v.end(), state_.begin(), state_.end());
    return v;
}

EntitySums EntitySums::unpack(const VecView& v) {
    const auto w = static_cast<std::size_t>(v[0]), groups = static_cast<std::size_t>(v[1]);
    std::size_t at = 2 + 2 * w;
    // The ids are distinct and in number order, so numbering them anew gives each its number back (through a
    // direct table when they are dense).
    std::vector<std::int64_t> ids(groups);
    for (std::size_t g = 0; g < groups; ++g) std::memcpy(&ids[g], &v.data[(at + 2 * g) * static_cast<std::size_t>(v.stride)], sizeof(double));
    Codes codes(groups);
    EntitySums s(w, number_entities(IdView{ids.data(), groups, 1}, codes.data()));
    for (std::size_t j = 0; j < w; ++j) {
        s.squares_[j] = v[2 + j];
        s.largest_[j] = v[2 + w + j];
    }
    for (std::size_t g = 0; g < groups; ++g) s.counts_[g] = static_cast<std::uint64_t>(v[at + 2 * g + 1]);
    at += 2 * groups;
    for (std::size_t i = 0; i < groups * 2 * w; ++i) s.state_[i] = v[at + i];
    return s;
}

void demean_rows(const MatView& x, const VecView& y, const std::uint32_t* codes, const double* means, std::size_t i0,
                 std::size_t m, double* buf, bool prefetch) {
    const std::size_t k = x.cols, w = k + 1;
    for (std::size_t i = 0; i < m; ++i) {
        if (prefetch && i + prefetch_distance < m) prefetch_span(means + static_cast<std::size_t>(codes[i0 + i + prefetch_distance]) * 2 * w, 2 * w);
        double* __restrict row = buf + i * w;
        const double* __restrict hi = means + static_cast<std::size_t>(codes[i0 + i]) * 2 * w;
        const double* __restrict lo = hi + w;
        const double* xr = x.data + static_cast<std::ptrdiff_t>(i0 + i) * x.rs;
        if (x.cs == 1) {
            for (std::size_t j = 0; j < k; ++j) row[j] = (xr[j] - hi[j]) - lo[j];
        } else {
            for (std::size_t j = 0; j < k; ++j) row[j] = (xr[static_cast<std::ptrdiff_t>(j) * x.cs] - hi[j]) - lo[j];
        }
        row[k] = (y[i0 + i] - hi[k]) - lo[k];
    }
}

}  // namespace kv
