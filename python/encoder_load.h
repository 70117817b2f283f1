// Loading an Encoder: from a file or from the bytes of one, with errors
// that name the file and use Python's own exception classes.
#ifndef ZEQ_PYTHON_ENCODER_LOAD_H_
#define ZEQ_PYTHON_ENCODER_LOAD_H_

#include "py_api.h"

namespace zeq::py {

// Encoder.from_file(path): `path` is a str, bytes or os.PathLike. An error
// of the operating system raises its OSError subclass (FileNotFoundError,
// IsADirectoryError, PermissionError, ...) with errno and filename set; a
// file that is not a vocabulary raises zeqtools.VocabLoadError naming the
// file and what is wrong (empty, ends inside record k, bad magic, a broken
// options section, ...).
PyObject* load_from_file(PyObject* path);
// Encoder.from_bytes(data): `data` is bytes (kept) or a bytearray (copied);
// bytes that are not a vocabulary raise zeqtools.VocabFormatError.
PyObject* load_from_bytes(PyObject* data);

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_ENCODER_LOAD_H_
