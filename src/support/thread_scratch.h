// Per-thread working storage without C++ thread_local.
//
// The module is loaded with dlopen, so its thread_local variables would live
// in dynamic TLS: glibc allocates that block on a thread's first access to
// it, and registers the destructors of its objects then, and when either
// allocation fails it aborts the whole process ("cannot allocate memory for
// thread-local data: ABORT") instead of reporting an error. Under an
// address-space limit a worker of the pool meets that on its first task.
//
// thread_scratch<T>() keeps one T per thread behind a POSIX thread key
// instead: the first call on a thread makes it with operator new, whose
// failure is a std::bad_alloc that the entry point turns into MemoryError,
// and the key's destructor frees it when the thread ends. Keys hold their
// values in the thread's own descriptor, so later calls allocate nothing.
#pragma once

#include <memory>
#include <new>

#include <pthread.h>

namespace kovalith {

template <class T>
T& thread_scratch() {
  struct Key {
    pthread_key_t key{};
    Key() {
      if (pthread_key_create(&key, [](void* value) { delete static_cast<T*>(value); }) != 0) {
        throw std::bad_alloc();
      }
    }
  };
  static const Key slot;  // once per process; a failed creation is retried by the next call
  if (void* value = pthread_getspecific(slot.key)) return *static_cast<T*>(value);
  auto made = std::make_unique<T>();
  if (pthread_setspecific(slot.key, made.get()) != 0) throw std::bad_alloc();
  return *made.release();
}

}  // namespace kovalith
