// The methods and properties of zeq.Tokenizer. Each one parses its single
// argument, checks the receiver, converts the argument, calls one core
// operation and converts the result, all inside the fault barrier.
#include <string>
#include <utility>

#include "barrier.h"
#include "convert.h"
#include "ref.h"
#include "zeq/error.h"
#include "zeq/tokenizer.h"
#include "instance_type.h"
#include "tokenizer_type.h"

namespace zeq::py {
namespace {

constexpr Param kFromFile{"Tokenizer.from_file()", "path"};
constexpr Param kEncode{"Tokenizer.encode()", "text"};
constexpr Param kEncodePieces{"Tokenizer.encode_pieces()", "text"};
constexpr Param kDecode{"Tokenizer.decode()", "ids"};
constexpr Param kIdToPiece{"Tokenizer.id_to_piece()", "id"};
constexpr Param kPieceToId{"Tokenizer.piece_to_id()", "piece"};

// A load failure is an OSError built from the message alone, so it is
// OSError itself (never a subclass picked from an errno) with errno,
// strerror and filename all None.
[[noreturn]] void raise_load_error(const TokenizerError& error) {
  const std::string text = error.to_string();
  const Ref message(checked(PyUnicode_DecodeUTF8(
      text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
  PyErr_SetObject(PyExc_OSError, message.get());
  throw PythonError{};
}

PyObject* from_file_body(PyObject*, PyObject* arg) {
  const Utf8Arg path = string_arg(arg, kFromFile.name);
  Result<Tokenizer> tokenizer = Tokenizer::load_records(path.view);
  if (!tokenizer) raise_load_error(tokenizer.error());
  return new_tokenizer(std::move(*tokenizer));
}

PyObject* encode_body(PyObject* self, PyObject* arg) {
  Instance& held = receiver(self);
  const Utf8Arg text = string_arg(arg, kEncode.name);
  // No Python code runs from here to the end of the call: the buffer
  // cannot be lent to anyone else meanwhile.
  IdsLease lease(held.buffers);
  held.session.encode(text.view, lease.ids());
  return id_list(lease.ids(), &held.ints);
}

PyObject* encode_pieces_body(PyObject* self, PyObject* arg) {
  Instance& held = receiver(self);
  const Utf8Arg text = string_arg(arg, kEncodePieces.name);
  IdsLease lease(held.buffers);
  held.session.encode(text.view, lease.ids());
  return piece_list(lease.ids(), held.core, held.strs);
}

PyObject* decode_body(PyObject* self, PyObject* arg) {
  Instance& held = receiver(self);
  // Converted completely before the core sees any of it.
  IdsLease lease(held.buffers);
  ids_arg(arg, kDecode.name, held.core, lease.ids());
  // Nothing runs Python code from here on: the text buffer is ours (the
  // outermost call's lease trims it on the way out).
  std::string& text = held.buffers.text;
  held.core.decode_into(lease.ids(), text);
  return str_object(text);
}

PyObject* id_to_piece_body(PyObject* self, PyObject* arg) {
  const Tokenizer& core = receiver(self).core;
  const TokenId id = id_arg(arg, kIdToPiece.name);
  const auto piece = core.id_to_piece(id);
  return piece ? str_object(*piece) : none_object();
}

PyObject* piece_to_id_body(PyObject* self, PyObject* arg) {
  const Tokenizer& core = receiver(self).core;
  const Utf8Arg piece = string_arg(arg, kPieceToId.name);
  const auto id = core.piece_to_id(piece.view);
  return id ? id_object(*id) : none_object();
}

PyObject* vocab_size(PyObject* self, void*) {
  return barrier([&] { return count_object(receiver(self).core.vocab_size()); });
}

// One getter for the four special ids; the closure says which.
enum class Special { Pad, Unk, Bos, Eos };

PyObject* special_id(PyObject* self, void* closure) {
  return barrier([&] {
    const Tokenizer& core = receiver(self).core;
    switch (static_cast<Special>(reinterpret_cast<std::uintptr_t>(closure))) {
      case Special::Pad:
        return id_object(core.pad_id());
      case Special::Unk:
        return id_object(core.unk_id());
      case Special::Bos:
        return id_object(core.bos_id());
      case Special::Eos:
        return id_object(core.eos_id());
    }
    throw InternalFault("unknown special id property");
  });
}

void* special(Special which) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(which));
}

// Each method has two entry points around one body: the classic
// convention (a tuple and a dict of arguments), and the vectorcall one
// (METH_FASTCALL: a C array and a tuple of keyword names), which spares
// every call the making and freeing of its argument tuple, a large part of
// the cost of a short call (docs/experiments.md, "short calls"). METH_FASTCALL is in the stable ABI from
// Python 3.10 on; a build for the 3.9 limited API does not see its name,
// so its value is given in instance_type.h and the table using it is
// chosen only when the running interpreter is 3.10 or newer.

using Body = PyObject* (*)(PyObject*, PyObject*);

template <Body body, const Param& param>
PyObject* classic(PyObject* self, PyObject* args, PyObject* kwargs) {
  return barrier([&] {
    const Ref arg = parse_one(args, kwargs, param);
    return body(self, arg.get());
  });
}

template <Body body, const Param& param>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return barrier([&] {
    const Ref arg = parse_one_fast(args, nargs, kwnames, param);
    return body(self, arg.get());
  });
}

// The method table, built for one convention.
template <bool kFast>
struct MethodTable {
  template <Body body, const Param& param>
  static PyCFunction entry() {
    if constexpr (kFast) {
      return method(fastcall<body, param>);
    } else {
      return method(classic<body, param>);
    }
  }
  static constexpr int kFlags = kFast ? (kMethFastcall | METH_KEYWORDS) : (METH_VARARGS | METH_KEYWORDS);

