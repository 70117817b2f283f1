#include "convert.h"
#include "messages.h"

#include <algorithm>

#include "barrier.h"
#include "zeq/error.h"

namespace zeq::py {
namespace {

// A length whose byte size as TokenIds could not even be addressed: the
// sequence is broken, and no allocation is attempted.
constexpr Py_ssize_t kLengthLimit = Py_ssize_t{1} << 61;


// Replaces a pending TypeError (exactly that type, not a subclass) with
// "argument '<param>': <text of the first error>", keeping its __cause__.
// Any other pending exception is left as it is. Always throws PythonError.
[[noreturn]] void reword_type_error(const char* param) {
  PendingError error = take_pending_error();
  if (!error.value) throw PythonError{};  // nothing was set: SystemError
  if (Py_TYPE(error.value.get()) !=
      reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_error(std::move(error));
    throw PythonError{};
  }
  const std::string text = exception_text(error.value.get());
  Ref cause(PyException_GetCause(error.value.get()));
  error = PendingError{};  // the first error is dropped, not chained
  const Ref message(checked(PyUnicode_FromFormat(msg::kReworded, param,
                                                 text.c_str())));
  const Ref reworded(checked(PyObject_CallFunctionObjArgs(
      PyExc_TypeError, message.get(), nullptr)));
  if (cause) PyException_SetCause(reworded.get(), cause.release());
  PyErr_SetObject(PyExc_TypeError, reworded.get());
  throw PythonError{};
}

// Runs a conversion and rewords the TypeError it may raise.
template <class Convert>
auto reworded(const char* param, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    reword_type_error(param);
  }
}

// The text of `key` for the unexpected-keyword message: the string with
// lone surrogates replaced, or str(key) for a key that is no str at all.
std::string key_text(PyObject* key) { return text_of(key); }

bool is_str(PyObject* obj) { return PyUnicode_Check(obj); }

TokenId to_token_id(PyObject* value) {
  long n;
  if (PyLong_CheckExact(value) || PyLong_Check(value)) {
    n = PyLong_AsLong(value);
  } else {
    const Ref index(checked(PyNumber_Index(value)));
    n = PyLong_AsLong(index.get());
  }
  if (n == -1 && PyErr_Occurred() != nullptr) throw PythonError{};
  if (n < 0 || n > 0xFFFFFFFFL) raise(PyExc_OverflowError, msg::kIdRange);
  return static_cast<TokenId>(n);
}

// Items read per block by the fast path of to_token_ids.
constexpr Py_ssize_t kIdBlock = 32;

// Reads items[0, n) into `out` as ids for as long as they are exact ints in
// the id range; returns how many were read. The first item that is
// anything else (or out of range) is left to the caller, no error set.
// Each id's decode slot is asked for as soon as the id is known: decoding
// follows, and its waits on the table then overlap the reading of the
// later items instead of coming after them.
Py_ssize_t read_plain_ids(PyObject* const* items, Py_ssize_t n,
                          DecodePrefetch prefetch, TokenId* out) {
  for (Py_ssize_t k = 0; k < n; ++k) {
    if (!PyLong_CheckExact(items[k])) return k;
    // PyLong_AsSsize_t reads a one-digit int directly, where PyLong_AsLong
    // goes through a second, general function.
    const Py_ssize_t id = PyLong_AsSsize_t(items[k]);
    if (id < 0 || id > Py_ssize_t{0xFFFFFFFF}) {
      PyErr_Clear();  // an overflow is raised again, in full, by the caller
      return k;
    }
    out[k] = static_cast<TokenId>(id);
    prefetch(out[k]);
  }
  return n;
}

void to_token_ids(PyObject* value, const Tokenizer& decoder, std::vector<TokenId>& ids) {
  ids.clear();
  // Exact lists and tuples report their true length and are read by index.
  // A list is re-measured at every step, as its own iterator does, since an
  // element's __index__ may change it. (An exact list is neither a str nor
  // a non-sequence: it skips the checks below.)
  if (PyList_CheckExact(value)) {
    const Py_ssize_t size = PyList_Size(value);
    // Fast path for exact ints in range: converting them runs no Python
    // code, so the list cannot change under the loop and its items need
    // no references of their own. The first item that is anything else is
    // left to the general loop below, which raises its exact error.
    ids.resize(static_cast<std::size_t>(size));
    const DecodePrefetch prefetch = decoder.decode_prefetch();
    Py_ssize_t i = 0;
    while (i < size) {
      // A block of items at a time: all of their int objects are asked
      // for before the first is read, so that the misses on rarely used
      // ids overlap instead of following one another.
      PyObject* block[kIdBlock];
      const Py_ssize_t n = std::min(kIdBlock, size - i);
      for (Py_ssize_t k = 0; k < n; ++k) {
        block[k] = PyList_GetItem(value, i + k);
        __builtin_prefetch(block[k]);
      }
      const Py_ssize_t read = read_plain_ids(block, n, prefetch, ids.data() + i);
      i += read;
      if (read < n) break;
    }
    ids.resize(static_cast<std::size_t>(i));
    if (i == size) return;
    for (; i < PyList_Size(value); ++i) {
      const Ref item = Ref::borrow(PyList_GetItem(value, i));
      ids.push_back(to_token_id(item.get()));
    }
    return;
  }
  if (is_str(value)) raise(PyExc_TypeError, msg::kStrAsIds);
  if (!PySequence_Check(value)) {
    raise(PyExc_TypeError, msg::kNotSequence,
          type_qualname(value).c_str());
  }
  if (PyTuple_CheckExact(value)) {
    const Py_ssize_t n = PyTuple_Size(value);
    ids.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      ids.push_back(to_token_id(PyTuple_GetItem(value, i)));
    }
    return;
  }

