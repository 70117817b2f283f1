// Initialisation of the module zeqtools._encoder, home of zeqtools.Encoder.
//
// Like zeq, single-phase initialisation with no per-module state: the
// class and the fault exception are process-wide, which is only sound in
// one interpreter, so an import from a second interpreter is refused.
#include <atomic>
#include <cstdint>

#include "barrier.h"
#include "messages.h"
#include "encoder_type.h"
#include "ref.h"

namespace zeq::py {

const char kPanicExceptionName[] = "zeqtools.PanicException";

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "zeqtools._encoder",
    "The native part of zeqtools.Encoder.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

std::atomic<std::int64_t> g_interpreter_id{-1};
PyObject* g_module = nullptr;

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw PythonError{};
  std::int64_t owner = -1;
  if (!g_interpreter_id.compare_exchange_strong(owner, id) && owner != id) {
    raise(PyExc_ImportError, msg::kSubInterpreter, "zeqtools._encoder");
  }
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  // Results an Encoder cannot make (a batch too large for memory) raise
  // the interpreter's MemoryError.
  pass_on_result_errors();
  Ref module(checked(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION)));
  PyObject* type = reinterpret_cast<PyObject*>(encoder_type());
  if (PyObject_SetAttrString(module.get(), "Encoder", type) != 0) throw PythonError{};
  if (PyObject_SetAttrString(module.get(), "PanicException", checked(panic_exception_type())) != 0) {
    throw PythonError{};
  }
  g_module = module.get();
  Py_INCREF(g_module);
  return module.release();
}

}  // namespace
}  // namespace zeq::py

PyMODINIT_FUNC PyInit__encoder() {
  return zeq::py::barrier([] { return zeq::py::init_module(); });
}
