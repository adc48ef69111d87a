// The extension module norvex._core: the Database class, its lifecycle methods (open, flush,
// close, stats), the context-manager protocol, repr, and the translation of failures.
//
// The class is a nanobind class (instance storage, final, no constructor); its methods are
// CPython method descriptors so that each carries a text signature (inspect.signature works).
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "python/args.h"
#include "python/convert.h"
#include "python/database.h"
#include "python/docstrings.h"
#include "storage/manifest.h"

namespace norvex::python {

namespace {

using storage::DistanceMetric;
using storage::RerankPrecision;
using storage::engine::EngineStats;
using storage::engine::OpenOptions;

PyObject* g_internal_fault = nullptr;

nb::object lower(PyObject* str) {
  nb::object lowered = nb::steal(PyObject_CallMethod(str, "lower", nullptr));
  if (!lowered.is_valid()) raise_pending();
  return lowered;
}

// Creates `dir` and its missing parents (mode 0777 before the umask); OSError on failure.
void create_directory(const std::string& dir) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    errno = ec.value();
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, dir.c_str());
    raise_pending();
  }
}

nb::object open_body(PyObject* args, PyObject* kwargs) {
  Args a("open",
         {"path", "dimension", "bits", "seed", "metric", "rerank", "fast_mode", "rerank_precision",
          "collection", "wal_flush_threshold", "normalize"},
         1, args, kwargs);
  const std::string path = arg_str(a[0], "path");
  std::optional<std::uint64_t> dimension = arg_opt_u64(a[1], "dimension");
  std::uint64_t bits = arg_u64(a[2], "bits", 4);
  std::uint64_t seed = arg_u64(a[3], "seed", 42);
  nb::object metric = a[4] == nullptr ? nb::str("ip") : nb::borrow(a[4]);
  arg_str(metric.ptr(), "metric");
  const bool rerank = arg_bool(a[5], "rerank", true);
  const bool fast_mode = arg_bool(a[6], "fast_mode", false);
  PyObject* precision = arg_opt_str_obj(a[7], "rerank_precision");
  const std::optional<std::string> collection = arg_opt_str(a[8], "collection");
  const std::optional<std::uint64_t> wal_flush_threshold = arg_opt_u64(a[9], "wal_flush_threshold");
  const bool normalize = arg_bool(a[10], "normalize", false);
  // A zero-dimensional database cannot hold anything; refuse it before touching the disk.
  if (dimension && *dimension == 0) raise(PyExc_ValueError, "dimension must be at least 1");
  // An empty path would put the database files at the file-system root.
  if (path.empty()) raise(PyExc_ValueError, "path must not be empty");
  // A NUL byte would cut the path short in the system calls: the files would land elsewhere.
  if (path.find('\0') != std::string::npos ||
      (collection && collection->find('\0') != std::string::npos)) {
    raise(PyExc_ValueError, "embedded null byte");
  }

  std::string dir = path;
  if (collection && !collection->empty()) {
    dir = (std::filesystem::path(path) / *collection).string();
  }
  create_directory(dir);
  const std::string manifest_path = dir + "/manifest.json";

  if (!dimension) {
    struct stat st{};
    if (::stat(manifest_path.c_str(), &st) != 0) {
      raise(PyExc_ValueError, "dimension is required when opening a new database");
    }
    storage::Manifest manifest = storage::Manifest::load(manifest_path);
    dimension = manifest.d;
    bits = manifest.b;
    seed = manifest.seed;
    metric = nb::str(storage::metric_key(manifest.metric));
  }

  const std::string metric_lower = to_utf8(lower(metric.ptr()).ptr());
  const std::optional<DistanceMetric> metric_value = storage::metric_from_key(metric_lower);
  if (!metric_value) raise(PyExc_ValueError, "Invalid metric: " + to_utf8(metric.ptr()));

  RerankPrecision precision_value = RerankPrecision::kDisabled;
  if (precision != nullptr) {
    const std::string p = to_utf8(lower(precision).ptr());
    if (p == "f16" || p == "half") {
      precision_value = RerankPrecision::kF16;
    } else if (p == "f32" || p == "full" || p == "float") {
      precision_value = RerankPrecision::kF32;
    } else if (p == "none" || p == "dequant" || p == "disabled") {
      precision_value = RerankPrecision::kDisabled;
    } else {
      raise(PyExc_ValueError, "Invalid rerank_precision: '" + p +
                                  "'. Use 'f16', 'f32', or None (dequant reranking).");
    }
  }

  OpenOptions options;
  options.uri = dir;
  options.local_dir = dir;
  options.d = *dimension;
  options.b = bits;
  options.seed = seed;
  options.metric = *metric_value;
  options.rerank = rerank;
  options.fast_mode = fast_mode;
  options.rerank_precision = precision_value;
  options.wal_flush_threshold = wal_flush_threshold;
  options.normalize = normalize;
  // The engine's opening work runs with the interpreter lock held: there is no lock yet.
  auto handle = std::make_shared<LockCell>();
  handle->engine = NorvaneEngine::open_with_options(options);
  return nb::cast(Database{std::move(handle)}, nb::rv_policy::move);
}

