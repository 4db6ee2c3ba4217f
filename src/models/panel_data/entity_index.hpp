// Entity numbering for FE: a map from int64 entity id to its dense number 0 … G−1, assigned in
// order of first occurrence. Ids spread over a range not much longer than the data (the common
// case: ids 0 … G−1, or codes from a few million values) are numbered through a direct table
// indexed by id − lo; any other ids by open addressing with linear probing over a power-of-two
// table, the id mixed by the splitmix64 finaliser (after a per-table seed) so that structured
// spreads (multiples of 2³², ids differing only in high bits) and crafted ids do not pile up.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kv {

class EntityIndex {
public:
    static constexpr std::uint32_t unseen = ~std::uint32_t{0};

    std::size_t size() const { return size_; }

    // Numbers read from a direct table: table[id − lo] for the ids of [lo, lo + table.size()), `unseen`
    // for the ids of that range that have none; `count` numbers are in use.
    static EntityIndex direct(std::int64_t lo, std::vector<std::uint32_t> table, std::size_t count) {
        EntityIndex out;
        out.lo_ = lo;
        out.table_ = std::move(table);
        out.size_ = count;
        return out;
    }

    // The number of `id`, giving it the next free number when it is new.
    std::uint64_t number_of(std::int64_t id) {
        if (!table_.empty()) {
            const std::uint64_t v = offset(id);
            if (v < table_.size()) {
                if (table_[v] == unseen) table_[v] = static_cast<std::uint32_t>(size_++);
                return table_[v];
            }
            to_hash();  // an id outside the table's range: the general map from here on
        }
        if ((size_ + 1) * 2 > numbers_.size()) grow();
        std::size_t slot = home(id);
        while (numbers_[slot] != empty) {
            if (keys_[slot] == id) return numbers_[slot];
            slot = (slot + 1) & mask_;
        }
        keys_[slot] = id;
        numbers_[slot] = size_;
        return size_++;
    }

    std::optional<std::uint64_t> find(std::int64_t id) const {
        if (size_ == 0) return std::nullopt;
        if (!table_.empty()) {
            const std::uint64_t v = offset(id);
            if (v < table_.size() && table_[v] != unseen) return table_[v];
            return std::nullopt;
        }
        std::size_t slot = home(id);
        while (numbers_[slot] != empty) {
            if (keys_[slot] == id) return numbers_[slot];
            slot = (slot + 1) & mask_;
        }
        return std::nullopt;
    }

    // Bytes the map holds.
    std::size_t bytes() const {
        return table_.size() * sizeof(std::uint32_t) + keys_.size() * (sizeof(std::int64_t) + sizeof(std::uint64_t));
    }

private:
    static constexpr std::uint64_t empty = ~std::uint64_t{0};

    std::uint64_t offset(std::int64_t id) const { return static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(lo_); }

    // The direct table's ids re-entered, in number order, into the hashed map.
    void to_hash() {
        std::vector<std::int64_t> ids(size_);
        for (std::size_t v = 0; v < table_.size(); ++v)
            if (table_[v] != unseen) ids[table_[v]] = static_cast<std::int64_t>(static_cast<std::uint64_t>(lo_) + v);
        std::vector<std::uint32_t>().swap(table_);
        size_ = 0;
        for (const std::int64_t id : ids) number_of(id);
    }

    static std::uint64_t mix(std::uint64_t z) {
        z += 0x9e3779b97f4a7c15ULL;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    std::size_t home(std::int64_t id) const {
        return static_cast<std::size_t>(mix(static_cast<std::uint64_t>(id) ^ seed_)) & mask_;
    }

    void grow() {
        const std::size_t capacity = numbers_.empty() ? 16 : numbers_.size() * 2;
        std::vector<std::int64_t> old_keys(capacity);
        std::vector<std::uint64_t> old_numbers(capacity, empty);
        old_keys.swap(keys_);
        old_numbers.swap(numbers_);
        mask_ = capacity - 1;
        if (old_numbers.empty()) {
            // The table's own address (randomised by the allocator and ASLR) seeds the mix, so
            // the probe sequence of a given id cannot be predicted from outside the process.
            seed_ = mix(reinterpret_cast<std::uintptr_t>(numbers_.data()) ^ reinterpret_cast<std::uintptr_t>(&mix));
        }
        for (std::size_t s = 0; s < old_numbers.size(); ++s) {
            if (old_numbers[s] == empty) continue;
            std::size_t slot = home(old_keys[s]);
            while (numbers_[slot] != empty) slot = (slot + 1) & mask_;
            keys_[slot] = old_keys[s];
            numbers_[slot] = old_numbers[s];
        }
    }

    std::vector<std::int64_t> keys_;
    std::vector<std::uint64_t> numbers_;  // `empty` marks a free slot
    std::size_t mask_ = 0;
    std::size_t size_ = 0;
    std::uint64_t seed_ = 0;
    std::int64_t lo_ = 0;                // direct mode: the smallest id of the table's range
    std::vector<std::uint32_t> table_;   // direct mode when not empty
};

}  // namespace kv
