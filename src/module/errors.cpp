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
