// String-keyed map of caller metadata on graph nodes and edges.
//
// Most records never get an attribute, so the storage is allocated on the
// first set. Entries keep insertion order (the export is then reproducible);
// each entry is visited exactly once. Lookups are linear while the map is
// small and go through a hash index once it grows.
#pragma once

#include "module/py_ref.h"

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kovalith::py {

class AttributeMap {
 public:
  struct Entry {
    std::string key;
    PyRef value;
  };

  // The stored object (borrowed), or nullptr when the key is absent.
  PyObject* find(std::string_view key) const noexcept;

  // Stores `value` under `key`. Returns the value it replaced (or an empty
  // ref); the caller drops it only after the map is consistent again, since
  // dropping it may run arbitrary Python code.
  PyRef assign(std::string key, PyRef value);

  std::size_t size() const noexcept { return entries_ ? entries_->size() : 0; }
  const std::vector<Entry>& entries() const noexcept;

  int traverse(visitproc visit, void* arg) const noexcept;
  // Empties the map; the values are released after it is already empty.
  void clear() noexcept;

 private:
  static constexpr std::size_t index_threshold_ = 16;
  std::unique_ptr<std::vector<Entry>> entries_;
  std::unique_ptr<std::unordered_map<std::string, std::size_t>> index_;
};

}  // namespace kovalith::py
