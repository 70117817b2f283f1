// Initialisation of the module `zeq`.
//
// Single-phase initialisation with no per-module state: the module object,
// the Tokenizer type and the fault exception are process-wide. That is only
// sound within one interpreter, so the first interpreter to import the
// module claims it, and an import from any other interpreter is refused.
#include <atomic>
#include <cstdint>
#include <string>

#include "barrier.h"
#include "messages.h"
#include "ref.h"
#include "zeq/error.h"
#include "tokenizer_type.h"

namespace zeq::py {

const char kPanicExceptionName[] = "zeq.PanicException";

namespace {

constexpr const char kVersion[] = ZEQ_VERSION;  // defined by CMake from tools/zeqtools/_version.py

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "zeq",                       // m_name
    "The `zeq` Python module.",  // m_doc
    0,                           // m_size: no per-module state
    nullptr,                     // m_methods: the module has no functions
    nullptr,                     // m_slots: single-phase initialisation
    nullptr,                     // m_traverse
    nullptr,                     // m_clear
    nullptr,                     // m_free
};

// The interpreter that first initialised the module, or -1.
std::atomic<std::int64_t> g_interpreter_id{-1};
// The module object, once the first initialisation has succeeded.
PyObject* g_module = nullptr;

// Sets `module.name = value` and appends the name to `module.__all__`,
// creating the list on the first call.
void add_attribute(PyObject* module, const char* name, PyObject* value) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
    PyErr_Clear();
    all = Ref(checked(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) {
      throw PythonError{};
    }
  }
  const Ref key(PyUnicode_FromString(name));
  if (!key || PyList_Append(all.get(), key.get()) != 0) {
    const PendingError error = take_pending_error();
    std::string text = "could not append __name__ to __all__";
    if (error.value) text += ": " + exception_text(error.value.get(), /*swallow_all=*/true);
    throw InternalFault(text);
  }
  if (PyObject_SetAttrString(module, name, value) != 0) throw PythonError{};
}

void init_module_body(PyObject* module) {
  PyObject* type = reinterpret_cast<PyObject*>(tokenizer_type());
  add_attribute(module, "Tokenizer", type);
  const Ref version(checked(PyUnicode_FromString(kVersion)));
  add_attribute(module, "__version__", version.get());
}

PyObject* init_module() {
  const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw PythonError{};
  std::int64_t owner = -1;
  if (!g_interpreter_id.compare_exchange_strong(owner, id) && owner != id) {
    raise(PyExc_ImportError, msg::kSubInterpreter, "zeq");
  }
  // Importing again in the same interpreter (after the entry was removed
  // from sys.modules) yields the very same module: the body runs once.
  if (g_module != nullptr) {
    Py_INCREF(g_module);
    return g_module;
  }
  Ref module(checked(PyModule_Create2(&g_module_def, PYTHON_ABI_VERSION)));
  init_module_body(module.get());
  g_module = module.get();
  Py_INCREF(g_module);  // the stored reference, kept until the process ends
  return module.release();
}

}  // namespace
}  // namespace zeq::py

PyMODINIT_FUNC PyInit_zeq() {
  return zeq::py::barrier([] { return zeq::py::init_module(); });
}