  static inline PyMethodDef defs[] = {
      {"from_file", entry<from_file_body, kFromFile>(), kFlags | METH_STATIC,
       "from_file(path, /)\n--\n\nLoad a tokenizer from a binary vocab file."},
      {"encode", entry<encode_body, kEncode>(), kFlags,
       "encode($self, text, /)\n--\n\nEncode text into a list of token IDs."},
      {"encode_pieces", entry<encode_pieces_body, kEncodePieces>(), kFlags,
       "encode_pieces($self, text, /)\n--\n\n"
       "Encode text into a list of piece strings (for inspection)."},
      {"decode", entry<decode_body, kDecode>(), kFlags,
       "decode($self, ids, /)\n--\n\nDecode a list of token IDs back to text."},
      {"id_to_piece", entry<id_to_piece_body, kIdToPiece>(), kFlags,
       "id_to_piece($self, id, /)\n--\n\n"
       "Return the text of a single token id, or None if out of range."},
      {"piece_to_id", entry<piece_to_id_body, kPieceToId>(), kFlags,
       "piece_to_id($self, piece, /)\n--\n\n"
       "Return the id of a single piece string, or None if not in vocab."},
      {nullptr, nullptr, 0, nullptr},
  };
};

}  // namespace

PyMethodDef* tokenizer_methods(bool vectorcall) {
  return vectorcall ? MethodTable<true>::defs : MethodTable<false>::defs;
}

PyGetSetDef kTokenizerGetSet[] = {
    {"vocab_size", vocab_size, nullptr,
     "Total vocabulary size (pieces including specials + byte fallbacks).",
     nullptr},
    {"pad_id", special_id, nullptr, "", special(Special::Pad)},
    {"unk_id", special_id, nullptr, "", special(Special::Unk)},
    {"bos_id", special_id, nullptr, "", special(Special::Bos)},
    {"eos_id", special_id, nullptr, "", special(Special::Eos)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace zeq::py
