#include "module/errors.h"

#include <exception>
#include <string>

namespace kovalith::py {

PyObject* raise_error(const Error& error) noexcept {
  if (error.kind == ErrorKind::interrupted) {
    // The signal handler's exception (KeyboardInterrupt, say) is pending.
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
    return nullptr;
  }
  PyObject* type = error.kind == ErrorKind::index ? PyExc_IndexError : PyExc_ValueError;
  PyErr_SetString(type, error.message.c_str());
  return nullptr;
}

void add_argument_note(const char* name) noexcept {
  if (!PyErr_Occurred()) return;
  ErrorScope pending;
  if (pending.value() == nullptr) return;
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
  if (!note) {
    PyErr_Clear();
    return;
  }
  // A failure that passed through the same parameter at every level of a
  // recursion (a __float__ that calls back into the method) is noted once.
  PyRef notes = PyRef::steal(PyObject_GetAttrString(pending.value(), "__notes__"));
  if (!notes) {
    PyErr_Clear();
  } else if (PyList_Check(notes.get())) {
    const int present = PySequence_Contains(notes.get(), note.get());
    if (present != 0) {
      if (present < 0) PyErr_Clear();
      return;
    }
  }
  PyRef result;
  if (note) result = PyRef::steal(PyObject_CallMethod(pending.value(), "add_note", "O", note.get()));
  // A failure to attach the note must not replace the error being reported.
  if (!result) PyErr_Clear();
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unknown internal error");
  }
}

}  // namespace kovalith::py
