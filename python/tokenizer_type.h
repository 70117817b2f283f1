// The class zeq.Tokenizer: a heap type whose instances hold one core
// zeq::Tokenizer by value, right after the object header, with a word cache.
#ifndef ZEQ_PYTHON_TOKENIZER_TYPE_H_
#define ZEQ_PYTHON_TOKENIZER_TYPE_H_

#include <string>
#include <vector>

#include "call_buffers.h"
#include "object_cache.h"
#include "py_api.h"
#include "zeq/tokenizer.h"

namespace zeq::py {

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
