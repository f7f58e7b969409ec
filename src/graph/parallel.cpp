#include "graph/parallel.h"

#include <atomic>

#include <sys/types.h>
#include <unistd.h>

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_group.h>

namespace kovalith {
namespace {

// The pid of the process that owns the pool; 0 until the pool is first used.
// A fork child inherits the parent's value, which then differs from its pid.
std::atomic<pid_t> pool_owner{0};

bool claim_pool() noexcept {
  const pid_t self = getpid();
  pid_t owner = 0;
  if (pool_owner.compare_exchange_strong(owner, self)) return true;
  return owner == self;
}

}  // namespace

void for_each_index(std::size_t n, const std::function<void(std::size_t)>& body,
                    Execution execution) {
  if (n == 0) return;
  if (execution == Execution::serial || n == 1 || !claim_pool()) {
    for (std::size_t k = 0; k < n; ++k) body(k);
    return;
  }
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 1),
                    [&](const tbb::blocked_range<std::size_t>& range) {
                      for (std::size_t k = range.begin(); k != range.end(); ++k) body(k);
                    });
}

void run_together(std::initializer_list<std::function<void()>> tasks, Execution execution) {
  if (execution == Execution::serial || tasks.size() < 2 || !claim_pool()) {
    for (const auto& task : tasks) task();
    return;
  }
  tbb::task_group group;
  for (const auto& task : tasks) group.run([&task] { task(); });
  group.wait();
}

}  // namespace kovalith
