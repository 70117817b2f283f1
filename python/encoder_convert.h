// Conversions of the Encoder's arguments and results, beyond the ones it
// shares with zeq.Tokenizer (convert.h). Messages follow Python's own.
#ifndef ZEQ_PYTHON_ENCODER_CONVERT_H_
#define ZEQ_PYTHON_ENCODER_CONVERT_H_

#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "convert.h"
#include "py_api.h"
#include "zeq/tokenizer.h"

namespace zeq::py {

// A str argument as UTF-8 (a lone surrogate raises UnicodeEncodeError);
// anything else raises TypeError "<function> argument '<name>' must be str,
// not <type>".
Utf8Arg text_arg(PyObject* value, const char* function, const char* name);

// The ids that add_bos and add_eos ask for.
struct Specials {
  std::optional<TokenId> bos, eos;
  void add_to(std::vector<TokenId>& ids) const {
    if (bos) ids.insert(ids.begin(), *bos);
    if (eos) ids.push_back(*eos);
  }
};
// Reads add_bos and add_eos (null: not given); asking for an id the
// vocabulary does not have raises ValueError.
Specials specials_arg(const Tokenizer& core, PyObject* add_bos, PyObject* add_eos, const char* function);

// A new list of (start, end) tuples: each span of `text` (in bytes,
// starts and ends never decreasing) in code points.
PyObject* offset_list(std::string_view text, std::span<const Span> spans);

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_ENCODER_CONVERT_H_
