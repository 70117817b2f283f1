// The methods and properties of zeqtools.Encoder that work on one text or
// one id list, and the method table of the class. Each runs inside the
// fault barrier with the interpreter lock held throughout, as zeq.Tokenizer's
// do; the batch methods are in encoder_batch.cc.
#include <cstdint>
#include <string>
#include <utility>

#include "args.h"
#include "barrier.h"
#include "convert.h"
#include "encoder_batch.h"
#include "encoder_load.h"
#include "encoder_convert.h"
#include "encoder_type.h"
#include "instance_type.h"
#include "ref.h"
#include "zeq/tokenizer.h"

namespace zeq::py {
namespace {

constexpr Parameter kTextOnly[] = {{"text", false, true}};
constexpr Parameter kTextAndSpecials[] = {
    {"text", false, true}, {"add_bos", true, false}, {"add_eos", true, false}};
constexpr Parameter kIdsOnly[] = {{"ids", false, true}};
constexpr Parameter kIdOnly[] = {{"id", false, true}};
constexpr Parameter kPieceOnly[] = {{"piece", false, true}};
constexpr Parameter kPathOnly[] = {{"path", false, true}};
constexpr Parameter kDataOnly[] = {{"data", false, true}};

constexpr Signature kFromFile{"Encoder.from_file()", kPathOnly};
constexpr Signature kFromBytes{"Encoder.from_bytes()", kDataOnly};
constexpr Signature kEncode{"Encoder.encode()", kTextAndSpecials};
constexpr Signature kEncodePieces{"Encoder.encode_pieces()", kTextOnly};
constexpr Signature kEncodeOffsets{"Encoder.encode_offsets()", kTextOnly};
constexpr Signature kDecode{"Encoder.decode()", kIdsOnly};
constexpr Signature kNormalize{"Encoder.normalize()", kTextOnly};
constexpr Signature kIdToPiece{"Encoder.id_to_piece()", kIdOnly};
constexpr Signature kPieceToId{"Encoder.piece_to_id()", kPieceOnly};

PyObject* from_file_body(PyObject*, PyObject** v) { return load_from_file(v[0]); }
PyObject* from_bytes_body(PyObject*, PyObject** v) { return load_from_bytes(v[0]); }

PyObject* encode_body(PyObject* self, PyObject** v) {
  EncoderInstance& held = encoder_receiver(self);
  const Utf8Arg text = text_arg(v[0], kEncode.full_name, "text");
  const Specials specials = specials_arg(held.core, v[1], v[2], kEncode.full_name);
  // No Python code runs from here to the end of the call: the session and
  // the buffer serve no one else meanwhile.
  IdsLease lease(held.buffers);
  std::vector<TokenId>& ids = lease.ids();
  held.session.encode(text.view, ids);
  specials.add_to(ids);
  return id_list(ids, &held.ints);
}

PyObject* encode_pieces_body(PyObject* self, PyObject** v) {
  EncoderInstance& held = encoder_receiver(self);
  const Utf8Arg text = text_arg(v[0], kEncodePieces.full_name, "text");
  if (!held.core.has_options()) {
    IdsLease lease(held.buffers);
    held.session.encode(text.view, lease.ids());
    return piece_list(lease.ids(), held.core, held.strs);
  }
  // A converted model shows an unknown token as the text it stands for, as
  // its source does: that text comes from the normalised input.
  TokenSpans tokens;
  held.session.encode_detailed(text.view, tokens);
  const std::string_view normalized = held.session.normalized();
  Ref list(made(PyList_New(static_cast<Py_ssize_t>(tokens.ids.size()))));
  for (std::size_t i = 0; i < tokens.ids.size(); ++i) {
    const TokenId id = tokens.ids[i];
    PyObject* item;
    if (id == held.core.unk_id()) {
      const Span s = tokens.normalized[i];
      item = str_object(normalized.substr(s.begin, s.end - s.begin));
    } else {
      item = held.strs.get(id, [&] { return str_object(held.core.piece_or_unk(id)); });
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* encode_offsets_body(PyObject* self, PyObject** v) {
  EncoderInstance& held = encoder_receiver(self);
  const Utf8Arg text = text_arg(v[0], kEncodeOffsets.full_name, "text");
  TokenSpans tokens;
  held.session.encode_detailed(text.view, tokens);
  return offset_list(text.view, tokens.source);
}

PyObject* decode_body(PyObject* self, PyObject** v) {
  EncoderInstance& held = encoder_receiver(self);
  IdsLease lease(held.buffers);
  ids_arg(v[0], "ids", held.core, lease.ids());
  std::string& text = held.buffers.text;
  held.core.decode_into(lease.ids(), text);
  return str_object(text);
}

PyObject* normalize_body(PyObject* self, PyObject** v) {
  EncoderInstance& held = encoder_receiver(self);
  const Utf8Arg text = text_arg(v[0], kNormalize.full_name, "text");
  IdsLease lease(held.buffers);  // the text buffer is the outermost call's
  std::string& out = held.buffers.text;
  held.session.normalize(text.view, out);
  return str_object(out);
}

PyObject* id_to_piece_body(PyObject* self, PyObject** v) {
  const Tokenizer& core = encoder_receiver(self).core;
  const auto piece = core.id_to_piece(id_arg(v[0], "id"));
  return piece ? str_object(*piece) : none_object();
}

PyObject* piece_to_id_body(PyObject* self, PyObject** v) {
  const Tokenizer& core = encoder_receiver(self).core;
  const Utf8Arg piece = text_arg(v[0], kPieceToId.full_name, "piece");
  const auto id = core.piece_to_id(piece.view);
  return id ? id_object(*id) : none_object();
}

// Pickling by content: the bytes the encoder was loaded from, so that a
// process elsewhere needs no access to the file.
PyObject* reduce(PyObject* self, PyObject*) {
  return barrier([&] {
    EncoderInstance& held = encoder_receiver(self);
    const Ref load(checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(encoder_type()), "from_bytes")));
    return checked(Py_BuildValue("(O(O))", load.get(), held.data.get()));
  });
}

// --- properties ---

enum class Property { VocabSize, Pad, Unk, Bos, Eos, HasOptions };

PyObject* property(PyObject* self, void* closure) {
  return barrier([&]() -> PyObject* {
    const Tokenizer& core = encoder_receiver(self).core;
    switch (static_cast<Property>(reinterpret_cast<std::uintptr_t>(closure))) {
      case Property::VocabSize:
        return count_object(core.vocab_size());
      case Property::Pad:
        return id_object(core.pad_id());
      case Property::Unk:
        return id_object(core.unk_id());
      case Property::Bos:
        return id_object(core.bos_id());
      case Property::Eos:
        return id_object(core.eos_id());
      case Property::HasOptions:
        return checked(PyBool_FromLong(core.has_options()));
    }
    throw InternalFault("unknown Encoder property");
  });
}

void* which(Property p) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(p)); }

// --- entry points ---

using Body = PyObject* (*)(PyObject*, PyObject**);
constexpr std::size_t kMostParameters = 4;

template <Body body, const Signature& sig>
PyObject* classic(PyObject* self, PyObject* args, PyObject* kwargs) {
  return barrier([&] {
    PyObject* values[kMostParameters];
    parse_classic(sig, args, kwargs, values);
    return body(self, values);
  });
}

template <Body body, const Signature& sig>
PyObject* fastcall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return barrier([&] {
    PyObject* values[kMostParameters];
    parse_fast(sig, args, nargs, kwnames, values);
    return body(self, values);
  });
}

