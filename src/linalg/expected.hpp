// A value or an error, for the numerical core (libstdc++ 12 has no std::expected in C++20).
#pragma once

#include <utility>
#include <variant>

namespace kv {

template <class E>
struct Unexpected {
    E error;
};
template <class E>
Unexpected<std::decay_t<E>> fail(E&& e) {
    return {std::forward<E>(e)};
}

template <class T, class E>
class Expected {
public:
    Expected(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class G>
    Expected(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<0>(v_); }
    const T& value() const { return std::get<0>(v_); }
    T& operator*() { return value(); }
    const T& operator*() const { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    E& error() { return std::get<1>(v_); }
    const E& error() const { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

template <class E>
class Expected<void, E> {
public:
    Expected() = default;
    template <class G>
    Expected(Unexpected<G> u) : failed_(true), e_(std::move(u.error)) {}
    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    E& error() { return e_; }
    const E& error() const { return e_; }

private:
    bool failed_ = false;
    E e_{};
};

}  // namespace kv
