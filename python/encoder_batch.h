// The batch methods of zeqtools.Encoder: many texts or id lists at once,
// on several threads, with the interpreter lock released while they work.
#ifndef ZEQ_PYTHON_ENCODER_BATCH_H_
#define ZEQ_PYTHON_ENCODER_BATCH_H_

#include "args.h"
#include "py_api.h"

namespace zeq::py {

inline constexpr Parameter kEncodeBatchParameters[] = {
    {"texts", false, true}, {"add_bos", true, false}, {"add_eos", true, false}, {"threads", true, false}};
inline constexpr Parameter kDecodeBatchParameters[] = {{"id_lists", false, true}, {"threads", true, false}};

inline constexpr Signature kEncodeBatch{"Encoder.encode_batch()", kEncodeBatchParameters};
inline constexpr Signature kEncodeFlat{"Encoder.encode_flat()", kEncodeBatchParameters};
inline constexpr Signature kDecodeBatch{"Encoder.decode_batch()", kDecodeBatchParameters};

// Bodies of the methods: `values` holds the parsed arguments in the order
// of the signature (null where not given).
PyObject* encode_batch_body(PyObject* self, PyObject** values);
PyObject* encode_flat_body(PyObject* self, PyObject** values);
PyObject* decode_batch_body(PyObject* self, PyObject** values);

}  // namespace zeq::py

#endif  // ZEQ_PYTHON_ENCODER_BATCH_H_
