// Error values of the core library.
//
// Every core operation that can fail returns `Result<T>`: either the value or
// the message text that the Python boundary raises as ValueError unchanged.
// Core code never throws except std::bad_alloc (and the standard library's
// length_error for impossible sizes), which the boundary maps to MemoryError.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace quarn {

template <class T>
using Result = std::expected<T, std::string>;

using Status = std::expected<void, std::string>;

// Builds the error side of any Result from a message.
inline std::unexpected<std::string> fail(std::string message) {
    return std::unexpected<std::string>(std::move(message));
}

}  // namespace quarn
