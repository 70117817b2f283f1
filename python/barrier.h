// The fault barrier between the interpreter and the native code.
//
// Every function the interpreter calls (methods, property getters, slots,
// module initialisation) runs its body through `barrier`. Inside, code
// reports failure by throwing:
//   - PythonError once a Python exception has been set: passed on as is;
//   - zeq::InternalFault (a broken invariant) or any other C++ exception:
//     turned into PanicException, a BaseException subclass that ordinary
//     `except Exception` handlers do not swallow;
//   - std::bad_alloc: MemoryError.
// Two PanicExceptions are required behaviour rather than guards: a result
// object the interpreter cannot make (result_object_failed) and a sequence
// that reports a length of 2^61 or more ("capacity overflow", convert.cc).
// No C++ exception ever leaves a barrier.
#ifndef ZEQ_PYTHON_BARRIER_H_
#define ZEQ_PYTHON_BARRIER_H_

#include <string>

#include "py_api.h"
#include "ref.h"

namespace zeq::py {

// The dotted name of PanicException in the module being built: each
// extension module that links the barrier defines it.
extern const char kPanicExceptionName[];

// The PanicException class of this module, made on first need and kept for
// the life of the process; null (with an exception set) if it cannot be made.
PyObject* panic_exception_type();

// Thrown after a Python exception has been set (or should have been: when
// the interpreter reported a failure without one, the barrier raises
// SystemError instead).
struct PythonError {};

// Throws PythonError when `obj` is null: for interpreter calls whose own
// exception is the right one to pass on.
inline PyObject* checked(PyObject* obj) {
  if (obj == nullptr) throw PythonError{};
  return obj;
}

// For objects that make up a call's result: a failure there is not the
// caller's fault, so the interpreter's exception is printed and the call
// raises PanicException "Python API call failed" (zeq's contract) -- unless
// the module called pass_on_result_errors() when it was initialised; then
// the interpreter's own exception (MemoryError) is passed on, as Python
// code would see it. Each extension module has its own copy of the setting.
[[noreturn]] void result_object_failed();
void pass_on_result_errors();
inline PyObject* made(PyObject* obj) {
  if (obj == nullptr) result_object_failed();
  return obj;
}

// Sets `type` with the message built by PyErr_Format and throws PythonError.
template <class... Args>
[[noreturn]] void raise(PyObject* type, const char* format, Args... args) {
  PyErr_Format(type, format, args...);
  throw PythonError{};
}

// The pending exception, normalised and taken out of the interpreter
// (nothing is pending afterwards). `value` is null when nothing was set.
struct PendingError {
  Ref type;
  Ref value;
  Ref traceback;
};
PendingError take_pending_error();
// Makes `error` the pending exception again.
void restore_error(PendingError error);

// str(exc) as valid UTF-8 (lone surrogates become U+FFFD), or a fixed text
// when str() itself fails with an ordinary Exception. str() runs caller
// code: a BaseException that is no Exception (KeyboardInterrupt, SystemExit)
// raised there is not swallowed but thrown on as PythonError, unless
// `swallow_all` is set (for callers that cannot raise).
std::string exception_text(PyObject* exc, bool swallow_all = false);

// The characters of a str (or str subclass, without calling its __str__)
// as valid UTF-8; for anything else, exception_text.
std::string text_of(PyObject* obj);

// Sets the exception for the C++ exception being handled. Call only from a
// catch block. Never throws (a failure here ends the process).
void set_error_from_current_exception() noexcept;

template <class Body>
PyObject* barrier(Body&& body) noexcept {
  try {
    PyObject* result = body();
    if (result == nullptr) throw PythonError{};
    return result;
  } catch (...) {
    set_error_from_current_exception();
    return nullptr;
  }
}

// Barrier for the length slot: -1 signals the error.
template <class Body>
Py_ssize_t barrier_ssize(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    set_error_from_current_exception();
    return -1;
  }
}

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_BARRIER_H_