  // Any other sequence: its __len__ is only a hint and may be wrong in
  // either direction, so the reservation is capped and the vector grows
  // with the items the iterator really yields.
  Py_ssize_t hint = PySequence_Size(value);
  if (hint < 0) {
    PyErr_Clear();
    hint = 0;
  }
  // Required behaviour, not a guard: such a length is answered with
  // PanicException "capacity overflow" before anything is allocated.
  if (hint >= kLengthLimit) throw InternalFault(msg::kCapacityOverflow);
  ids.reserve(std::min(static_cast<std::size_t>(hint), kUntrustedReserve));
  const Ref iter(checked(PyObject_GetIter(value)));
  while (PyObject* next = PyIter_Next(iter.get())) {
    const Ref item(next);
    ids.push_back(to_token_id(item.get()));
  }
  if (PyErr_Occurred() != nullptr) throw PythonError{};
}

}  // namespace

namespace {

// The checks of both calling conventions, in the same order with the same
// messages: `given` positional values (`first` the first of them), then
// the keywords as `for_each_keyword(visit)` presents them, in call order.
template <class ForEachKeyword>
Ref parse_value(Py_ssize_t given, PyObject* first, ForEachKeyword&& for_each_keyword,
                const Param& param) {
  if (given > 1) {
    raise(PyExc_TypeError, msg::kTooManyPositional,
          param.full_name, given, given == 1 ? "was" : "were");
  }
  Ref value;
  if (given == 1) value = Ref::borrow(first);
  for_each_keyword([&](PyObject* key, PyObject* item) {
    // The name is ASCII, so a key holding a lone surrogate (not readable
    // as UTF-8) can never compare equal: it is unexpected like any other.
    if (!is_str(key) || PyUnicode_CompareWithASCIIString(key, param.name) != 0) {
      raise(PyExc_TypeError, msg::kUnexpectedKeyword,
            param.full_name, key_text(key).c_str());
    }
    if (value) {
      raise(PyExc_TypeError, msg::kMultipleValues,
            param.full_name, param.name);
    }
    value = Ref::borrow(item);
  });
  if (!value) {
    raise(PyExc_TypeError, msg::kMissingPositional,
          param.full_name, param.name);
  }
  return value;
}

}  // namespace

Ref parse_one(PyObject* args, PyObject* kwargs, const Param& param) {
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) throw PythonError{};
  PyObject* first = given >= 1 ? PyTuple_GetItem(args, 0) : nullptr;
  return parse_value(given, first, [&](auto&& visit) {
    if (kwargs == nullptr) return;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &item)) visit(key, item);
  }, param);
}