template <bool kFast>
struct MethodTable {
  template <Body body, const Signature& sig>
  static PyCFunction entry() {
    static_assert(sig.parameters.size() <= kMostParameters);
    if constexpr (kFast) {
      return method(fastcall<body, sig>);
    } else {
      return method(classic<body, sig>);
    }
  }
  static constexpr int kFlags = kFast ? (kMethFastcall | METH_KEYWORDS) : (METH_VARARGS | METH_KEYWORDS);

  static inline PyMethodDef defs[] = {
      {"from_file", entry<from_file_body, kFromFile>(), kFlags | METH_STATIC,
       "from_file(path)\n--\n\nLoad an encoder from a .vocab.bin file (str, bytes or os.PathLike)."},
      {"from_bytes", entry<from_bytes_body, kFromBytes>(), kFlags | METH_STATIC,
       "from_bytes(data)\n--\n\nLoad an encoder from the bytes of a .vocab.bin file."},
      {"encode", entry<encode_body, kEncode>(), kFlags,
       "encode($self, text, *, add_bos=False, add_eos=False)\n--\n\n"
       "The token ids of text, with bos_id in front and eos_id after when asked."},
      {"encode_pieces", entry<encode_pieces_body, kEncodePieces>(), kFlags,
       "encode_pieces($self, text)\n--\n\nThe pieces of text, as strings."},
      {"encode_offsets", entry<encode_offsets_body, kEncodeOffsets>(), kFlags,
       "encode_offsets($self, text)\n--\n\n"
       "For each token of encode(text), its (start, end) in text, in code points."},
      {"decode", entry<decode_body, kDecode>(), kFlags,
       "decode($self, ids)\n--\n\nThe text of a sequence of token ids."},
      {"normalize", entry<normalize_body, kNormalize>(), kFlags,
       "normalize($self, text)\n--\n\nThe normalised text that segmentation reads (spaces as U+2581)."},
      {"id_to_piece", entry<id_to_piece_body, kIdToPiece>(), kFlags,
       "id_to_piece($self, id)\n--\n\nThe text of one id, or None past the vocabulary."},
      {"piece_to_id", entry<piece_to_id_body, kPieceToId>(), kFlags,
       "piece_to_id($self, piece)\n--\n\nThe id of one piece, or None if it is not in the vocabulary."},
      {"encode_batch", entry<encode_batch_body, kEncodeBatch>(), kFlags,
       "encode_batch($self, texts, *, add_bos=False, add_eos=False, threads=None)\n--\n\n"
       "encode() of every text, on `threads` threads (default: every CPU this process may use)."},
      {"encode_flat", entry<encode_flat_body, kEncodeFlat>(), kFlags,
       "encode_flat($self, texts, *, add_bos=False, add_eos=False, threads=None)\n--\n\n"
       "(ids, offsets): every text's ids in one memoryview of uint32 ('I'), and n + 1\n"
       "int64 positions ('q'), text i's ids being ids[offsets[i]:offsets[i + 1]]."},
      {"decode_batch", entry<decode_batch_body, kDecodeBatch>(), kFlags,
       "decode_batch($self, id_lists, *, threads=None)\n--\n\ndecode() of every id list, on `threads` threads."},
      {"__reduce__", reinterpret_cast<PyCFunction>(reduce), METH_NOARGS, nullptr},
      {nullptr, nullptr, 0, nullptr},
  };
};

}  // namespace

PyMethodDef* encoder_methods(bool vectorcall) {
  return vectorcall ? MethodTable<true>::defs : MethodTable<false>::defs;
}

PyGetSetDef kEncoderGetSet[] = {
    {"vocab_size", property, nullptr, "The number of records of the vocabulary.", which(Property::VocabSize)},
    {"pad_id", property, nullptr, "The padding id.", which(Property::Pad)},
    {"unk_id", property, nullptr, "The id of unknown text.", which(Property::Unk)},
    {"bos_id", property, nullptr, "The begin-of-sequence id.", which(Property::Bos)},
    {"eos_id", property, nullptr, "The end-of-sequence id.", which(Property::Eos)},
    {"has_options", property, nullptr,
     "Whether the file describes its source model's normaliser and special pieces (an options section).",
     which(Property::HasOptions)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace zeq::py
