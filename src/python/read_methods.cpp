// The Database methods that only read: search, query, get, get_many, list_all, list_ids,
// count, list_metadata_values, and the len() and `in` protocol slots.
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "python/args.h"
#include "python/convert.h"
#include "python/database.h"
#include "python/docstrings.h"

namespace norvex::python {
namespace {

using storage::engine::GetResult;
using storage::engine::SearchResult;

// Which keys a hit dict gets.
enum IncludeBit : unsigned { kId = 1, kScore = 2, kMetadata = 4, kDocument = 8 };
constexpr unsigned kIncludeAll = kId | kScore | kMetadata | kDocument;

unsigned include_mask(const std::vector<std::string>& names) {
  unsigned mask = 0;
  for (const std::string& name : names) {
    if (name == "id") mask |= kId;
    if (name == "score") mask |= kScore;
    if (name == "metadata") mask |= kMetadata;
    if (name == "document") mask |= kDocument;
  }
  return mask;
}

// A filter argument: none when absent or when the converted map is empty.
std::optional<PropertyMap> read_filter(PyObject* dict) {
  PropertyMap map = parse_pydict(dict);
  if (map.empty()) return std::nullopt;
  return map;
}

nb::object str_to_py(const std::string& s) {
  PyObject* obj = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), nullptr);
  if (obj == nullptr) raise_pending();
  return nb::steal(obj);
}

void set_item(const nb::object& dict, const char* key, const nb::object& value) {
  if (PyDict_SetItemString(dict.ptr(), key, value.ptr()) != 0) raise_pending();
}

nb::object hit_to_py(const SearchResult& r, unsigned mask) {
  nb::object hit = nb::steal(PyDict_New());
  if (!hit.is_valid()) raise_pending();
  if (mask & kId) set_item(hit, "id", str_to_py(r.id));
  if (mask & kScore) set_item(hit, "score", nb::steal(PyFloat_FromDouble(r.score)));
  if (mask & kMetadata) set_item(hit, "metadata", properties_to_py(r.metadata.properties));
  if ((mask & kDocument) && r.metadata.document) {
    set_item(hit, "document", str_to_py(*r.metadata.document));
  }
  return hit;
}

nb::object hits_to_py(const std::vector<SearchResult>& results, unsigned mask) {
  nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!list.is_valid()) raise_pending();
  for (std::size_t i = 0; i < results.size(); ++i) {
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i),
                    hit_to_py(results[i], mask).release().ptr());
  }
  return list;
}

nb::object strings_to_py(const std::vector<std::string>& strings) {
  nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(strings.size())));
  if (!list.is_valid()) raise_pending();
  for (std::size_t i = 0; i < strings.size(); ++i) {
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), str_to_py(strings[i]).release().ptr());
  }
  return list;
}

nb::object search_body(Database& db, PyObject* args, PyObject* kwargs) {
  Args a("search", {"query", "top_k", "filter", "_use_ann", "ann_search_list_size", "include"}, 2,
         args, kwargs);
  const std::uint64_t top_k = arg_u64(a[1], "top_k", 0);
  PyObject* filter_dict = arg_opt_dict(a[2], "filter");
  const bool use_ann = arg_bool(a[3], "_use_ann", false);
  const std::optional<std::uint64_t> list_size = arg_opt_u64(a[4], "ann_search_list_size");
  const unsigned mask =
      a[5] == nullptr || a[5] == Py_None ? kIncludeAll : include_mask(arg_str_seq(a[5], "include"));

  const std::vector<double> query = extract_vector(a[0]);
  const std::optional<PropertyMap> filter = read_filter(filter_dict);
  const std::vector<SearchResult> results = released([&] {
    return read_engine(db.engine, [&](const NorvaneEngine& e) {
      return e.search_with_filter_and_ann(query, top_k, filter, list_size, use_ann);
    });
  });
  return hits_to_py(results, mask);
}

nb::object query_body(Database& db, PyObject* args, PyObject* kwargs) {
  Args a("query",
         {"query_embeddings", "n_results", "where_filter", "_use_ann", "ann_search_list_size"}, 1,
         args, kwargs);
  const std::uint64_t n_results = arg_u64(a[1], "n_results", 10);
  PyObject* filter_dict = arg_opt_dict(a[2], "where_filter");
  const bool use_ann = arg_bool(a[3], "_use_ann", false);
  const std::optional<std::uint64_t> list_size = arg_opt_u64(a[4], "ann_search_list_size");

  std::vector<std::vector<double>> rows;
  {
    std::optional<ArrayView> matrix = ArrayView::from(a[0], 2);
    if (!matrix) {
      raise(PyExc_ValueError, "query_embeddings must be a 2-D numpy array (float32 or float64)");
    }
    rows.reserve(matrix->rows());
    for (std::size_t i = 0; i < matrix->rows(); ++i) rows.push_back(matrix->row_f64(i));
  }
  const std::optional<PropertyMap> filter = read_filter(filter_dict);
  const std::vector<std::vector<SearchResult>> results = released([&] {
    return read_engine(db.engine, [&](const NorvaneEngine& e) {
      std::vector<std::vector<SearchResult>> all;
      all.reserve(rows.size());
      for (const std::vector<double>& row : rows) {
        all.push_back(e.search_with_filter_and_ann(row, n_results, filter, list_size, use_ann));
      }
      return all;
    });
  });
  nb::object out = nb::steal(PyList_New(static_cast<Py_ssize_t>(results.size())));
  if (!out.is_valid()) raise_pending();
  for (std::size_t i = 0; i < results.size(); ++i) {
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i),
                    hits_to_py(results[i], kIncludeAll).release().ptr());
  }
  return out;
}

