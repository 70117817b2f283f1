// The one place that includes the CPython headers, so that every file sees
// them configured the same way (limited API of 3.9, Py_ssize_t lengths).
#ifndef ZEQ_PYTHON_PY_API_H_
#define ZEQ_PYTHON_PY_API_H_

#ifndef Py_LIMITED_API
#error "the extension is built against the stable ABI: define Py_LIMITED_API"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// Token ids are read with PyLong_AsLong and PyLong_AsSsize_t and made with
// PyLong_FromLong (convert.cc), which must hold every value from 0 to
// 2^32 - 1 (and report wider ints as OverflowError).
static_assert(sizeof(long) >= 8, "zeq expects an LP64 platform");

#endif  // ZEQ_PYTHON_PY_API_H_
