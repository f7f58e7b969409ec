#include "module/attribute_map.h"

#include <algorithm>

namespace kovalith::py {

PyObject* AttributeMap::find(std::string_view key) const noexcept {
  if (!entries_) return nullptr;
  if (index_) {
    // Heterogeneous lookup needs C++20 transparent hashing; a key copy here
    // is rare (large maps only) and cheap next to the Python call around it.
    try {
      auto it = index_->find(std::string(key));
      return it == index_->end() ? nullptr : (*entries_)[it->second].value.get();
    } catch (...) {
      return nullptr;
    }
  }
  for (const Entry& e : *entries_) {
    if (e.key == key) return e.value.get();
  }
  return nullptr;
}

PyRef AttributeMap::assign(std::string key, PyRef value) {
  if (!entries_) entries_ = std::make_unique<std::vector<Entry>>();
  std::vector<Entry>& entries = *entries_;
  if (index_) {
    if (auto it = index_->find(key); it != index_->end()) {
      return std::exchange(entries[it->second].value, std::move(value));
    }
  } else {
    for (Entry& e : entries) {
      if (e.key == key) return std::exchange(e.value, std::move(value));
    }
  }
  // Allocate everything before changing anything, so a failed allocation
  // leaves the entries and the index in agreement.
  if (entries.size() == entries.capacity()) entries.reserve(std::max<std::size_t>(4, 2 * entries.size()));
  if (index_) index_->emplace(key, entries.size());
  entries.push_back(Entry{std::move(key), std::move(value)});
  if (!index_ && entries.size() > index_threshold_) {
    auto index = std::make_unique<std::unordered_map<std::string, std::size_t>>();
    index->reserve(entries.size() * 2);
    for (std::size_t i = 0; i < entries.size(); ++i) index->emplace(entries[i].key, i);
    index_ = std::move(index);
  }
  return {};
}

const std::vector<AttributeMap::Entry>& AttributeMap::entries() const noexcept {
  static const std::vector<Entry> none;
  return entries_ ? *entries_ : none;
}

int AttributeMap::traverse(visitproc visit, void* arg) const noexcept {
  if (!entries_) return 0;
  for (const Entry& e : *entries_) Py_VISIT(e.value.get());
  return 0;
}

void AttributeMap::clear() noexcept {
  auto doomed = std::move(entries_);
  index_.reset();
  doomed.reset();
}

}  // namespace kovalith::py
