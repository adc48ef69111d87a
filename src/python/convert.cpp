#include "python/convert.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <utility>

namespace norvex::python {
namespace {

using storage::engine::GetResult;

// A strong reference that is released on scope exit.
nb::object own(PyObject* obj) {
  if (obj == nullptr) raise_pending();
  return nb::steal(obj);
}

bool has_index(PyObject* obj) {
  PyNumberMethods* nm = Py_TYPE(obj)->tp_as_number;
  return nm != nullptr && nm->nb_index != nullptr;
}

bool has_float(PyObject* obj) {
  PyNumberMethods* nm = Py_TYPE(obj)->tp_as_number;
  return PyFloat_Check(obj) || (nm != nullptr && (nm->nb_float != nullptr || nm->nb_index));
}

Json convert(PyObject* obj, std::size_t depth_left);

Json convert_list(PyObject* list, std::size_t depth_left) {
  Json array = Json::array();
  // The size is read again each time: conversion hooks may shrink the list.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
    nb::object item = nb::borrow(PyList_GET_ITEM(list, i));
    array.push_back(convert(item.ptr(), depth_left));
  }
  return array;
}

Json convert_dict(PyObject* dict, std::size_t depth_left) {
  Json object = Json::object();
  const Py_ssize_t size = PyDict_Size(dict);
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    // Hold both: a value's conversion hooks could remove them from the dict.
    nb::object k = nb::borrow(key);
    nb::object v = nb::borrow(value);
    std::string name = to_utf8(k.ptr());
    object[std::move(name)] = convert(v.ptr(), depth_left);
    if (PyDict_Size(dict) != size) {
      raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
  }
  return object;
}

Json convert(PyObject* obj, std::size_t depth_left) {
  if (obj == Py_None) return nullptr;
  if (PyBool_Check(obj) || is_numpy_bool(obj)) {
    const int truth = PyObject_IsTrue(obj);
    if (truth < 0) raise_pending();
    return truth != 0;
  }
  if (has_index(obj)) {
    if (PyObject* index = PyNumber_Index(obj)) {
      nb::object held = nb::steal(index);
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(index, &overflow);
      if (overflow == 0 && !(v == -1 && PyErr_Occurred())) {
        if (v < 0) return static_cast<std::int64_t>(v);
        return static_cast<std::uint64_t>(v);
      }
    }
    PyErr_Clear();
  }
  if (has_float(obj)) {
    const double v = PyFloat_AsDouble(obj);
    if (!(v == -1.0 && PyErr_Occurred())) {
      if (!std::isfinite(v)) return nullptr;
      return v;
    }
    PyErr_Clear();
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t len = 0;
    if (const char* s = PyUnicode_AsUTF8AndSize(obj, &len)) {
      return std::string(s, static_cast<std::size_t>(len));
    }
    PyErr_Clear();  // not encodable (a lone surrogate): falls through to null
  }
  const bool is_list = PyList_Check(obj);
  if (is_list || PyDict_Check(obj)) {
    if (depth_left == 0) {
      raise(PyExc_ValueError, "metadata value nested deeper than " +
                                  std::to_string(kMaxValueDepth) +
                                  " levels (or containing itself)");
    }
    // A cycle is caught by the depth bound above; the interpreter's own recursion check
    // keeps the C stack safe when the conversion is reached through Python hooks.
    if (Py_EnterRecursiveCall(" while converting metadata") != 0) raise_pending();
    struct Leave {
      ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    return is_list ? convert_list(obj, depth_left - 1) : convert_dict(obj, depth_left - 1);
  }
  return nullptr;
}

}  // namespace

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw nb::python_error();
}

void raise_pending() { throw nb::python_error(); }

bool is_numpy_bool(PyObject* obj) {
  // numpy.bool_ is final, so the exact type name identifies it; no numpy import needed.
  const char* name = Py_TYPE(obj)->tp_name;
  return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

std::string cannot_convert(PyObject* obj, std::string_view target) {
  std::string text = "'";
  text += Py_TYPE(obj)->tp_name;
  text += "' object cannot be converted to '";
  text += target;
  text += "'";
  return text;
}

std::string to_utf8(PyObject* obj) {
  if (!PyUnicode_Check(obj)) raise(PyExc_TypeError, cannot_convert(obj, "PyString"));
  Py_ssize_t len = 0;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &len);
  if (s == nullptr) raise_pending();
  return std::string(s, static_cast<std::size_t>(len));
}

Json py_to_json(PyObject* obj) { return convert(obj, kMaxValueDepth); }

