// The class zeq.Tokenizer: a heap type whose instances hold one core
// zeq::Tokenizer by value, right after the object header, with a word cache.
#ifndef ZEQ_PYTHON_TOKENIZER_TYPE_H_
#define ZEQ_PYTHON_TOKENIZER_TYPE_H_

#include <string>
#include <vector>

#include "object_cache.h"
#include "py_api.h"
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

// What an instance holds after its header.
struct Instance {
  explicit Instance(Tokenizer tokenizer)
      : core(std::move(tokenizer)), session(core), ints(core.vocab_size()), strs(core.vocab_size()) {}

  Tokenizer core;
  // The encoding state of the instance's calls: its word cache keeps the
  // segmentations of words seen in earlier calls (the results are the same
  // with or without it). It is only touched with the interpreter lock held,
  // and no call releases the lock, so it needs no lock of its own.
  Session session;
  // The ints and strs of result lists, by id (same conditions as the word
  // cache).
  ObjectCache ints;
  ObjectCache strs;
  // Buffers reused by every call (same conditions as the word cache), so
  // that a call allocates nothing of its own once they have grown.
  CallBuffers buffers;
};

// The type object, made on first need and kept for the life of the process.
// Throws PythonError when the interpreter cannot make it.
PyTypeObject* tokenizer_type();

// A new instance that takes the core over. Throws (PanicException) when
// the instance cannot be allocated; the core is then released.
PyObject* new_tokenizer(Tokenizer&& core);

// What `self` holds, which must be a Tokenizer instance; anything else
// raises TypeError "'<qualname>' object cannot be converted to 'Tokenizer'".
Instance& receiver(PyObject* self);

// Member tables of the class (members.cc).
// The methods of the class, for the METH_FASTCALL convention (Python 3.10
// and newer) or the classic one.
PyMethodDef* tokenizer_methods(bool vectorcall);
extern PyGetSetDef kTokenizerGetSet[];

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_TOKENIZER_TYPE_H_
