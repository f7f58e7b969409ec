// RAII over CPython references, so reference counting stays out of sight.
//
// PyRef owns one strong reference. Construction is explicit about ownership:
// PyRef::steal takes over a reference the caller already owns (the result of
// a "new reference" API), PyRef::borrow adds one. release() hands the
// reference back to the caller, e.g. as a function's return value.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kovalith::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* obj) noexcept { return PyRef(obj); }
  static PyRef borrow(PyObject* obj) noexcept {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(const PyRef& other) noexcept : obj_(other.obj_) { Py_XINCREF(obj_); }
  PyRef(PyRef&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  PyRef& operator=(PyRef other) noexcept {
    std::swap(obj_, other.obj_);
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* obj) noexcept : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

// Takes the pending exception (normalized) for the scope and restores it on
// exit, for code that must call into the interpreter while an error is being
// propagated. Errors raised inside the scope are the scope's to clear.
class ErrorScope {
 public:
  ErrorScope() noexcept {
    PyErr_Fetch(&type_, &value_, &traceback_);
    PyErr_NormalizeException(&type_, &value_, &traceback_);
    if (value_ != nullptr && traceback_ != nullptr) PyException_SetTraceback(value_, traceback_);
  }
  ~ErrorScope() { PyErr_Restore(type_, value_, traceback_); }
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;

  // The exception object; nullptr when none was pending.
  PyObject* value() const noexcept { return value_; }

 private:
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* traceback_ = nullptr;
};

// Suspends the cyclic garbage collector for a scope that builds many new
// container objects no other code can reach yet.
class GcPause {
 public:
  GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

}  // namespace kovalith::py
