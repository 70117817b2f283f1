#include "encoder_load.h"
#include "messages.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

#include "barrier.h"
#include "convert.h"
#include "encoder_type.h"
#include "ref.h"
#include "zeq/tokenizer.h"

namespace zeq::py {
namespace {

// An exception class of zeqtools.errors, looked up when first needed (the
// package imports this module while it initialises).
Ref error_class(const char* name) {
  const Ref module(checked(PyImport_ImportModule("zeqtools.errors")));
  return Ref(checked(PyObject_GetAttrString(module.get(), name)));
}

// What is wrong with input that did not load, in a few words.
std::string describe(const TokenizerError& error) {
  using Part = TokenizerError::Place::Part;
  const TokenizerError::Place& place = error.place();
  if (error.is_unexpected_eof()) {
    if (place.bytes_read == 0) return msg::kEmpty;
    if (place.part == Part::Header) return msg::kCutInHeader;
    char text[128];
    std::snprintf(text, sizeof text, msg::kCutInRecord, place.in_text ? "the text of " : "",
                  static_cast<unsigned long long>(place.records_read),
                  static_cast<unsigned long long>(place.piece_count));
    return text;
  }
  const std::string text = error.to_string();
  constexpr std::string_view kPrefix = "invalid vocab file: ";
  return std::string_view(text).starts_with(kPrefix) ? text.substr(kPrefix.size()) : text;
}

// The path as the message shows it: a str as it is, bytes decoded as the
// file system would.
std::string path_text(PyObject* path) {
  if (PyUnicode_Check(path)) return text_of(path);
  const Ref decoded(checked(PyUnicode_DecodeFSDefaultAndSize(PyBytes_AsString(path), PyBytes_Size(path))));
  return text_of(decoded.get());
}

Ref str_of(const std::string& text) {
  return Ref(checked(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace")));
}

// VocabLoadError(filename, problem) for a file, VocabFormatError(problem)
// for bytes.
[[noreturn]] void raise_refused(const std::string& problem, PyObject* path) {
  if (path == nullptr) {
    const Ref type = error_class("VocabFormatError");
    PyErr_SetObject(type.get(), str_of(problem).get());
    throw PythonError{};
  }
  const Ref type = error_class("VocabLoadError");
  const Ref filename = str_of(path_text(path));
  const Ref what = str_of(problem);
  const Ref error(checked(PyObject_CallFunctionObjArgs(type.get(), filename.get(), what.get(), nullptr)));
  PyErr_SetObject(type.get(), error.get());
  throw PythonError{};
}

[[noreturn]] void raise_os_error(int errnum, PyObject* path) {
  errno = errnum;
  PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
  throw PythonError{};
}

// The whole file, read with the calls repeated on EINTR; what the file holds
// decides the size.
std::string read_file(const char* name, PyObject* path) {
  int fd;
  do {
    fd = ::open(name, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) raise_os_error(errno, path);
  std::string data;
  for (;;) {
    const std::size_t old = data.size();
    data.resize(old + std::max<std::size_t>(old, 1 << 16));
    const ssize_t got = ::read(fd, data.data() + old, data.size() - old);
    if (got < 0 && errno == EINTR) {
      data.resize(old);
      continue;
    }
    if (got <= 0) {
      const int errnum = errno;
      data.resize(old);
      ::close(fd);
      if (got < 0) raise_os_error(errnum, path);
      return data;
    }
    data.resize(old + static_cast<std::size_t>(got));
  }
}

PyObject* make_encoder(Ref bytes, PyObject* path) {
  char* buffer = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &buffer, &size) != 0) throw PythonError{};
  Result<Tokenizer> tokenizer = Tokenizer::load_from_bytes(std::string_view(buffer, static_cast<std::size_t>(size)));
  if (!tokenizer) raise_refused(describe(tokenizer.error()), path);
  return new_encoder(std::move(*tokenizer), std::move(bytes));
}

}  // namespace

PyObject* load_from_file(PyObject* path) {
  const Ref fs_path(checked(PyOS_FSPath(path)));
  Ref encoded;
  if (PyUnicode_Check(fs_path.get())) {
    encoded = Ref(checked(PyUnicode_EncodeFSDefault(fs_path.get())));
  } else {
    encoded = Ref::borrow(fs_path.get());  // bytes
  }
  char* name = nullptr;
  Py_ssize_t name_size = 0;
  if (PyBytes_AsStringAndSize(encoded.get(), &name, &name_size) != 0) throw PythonError{};
  if (std::string_view(name, static_cast<std::size_t>(name_size)).find('\0') != std::string_view::npos) {
    raise(PyExc_ValueError, msg::kEmbeddedNull);
  }
  const std::string data = read_file(name, fs_path.get());
  Ref bytes(checked(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size()))));
  return make_encoder(std::move(bytes), fs_path.get());
}

PyObject* load_from_bytes(PyObject* data) {
  if (PyBytes_Check(data)) return make_encoder(Ref::borrow(data), nullptr);
  if (PyByteArray_Check(data)) {
    Ref copy(checked(PyBytes_FromStringAndSize(PyByteArray_AsString(data), PyByteArray_Size(data))));
    return make_encoder(std::move(copy), nullptr);
  }
  raise(PyExc_TypeError, msg::kBytesExpected, type_qualname(data).c_str());
}

}  // namespace zeq::py