nb::object get_body(Database& db, PyObject* args, PyObject* kwargs) {
  Args a("get", {"id"}, 1, args, kwargs);
  const std::string id = arg_str(a[0], "id");
  const std::optional<GetResult> record = released(
      [&] { return read_engine(db.engine, [&](const NorvaneEngine& e) { return e.get(id); }); });
  if (!record) return nb::none();
  return get_result_to_py(*record);
}

nb::object get_many_body(Database& db, PyObject* args, PyObject* kwargs) {
  Args a("get_many", {"ids"}, 1, args, kwargs);
  const std::vector<std::string> ids = arg_str_seq(a[0], "ids");
  const std::vector<std::optional<GetResult>> records = released([&] {
    return read_engine(db.engine, [&](const NorvaneEngine& e) { return e.get_many(ids); });
  });
  nb::object list = nb::steal(PyList_New(static_cast<Py_ssize_t>(records.size())));
  if (!list.is_valid()) raise_pending();
  for (std::size_t i = 0; i < records.size(); ++i) {
    nb::object item = records[i] ? get_result_to_py(*records[i]) : nb::none();
    PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), item.release().ptr());
  }
  return list;
}

nb::object list_all_body(Database& db) {
  // Keeps the interpreter lock: see database.h for why this cannot deadlock.
  const std::vector<std::string> ids =
      read_engine(db.engine, [](const NorvaneEngine& e) { return e.list_all_ids(); });
  return strings_to_py(ids);
}

nb::object list_ids_body(Database& db, PyObject* args, PyObject* kwargs) {
  Args a("list_ids", {"where_filter", "limit", "offset"}, 0, args, kwargs);
  PyObject* filter_dict = arg_opt_dict(a[0], "where_filter");
  const std::optional<std::uint64_t> limit = arg_opt_u64(a[1], "limit");
  const std::uint64_t offset = arg_u64(a[2], "offset", 0);
  const std::optional<PropertyMap> filter = read_filter(filter_dict);
  const std::vector<std::string> ids = released([&] {
    return read_engine(db.engine, [&](const NorvaneEngine& e) {
      return e.list_with_filter_page(filter, limit, offset);
    });
  });
  return strings_to_py(ids);
}

nb::object count_body(Database& db, PyObject* args, PyObject* kwargs) {
  Args a("count", {"filter"}, 0, args, kwargs);
  PyObject* filter_dict = arg_opt_dict(a[0], "filter");
  const std::optional<PropertyMap> filter = read_filter(filter_dict);
  const std::uint64_t count = released([&] {
    return read_engine(db.engine,
                       [&](const NorvaneEngine& e) { return e.count_with_filter(filter); });
  });
  return nb::steal(PyLong_FromUnsignedLongLong(count));
}

nb::object list_metadata_values_body(Database& db, PyObject* args, PyObject* kwargs) {
  Args a("list_metadata_values", {"field"}, 1, args, kwargs);
  const std::string field = arg_str(a[0], "field");
  const auto counts = released([&] {
    return read_engine(db.engine,
                       [&](const NorvaneEngine& e) { return e.list_metadata_values(field); });
  });
  nb::object dict = nb::steal(PyDict_New());
  if (!dict.is_valid()) raise_pending();
  for (const auto& [text, count] : counts) {
    nb::object value = nb::steal(PyLong_FromUnsignedLongLong(count));
    if (PyDict_SetItem(dict.ptr(), str_to_py(text).ptr(), value.ptr()) != 0) raise_pending();
  }
  return dict;
}

}  // namespace

PyMethodDef kCountDef = method_def<count_body>("count", doc::kCount);
PyMethodDef kGetDef = method_def<get_body>("get", doc::kGet);
PyMethodDef kGetManyDef = method_def<get_many_body>("get_many", doc::kGetMany);
PyMethodDef kListAllDef = noargs_def<list_all_body>("list_all", doc::kListAll);
PyMethodDef kSearchDef = method_def<search_body>("search", doc::kSearch);
PyMethodDef kQueryDef = method_def<query_body>("query", doc::kQuery);
PyMethodDef kListIdsDef = method_def<list_ids_body>("list_ids", doc::kListIds);
PyMethodDef kListMetadataValuesDef =
    method_def<list_metadata_values_body>("list_metadata_values", doc::kListMetadataValues);

Py_ssize_t database_len(PyObject* self) {
  try {
    Database& db = database_of(self);
    // Keeps the interpreter lock, like stats and list_all.
    const std::uint64_t count = read_engine(
        db.engine, [](const NorvaneEngine& e) { return e.count_with_filter(std::nullopt); });
    if (count > static_cast<std::uint64_t>(std::numeric_limits<Py_ssize_t>::max())) {
      PyErr_SetString(PyExc_OverflowError, "cannot fit 'int' into an index-sized integer");
      return -1;
    }
    return static_cast<Py_ssize_t>(count);
  } catch (...) {
    set_python_error();
    return -1;
  }
}

int database_contains(PyObject* self, PyObject* id_obj) {
  try {
    Database& db = database_of(self);
    const std::string id = arg_str(id_obj, "id");
    const bool found = released([&] {
      return read_engine(db.engine, [&](const NorvaneEngine& e) { return e.get(id).has_value(); });
    });
    return found ? 1 : 0;
  } catch (...) {
    set_python_error();
    return -1;
  }
}

}  // namespace norvex::python