nb::object json_to_py(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return nb::none();
    case Json::value_t::boolean:
      return nb::borrow(value.get<bool>() ? Py_True : Py_False);
    case Json::value_t::number_unsigned:
      return own(PyLong_FromUnsignedLongLong(value.get<std::uint64_t>()));
    case Json::value_t::number_integer:
      return own(PyLong_FromLongLong(value.get<std::int64_t>()));
    case Json::value_t::number_float:
      return own(PyFloat_FromDouble(value.get<double>()));
    case Json::value_t::string: {
      const auto& s = value.get_ref<const std::string&>();
      return own(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr));
    }
    case Json::value_t::array: {
      nb::object list = own(PyList_New(static_cast<Py_ssize_t>(value.size())));
      Py_ssize_t i = 0;
      for (const Json& element : value) {
        PyList_SET_ITEM(list.ptr(), i++, json_to_py(element).release().ptr());
      }
      return list;
    }
    case Json::value_t::object: {
      nb::object dict = own(PyDict_New());
      for (const auto& [key, element] : value.items()) {
        nb::object k =
            own(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
        nb::object v = json_to_py(element);
        if (PyDict_SetItem(dict.ptr(), k.ptr(), v.ptr()) != 0) raise_pending();
      }
      return dict;
    }
    default:
      return nb::none();  // binary and discarded values never occur in metadata
  }
}

PropertyMap parse_pydict(PyObject* d) {
  PropertyMap map;
  if (d == nullptr || d == Py_None) return map;
  if (!PyDict_Check(d)) raise(PyExc_TypeError, cannot_convert(d, "PyDict"));
  const Py_ssize_t size = PyDict_Size(d);
  map.reserve(static_cast<std::size_t>(size));
  Py_ssize_t pos = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(d, &pos, &key, &value)) {
    nb::object k = nb::borrow(key);
    nb::object v = nb::borrow(value);
    std::string name = to_utf8(k.ptr());
    map.insert_or_assign(std::move(name), py_to_json(v.ptr()));
    if (PyDict_Size(d) != size) {
      raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
  }
  return map;
}

std::vector<PropertyMap> parse_metadata_rows(PyObject* metadatas, std::size_t n) {
  if (metadatas == nullptr || !PyList_Check(metadatas)) return std::vector<PropertyMap>(n);
  const auto len = static_cast<std::size_t>(PyList_GET_SIZE(metadatas));
  if (len != n) {
    raise(PyExc_ValueError, "metadatas length " + std::to_string(len) +
                                " does not match ids/vectors length " + std::to_string(n));
  }
  std::vector<PropertyMap> rows;
  rows.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(metadatas, static_cast<Py_ssize_t>(i));
    if (item == nullptr) raise_pending();  // shrunk by a conversion hook
    nb::object row = nb::borrow(item);
    if (!PyDict_Check(item)) raise(PyExc_TypeError, cannot_convert(item, "PyDict"));
    rows.push_back(parse_pydict(row.ptr()));
  }
  return rows;
}

std::vector<std::optional<std::string>> parse_document_rows(PyObject* documents, std::size_t n) {
  if (documents == nullptr || !PyList_Check(documents)) {
    return std::vector<std::optional<std::string>>(n);
  }
  const auto len = static_cast<std::size_t>(PyList_GET_SIZE(documents));
  if (len != n) {
    raise(PyExc_ValueError, "documents length " + std::to_string(len) +
                                " does not match ids/vectors length " + std::to_string(n));
  }
  std::vector<std::optional<std::string>> rows;
  rows.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(documents, static_cast<Py_ssize_t>(i));
    if (item == nullptr) raise_pending();
    if (item == Py_None) {
      rows.emplace_back();
    } else {
      rows.emplace_back(to_utf8(item));
    }
  }
  return rows;
}

nb::object properties_to_py(const PropertyMap& properties) {
  nb::object dict = own(PyDict_New());
  for (const auto& [key, value] : properties) {
    nb::object k =
        own(PyUnicode_DecodeUTF8(key.data(), static_cast<Py_ssize_t>(key.size()), nullptr));
    nb::object v = json_to_py(value);
    if (PyDict_SetItem(dict.ptr(), k.ptr(), v.ptr()) != 0) raise_pending();
  }
  return dict;
}

nb::object get_result_to_py(const GetResult& r) {
  nb::object dict = own(PyDict_New());
  auto set = [&](const char* key, const nb::object& value) {
    if (PyDict_SetItemString(dict.ptr(), key, value.ptr()) != 0) raise_pending();
  };
  set("id", own(PyUnicode_DecodeUTF8(r.id.data(), static_cast<Py_ssize_t>(r.id.size()), nullptr)));
  set("metadata", properties_to_py(r.metadata.properties));
  if (r.metadata.document) {
    const std::string& doc = *r.metadata.document;
    set("document",
        own(PyUnicode_DecodeUTF8(doc.data(), static_cast<Py_ssize_t>(doc.size()), nullptr)));
  }
  return dict;
}

