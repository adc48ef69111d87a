// Error types shared by the whole engine.
//
// `Error` is an expected failure (I/O, corruption, bad input): its what() is the text the
// Python binding raises as RuntimeError, unchanged. `Fault` is a violated internal invariant
// (a programming error): the binding surfaces it as a BaseException-derived exception and
// poisons the write lock. Raise faults only through NVX_CHECK / NVX_FAULT.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace norvex {

class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Fault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// An Error carrying the operating system's text for `errnum` (strerror), followed by
// ": <path>" when a path is given.
Error os_error(int errnum, std::string_view path = {});

// Same, taking errno at the point of the call.
Error last_os_error(std::string_view path = {});

namespace detail {
[[noreturn]] void raise_fault(const std::string& message);
}  // namespace detail

}  // namespace norvex

// Stops the operation with a Fault when `cond` is false. `msg` is any expression convertible
// to std::string; it is only evaluated on failure.
#define NVX_CHECK(cond, msg)                           \
  do {                                                 \
    if (!(cond)) [[unlikely]] {                        \
      ::norvex::detail::raise_fault(std::string(msg)); \
    }                                                  \
  } while (0)

#define NVX_FAULT(msg) ::norvex::detail::raise_fault(std::string(msg))
