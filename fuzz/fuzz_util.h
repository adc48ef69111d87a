// Shared pieces of the libFuzzer targets.
//
// A target feeds the bytes to one parser. The parser may refuse them with norvex::Error (the
// expected answer to a damaged file); anything else escaping it (a Fault, std::bad_alloc, a
// library exception) is a finding and aborts, as do the sanitizers' reports. What a target
// accepts it also re-encodes and reads back, so that whatever a database loads it can write.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "common/bytes.h"
#include "common/error.h"

namespace norvex::fuzz {

// Aborts with a message: a broken property counts as a crash for libFuzzer.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz property violated: %s\n", what);
  std::abort();
}

#define FUZZ_REQUIRE(cond)                    \
  do {                                        \
    if (!(cond)) ::norvex::fuzz::fail(#cond); \
  } while (0)

// Runs `f`; an Error is the parser refusing the input and ends the run quietly.
template <typename F>
bool refused(F&& f) {
  try {
    f();
    return false;
  } catch (const Error&) {
    return true;
  }
}

inline ByteView bytes_of(const std::uint8_t* data, std::size_t size) { return {data, size}; }

inline std::string_view text_of(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace norvex::fuzz
