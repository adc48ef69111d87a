#include "python/args.h"

#include <cstring>
#include <utility>

#include "python/convert.h"

namespace norvex::python {
namespace {

[[noreturn]] void type_error(const std::string& text) { raise(PyExc_TypeError, text); }

// Runs `convert` and puts "argument '<name>': " in front of the text of a TypeError it raises.
template <typename Fn>
auto with_prefix(const char* name, Fn&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    std::string text = "argument '";
    text += name;
    text += "': ";
    text += nb::str(e.value()).c_str();
    raise(PyExc_TypeError, text);
  }
}

std::uint64_t to_u64(PyObject* obj) {
  nb::object index = nb::steal(PyNumber_Index(obj));
  if (!index.is_valid()) raise_pending();
  const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) raise_pending();
  return v;
}

}  // namespace

Args::Args(const char* func, std::initializer_list<const char*> names, std::size_t required,
           PyObject* args, PyObject* kwargs)
    : names_(names), values_(names.size(), nullptr) {
  const std::string fn = std::string(func) + "()";
  const std::size_t total = names_.size();
  const auto nargs = static_cast<std::size_t>(args ? PyTuple_GET_SIZE(args) : 0);
  if (nargs > total) {
    type_error(fn + " takes " + (required == total ? "exactly " : "at most ") +
               std::to_string(total) + " positional argument" + (total == 1 ? "" : "s") + " (" +
               std::to_string(nargs) + " given)");
  }
  for (std::size_t i = 0; i < nargs; ++i) values_[i] = PyTuple_GET_ITEM(args, i);
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) type_error("keywords must be strings");
      const char* k = PyUnicode_AsUTF8(key);
      if (k == nullptr) raise_pending();
      std::size_t i = 0;
      while (i < total && std::strcmp(names_[i], k) != 0) ++i;
      if (i == total) {
        std::string text = "'";  // (built piecewise: g++ 12 warns falsely on "'" + string)
        text += k;
        text += "' is an invalid keyword argument for ";
        text += fn;
        type_error(text);
      }
      if (i < nargs) {
        type_error("argument for " + fn + " given by name ('" + k + "') and position (" +
                   std::to_string(i + 1) + ")");
      }
      values_[i] = value;
    }
  }
  for (std::size_t i = 0; i < required; ++i) {
    if (values_[i] == nullptr) {
      type_error(fn + " missing required argument '" + names_[i] + "' (pos " +
                 std::to_string(i + 1) + ")");
    }
  }
}

std::string arg_str(PyObject* obj, const char* name) {
  return with_prefix(name, [&] { return to_utf8(obj); });
}

std::optional<std::string> arg_opt_str(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return arg_str(obj, name);
}

PyObject* arg_opt_str_obj(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return nullptr;
  with_prefix(name, [&] {
    if (!PyUnicode_Check(obj)) type_error(cannot_convert(obj, "PyString"));
    return 0;
  });
  return obj;
}

std::uint64_t arg_u64(PyObject* obj, const char* name, std::uint64_t fallback) {
  if (obj == nullptr) return fallback;
  return with_prefix(name, [&] { return to_u64(obj); });
}

std::optional<std::uint64_t> arg_opt_u64(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return arg_u64(obj, name, 0);
}

std::optional<double> arg_opt_f64(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return std::nullopt;
  return with_prefix(name, [&] {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) raise_pending();
    return v;
  });
}

bool arg_bool(PyObject* obj, const char* name, bool fallback) {
  if (obj == nullptr) return fallback;
  return with_prefix(name, [&] {
    if (PyBool_Check(obj)) return obj == Py_True;
    if (is_numpy_bool(obj)) {
      const int truth = PyObject_IsTrue(obj);
      if (truth < 0) raise_pending();
      return truth != 0;
    }
    type_error(cannot_convert(obj, "PyBool"));
  });
}

std::vector<std::string> arg_str_seq(PyObject* obj, const char* name,
                                     std::vector<std::string> fallback) {
  if (obj == nullptr) return fallback;
  return with_prefix(name, [&] {
    if (PyUnicode_Check(obj)) type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) type_error(cannot_convert(obj, "Sequence"));
    const Py_ssize_t n = PySequence_Size(obj);
    if (n < 0) raise_pending();
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      nb::object item = nb::steal(PySequence_GetItem(obj, i));
      if (!item.is_valid()) raise_pending();
      out.push_back(to_utf8(item.ptr()));
    }
    return out;
  });
}

PyObject* arg_opt_dict(PyObject* obj, const char* name) {
  if (obj == nullptr || obj == Py_None) return nullptr;
  with_prefix(name, [&] {
    if (!PyDict_Check(obj)) type_error(cannot_convert(obj, "PyDict"));
    return 0;
  });
  return obj;
}

}  // namespace norvex::python
