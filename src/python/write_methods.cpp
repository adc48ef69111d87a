// The Database methods that change a database: insert, insert_batch, upsert, update,
// update_metadata, delete, delete_batch and create_index.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "python/args.h"
#include "python/convert.h"
#include "python/database.h"
#include "python/docstrings.h"

namespace norvex::python {
namespace {

using storage::engine::BatchWriteItem;
using storage::engine::WriteMode;

// Rows per engine call of insert_batch: the write lock is taken once per chunk, so readers
// and writers of other threads get a turn between chunks of a large batch.
constexpr std::size_t kBatchChunkRows = 2000;

using VectorWrite = void (NorvaneEngine::*)(const std::string&, std::span<const double>,
                                            const PropertyMap&, const std::optional<std::string>&);

// insert, upsert and update: one shape, three engine operations.
template <VectorWrite Op>
nb::object vector_write(const char* func, Database& db, PyObject* args, PyObject* kwargs) {
  Args a(func, {"id", "vector", "metadata", "document"}, 2, args, kwargs);
  std::string id = arg_str(a[0], "id");
  PyObject* metadata = arg_opt_dict(a[2], "metadata");
  std::optional<std::string> document = arg_opt_str(a[3], "document");
  std::vector<double> vector = extract_vector(a[1]);
  PropertyMap properties = parse_pydict(metadata);
  released([&] {
    write_engine(db.engine, [&](NorvaneEngine& e) { (e.*Op)(id, vector, properties, document); });
  });
  return nb::none();
}

nb::object insert_body(Database& db, PyObject* args, PyObject* kwargs) {
  return vector_write<&NorvaneEngine::insert_with_document>("insert", db, args, kwargs);
}

nb::object upsert_body(Database& db, PyObject* args, PyObject* kwargs) {
  return vector_write<&NorvaneEngine::write_vector_entry>("upsert", db, args, kwargs);
}

nb::object update_body(Database& db, PyObject* args, PyObject* kwargs) {
  return vector_write<&NorvaneEngine::update_with_document>("update", db, args, kwargs);
}

WriteMode parse_mode(PyObject* mode) {
  nb::object lower = nb::steal(PyObject_CallMethod(mode, "lower", nullptr));
  if (!lower.is_valid()) raise_pending();
  const std::string m = to_utf8(lower.ptr());
  if (m == "insert") return WriteMode::kInsert;
  if (m == "upsert") return WriteMode::kUpsert;
  if (m == "update") return WriteMode::kUpdate;
  raise(PyExc_ValueError, "Invalid mode");
}

nb::object insert_batch_body(Database& db, PyObject* args, PyObject* kwargs) {
  Args a("insert_batch", {"ids", "vectors", "metadatas", "documents", "mode"}, 2, args, kwargs);
  std::vector<std::string> ids = arg_str_seq(a[0], "ids");
  PyObject* metadatas = a[2] == Py_None ? nullptr : a[2];
  PyObject* documents = a[3] == Py_None ? nullptr : a[3];
  PyObject* mode_obj = a[4];
  if (mode_obj != nullptr) {
    // Checked for its type now, examined after the arguments.
    arg_str(mode_obj, "mode");
  }

  const WriteMode mode = mode_obj == nullptr ? WriteMode::kInsert : parse_mode(mode_obj);
  ArrayView vectors = extract_matrix(a[1]);
  const std::size_t n = vectors.rows();
  if (ids.size() != n) raise(PyExc_ValueError, "mismatch");
  std::vector<PropertyMap> properties = parse_metadata_rows(metadatas, n);
  std::vector<std::optional<std::string>> docs = parse_document_rows(documents, n);

  for (std::size_t start = 0; start < n; start += kBatchChunkRows) {
    const std::size_t end = std::min(n, start + kBatchChunkRows);
    // The flush threshold is checked once, after the last chunk: a large batch is not
    // interrupted by a flush every few chunks.
    const bool last = end == n;
    std::vector<BatchWriteItem> items;
    items.reserve(end - start);
    for (std::size_t i = start; i < end; ++i) {
      items.push_back(BatchWriteItem{std::move(ids[i]), vectors.row_f32(i),
                                     std::move(properties[i]), std::move(docs[i])});
    }
    released([&] {
      write_engine(db.engine,
                   [&](NorvaneEngine& e) { e.insert_many_with_mode(std::move(items), mode, last); });
    });
  }
  return nb::none();
}

nb::object update_metadata_body(Database& db, PyObject* args, PyObject* kwargs) {
  Args a("update_metadata", {"id", "metadata", "document"}, 1, args, kwargs);
  std::string id = arg_str(a[0], "id");
  PyObject* metadata = arg_opt_dict(a[1], "metadata");
  std::optional<std::string> document = arg_opt_str(a[2], "document");
  PropertyMap properties = parse_pydict(metadata);
  released([&] {
    write_engine(db.engine,
                 [&](NorvaneEngine& e) { e.update_metadata_only(id, properties, document); });
  });
  return nb::none();
}

nb::object delete_body(Database& db, PyObject* args, PyObject* kwargs) {
  Args a("delete", {"id"}, 1, args, kwargs);
  std::string id = arg_str(a[0], "id");
  const bool removed = released(
      [&] { return write_engine(db.engine, [&](NorvaneEngine& e) { return e.delete_id(id); }); });
  return nb::borrow(removed ? Py_True : Py_False);
}

nb::object delete_batch_body(Database& db, PyObject* args, PyObject* kwargs) {
  Args a("delete_batch", {"ids", "where_filter"}, 0, args, kwargs);
  std::vector<std::string> ids = arg_str_seq(a[0], "ids");
  PyObject* where = arg_opt_dict(a[1], "where_filter");
  const bool has_filter = where != nullptr;
  PropertyMap filter = parse_pydict(where);
  const std::uint64_t deleted = released([&] {
    return write_engine(db.engine, [&](NorvaneEngine& e) {
      std::uint64_t count = 0;
      if (!ids.empty()) count += e.delete_batch(ids);
      // Passed even when empty: an explicit {} deletes what an empty filter matches.
      if (has_filter) count += e.delete_where(filter);
      return count;
    });
  });
  return nb::steal(PyLong_FromUnsignedLongLong(deleted));
}

nb::object create_index_body(Database& db, PyObject* args, PyObject* kwargs) {
  Args a("create_index",
         {"max_degree", "ef_construction", "search_list_size", "alpha", "n_refinements"}, 0, args,
         kwargs);
  const std::uint64_t max_degree = arg_opt_u64(a[0], "max_degree").value_or(32);
  const std::uint64_t ef_construction = arg_opt_u64(a[1], "ef_construction").value_or(200);
  const std::uint64_t search_list_size = arg_opt_u64(a[2], "search_list_size").value_or(128);
  const double alpha = arg_opt_f64(a[3], "alpha").value_or(1.2);
  const std::uint64_t n_refinements = arg_opt_u64(a[4], "n_refinements").value_or(5);
  released([&] {
    write_engine(db.engine, [&](NorvaneEngine& e) {
      e.create_index_with_params(max_degree, ef_construction, search_list_size, alpha,
                                 n_refinements);
    });
  });
  return nb::none();
}

}  // namespace

PyMethodDef kInsertDef = method_def<insert_body>("insert", doc::kInsert);
PyMethodDef kInsertBatchDef = method_def<insert_batch_body>("insert_batch", doc::kInsertBatch);
PyMethodDef kUpsertDef = method_def<upsert_body>("upsert", doc::kUpsert);
PyMethodDef kUpdateDef = method_def<update_body>("update", doc::kUpdate);
PyMethodDef kDeleteDef = method_def<delete_body>("delete", doc::kDelete);
PyMethodDef kDeleteBatchDef = method_def<delete_batch_body>("delete_batch", doc::kDeleteBatch);
PyMethodDef kCreateIndexDef = method_def<create_index_body>("create_index", doc::kCreateIndex);
PyMethodDef kUpdateMetadataDef =
    method_def<update_metadata_body>("update_metadata", doc::kUpdateMetadata);

}  // namespace norvex::python
