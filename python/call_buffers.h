// Buffers that the calls of one instance reuse, and their lending rules.
#ifndef ZEQ_PYTHON_CALL_BUFFERS_H_
#define ZEQ_PYTHON_CALL_BUFFERS_H_

#include <cstddef>
#include <string>
#include <vector>

#include "zeq/tokenizer.h"

namespace zeq::py {

// The ids and the text a call converts from or to. Python code can run
// while the argument of decode is converted (an item's __index__) and call
// into the same instance again: the ids buffer is lent to one call at a
// time, and a nested call gets a buffer of its own (see IdsLease).
struct CallBuffers {
  std::vector<TokenId> ids;
  bool ids_lent = false;
  std::string text;

  // Capacity kept after a call; a larger buffer is released, so that one
  // huge call does not pin its memory for the life of the instance.
  static constexpr std::size_t kKeptBytes = std::size_t{1} << 20;
  void trim() {
    if (ids.capacity() * sizeof(TokenId) > kKeptBytes) std::vector<TokenId>().swap(ids);
    if (text.capacity() > kKeptBytes) std::string().swap(text);
  }
};

// The instance's ids buffer for one call, or a buffer of the lease's own
// when the instance's is already lent to a call further up the stack.
class IdsLease {
 public:
  explicit IdsLease(CallBuffers& buffers)
      : buffers_(buffers), owner_(!buffers.ids_lent) {
    if (owner_) buffers_.ids_lent = true;
  }
  ~IdsLease() {
    if (!owner_) return;
    buffers_.ids_lent = false;
    buffers_.trim();
  }
  IdsLease(const IdsLease&) = delete;
  IdsLease& operator=(const IdsLease&) = delete;

  std::vector<TokenId>& ids() { return owner_ ? buffers_.ids : own_; }

 private:
  CallBuffers& buffers_;
  bool owner_;
  std::vector<TokenId> own_;
};

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_CALL_BUFFERS_H_
