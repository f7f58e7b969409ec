// Private entry points for the test suite.
//
// _interrupt_after(polls) makes a later native call stop as a Ctrl-C would,
// at a chosen poll of its interrupt, instead of racing a timer against it:
// the signal is raised through the interpreter's own machinery
// (PyErr_SetInterruptEx), so the handler that runs, the exception that ends
// the call and everything the call undoes are those of a real Ctrl-C.
#include "graph/building_search.h"
#include "module/errors.h"
#include "module/private_functions.h"

#include <csignal>
#include <cstdint>

namespace kovalith::py {
namespace {

// Polls left before the requested interrupt; 0 when none is requested. Read
// and written only by threads holding the interpreter lock (the calling
// thread of a native call, which is the only one whose poll runs the check).
std::int64_t polls_before_interrupt = 0;

bool check_signals_counting() {
  if (polls_before_interrupt > 0 && --polls_before_interrupt == 0) PyErr_SetInterruptEx(SIGINT);
  return PyErr_CheckSignals() != 0;
}

// The argument as a count, or false with ValueError/TypeError set.
bool to_count(PyObject* arg, const char* name, long long& out) {
  out = PyLong_AsLongLong(arg);
  if (out == -1 && PyErr_Occurred()) return false;
  if (out < 0) {
    PyErr_Format(PyExc_ValueError, "%s must not be negative", name);
    return false;
  }
  return true;
}

PyObject* interrupt_after(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    long long polls = 0;
    if (!to_count(arg, "polls", polls)) return nullptr;
    polls_before_interrupt = polls;
    Py_RETURN_NONE;
  });
}

PyObject* near_face_limit(PyObject*, PyObject* arg) {
  return guarded([&]() -> PyObject* {
    long long limit = 0;
    if (!to_count(arg, "limit", limit)) return nullptr;
    return PyLong_FromSize_t(set_near_face_limit(static_cast<std::size_t>(limit)));
  });
}

PyMethodDef testing_functions[] = {
    {"_interrupt_after", interrupt_after, METH_O,
     "_interrupt_after(polls)\n--\n\n"
     "Raise SIGINT at the polls-th interrupt poll of the native calls that\n"
     "follow, counted on the calling thread; 0 cancels. For tests."},
    {"_near_face_limit", near_face_limit, METH_O,
     "_near_face_limit(limit)\n--\n\n"
     "Set how many room faces the building compiler reads at once for one\n"
     "face before it fetches them nearest first (0: always); returns the\n"
     "previous limit. For tests."},
    {},
};

}  // namespace

Interrupt python_interrupt() {
  if (polls_before_interrupt > 0) {
    // Every poll counts, so the check runs at each one rather than once per
    // interval of time.
    return Interrupt(check_signals_counting, std::chrono::milliseconds{0});
  }
  return Interrupt([] { return PyErr_CheckSignals() != 0; });
}

int add_testing_functions(PyObject* module) noexcept {
  return PyModule_AddFunctions(module, testing_functions);
}

}  // namespace kovalith::py
