// The failure value of every estimator operation: a kind (which Python exception it
// becomes) and the user-facing message. The binding layer does the mapping.
#pragma once

#include <string>

#include "linalg/expected.hpp"

namespace kv {

enum class ErrorKind { Value, Runtime };

struct Error {
    ErrorKind kind = ErrorKind::Runtime;
    std::string message;
};

template <class T>
using Result = Expected<T, Error>;
using Status = Expected<void, Error>;

inline Unexpected<Error> value_error(std::string message) { return {Error{ErrorKind::Value, std::move(message)}}; }
inline Unexpected<Error> runtime_error(std::string message) { return {Error{ErrorKind::Runtime, std::move(message)}}; }

}  // namespace kv