PyObject* open_function(PyObject* /*self*/, PyObject* args, PyObject* kwargs) {
  try {
    return open_body(args, kwargs).release().ptr();
  } catch (...) {
    set_python_error();
    return nullptr;
  }
}

PyMethodDef kOpenDef = {"open",
                        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(open_function)),
                        METH_VARARGS | METH_KEYWORDS, doc::kOpen};

nb::object flush_body(Database& db) {
  released([&] { write_engine(db.engine, [](NorvaneEngine& e) { e.flush_wal_to_segment(); }); });
  return nb::none();
}

nb::object close_body(Database& db) {
  released([&] { write_engine(db.engine, [](NorvaneEngine& e) { e.close(); }); });
  return nb::none();
}

nb::object stats_body(Database& db) {
  // Keeps the interpreter lock: a writer never waits for it while holding the engine lock.
  const EngineStats s = read_engine(db.engine, [](const NorvaneEngine& e) { return e.stats(); });
  nb::object dict = nb::steal(PyDict_New());
  if (!dict.is_valid()) raise_pending();
  auto put = [&](const char* key, PyObject* value) {
    nb::object v = nb::steal(value);
    if (!v.is_valid() || PyDict_SetItemString(dict.ptr(), key, v.ptr()) != 0) raise_pending();
  };
  auto put_u64 = [&](const char* key, std::uint64_t value) {
    put(key, PyLong_FromUnsignedLongLong(value));
  };
  put_u64("vector_count", s.vector_count);
  put_u64("segment_count", s.segment_count);
  put_u64("buffered_vectors", s.buffered_vectors);
  put_u64("dimension", s.dimension);
  put_u64("bits", s.bits);
  put_u64("total_disk_bytes", s.total_disk_bytes);
  put("has_index", PyBool_FromLong(s.has_index ? 1 : 0));
  put_u64("index_nodes", s.index_nodes);
  put_u64("live_codes_bytes", s.live_codes_bytes);
  put_u64("live_slot_count", s.live_slot_count);
  put_u64("live_id_count", s.live_id_count);
  put_u64("live_vectors_count", s.live_vectors_count);
  put_u64("live_vectors_bytes_estimate", s.live_vectors_bytes_estimate);
  put_u64("metadata_entries", s.metadata_entries);
  put_u64("metadata_bytes_estimate", s.metadata_bytes_estimate);
  put_u64("ann_slot_count", s.ann_slot_count);
  put_u64("graph_nodes", s.graph_nodes);
  put_u64("ram_estimate_bytes",
          s.live_codes_bytes + s.live_vectors_bytes_estimate + s.metadata_bytes_estimate);
  return dict;
}

PyObject* enter_function(PyObject* self, PyObject* /*unused*/) {
  try {
    database_of(self);
  } catch (...) {
    set_python_error();
    return nullptr;
  }
  Py_INCREF(self);
  return self;
}

PyObject* exit_function(PyObject* self, PyObject* args) {
  try {
    Database& db = database_of(self);
    const bool unwinding = PyTuple_GET_SIZE(args) > 0 && PyTuple_GET_ITEM(args, 0) != Py_None;
    try {
      close_body(db);
    } catch (const LockPoisoned&) {
      // Let the exception that left the block (most likely the fault itself) propagate.
      if (!unwinding) throw;
    }
    Py_RETURN_FALSE;
  } catch (...) {
    set_python_error();
    return nullptr;
  }
}

PyMethodDef kEnterDef = {"__enter__", enter_function, METH_NOARGS, "__enter__($self)\n--\n\n"};
PyMethodDef kExitDef = {"__exit__", exit_function, METH_VARARGS,
                        "__exit__($self, exc_type, exc_value, traceback)\n--\n\n"
                        "Close the database (flush and trim its files)."};

PyObject* database_repr(PyObject* self) {
  try {
    Database& db = database_of(self);
    struct Summary {
      std::string path;
      std::uint64_t dimension = 0;
      DistanceMetric metric = DistanceMetric::kIp;
      std::uint64_t count = 0;
      bool poisoned = false;
    };
    const Summary s = released([&] {
      std::shared_lock lock(db.engine->mutex);
      Summary out;
      const NorvaneEngine& e = *db.engine->engine;
      out.path = e.local_dir();
      out.poisoned = db.engine->poisoned;
      if (!out.poisoned) {
        out.dimension = e.dimension();
        out.metric = e.metric();
        out.count = e.count_with_filter(std::nullopt);
      }
      return out;
    });
    nb::str path(s.path.data(), s.path.size());
    if (s.poisoned) {
      return PyUnicode_FromFormat("Database(path=%R, poisoned=True)", path.ptr());
    }
    return PyUnicode_FromFormat("Database(path=%R, dimension=%llu, metric='%s', count=%llu)",
                                path.ptr(), static_cast<unsigned long long>(s.dimension),
                                storage::metric_key(s.metric),
                                static_cast<unsigned long long>(s.count));
  } catch (...) {
    set_python_error();
    return nullptr;
  }
}

