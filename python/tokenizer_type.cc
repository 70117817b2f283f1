#include "tokenizer_type.h"

#include <cstddef>
#include <new>
#include <string>
#include <utility>

#include "barrier.h"
#include "convert.h"
#include "zeq/error.h"
#include "ref.h"

namespace zeq::py {
namespace {

// Instance layout: the object header, then the held data, suitably
// aligned. The interpreter's allocator returns 16-byte aligned memory.
static_assert(alignof(Instance) <= 16);
constexpr std::size_t kCoreOffset =
    (sizeof(PyObject) + alignof(Instance) - 1) / alignof(Instance) *
    alignof(Instance);
constexpr std::size_t kInstanceSize = kCoreOffset + sizeof(Instance);

constexpr const char kClassDoc[] =
    "A zeq tokenizer loaded from a `.vocab.bin` file.";

PyTypeObject* g_type = nullptr;

Instance* held_by(PyObject* self) {
  return std::launder(reinterpret_cast<Instance*>(
      reinterpret_cast<char*>(self) + kCoreOffset));
}

// Instances only come from from_file: a direct call of the class is refused.
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  return barrier([&]() -> PyObject* {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type),
                                    "__name__"));
    if (!name || !PyUnicode_Check(name.get())) {
      PyErr_Clear();
      name = Ref(checked(PyUnicode_FromString("<unknown>")));
    }
    raise(PyExc_TypeError, "No constructor defined for %U", name.get());
  });
}

void dealloc(PyObject* self) noexcept {
  // The type's reference is taken by the allocator for every instance of a
  // heap type; it is given back only after the memory is freed, since the
  // free function is read from the type.
  PyTypeObject* type = Py_TYPE(self);
  held_by(self)->~Instance();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  if (free_fn == nullptr) free_fn = PyObject_Free;
  free_fn(self);
  Py_DECREF(type);
}

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

template <class F>
void* slot_fn(F* fn) {
  return reinterpret_cast<void*>(fn);
}

// Whether the running interpreter is Python 3.10 or newer, read from
// Py_GetVersion() ("3.11.7 (main, ...)"), which the limited API has in
// every version.
bool runs_3_10_or_newer() {
  const char* v = Py_GetVersion();
  int major = 0, minor = 0;
  for (; *v >= '0' && *v <= '9'; ++v) major = major * 10 + (*v - '0');
  if (*v++ != '.') return false;
  for (; *v >= '0' && *v <= '9'; ++v) minor = minor * 10 + (*v - '0');
  return major > 3 || (major == 3 && minor >= 10);
}

}  // namespace

PyTypeObject* tokenizer_type() {
  if (g_type != nullptr) return g_type;
  PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc, const_cast<char*>(kClassDoc)},
      {Py_tp_new, slot_fn(refuse_new)},
      {Py_tp_dealloc, slot_fn(dealloc)},
      {Py_tp_methods, tokenizer_methods(runs_3_10_or_newer())},
      {Py_tp_getset, kTokenizerGetSet},
      {Py_tp_repr, slot_fn(repr)},
      {Py_mp_length, slot_fn(length)},
      {0, nullptr},
  };
  PyType_Spec type_spec = {
      "zeq.Tokenizer",
      static_cast<int>(kInstanceSize),
      0,
      Py_TPFLAGS_DEFAULT,
      slots,
  };
  g_type = reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&type_spec)));
  return g_type;
}

PyObject* new_tokenizer(Tokenizer&& core) {
  PyTypeObject* type = tokenizer_type();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  // On failure `core` is left alone and released by the caller's scope.
  PyObject* self = made(alloc(type, 0));
  new (held_by(self)) Instance(std::move(core));
  return self;
}

Instance& receiver(PyObject* self) {
  PyTypeObject* type = tokenizer_type();
  if (self == nullptr) throw InternalFault("method called without a receiver");
  if (Py_TYPE(self) != type && !PyType_IsSubtype(Py_TYPE(self), type)) {
    raise(PyExc_TypeError, "'%s' object cannot be converted to 'Tokenizer'",
          type_qualname(self).c_str());
  }
  return *held_by(self);
}

}  // namespace zeq::py