// ---------------------------------------------------------------------------------------------
// Arrays

namespace {

// numpy.ndarray, looked up on first use; nullptr when NumPy cannot be imported (then nothing is
// an array). The reference is kept for the life of the process. No function-local static
// initialiser here: the import may let another thread run, which would then wait on the
// initialiser's guard while holding the interpreter lock.
PyObject* ndarray_type() {
  static PyObject* type = nullptr;
  static bool looked_up = false;
  if (!looked_up) {
    PyObject* found = nullptr;
    if (PyObject* numpy = PyImport_ImportModule("numpy")) {
      found = PyObject_GetAttrString(numpy, "ndarray");
      Py_DECREF(numpy);
    }
    if (found == nullptr) PyErr_Clear();
    if (!looked_up) {  // another thread may have finished first during the import
      type = found;
      looked_up = true;
    } else {
      Py_XDECREF(found);
    }
  }
  return type;
}

// Whether a buffer format string names a native-order element of the given kind ('f' or 'd').
bool is_native(const char* format, char kind) {
  if (format == nullptr) return false;
  if (format[0] == kind && format[1] == '\0') return true;
  const bool little_ok = std::endian::native == std::endian::little && format[0] == '<';
  const bool big_ok = std::endian::native == std::endian::big && format[0] == '>';
  return (format[0] == '@' || format[0] == '=' || little_ok || big_ok) && format[1] == kind &&
         format[2] == '\0';
}

}  // namespace

std::optional<ArrayView> ArrayView::from(PyObject* obj, int ndim) {
  PyObject* ndarray = ndarray_type();
  if (ndarray == nullptr) return std::nullopt;
  const int is_array = PyObject_IsInstance(obj, ndarray);
  if (is_array <= 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  ArrayView view;
  if (PyObject_GetBuffer(obj, &view.view_, PyBUF_RECORDS_RO) != 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  view.held_ = true;
  if (view.view_.ndim != ndim) return std::nullopt;
  if (is_native(view.view_.format, 'f') && view.view_.itemsize == 4) {
    view.is_f32_ = true;
  } else if (is_native(view.view_.format, 'd') && view.view_.itemsize == 8) {
    view.is_f32_ = false;
  } else {
    return std::nullopt;
  }
  return view;
}

ArrayView::ArrayView(ArrayView&& other) noexcept
    : view_(other.view_), is_f32_(other.is_f32_), held_(other.held_) {
  other.held_ = false;
}

ArrayView::~ArrayView() {
  if (held_) PyBuffer_Release(&view_);
}

std::size_t ArrayView::rows() const {
  return view_.ndim == 2 ? static_cast<std::size_t>(view_.shape[0]) : 1;
}

std::size_t ArrayView::cols() const {
  return static_cast<std::size_t>(view_.shape[view_.ndim - 1]);
}

template <typename Out>
std::vector<Out> ArrayView::row(std::size_t i) const {
  const Py_ssize_t item = view_.itemsize;
  // Strides were requested, but a missing stride list means C order.
  const Py_ssize_t col_stride = view_.strides ? view_.strides[view_.ndim - 1] : item;
  const Py_ssize_t row_stride =
      view_.ndim == 2 ? (view_.strides ? view_.strides[0] : item * view_.shape[1]) : 0;
  const char* base = static_cast<const char*>(view_.buf) + static_cast<Py_ssize_t>(i) * row_stride;
  const std::size_t n = cols();
  std::vector<Out> out(n);
  for (std::size_t j = 0; j < n; ++j) {
    const char* p = base + static_cast<Py_ssize_t>(j) * col_stride;
    if (is_f32_) {
      float v;
      std::memcpy(&v, p, sizeof v);
      out[j] = static_cast<Out>(v);
    } else {
      double v;
      std::memcpy(&v, p, sizeof v);
      out[j] = static_cast<Out>(v);  // to float: rounds to nearest
    }
  }
  return out;
}

std::vector<double> ArrayView::row_f64(std::size_t i) const { return row<double>(i); }
std::vector<float> ArrayView::row_f32(std::size_t i) const { return row<float>(i); }

std::vector<double> extract_vector(PyObject* obj) {
  std::optional<ArrayView> view = ArrayView::from(obj, 1);
  if (!view) raise(PyExc_TypeError, cannot_convert(obj, "PyArray<T, D>"));
  return view->row_f64(0);
}

ArrayView extract_matrix(PyObject* obj) {
  std::optional<ArrayView> view = ArrayView::from(obj, 2);
  if (!view) raise(PyExc_TypeError, cannot_convert(obj, "PyArray<T, D>"));
  return std::move(*view);
}

}  // namespace norvex::python
