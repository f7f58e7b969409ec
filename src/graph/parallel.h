// The process-wide worker pool of the graph build.
//
// for_each_index runs body(k) for every k in [0, n), one task per index at the
// finest grain, on the oneTBB pool (created on first use, one worker per
// processor in the process's CPU affinity mask, kept for the process's life)
// and returns when all tasks are done. The calling thread takes part.
//
// The pool does not survive fork(): a forked child inherits the pool's
// bookkeeping but none of its threads, and handing it work could wait forever.
// The pool therefore belongs to the process that first used it; in any other
// process (a fork child) the loop runs serially on the calling thread. The
// results are the same either way, since each index writes only its own slot.
//
// Exceptions thrown by body are propagated to the caller (the first one; the
// remaining tasks are cancelled).
#pragma once

#include <cstddef>
#include <functional>
#include <initializer_list>

namespace kovalith {

enum class Execution {
  pool,    // the worker pool (serial in a fork child)
  serial,  // the calling thread only, in index order
};

void for_each_index(std::size_t n, const std::function<void(std::size_t)>& body,
                    Execution execution = Execution::pool);

// Runs the tasks, concurrently on the worker pool when it may be used (each
// task may itself call for_each_index), else one after the other in order.
void run_together(std::initializer_list<std::function<void()>> tasks,
                  Execution execution = Execution::pool);

}  // namespace kovalith
