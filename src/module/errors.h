// Error translation at the Python boundary.
//
// Native code reports failure as kovalith::Error values; raise_error maps the
// kind onto the Python exception class. Every entry point runs its body under
// guarded(), so no C++ exception ever unwinds into the interpreter:
// std::bad_alloc becomes MemoryError, anything else RuntimeError.
#pragma once

#include "module/py_ref.h"
#include "records/error.h"
#include "support/interrupt.h"

#include <new>
#include <type_traits>

namespace kovalith::py {

// Sets the Python exception for a native error; returns nullptr for chaining.
PyObject* raise_error(const Error& error) noexcept;

// An Interrupt for one call, made on the calling thread: it runs the
// interpreter's signal handlers and asks to stop when one of them raised.
// (Defined beside kovalith._interrupt_after, the test hook that can make one
// of its polls raise SIGINT.)
Interrupt python_interrupt();

// Attaches the note "while processing '{name}'" to the pending exception,
// unless it already carries that very note.
void add_argument_note(const char* name) noexcept;

// Sets the Python exception for the C++ exception being handled.
void translate_current_exception() noexcept;

// Runs `body` and turns a C++ exception into a Python one. The failure value
// is what the C-API slot expects on error: nullptr for objects, -1 for ints.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
  using R = decltype(body());
  static_assert(std::is_pointer_v<R> || std::is_same_v<R, int>,
                "entry points return an object pointer or a status int");
  try {
    return body();
  } catch (...) {
    translate_current_exception();
    if constexpr (std::is_pointer_v<R>) {
      return nullptr;
    } else {
      return -1;
    }
  }
}

}  // namespace kovalith::py
