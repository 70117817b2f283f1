// The class zeq.Tokenizer: a heap type whose instances hold one core
// zeq::Tokenizer by value, right after the object header.
#ifndef ZEQ_PYTHON_TOKENIZER_TYPE_H_
#define ZEQ_PYTHON_TOKENIZER_TYPE_H_

#include "py_api.h"
#include "tokenizer/tokenizer.h"

namespace zeq::py {

// The type object, made on first need and kept for the life of the process.
// Throws PythonError when the interpreter cannot make it.
PyTypeObject* tokenizer_type();

// A new instance that takes the core over. Throws (PanicException) when
// the instance cannot be allocated; the core is then released.
PyObject* new_tokenizer(Tokenizer&& core);

// The core held by `self`, which must be a Tokenizer instance; anything
// else raises TypeError "'<qualname>' object cannot be converted to
// 'Tokenizer'".
const Tokenizer& receiver(PyObject* self);

// Member tables of the class (members.cc).
extern PyMethodDef kTokenizerMethods[];
extern PyGetSetDef kTokenizerGetSet[];

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_TOKENIZER_TYPE_H_
