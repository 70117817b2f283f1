// Python ints for token ids, made once per id and shared by every result.
//
// Building a list of ids is dominated by making one int object per id and
// freeing it again when the list dies. An instance keeps the int of each id
// below a bound once it has been made, so a result list only takes new
// references. Ints are immutable, so sharing them is unobservable.
#ifndef ZEQ_PYTHON_INT_CACHE_H_
#define ZEQ_PYTHON_INT_CACHE_H_

#include <cstddef>
#include <vector>

#include "py_api.h"
#include "tokenizer/types.h"

namespace zeq::py {

class IntCache {
 public:
  // Ids from 0 to bound - 1 are cached (bound is capped to keep the table
  // small for huge vocabularies). Nothing is allocated until first use.
  explicit IntCache(std::size_t bound);
  IntCache(IntCache&& other) noexcept;
  IntCache(const IntCache&) = delete;
  IntCache& operator=(const IntCache&) = delete;
  // Releases the ints; runs with the interpreter lock held (deallocation).
  ~IntCache();

  // A new reference to the int of `id`. Throws like any result conversion.
  PyObject* get(TokenId id);

 private:
  static constexpr std::size_t kMaxBound = std::size_t{1} << 20;

  std::size_t bound_;
  std::vector<PyObject*> ints_;  // null where not made yet
};

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_INT_CACHE_H_
