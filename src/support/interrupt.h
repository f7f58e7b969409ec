// A request to stop a long native call early (Ctrl-C while it runs).
//
// The module layer builds one around the interpreter's signal check; native
// code without an interpreter passes a null pointer and runs to the end.
// poll() may be called from any thread: on the thread that created the
// Interrupt (the calling thread, which holds the interpreter lock) it runs the
// check, at most once per `interval` of steady time; on any other thread (a
// worker of the pool) it only reads whether a stop was seen. Once stopped it
// stays stopped. A stopped call returns ErrorKind::interrupted and must leave
// its inputs unchanged; the check has already set the Python exception.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>

namespace kovalith {

class Interrupt {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds default_interval{20};

  explicit Interrupt(std::function<bool()> check,
                     std::chrono::milliseconds interval = default_interval)
      : check_(std::move(check)),
        owner_(std::this_thread::get_id()),
        interval_(interval),
        next_check_(Clock::now() + interval) {}

  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  // True once the call should stop.
  bool poll() noexcept {
    if (stopped_.load(std::memory_order_relaxed)) return true;
    if (std::this_thread::get_id() != owner_) return false;
    const Clock::time_point now = Clock::now();
    if (now < next_check_) return false;
    next_check_ = now + interval_;
    bool stop = false;
    try {
      stop = check_();
    } catch (...) {
      stop = true;
    }
    if (stop) stopped_.store(true, std::memory_order_relaxed);
    return stop;
  }

  bool stopped() const noexcept { return stopped_.load(std::memory_order_relaxed); }

  // True on the thread whose poll() runs the check.
  bool polls_here() const noexcept { return std::this_thread::get_id() == owner_; }

 private:
  std::function<bool()> check_;
  std::thread::id owner_;
  std::chrono::milliseconds interval_;
  Clock::time_point next_check_;
  std::atomic<bool> stopped_{false};
};

// For loops that take an optional interrupt.
inline bool interrupted(Interrupt* interrupt) noexcept {
  return interrupt != nullptr && interrupt->poll();
}

}  // namespace kovalith
