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