Ref parse_one_fast(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   const Param& param) {
  PyObject* first = nargs >= 1 ? args[0] : nullptr;
  return parse_value(nargs, first, [&](auto&& visit) {
    if (kwnames == nullptr) return;
    const Py_ssize_t count = PyTuple_Size(kwnames);
    if (count < 0) throw PythonError{};
    for (Py_ssize_t k = 0; k < count; ++k) visit(PyTuple_GetItem(kwnames, k), args[nargs + k]);
  }, param);
}

std::string type_qualname(PyObject* obj) {
  const Ref name(PyObject_GetAttrString(
      reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  Ref utf8;
  if (name && is_str(name.get())) utf8 = Ref(PyUnicode_AsUTF8String(name.get()));
  if (!utf8) {
    PyErr_Clear();
    return msg::kNoTypeName;
  }
  return std::string(PyBytes_AsString(utf8.get()),
                     static_cast<std::size_t>(PyBytes_Size(utf8.get())));
}

Utf8Arg string_arg(PyObject* value, const char* param) {
  if (!is_str(value)) {
    raise(PyExc_TypeError,
          msg::kNotString,
          param, type_qualname(value).c_str());
  }
  // Strict encoding: a lone surrogate raises UnicodeEncodeError, unchanged.
  Utf8Arg arg{Ref(checked(PyUnicode_AsUTF8String(value))), {}};
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(arg.bytes.get(), &data, &size) != 0) {
    throw PythonError{};
  }
  arg.view = std::string_view(data, static_cast<std::size_t>(size));
  return arg;
}

TokenId id_arg(PyObject* value, const char* param) {
  return reworded(param, [&] { return to_token_id(value); });
}

void ids_arg(PyObject* value, const char* param, const Tokenizer& decoder,
             std::vector<TokenId>& ids) {
  reworded(param, [&] { to_token_ids(value, decoder, ids); });
}

PyObject* id_object(TokenId id) {
  return made(PyLong_FromLong(static_cast<long>(id)));
}

PyObject* count_object(std::uint64_t count) {
  return made(PyLong_FromUnsignedLongLong(count));
}

PyObject* str_object(std::string_view text) {
  return made(PyUnicode_FromStringAndSize(
      text.data(), static_cast<Py_ssize_t>(text.size())));
}

namespace {

// A new list with the object of every id: from `cache` where it has one
// (one load and an increment, the usual case), else made by `make(id)`
// (and kept by the cache when it has room for that id).
template <class Make>
PyObject* list_of(std::span<const TokenId> ids, ObjectCache* cache, Make&& make) {
  Ref list(made(PyList_New(static_cast<Py_ssize_t>(ids.size()))));
  PyObject* const* known = nullptr;
  std::size_t known_count = 0;
  auto refresh = [&] {
    if (cache == nullptr) return;
    known = cache->made_objects();
    known_count = cache->made_count();
  };
  // Most of the shared objects are cold (a vocabulary's worth of them),
  // and the increment must wait for its object: each one is asked for
  // kAhead items before it is needed, so that those misses overlap.
  constexpr std::size_t kAhead = 64;
  auto prefetch = [&](std::size_t i) {
    if (ids[i] < known_count) __builtin_prefetch(known[ids[i]], 1);
  };
  auto put = [&](std::size_t i) {
    const TokenId id = ids[i];
    PyObject* item = id < known_count ? known[id] : nullptr;
    if (item != nullptr) {
      Py_INCREF(item);
    } else if (cache != nullptr) {
      item = cache->get(id, [&] { return make(id); });
      refresh();
    } else {
      item = make(id);
    }
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  };
  refresh();
  const std::size_t n = ids.size();
  for (std::size_t i = 0; i < std::min(kAhead, n); ++i) prefetch(i);
  std::size_t i = 0;
  for (; i + kAhead < n; ++i) {
    prefetch(i + kAhead);
    put(i);
  }
  for (; i < n; ++i) put(i);  // the last kAhead, asked for already
  return list.release();
}

}  // namespace

PyObject* id_list(std::span<const TokenId> ids, ObjectCache* ints) {
  return list_of(ids, ints, id_object);
}

PyObject* piece_list(std::span<const TokenId> ids, const Tokenizer& core, ObjectCache& strs) {
  return list_of(ids, &strs, [&](TokenId id) { return str_object(core.piece_or_unk(id)); });
}

PyObject* none_object() {
  Py_INCREF(Py_None);
  return Py_None;
}

}  // namespace zeq::py
