// What the extension's classes have in common: instances that hold a C++
// value right after the object header, made only by the class's own
// factories, and method tables chosen by the running interpreter's version.
#ifndef ZEQ_PYTHON_INSTANCE_TYPE_H_
#define ZEQ_PYTHON_INSTANCE_TYPE_H_

#include <cstddef>
#include <new>
#include <utility>

#include "barrier.h"
#include "py_api.h"

namespace zeq::py {

// Instance layout: the object header, then a `Held`, suitably aligned. The
// interpreter's allocator returns 16-byte aligned memory.
template <class Held>
struct InstanceLayout {
  static_assert(alignof(Held) <= 16);
  static constexpr std::size_t kOffset =
      (sizeof(PyObject) + alignof(Held) - 1) / alignof(Held) * alignof(Held);
  static constexpr std::size_t kSize = kOffset + sizeof(Held);

  static Held* held_by(PyObject* self) {
    return std::launder(reinterpret_cast<Held*>(reinterpret_cast<char*>(self) + kOffset));
  }

  // A new instance of `type` holding Held(args...). Throws (PanicException)
  // when the instance cannot be allocated; the arguments are then left alone.
  template <class... Args>
  static PyObject* make(PyTypeObject* type, Args&&... args) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    if (alloc == nullptr) alloc = PyType_GenericAlloc;
    PyObject* self = made(alloc(type, 0));
    try {
      new (held_by(self)) Held(std::forward<Args>(args)...);
    } catch (...) {
      free_memory(self);
      throw;
    }
    return self;
  }

  static void dealloc(PyObject* self) noexcept {
    held_by(self)->~Held();
    free_memory(self);
  }

 private:
  // The type's reference is taken by the allocator for every instance of a
  // heap type; it is given back only after the memory is freed, since the
  // free function is read from the type.
  static void free_memory(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    if (free_fn == nullptr) free_fn = PyObject_Free;
    free_fn(self);
    Py_DECREF(type);
  }
};

// tp_new of classes whose instances come only from their factories: a
// direct call of the class raises TypeError "No constructor defined for X".
PyObject* refuse_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// What makes one of the extension's classes.
struct ClassParts {
  const char* name;  // dotted: "zeq.Tokenizer"
  const char* doc;
  std::size_t instance_size;
  destructor dealloc;
  PyMethodDef* methods;
  PyGetSetDef* getset;
  reprfunc repr;
  lenfunc length;
};
// A new heap type from `parts`, based on object, whose direct call is
// refused (refuse_new). Throws PythonError when the interpreter cannot make
// it.
PyTypeObject* make_class(const ClassParts& parts);

// Whether the running interpreter is Python 3.10 or newer, where the
// METH_FASTCALL convention is in the stable ABI.
bool runs_3_10_or_newer();

// METH_FASTCALL's value: a build for the 3.9 limited API does not see its
// name, so it is given here and used only where runs_3_10_or_newer().
inline constexpr int kMethFastcall = 0x0080;
static_assert(METH_VARARGS == 0x0001 && METH_KEYWORDS == 0x0002 && METH_STATIC == 0x0020,
              "method flags as in every CPython since 3.0");

template <class F>
void* slot_fn(F* fn) {
  return reinterpret_cast<void*>(fn);
}

template <class F>
PyCFunction method(F* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_INSTANCE_TYPE_H_
