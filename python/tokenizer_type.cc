#include "tokenizer_type.h"
#include "messages.h"

#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "barrier.h"
#include "convert.h"
#include "zeq/error.h"
#include "instance_type.h"
#include "ref.h"

namespace zeq::py {
namespace {

using Layout = InstanceLayout<Instance>;

constexpr const char kClassDoc[] =
    "A zeq tokenizer loaded from a `.vocab.bin` file.";

PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  return barrier([&] {
    const std::string text = "<zeq.Tokenizer vocab_size=" +
                             std::to_string(receiver(self).core.vocab_size()) + ">";
    return str_object(text);
  });
}

Py_ssize_t length(PyObject* self) {
  return barrier_ssize([&] {
    return static_cast<Py_ssize_t>(receiver(self).core.vocab_size());
  });
}

}  // namespace

PyTypeObject* tokenizer_type() {
  if (g_type == nullptr) {
    g_type = make_class({"zeq.Tokenizer", kClassDoc, Layout::kSize, Layout::dealloc,
                         tokenizer_methods(runs_3_10_or_newer()), kTokenizerGetSet, repr, length});
  }
  return g_type;
}

PyObject* new_tokenizer(Tokenizer&& core) {
  return Layout::make(tokenizer_type(), std::move(core));
}

Instance& receiver(PyObject* self) {
  PyTypeObject* type = tokenizer_type();
  if (self == nullptr) throw InternalFault("method called without a receiver");
  if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
    raise(PyExc_TypeError, msg::kNotTokenizer,
          type_qualname(self).c_str());
  }
  return *Layout::held_by(self);
}

}  // namespace zeq::py
