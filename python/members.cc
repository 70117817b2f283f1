// The methods and properties of zeq.Tokenizer. Each one parses its single
// argument, checks the receiver, converts the argument, calls one core
// operation and converts the result, all inside the fault barrier.
#include <string>
#include <utility>

#include "barrier.h"
#include "convert.h"
#include "ref.h"
#include "tokenizer/error.h"
#include "tokenizer/tokenizer.h"
#include "tokenizer/vocab_file.h"
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

PyObject* from_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return barrier([&] {
    const Ref arg = parse_one(args, kwargs, kFromFile);
    const Utf8Arg path = string_arg(arg.get(), kFromFile.name);
    Result<Vocab> vocab = read_vocab_file(path.view);
    if (!vocab) raise_load_error(vocab.error());
    return new_tokenizer(Tokenizer::from_vocab(std::move(*vocab)));
  });
}

PyObject* encode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return barrier([&] {
    const Ref arg = parse_one(args, kwargs, kEncode);
    Instance& held = receiver(self);
    const Utf8Arg text = string_arg(arg.get(), kEncode.name);
    // No Python code runs from here to the end of the call: the buffer
    // cannot be lent to anyone else meanwhile.
    IdsLease lease(held.buffers);
    held.core.encode_into(text.view, &held.cache, lease.ids());
    return id_list(lease.ids(), &held.ints);
  });
}

PyObject* encode_pieces(PyObject* self, PyObject* args, PyObject* kwargs) {
  return barrier([&] {
    const Ref arg = parse_one(args, kwargs, kEncodePieces);
    Instance& held = receiver(self);
    const Utf8Arg text = string_arg(arg.get(), kEncodePieces.name);
    IdsLease lease(held.buffers);
    held.core.encode_into(text.view, &held.cache, lease.ids());
    return piece_list(lease.ids(), held.core, held.strs);
  });
}

PyObject* decode(PyObject* self, PyObject* args, PyObject* kwargs) {
  return barrier([&] {
    const Ref arg = parse_one(args, kwargs, kDecode);
    Instance& held = receiver(self);
    // Converted completely before the core sees any of it.
    IdsLease lease(held.buffers);
    ids_arg(arg.get(), kDecode.name, lease.ids());
    // Nothing runs Python code from here on: the text buffer is ours.
    std::string& text = held.buffers.text;
    held.core.decode_into(lease.ids(), text);
    PyObject* result = str_object(text);
    if (text.capacity() > CallBuffers::kKeptBytes) std::string().swap(text);
    return result;
  });
}

PyObject* id_to_piece(PyObject* self, PyObject* args, PyObject* kwargs) {
  return barrier([&] {
    const Ref arg = parse_one(args, kwargs, kIdToPiece);
    const Tokenizer& core = receiver(self).core;
    const TokenId id = id_arg(arg.get(), kIdToPiece.name);
    const auto piece = core.id_to_piece(id);
    return piece ? str_object(*piece) : none_object();
  });
}

PyObject* piece_to_id(PyObject* self, PyObject* args, PyObject* kwargs) {
  return barrier([&] {
    const Ref arg = parse_one(args, kwargs, kPieceToId);
    const Tokenizer& core = receiver(self).core;
    const Utf8Arg piece = string_arg(arg.get(), kPieceToId.name);
    const auto id = core.piece_to_id(piece.view);
    return id ? id_object(*id) : none_object();
  });
}

PyObject* vocab_size(PyObject* self, void*) {
  return barrier([&] { return count_object(receiver(self).core.vocab_size()); });
}

// One getter for the four special ids; the closure says which.
enum class Special { Pad, Unk, Bos, Eos };

PyObject* special_id(PyObject* self, void* closure) {
  return barrier([&] {
    const Vocab& vocab = receiver(self).core.vocab();
    switch (static_cast<Special>(reinterpret_cast<std::uintptr_t>(closure))) {
      case Special::Pad:
        return id_object(vocab.pad_id());
      case Special::Unk:
        return id_object(vocab.unk_id());
      case Special::Bos:
        return id_object(vocab.bos_id());
      case Special::Eos:
        return id_object(vocab.eos_id());
    }
    throw InternalFault("unknown special id property");
  });
}

void* special(Special which) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(which));
}

template <class F>
PyCFunction method(F* fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kArgs = METH_VARARGS | METH_KEYWORDS;

}  // namespace

PyMethodDef kTokenizerMethods[] = {
    {"from_file", method(from_file), kArgs | METH_STATIC,
     "from_file(path, /)\n--\n\nLoad a tokenizer from a binary vocab file."},
    {"encode", method(encode), kArgs,
     "encode($self, text, /)\n--\n\nEncode text into a list of token IDs."},
    {"encode_pieces", method(encode_pieces), kArgs,
     "encode_pieces($self, text, /)\n--\n\n"
     "Encode text into a list of piece strings (for inspection)."},
    {"decode", method(decode), kArgs,
     "decode($self, ids, /)\n--\n\nDecode a list of token IDs back to text."},
    {"id_to_piece", method(id_to_piece), kArgs,
     "id_to_piece($self, id, /)\n--\n\n"
     "Return the text of a single token id, or None if out of range."},
    {"piece_to_id", method(piece_to_id), kArgs,
     "piece_to_id($self, piece, /)\n--\n\n"
     "Return the id of a single piece string, or None if not in vocab."},
    {nullptr, nullptr, 0, nullptr},
};

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
