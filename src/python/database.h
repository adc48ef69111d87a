// The Database class: its instance state, the reader-writer lock around the engine, and the
// translation of C++ failures into Python exceptions.
//
// Locking rule: convert Python arguments with the interpreter lock held, then release the
// interpreter lock (released()), then take the engine lock (read_engine / write_engine), and
// take the interpreter lock back only after the engine lock is gone. So no thread ever waits
// for the interpreter lock while it holds the engine lock.
#pragma once

#include <Python.h>
#include <nanobind/nanobind.h>

#include <memory>
#include <mutex>
#include <shared_mutex>
#include <utility>

#include "common/error.h"
#include "storage/engine/engine.h"

namespace norvex::python {

namespace nb = nanobind;
using storage::engine::NorvaneEngine;

inline constexpr const char* kPoisonedMessage =
    "database lock poisoned: a previous operation panicked; re-open the database";

// The engine behind its lock. `poisoned` is set (under the exclusive lock) when a write ends
// in anything but an expected engine error, and never cleared: the engine may be half-updated.
struct LockCell {
  std::shared_mutex mutex;
  bool poisoned = false;
  std::unique_ptr<NorvaneEngine> engine;
};
using EngineHandle = std::shared_ptr<LockCell>;

// The C++ state of one Python Database object. Dropping it drops the engine without flushing.
struct Database {
  EngineHandle engine;
};

// Thrown by read_engine / write_engine on a poisoned lock.
struct LockPoisoned {};

// Runs fn(const NorvaneEngine&) under the shared lock.
template <typename Fn>
auto read_engine(const EngineHandle& handle, Fn&& fn) {
  std::shared_lock lock(handle->mutex);
  if (handle->poisoned) throw LockPoisoned{};
  return fn(static_cast<const NorvaneEngine&>(*handle->engine));
}

// Runs fn(NorvaneEngine&) under the exclusive lock. An expected engine error (norvex::Error)
// leaves the lock usable; anything else (a Fault, an allocation failure, any other exception)
// poisons it before it propagates.
template <typename Fn>
auto write_engine(const EngineHandle& handle, Fn&& fn) {
  std::unique_lock lock(handle->mutex);
  if (handle->poisoned) throw LockPoisoned{};
  try {
    return fn(*handle->engine);
  } catch (const Error&) {
    throw;
  } catch (...) {
    handle->poisoned = true;
    throw;
  }
}

// Runs fn() with the interpreter lock released. fn must not touch Python objects.
template <typename Fn>
auto released(Fn&& fn) {
  nb::gil_scoped_release release;
  return fn();
}

// The exception type of internal faults: derived from BaseException, so `except Exception`
// does not swallow a bug. Created at module initialisation.
PyObject* internal_fault_type();

// Sets the Python error for the C++ exception being handled (call only inside a catch block):
// a pending Python error is restored; LockPoisoned and engine errors become RuntimeError;
// faults and unexpected exceptions the internal-fault exception; bad_alloc MemoryError.
void set_python_error() noexcept;

// Sets RuntimeError carrying the engine error's display text, unchanged.
void to_py_runtime(const Error& error) noexcept;

// The Database behind `self`; TypeError when `self` was never initialised (Database.__new__).
Database& database_of(PyObject* self);

// Wraps a method body: the C++ signature of a METH_VARARGS | METH_KEYWORDS method whose
// failures become Python exceptions.
using MethodBody = nb::object (*)(Database& db, PyObject* args, PyObject* kwargs);

template <MethodBody Body>
PyObject* method(PyObject* self, PyObject* args, PyObject* kwargs) {
  try {
    return Body(database_of(self), args, kwargs).release().ptr();
  } catch (...) {
    set_python_error();
    return nullptr;
  }
}

// A method without arguments (METH_NOARGS).
using NoArgsBody = nb::object (*)(Database& db);

template <NoArgsBody Body>
PyObject* noargs_method(PyObject* self, PyObject* /*unused*/) {
  try {
    return Body(database_of(self)).release().ptr();
  } catch (...) {
    set_python_error();
    return nullptr;
  }
}

template <NoArgsBody Body>
PyMethodDef noargs_def(const char* name, const char* doc) {
  return {name, noargs_method<Body>, METH_NOARGS, doc};
}

template <MethodBody Body>
PyMethodDef method_def(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method<Body>)),
          METH_VARARGS | METH_KEYWORDS, doc};
}

// The method table entries of the write and read methods, in registration order.
extern PyMethodDef kInsertDef, kInsertBatchDef, kUpsertDef, kUpdateDef, kDeleteDef, kDeleteBatchDef,
    kCreateIndexDef, kUpdateMetadataDef;
extern PyMethodDef kCountDef, kGetDef, kGetManyDef, kListAllDef, kSearchDef, kQueryDef, kListIdsDef,
    kListMetadataValuesDef;

// The protocol slots of the read side.
Py_ssize_t database_len(PyObject* self);
int database_contains(PyObject* self, PyObject* id);

}  // namespace norvex::python
