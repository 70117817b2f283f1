// Python objects for vocabulary positions, made once and shared by every
// result that needs them.
//
// Building a result list is dominated by making one int (or str) object per
// id and freeing it again when the list dies. An instance keeps the object
// of each position below a bound once it has been made, so a result list
// only takes new references. Ints and strs are immutable, so sharing them
// is unobservable.
#ifndef ZEQ_PYTHON_OBJECT_CACHE_H_
#define ZEQ_PYTHON_OBJECT_CACHE_H_

#include <algorithm>
#include <cstddef>
#include <vector>

#include "py_api.h"

namespace zeq::py {

class ObjectCache {
 public:
  // Keys 0 to bound - 1 are cached (bound is capped to keep the table small
  // for huge vocabularies). Nothing is allocated until first use.
  explicit ObjectCache(std::size_t bound) : bound_(std::min(bound, kMaxBound)) {}
  ObjectCache(ObjectCache&& other) noexcept
      : bound_(other.bound_), objects_(std::move(other.objects_)) {
    other.objects_.clear();
  }
  ObjectCache(const ObjectCache&) = delete;
  ObjectCache& operator=(const ObjectCache&) = delete;
  // Releases the objects; runs with the interpreter lock held (deallocation).
  ~ObjectCache() {
    for (PyObject* obj : objects_) Py_XDECREF(obj);
  }

  // A new reference to the object of `key`, made by `make()` (a new
  // reference, or a throw) the first time. Keys past the bound are made
  // every time.
  template <class Make>
  PyObject* get(std::size_t key, Make&& make) {
    if (key >= bound_) return make();
    if (objects_.empty()) objects_.assign(bound_, nullptr);
    PyObject*& slot = objects_[key];
    if (slot == nullptr) slot = make();
    Py_INCREF(slot);
    return slot;
  }

  // For loops over many keys: the objects made so far (null where not
  // made yet) and how many keys there are; get() fills the gaps.
  PyObject* const* made_objects() const { return objects_.data(); }
  std::size_t made_count() const { return objects_.size(); }

 private:
  static constexpr std::size_t kMaxBound = std::size_t{1} << 20;

  std::size_t bound_;
  std::vector<PyObject*> objects_;  // null where not made yet
};

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_OBJECT_CACHE_H_
