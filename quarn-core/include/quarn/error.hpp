// Error values of the core library.
//
// Every core operation that can fail returns `Result<T>`: either the value or
// the message text that the Python boundary raises as ValueError unchanged.
// Core code never throws except std::bad_alloc (and the standard library's
// length_error for impossible sizes), which the boundary maps to MemoryError.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace quarn {

// What a failure is about, for callers that act on it; the message is for
// people and may be worded anew.
enum class ErrorKind : std::uint8_t {
    invalid_argument,  // an option value, or anything not listed below
    invalid_series,    // the series: too few values, or a NaN or infinite one
    window_too_small,  // a window too short to hold the bootstrap's blocks
    stopped,           // the caller stopped the run
};


template <class T>
using Result = std::expected<T, std::string>;

using Status = std::expected<void, std::string>;

// Builds the error side of any Result from a message.
inline std::unexpected<std::string> fail(std::string message) {
    return std::unexpected<std::string>(std::move(message));
}

}  // namespace quarn
