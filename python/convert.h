// Argument parsing and the conversions between Python objects and the core's
// values. Every function here reports failure by throwing (see barrier.h).
#ifndef ZEQ_PYTHON_CONVERT_H_
#define ZEQ_PYTHON_CONVERT_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "py_api.h"
#include "object_cache.h"
#include "ref.h"
#include "zeq/tokenizer.h"

namespace zeq::py {

// The one parameter every method of the class takes: it may be passed by
// position or by keyword.
struct Param {
  const char* full_name;  // "Tokenizer.encode()", used in messages
  const char* name;       // "text"
};

// Returns the parameter's value from a METH_VARARGS | METH_KEYWORDS call
// (`kwargs` may be null), or raises TypeError for a wrong arity or keyword.
Ref parse_one(PyObject* args, PyObject* kwargs, const Param& param);
// The same for a METH_FASTCALL | METH_KEYWORDS call: `nargs` positional
// values in args[0, nargs), then one value for each name in the tuple
// `kwnames` (or null), in call order. Same checks, same messages.
Ref parse_one_fast(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   const Param& param);

// __qualname__ of the object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);

// A str argument as UTF-8 bytes. The view points into `bytes`, which keeps
// the encoded copy alive for as long as the argument is in use.
struct Utf8Arg {
  Ref bytes;
  std::string_view view;
};

// Argument conversions; `param` names the argument in reworded TypeErrors.
Utf8Arg string_arg(PyObject* value, const char* param);
TokenId id_arg(PyObject* value, const char* param);
// The ids are written over `ids`, to be decoded by `decoder`: as each one
// is read, what decoding it reads is asked for (Tokenizer::decode_prefetch).
void ids_arg(PyObject* value, const char* param, const Tokenizer& decoder,
             std::vector<TokenId>& ids);

// Result conversions: each returns a new reference.
PyObject* id_object(TokenId id);
PyObject* count_object(std::uint64_t count);
PyObject* str_object(std::string_view text);
// With a cache, the ints come from it (see object_cache.h).
PyObject* id_list(std::span<const TokenId> ids, ObjectCache* ints = nullptr);
// The piece text of every id (Tokenizer::piece_or_unk), the strs coming
// from `strs`, keyed by id.
PyObject* piece_list(std::span<const TokenId> ids, const Tokenizer& core, ObjectCache& strs);
PyObject* none_object();

// The most items a sequence's own reported length reserves up front when
// the length cannot be trusted; the rest grows as items actually arrive.
inline constexpr std::size_t kUntrustedReserve = 4096;

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_CONVERT_H_
