// The process-wide worker pool of the graph build.
//
// for_each_index runs body(k) for every k in [0, n), one index at a time from
// a shared counter, on the worker pool (started on first use, one worker per
// processor in the process's CPU affinity mask but one, kept for the
// process's life) and the calling thread, and returns when every index that
// was started has finished.
//
// Workers that could not be started (thread creation failed, e.g. under an
// address-space limit, or the new thread found too little memory to set
// itself up and ended) are started again at the next call, so a passing
// shortage of resources costs parallelism only while it lasts. With no worker
// at all the loop runs on the calling thread. A new worker first checks that
// it has room to set itself up (the runtime aborts the process when a
// thread's own storage cannot be allocated) and ends cleanly if not; per-
// thread working storage is best taken from thread_scratch
// (support/thread_scratch.h), whose failure is a std::bad_alloc.
//
// Interrupts: the interrupt is polled before every index; when the calling
// thread owns it (it made it, and holds the interpreter lock), the calling
// thread also keeps polling once it has no index left, while the workers
// finish theirs, however long those take. Once the interrupt has stopped, no
// further index is started, and the call returns false after the running ones
// end (a body that runs long should poll the same interrupt itself). Without a
// stop the call returns true.
//
// The pool does not survive fork(): a forked child inherits the pool's
// bookkeeping but none of its threads, and handing it work could wait forever.
// The pool therefore belongs to the process that first used it; in any other
// process (a fork child) the loop runs serially on the calling thread. The
// results are the same either way, since each index writes only its own slot.
//
// Exceptions thrown by body are propagated to the caller (the first one; no
// further index is started).
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>

#include "support/interrupt.h"

namespace kovalith {

enum class Execution {
  pool,    // the worker pool (serial in a fork child)
  serial,  // the calling thread only, in index order
};

bool for_each_index(std::size_t n, const std::function<void(std::size_t)>& body,
                    Execution execution = Execution::pool, Interrupt* interrupt = nullptr);

// Runs the tasks, concurrently on the worker pool when it may be used (each
// task may itself call for_each_index), else one after the other in order.
// False when the interrupt stopped them (some may not have run).
bool run_together(std::initializer_list<std::function<void()>> tasks,
                  Execution execution = Execution::pool, Interrupt* interrupt = nullptr);

}  // namespace kovalith