#ifdef NORVEX_TEST_HOOKS
// Test-only: an internal invariant violation under each kind of lock.
nb::object fault_under_write_lock_body(Database& db) {
  released([&] {
    write_engine(db.engine, [](NorvaneEngine&) { NVX_FAULT("forced fault (test hook)"); });
  });
  return nb::none();
}

nb::object fault_under_read_lock_body(Database& db) {
  released([&] {
    read_engine(db.engine, [](const NorvaneEngine&) { NVX_FAULT("forced fault (test hook)"); });
  });
  return nb::none();
}

PyMethodDef kFaultWriteDef = noargs_def<fault_under_write_lock_body>(
    "_fault_under_write_lock", "_fault_under_write_lock($self)\n--\n\n");
PyMethodDef kFaultReadDef = noargs_def<fault_under_read_lock_body>(
    "_fault_under_read_lock", "_fault_under_read_lock($self)\n--\n\n");
#endif

PyMethodDef kFlushDef = noargs_def<flush_body>("flush", doc::kFlush);
PyMethodDef kCloseDef = noargs_def<close_body>("close", doc::kClose);
PyMethodDef kStatsDef = noargs_def<stats_body>("stats", doc::kStats);

void add_method(PyObject* type, PyMethodDef* def) {
  nb::object descr = nb::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(type), def));
  if (!descr.is_valid() || PyObject_SetAttrString(type, def->ml_name, descr.ptr()) != 0) {
    raise_pending();
  }
}

void add_static_method(PyObject* type, PyMethodDef* def) {
  nb::object function = nb::steal(PyCFunction_NewEx(def, nullptr, nullptr));
  if (!function.is_valid()) raise_pending();
  nb::object wrapper = nb::steal(PyStaticMethod_New(function.ptr()));
  if (!wrapper.is_valid() || PyObject_SetAttrString(type, def->ml_name, wrapper.ptr()) != 0) {
    raise_pending();
  }
}

PyType_Slot kDatabaseSlots[] = {
    {Py_mp_length, reinterpret_cast<void*>(database_len)},
    {Py_sq_contains, reinterpret_cast<void*>(database_contains)},
    {Py_tp_repr, reinterpret_cast<void*>(database_repr)},
    {0, nullptr},
};

}  // namespace

PyObject* internal_fault_type() { return g_internal_fault; }

void to_py_runtime(const Error& error) noexcept {
  PyErr_SetString(PyExc_RuntimeError, error.what());
}

void set_python_error() noexcept {
  try {
    throw;
  } catch (nb::python_error& e) {
    e.restore();
  } catch (const LockPoisoned&) {
    PyErr_SetString(PyExc_RuntimeError, kPoisonedMessage);
  } catch (const Error& e) {
    to_py_runtime(e);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    // A Fault, or any exception the engine does not promise: a bug, never swallowed.
    PyErr_SetString(g_internal_fault, e.what());
  } catch (...) {
    PyErr_SetString(g_internal_fault, "unknown C++ exception");
  }
}

Database& database_of(PyObject* self) {
  if (!nb::inst_ready(self)) {
    raise(PyExc_TypeError, "Database object is not initialised; use Database.open()");
  }
  return *nb::inst_ptr<Database>(self);
}

}  // namespace norvex::python

NB_MODULE(_core, m) {
  namespace py = norvex::python;
  namespace nb = nanobind;
  using py::Database;
  m.doc() = "";

  py::g_internal_fault = PyErr_NewExceptionWithDoc(
      "norvex.InternalFault",
      "An internal invariant of norvex was violated (a bug). Derived from BaseException so that\n"
      "`except Exception` does not swallow it; a fault during a write poisons the Database.",
      PyExc_BaseException, nullptr);
  if (py::g_internal_fault == nullptr) throw nb::python_error();

  nb::class_<Database> cls(m, "Database", py::doc::kClass, nb::type_slots(py::kDatabaseSlots),
                           nb::is_final());
  cls.def("__init__",
          [](Database*, nb::args, nb::kwargs) { throw nb::type_error("No constructor defined"); });
  cls.attr("__module__") = "norvex";

  PyObject* type = cls.ptr();
  py::add_static_method(type, &py::kOpenDef);
  for (PyMethodDef* def : {&py::kInsertDef,
                           &py::kInsertBatchDef,
                           &py::kUpsertDef,
                           &py::kUpdateDef,
                           &py::kDeleteDef,
                           &py::kDeleteBatchDef,
                           &py::kCountDef,
                           &py::kGetDef,
                           &py::kGetManyDef,
                           &py::kListAllDef,
                           &py::kSearchDef,
                           &py::kCreateIndexDef,
                           &py::kStatsDef,
                           &py::kFlushDef,
                           &py::kCloseDef,
                           &py::kUpdateMetadataDef,
                           &py::kQueryDef,
                           &py::kListIdsDef,
                           &py::kListMetadataValuesDef,
                           &py::kEnterDef,
                           &py::kExitDef}) {
    py::add_method(type, def);
  }
#ifdef NORVEX_TEST_HOOKS
  py::add_method(type, &py::kFaultWriteDef);
  py::add_method(type, &py::kFaultReadDef);
#endif

  m.attr("NorvaneDB") = m.attr("Database");
}
