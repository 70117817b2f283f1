#include "encoder_type.h"
#include "messages.h"

#include <string>
#include <utility>

#include "barrier.h"
#include "convert.h"
#include "instance_type.h"
#include "zeq/error.h"

namespace zeq::py {

EncoderInstance::EncoderInstance(Tokenizer tokenizer, Ref bytes)
    : core(std::move(tokenizer)),
      data(std::move(bytes)),
      session(core),
      // Sessions beyond the CPUs would only sit idle with their caches.
      pool(core, available_cpus()),
      ints(core.vocab_size()),
      strs(core.vocab_size()) {}

namespace {

using Layout = InstanceLayout<EncoderInstance>;

constexpr const char kClassDoc[] =
    "An encoder loaded from a `.vocab.bin` file: the ids of the model the file was\n"
    "converted from (its normaliser, unknown and special pieces), single texts or\n"
    "batches on every core. Made by from_file or from_bytes; pickled by content.";

PyTypeObject* g_type = nullptr;

PyObject* repr(PyObject* self) {
  return barrier([&] {
    const Tokenizer& core = encoder_receiver(self).core;
    const std::string text = "<zeqtools.Encoder vocab_size=" + std::to_string(core.vocab_size()) +
                             (core.has_options() ? " options=True>" : " options=False>");
    return str_object(text);
  });
}

Py_ssize_t length(PyObject* self) {
  return barrier_ssize([&] { return static_cast<Py_ssize_t>(encoder_receiver(self).core.vocab_size()); });
}

}  // namespace

PyTypeObject* encoder_type() {
  if (g_type == nullptr) {
    g_type = make_class({"zeqtools.Encoder", kClassDoc, Layout::kSize, Layout::dealloc,
                         encoder_methods(runs_3_10_or_newer()), kEncoderGetSet, repr, length});
  }
  return g_type;
}

PyObject* new_encoder(Tokenizer&& core, Ref data) {
  return Layout::make(encoder_type(), std::move(core), std::move(data));
}

EncoderInstance& encoder_receiver(PyObject* self) {
  PyTypeObject* type = encoder_type();
  if (self == nullptr) throw InternalFault("method called without a receiver");
  if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
    raise(PyExc_TypeError, msg::kNotEncoder,
          type_qualname(self).c_str());
  }
  return *Layout::held_by(self);
}

}  // namespace zeq::py
