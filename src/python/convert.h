// Conversions between Python objects and engine values: metadata and filters (JSON values
// and property maps), the per-row lists of batch calls, NumPy arrays, and stored records.
//
// Every function here runs with the interpreter lock held and never touches the engine lock.
// A failure sets the Python error indicator and throws nb::python_error (see raise()); the
// method wrappers in module.cpp turn that back into the pending Python exception.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"
#include "storage/engine/engine.h"
#include "storage/metadata.h"

namespace norvex::python {

namespace nb = nanobind;

// Values may nest at most as deep as a stored property can (0 = scalar); the bound also stops
// self-referencing lists and dicts.
inline constexpr std::size_t kMaxValueDepth = storage::kMaxPropertyDepth;

// Sets `type` with `message` as the pending Python exception and throws nb::python_error.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Throws nb::python_error for the exception already pending.
[[noreturn]] void raise_pending();

// Whether `obj` is a NumPy boolean scalar (which the interpreter does not count as a bool).
bool is_numpy_bool(PyObject* obj);

// "'<type name>' object cannot be converted to '<target>'": the text of every refused type.
std::string cannot_convert(PyObject* obj, std::string_view target);

// The UTF-8 bytes of a str (or subclass). Not a str: TypeError "... 'PyString'". A str that
// cannot be encoded (a lone surrogate) raises the interpreter's UnicodeEncodeError.
std::string to_utf8(PyObject* obj);

// Python object -> JSON value: None, bool (before int, so True is true), ints that fit in 64
// signed bits (non-negative ones as unsigned), anything with __float__ / __index__ as a float
// (NaN and infinities as null), UTF-8-encodable str, list, dict with str keys; anything else
// (tuple, set, bytes, instances) is null. A non-str key raises TypeError; nesting deeper than
// kMaxValueDepth raises ValueError.
Json py_to_json(PyObject* obj);

// JSON value -> new Python object (objects as dicts in ascending key order; unsigned values
// above 2^63-1 stay exact ints).
nb::object json_to_py(const Json& value);

// dict (or nothing) -> property map. `d` may be nullptr or None (both give an empty map);
// otherwise it must be a dict.
PropertyMap parse_pydict(PyObject* d);

// The `metadatas` argument of insert_batch -> n property maps. Not a list (or absent): n empty
// maps. A list of another length: ValueError; an element that is not a dict: TypeError.
std::vector<PropertyMap> parse_metadata_rows(PyObject* metadatas, std::size_t n);

// The `documents` argument of insert_batch -> n optional documents. Not a list (or absent): n
// absent documents. A list of another length: ValueError; None elements are absent documents;
// other non-str elements: TypeError.
std::vector<std::optional<std::string>> parse_document_rows(PyObject* documents, std::size_t n);

// {"id": ..., "metadata": {...}} plus "document" only when the record has one.
nb::object get_result_to_py(const storage::engine::GetResult& r);

// Property map -> new dict (values through json_to_py).
nb::object properties_to_py(const PropertyMap& properties);

// A read-only view of a NumPy array of float32 or float64 elements with 1 or 2 dimensions and
// arbitrary (byte) strides. Holds the exporter's buffer until destroyed; use with the
// interpreter lock held.
class ArrayView {
 public:
  // Reads `obj` as a NumPy array of `ndim` dimensions, float32 first, then float64. On failure
  // returns nothing and leaves no Python error pending.
  static std::optional<ArrayView> from(PyObject* obj, int ndim);

  ArrayView(ArrayView&& other) noexcept;
  ArrayView& operator=(ArrayView&&) = delete;
  ArrayView(const ArrayView&) = delete;
  ~ArrayView();

  std::size_t rows() const;  // the first dimension
  std::size_t cols() const;  // the second dimension (1-D: the length)

  // Row `i` (a 1-D array is its row 0), widened exactly or narrowed to nearest.
  std::vector<double> row_f64(std::size_t i) const;
  std::vector<float> row_f32(std::size_t i) const;

 private:
  ArrayView() = default;
  template <typename Out>
  std::vector<Out> row(std::size_t i) const;

  Py_buffer view_{};
  bool is_f32_ = false;
  bool held_ = false;
};

// `vector` of insert/update/upsert and `query` of search: a 1-D float32 or float64 array,
// copied into 64-bit floats. Anything else: TypeError "... 'PyArray<T, D>'".
std::vector<double> extract_vector(PyObject* obj);

// `vectors` of insert_batch: a 2-D float32 or float64 array, else the same TypeError.
ArrayView extract_matrix(PyObject* obj);

}  // namespace norvex::python
