#include "barrier.h"
#include "messages.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "zeq/error.h"

namespace zeq::py {
namespace {

constexpr const char kPanicDoc[] =
    "The exception raised for a fault inside the zeq native code rather than "
    "bad input: a broken internal invariant, a result object the interpreter "
    "could not make (\"Python API call failed\"), or a sequence that reports "
    "a length no list could have (\"capacity overflow\").\n\n"
    "Like SystemExit it derives from BaseException, not Exception, so that "
    "it usually propagates all the way up and ends the interpreter instead "
    "of being swallowed by an `except Exception` handler.";


// Created on the first fault and kept for the life of the process.
PyObject* g_panic_type = nullptr;

// The fetch/restore pair is deprecated from 3.12 on in favour of calls that
// do not exist in 3.9; it stays correct there, so keep warnings quiet.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
void fetch(PyObject** type, PyObject** value, PyObject** traceback) {
  PyErr_Fetch(type, value, traceback);
}
void restore(PyObject* type, PyObject* value, PyObject* traceback) {
  PyErr_Restore(type, value, traceback);
}
#pragma GCC diagnostic pop

void raise_panic(const char* message) noexcept {
  // Whatever is pending is replaced by the fault.
  PyErr_Clear();
  if (panic_exception_type() == nullptr) {
    Py_FatalError("zeq: could not create PanicException");
  }
  const Ref text(PyUnicode_DecodeUTF8(message, std::strlen(message), "replace"));
  if (!text) Py_FatalError("zeq: could not build the message of a fault");
  PyErr_SetObject(g_panic_type, text.get());
}

}  // namespace

PyObject* panic_exception_type() {
  if (g_panic_type == nullptr) {
    g_panic_type = PyErr_NewExceptionWithDoc(kPanicExceptionName, kPanicDoc, PyExc_BaseException, nullptr);
  }
  return g_panic_type;
}

PendingError take_pending_error() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  fetch(&type, &value, &traceback);
  if (type != nullptr) PyErr_NormalizeException(&type, &value, &traceback);
  return {Ref(type), Ref(value), Ref(traceback)};
}

void restore_error(PendingError error) {
  restore(error.type.release(), error.value.release(),
          error.traceback.release());
}

namespace {

// `text` as valid UTF-8: surrogates pass through the encoder, and the
// decoder then replaces every ill-formed byte. Null on failure.
Ref clean_utf8(PyObject* text) {
  Ref bytes(PyUnicode_AsEncodedString(text, "utf-8", "surrogatepass"));
  if (!bytes) return Ref();
  Ref clean(PyUnicode_DecodeUTF8(PyBytes_AsString(bytes.get()), PyBytes_Size(bytes.get()), "replace"));
  if (!clean) return Ref();
  return Ref(PyUnicode_AsUTF8String(clean.get()));
}

std::string bytes_text(PyObject* utf8) {
  return std::string(PyBytes_AsString(utf8), static_cast<std::size_t>(PyBytes_Size(utf8)));
}

}  // namespace

std::string exception_text(PyObject* exc, bool swallow_all) {
  Ref text(PyObject_Str(exc));
  if (!text && !swallow_all && PyErr_Occurred() != nullptr &&
      !PyErr_ExceptionMatches(PyExc_Exception)) {
    throw PythonError{};  // KeyboardInterrupt and the like go on
  }
  Ref utf8;
  if (text) utf8 = clean_utf8(text.get());
  if (!utf8) {
    PyErr_Clear();
    return msg::kStrFailed;
  }
  return bytes_text(utf8.get());
}

std::string text_of(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return exception_text(obj);
  const Ref utf8 = clean_utf8(obj);
  if (!utf8) throw PythonError{};
  return bytes_text(utf8.get());
}

namespace {
// Set once, at the module's initialisation, with the interpreter lock held.
bool g_pass_on_result_errors = false;
}  // namespace

void pass_on_result_errors() { g_pass_on_result_errors = true; }

// Required behaviour of zeq, not a guard: a result object the interpreter
// cannot make ends the call with PanicException "Python API call failed".
void result_object_failed() {
  if (PyErr_Occurred() != nullptr) {
    if (g_pass_on_result_errors) throw PythonError{};
    PyErr_Print();
  }
  throw InternalFault(msg::kResultObjectFailed);
}

void set_error_from_current_exception() noexcept {
  try {
    throw;
  } catch (const PythonError&) {
    if (PyErr_Occurred() == nullptr) {
      PyErr_SetString(PyExc_SystemError, msg::kNoExceptionSet);
    }
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic(msg::kUnknownFault);
  }
}

}  // namespace zeq::py
