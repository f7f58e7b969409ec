#include "graph/parallel.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

namespace kovalith {
namespace {

// One call's loop. Indices are claimed from `next`; every claimed index is
// counted in `finished` once it has run or been skipped after a stop.
struct Job {
  const std::function<void(std::size_t)>* body = nullptr;
  std::size_t n = 0;
  Interrupt* interrupt = nullptr;
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> finished{0};
  std::atomic<bool> stop{false};
  std::size_t workers = 0;  // workers inside the job; guarded by the pool's mutex
  std::mutex error_mutex;
  std::exception_ptr error;

  bool exhausted() const noexcept { return next.load(std::memory_order_relaxed) >= n; }
  bool done() const noexcept { return finished.load(std::memory_order_acquire) >= n; }

  // Claims and runs indices until none is left.
  void work() noexcept {
    for (;;) {
      const std::size_t k = next.fetch_add(1, std::memory_order_relaxed);
      if (k >= n) return;
      if (!stop.load(std::memory_order_relaxed) && interrupted(interrupt)) {
        stop.store(true, std::memory_order_relaxed);
      }
      if (!stop.load(std::memory_order_relaxed)) {
        try {
          (*body)(k);
        } catch (...) {
          std::lock_guard lock(error_mutex);
          if (!error) error = std::current_exception();
          stop.store(true, std::memory_order_relaxed);
        }
      }
      finished.fetch_add(1, std::memory_order_release);
    }
  }
};

// Memory a new worker must be able to take before it joins: the runtime
// allocates a thread's own structures (the C++ runtime's per-thread exception
// state, a malloc arena's first chunk) on first use and aborts the process if
// it cannot. A thread that finds this much free lets them land in it, since
// the thread that started it waits meanwhile; one that does not ends cleanly.
constexpr std::size_t worker_headroom = 64 * 1024;

std::size_t processor_count() noexcept {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<std::size_t>(count);
  }
  return std::max(1u, std::thread::hardware_concurrency());
}

// Never destroyed: its threads are detached and may still be parked on the
// condition variable when the process exits.
class Pool {
 public:
  static Pool& instance() {
    static Pool* pool = new Pool();
    return *pool;
  }

  // Starts the workers still missing; a failure leaves fewer workers for
  // now and is retried at the next call. Each new worker is waited for until
  // it has either settled in or given up for want of memory.
  void top_up() {
    std::unique_lock lock(mutex_);
    // The calling thread is the last of the processors.
    const std::size_t target = processor_count() - 1;
    while (started_ < target) {
      if (settling_) return;  // another caller is starting one; it will top up
      settling_ = true;
      try {
        std::thread(&Pool::worker_start, this).detach();
      } catch (const std::system_error&) {
        settling_ = false;
        return;
      }
      settled_.wait(lock, [&] { return !settling_; });
      if (!settled_ok_) return;
      ++started_;
    }
  }

  // Runs the job to its end. The caller takes indices too (polling between
  // them); once none is left, the owner of the interrupt keeps polling it
  // while the workers finish theirs.
  void run(Job& job) {
    const bool watch = job.interrupt != nullptr && job.interrupt->polls_here();
    std::unique_lock lock(mutex_);
    if (started_ == 0) {
      lock.unlock();
      job.work();
      return;
    }
    jobs_.push_back(&job);
    work_.notify_all();
    lock.unlock();
    job.work();
    lock.lock();
    auto finished = [&] { return job.done() && job.workers == 0; };
    if (watch) {
      while (!finished()) {
        done_.wait_for(lock, Interrupt::default_interval);
        if (job.stop.load(std::memory_order_relaxed)) continue;
        lock.unlock();
        if (job.interrupt->poll()) job.stop.store(true, std::memory_order_relaxed);
        lock.lock();
      }
    } else {
      done_.wait(lock, finished);
    }
    retire(job);
  }

 private:
  Pool() = default;

  void retire(Job& job) {
    const auto it = std::find(jobs_.begin(), jobs_.end(), &job);
    if (it != jobs_.end()) jobs_.erase(it);
  }

  void worker_start() {
    // Signals go to the interpreter's thread, which handles them.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    bool ok = false;
    if (void* room = std::malloc(worker_headroom)) {
      std::free(room);
      // The C++ runtime's exception state is set up now, in the room just
      // freed, not at a task's first exception. The module itself has no
      // thread-local storage (per-thread state goes through
      // support/thread_scratch.h): loaded with dlopen, its block would be
      // allocated at a thread's first use of it, mid-task, and a failure
      // there aborts the process.
      ok = std::uncaught_exceptions() == 0;
    }
    std::unique_lock lock(mutex_);
    settled_ok_ = ok;
    settling_ = false;
    settled_.notify_all();
    if (ok) worker_loop(lock);
  }

  void worker_loop(std::unique_lock<std::mutex>& lock) {
    for (;;) {
      work_.wait(lock, [&] { return !jobs_.empty(); });
      // The newest job first: a nested loop is waited on by a task of an
      // older one.
      Job& job = *jobs_.back();
      if (job.exhausted()) {
        retire(job);
        continue;
      }
      ++job.workers;
      lock.unlock();
      job.work();
      lock.lock();
      retire(job);
      --job.workers;
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_;
  std::condition_variable done_;
  std::condition_variable settled_;
  std::vector<Job*> jobs_;
  std::size_t started_ = 0;
  bool settling_ = false;    // a new worker has not yet reported
  bool settled_ok_ = false;  // what the last new worker reported
};

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

bool for_each_index(std::size_t n, const std::function<void(std::size_t)>& body,
                    Execution execution, Interrupt* interrupt) {
  if (execution == Execution::serial || n <= 1 || !claim_pool()) {
    for (std::size_t k = 0; k < n; ++k) {
      if (interrupted(interrupt)) return false;
      body(k);
    }
    return !interrupted(interrupt);
  }
  Pool& pool = Pool::instance();
  pool.top_up();
  Job job;
  job.body = &body;
  job.n = n;
  job.interrupt = interrupt;
  pool.run(job);
  if (job.error) std::rethrow_exception(job.error);
  return !job.stop.load(std::memory_order_relaxed) && !interrupted(interrupt);
}

bool run_together(std::initializer_list<std::function<void()>> tasks, Execution execution,
                  Interrupt* interrupt) {
  const std::function<void()>* first = tasks.begin();
  return for_each_index(
      tasks.size(), [first](std::size_t k) { first[k](); }, execution, interrupt);
}

}  // namespace kovalith
