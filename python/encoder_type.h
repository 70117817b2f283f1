// The class zeqtools.Encoder: a heap type whose instances hold a loaded core
// Tokenizer by value, the bytes it was loaded from, and the state of its
// calls.
#ifndef ZEQ_PYTHON_ENCODER_TYPE_H_
#define ZEQ_PYTHON_ENCODER_TYPE_H_

#include "call_buffers.h"
#include "object_cache.h"
#include "py_api.h"
#include "ref.h"
#include "zeq/batch.h"
#include "zeq/tokenizer.h"

namespace zeq::py {

// What an Encoder holds after its header.
//
// Threads: single-text calls hold the interpreter lock from start to end and
// use `session`, `ints`, `strs` and `buffers` under it, as zeq.Tokenizer
// does. Batch calls release the lock while their threads work: those
// threads read only `core` (immutable) and take sessions of their own from
// `pool` (which locks); everything else a batch call touches, it touches
// with the lock held. So calls from several Python threads at once share no
// unlocked mutable state.
struct EncoderInstance {
  EncoderInstance(Tokenizer tokenizer, Ref bytes);

  Tokenizer core;
  Ref data;  // the vocabulary file's bytes, for pickling
  Session session;
  SessionPool pool;
  ObjectCache ints;
  ObjectCache strs;
  CallBuffers buffers;
};

PyTypeObject* encoder_type();
// A new Encoder that takes the core over.
PyObject* new_encoder(Tokenizer&& core, Ref data);
// What `self` holds; anything but an Encoder raises TypeError.
EncoderInstance& encoder_receiver(PyObject* self);

// Member tables (encoder_members.cc).
PyMethodDef* encoder_methods(bool vectorcall);
extern PyGetSetDef kEncoderGetSet[];

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_ENCODER_TYPE_H_
