#include "common/error.h"

#include <cerrno>
#include <cstring>

namespace norvex {

Error os_error(int errnum, std::string_view path) {
  std::string text = std::strerror(errnum);
  if (!path.empty()) {
    text += ": ";
    text += path;
  }
  return Error(text);
}

Error last_os_error(std::string_view path) { return os_error(errno, path); }

namespace detail {
void raise_fault(const std::string& message) { throw Fault(message); }
}  // namespace detail

}  // namespace norvex
