#include "int_cache.h"

#include <algorithm>
#include <utility>

#include "convert.h"

namespace zeq::py {

IntCache::IntCache(std::size_t bound) : bound_(std::min(bound, kMaxBound)) {}

IntCache::IntCache(IntCache&& other) noexcept
    : bound_(other.bound_), ints_(std::move(other.ints_)) {
  other.ints_.clear();
}

IntCache::~IntCache() {
  for (PyObject* obj : ints_) Py_XDECREF(obj);
}

PyObject* IntCache::get(TokenId id) {
  if (id >= bound_) return id_object(id);
  if (ints_.empty()) ints_.assign(bound_, nullptr);
  PyObject*& slot = ints_[id];
  if (slot == nullptr) slot = id_object(id);
  Py_INCREF(slot);
  return slot;
}

}  // namespace zeq::py
