// Argument unpacking for the Database methods, which are plain CPython methods (so that they
// carry text signatures). Parameters are all positional-or-keyword; a call that does not match
// the signature gets the interpreter's usual TypeError wording.
//
// The typed extractors below raise TypeError "argument '<name>': <text>" for a value of the
// wrong type. Errors of other classes pass through without the prefix (OverflowError for a
// negative or oversized integer, UnicodeEncodeError for a str holding a lone surrogate).
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace norvex::python {

class Args {
 public:
  // Unpacks a METH_VARARGS | METH_KEYWORDS call of `func` whose parameters are `names` (self
  // not included), the first `required` of them mandatory. `names` must outlive the Args.
  Args(const char* func, std::initializer_list<const char*> names, std::size_t required,
       PyObject* args, PyObject* kwargs);

  // The argument for parameter i (borrowed), or nullptr when the caller left it out.
  PyObject* operator[](std::size_t i) const { return values_[i]; }
  const char* name(std::size_t i) const { return names_[i]; }

 private:
  std::vector<const char*> names_;
  std::vector<PyObject*> values_;
};

// A required str.
std::string arg_str(PyObject* obj, const char* name);
// A str, or nothing for None / absent.
std::optional<std::string> arg_opt_str(PyObject* obj, const char* name);
// The original str object (not converted), or nullptr for None / absent; for values that are
// examined further in the method body.
PyObject* arg_opt_str_obj(PyObject* obj, const char* name);
// A non-negative int that fits in 64 bits; `fallback` when absent. None is refused.
std::uint64_t arg_u64(PyObject* obj, const char* name, std::uint64_t fallback);
// Same, or nothing for None / absent.
std::optional<std::uint64_t> arg_opt_u64(PyObject* obj, const char* name);
// A float (or anything with __float__ / __index__), or nothing for None / absent.
std::optional<double> arg_opt_f64(PyObject* obj, const char* name);
// A Python bool or NumPy boolean (ints are refused); `fallback` when absent.
bool arg_bool(PyObject* obj, const char* name, bool fallback);
// A sequence of str (a str itself is refused); `fallback` when absent. None is refused.
std::vector<std::string> arg_str_seq(PyObject* obj, const char* name,
                                     std::vector<std::string> fallback = {});
// A dict (returned as is) or nullptr for None / absent.
PyObject* arg_opt_dict(PyObject* obj, const char* name);

}  // namespace norvex::python
