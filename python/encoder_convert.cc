#include "encoder_convert.h"
#include "messages.h"

#include "args.h"
#include "barrier.h"
#include "ref.h"

namespace zeq::py {

Utf8Arg text_arg(PyObject* value, const char* function, const char* name) {
  if (!PyUnicode_Check(value)) {
    raise(PyExc_TypeError, msg::kMustBeStr, function, name,
          type_qualname(value).c_str());
  }
  Utf8Arg arg{Ref(checked(PyUnicode_AsUTF8String(value))), {}};
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(arg.bytes.get(), &data, &size) != 0) throw PythonError{};
  arg.view = std::string_view(data, static_cast<std::size_t>(size));
  return arg;
}

Specials specials_arg(const Tokenizer& core, PyObject* add_bos, PyObject* add_eos, const char* function) {
  Specials s;
  auto take = [&](PyObject* flag, TokenId id, const char* name, const char* what) -> std::optional<TokenId> {
    if (!flag_arg(flag, false)) return std::nullopt;
    if (id >= core.vocab_size()) {
      raise(PyExc_ValueError, msg::kNoSpecialPiece,
            function, name, what, static_cast<unsigned long>(id));
    }
    return id;
  };
  s.bos = take(add_bos, core.bos_id(), "add_bos", "begin-of-sequence");
  s.eos = take(add_eos, core.eos_id(), "add_eos", "end-of-sequence");
  return s;
}

PyObject* offset_list(std::string_view text, std::span<const Span> spans) {
  // Code points before byte `at`, counted on from where the last call
  // stopped: starts and ends both only grow.
  struct Counter {
    std::string_view text;
    std::size_t at = 0, points = 0;
    std::size_t upto(std::size_t byte) {
      for (; at < byte; ++at) points += (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
      return points;
    }
  } starts{text}, ends{text};
  Ref list(made(PyList_New(static_cast<Py_ssize_t>(spans.size()))));
  for (std::size_t i = 0; i < spans.size(); ++i) {
    const std::size_t begin = starts.upto(spans[i].begin);
    const std::size_t end = ends.upto(spans[i].end);
    PyObject* pair = made(Py_BuildValue("(nn)", static_cast<Py_ssize_t>(begin), static_cast<Py_ssize_t>(end)));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair);
  }
  return list.release();
}

}  // namespace zeq::py
