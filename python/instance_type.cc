#include "instance_type.h"
#include "messages.h"

#include "ref.h"

namespace zeq::py {

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  return barrier([&]() -> PyObject* {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
    if (!name || !PyUnicode_Check(name.get())) {
      PyErr_Clear();
      name = Ref(checked(PyUnicode_FromString("<unknown>")));
    }
    raise(PyExc_TypeError, msg::kNoConstructor, name.get());
  });
}

PyTypeObject* make_class(const ClassParts& parts) {
  PyType_Slot slots[] = {
      {Py_tp_base, &PyBaseObject_Type},
      {Py_tp_doc, const_cast<char*>(parts.doc)},
      {Py_tp_new, slot_fn(refuse_new)},
      {Py_tp_dealloc, slot_fn(parts.dealloc)},
      {Py_tp_methods, parts.methods},
      {Py_tp_getset, parts.getset},
      {Py_tp_repr, slot_fn(parts.repr)},
      {Py_mp_length, slot_fn(parts.length)},
      {0, nullptr},
  };
  PyType_Spec spec = {parts.name, static_cast<int>(parts.instance_size), 0, Py_TPFLAGS_DEFAULT, slots};
  return reinterpret_cast<PyTypeObject*>(checked(PyType_FromSpec(&spec)));
}

// Read from Py_GetVersion() ("3.11.7 (main, ...)"), which the limited API
// has in every version.
bool runs_3_10_or_newer() {
  const char* v = Py_GetVersion();
  int major = 0, minor = 0;
  for (; *v >= '0' && *v <= '9'; ++v) major = major * 10 + (*v - '0');
  if (*v++ != '.') return false;
  for (; *v >= '0' && *v <= '9'; ++v) minor = minor * 10 + (*v - '0');
  return major > 3 || (major == 3 && minor >= 10);
}

}  // namespace zeq::py
