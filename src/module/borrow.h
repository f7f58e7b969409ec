// Per-instance borrow flag.
//
// A method that only reads its receiver holds shared access for the call; a
// setter or set_attribute holds exclusive access. With the interpreter lock
// held throughout, a conflict can only come from Python code that a call runs
// (a __repr__, __float__ or __del__) calling back into the same object; the
// flag turns such re-entry into a RuntimeError instead of a torn object.
#pragma once

#include "module/py_ref.h"

#include <atomic>
#include <cstdint>

namespace kovalith::py {

class BorrowFlag {
 public:
  // > 0: that many shared borrows; exclusive_: one exclusive borrow.
  bool try_shared() noexcept {
    std::int64_t cur = state_.load(std::memory_order_relaxed);
    do {
      if (cur == exclusive_) return false;
    } while (!state_.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire));
    return true;
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
  bool try_exclusive() noexcept {
    std::int64_t expected = 0;
    return state_.compare_exchange_strong(expected, exclusive_, std::memory_order_acquire);
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr std::int64_t exclusive_ = -1;
  std::atomic<std::int64_t> state_{0};
};

// Shared access for a scope; check ok() and return nullptr/-1 when false
// (the RuntimeError is already set).
class SharedBorrow {
 public:
  explicit SharedBorrow(BorrowFlag& flag) noexcept : flag_(&flag) {
    if (!flag_->try_shared()) {
      PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
      flag_ = nullptr;
    }
  }
  ~SharedBorrow() {
    if (flag_) flag_->release_shared();
  }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;
  bool ok() const noexcept { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& flag) noexcept : flag_(&flag) {
    if (!flag_->try_exclusive()) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      flag_ = nullptr;
    }
  }
  ~ExclusiveBorrow() {
    if (flag_) flag_->release_exclusive();
  }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  bool ok() const noexcept { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

}  // namespace kovalith::py
