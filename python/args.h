// Parsing the arguments of methods with several parameters, some of them
// keyword-only, in both calling conventions, with Python's own messages.
#ifndef ZEQ_PYTHON_ARGS_H_
#define ZEQ_PYTHON_ARGS_H_

#include <cstddef>
#include <span>

#include "py_api.h"

namespace zeq::py {

struct Parameter {
  const char* name;
  bool keyword_only;  // else positional or keyword
  bool required;
};

// The parameters that may be given by position come first; keyword-only
// ones are optional (parse_fast relies on both).
struct Signature {
  constexpr Signature(const char* name, std::span<const Parameter> params)
      : full_name(name), parameters(params), positional(0) {
    for (const Parameter& p : params) positional += p.keyword_only ? 0 : 1;
  }
  const char* full_name;  // "Encoder.encode()", used in messages
  std::span<const Parameter> parameters;
  std::size_t positional;  // parameters that may be given by position
};

// Fills values[i] (a borrowed reference, or null when not given) for every
// parameter, from a METH_FASTCALL | METH_KEYWORDS call: `nargs` positional
// values, then one value per name in `kwnames` (or null). Raises TypeError
// (throws PythonError) for too many positional values, an unknown or
// repeated keyword, or a missing required parameter.
void parse_fast(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                PyObject** values);
// The same for a METH_VARARGS | METH_KEYWORDS call (`kwargs` may be null).
void parse_classic(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** values);

// Optional arguments read as Python reads them.
bool flag_arg(PyObject* value, bool absent);           // truth value; `absent` when null
// None (or absent) -> 0; else an int >= 1, as a count of threads.
unsigned threads_arg(PyObject* value, const char* full_name);

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_ARGS_H_
