// Entity numbering for FE: a map from int64 entity id to its dense number 0 … G−1, assigned in
// order of first occurrence. Open addressing with linear probing over a power-of-two table;
// the id is mixed by the splitmix64 finaliser (after a per-table seed) so that structured
// spreads (multiples of 2³², ids differing only in high bits) and crafted ids do not pile up.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace kv {

class EntityIndex {
public:
    std::size_t size() const { return size_; }

    // The number of `id`, giving it the next free number when it is new.
    std::uint64_t number_of(std::int64_t id) {
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
        std::size_t slot = home(id);
        while (numbers_[slot] != empty) {
            if (keys_[slot] == id) return numbers_[slot];
            slot = (slot + 1) & mask_;
        }
        return std::nullopt;
    }

private:
    static constexpr std::uint64_t empty = ~std::uint64_t{0};

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
};

}  // namespace kv
