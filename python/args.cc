#include "args.h"
#include "messages.h"

#include <string>

#include "barrier.h"
#include "convert.h"
#include "ref.h"

namespace zeq::py {
namespace {

// Index of the parameter named `key`, or -1.
Py_ssize_t find(const Signature& sig, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, sig.parameters[i].name) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

void take_positional(const Signature& sig, Py_ssize_t nargs, PyObject** values,
                     auto&& positional) {
  const auto most = static_cast<Py_ssize_t>(sig.positional);
  if (nargs > most) {
    raise(PyExc_TypeError, msg::kTooManyPositionalPlural, sig.full_name, most,
          most == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = positional(i);
}

void take_keyword(const Signature& sig, PyObject* key, PyObject* value, PyObject** values) {
  const Py_ssize_t i = find(sig, key);
  if (i < 0) {
    raise(PyExc_TypeError, msg::kUnexpectedKeyword, sig.full_name,
          text_of(key).c_str());
  }
  if (values[i] != nullptr) {
    raise(PyExc_TypeError, msg::kMultipleValues, sig.full_name,
          sig.parameters[static_cast<std::size_t>(i)].name);
  }
  values[i] = value;
}

void check_required(const Signature& sig, PyObject** values) {
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) {
    const Parameter& p = sig.parameters[i];
    if (p.required && values[i] == nullptr) {
      raise(PyExc_TypeError, msg::kMissingArgument, sig.full_name,
            p.keyword_only ? "keyword-only " : "positional ", p.name);
    }
  }
}

}  // namespace

void parse_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** values) {
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) values[i] = nullptr;
  // The usual call: every positional parameter given by position, nothing
  // by keyword, so nothing can be missing or given twice.
  if (kwnames == nullptr && static_cast<std::size_t>(nargs) == sig.positional) {
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    return;
  }
  take_positional(sig, nargs, values, [&](Py_ssize_t i) { return args[i]; });
  if (kwnames != nullptr) {
    const Py_ssize_t count = PyTuple_Size(kwnames);
    if (count < 0) throw PythonError{};
    for (Py_ssize_t k = 0; k < count; ++k) {
      take_keyword(sig, PyTuple_GetItem(kwnames, k), args[nargs + k], values);
    }
  }
  check_required(sig, values);
}

void parse_classic(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** values) {
  for (std::size_t i = 0; i < sig.parameters.size(); ++i) values[i] = nullptr;
  const Py_ssize_t nargs = PyTuple_Size(args);
  if (nargs < 0) throw PythonError{};
  take_positional(sig, nargs, values, [&](Py_ssize_t i) { return PyTuple_GetItem(args, i); });
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) take_keyword(sig, key, value, values);
  }
  check_required(sig, values);
}

bool flag_arg(PyObject* value, bool absent) {
  if (value == nullptr) return absent;
  const int truth = PyObject_IsTrue(value);
  if (truth < 0) throw PythonError{};
  return truth != 0;
}

unsigned threads_arg(PyObject* value, const char* full_name) {
  if (value == nullptr || value == Py_None) return 0;
  if (!PyLong_Check(value)) {
    raise(PyExc_TypeError, msg::kThreadsType, full_name,
          type_qualname(value).c_str());
  }
  const long n = PyLong_AsLong(value);
  if (n == -1 && PyErr_Occurred() != nullptr) throw PythonError{};
  if (n < 1) raise(PyExc_ValueError, msg::kThreadsRange, full_name, n);
  // More threads than anything can use are as good as the most there are.
  return n > 4096 ? 4096u : static_cast<unsigned>(n);
}

}  // namespace zeq::py
