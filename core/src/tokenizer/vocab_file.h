// Reader of the binary vocabulary file.
//
// Layout, all numbers little-endian:
//   header (28 bytes): magic "ZEQZ", u32 version (must be 1), u32 piece_count,
//                      u32 pad_id, u32 unk_id, u32 bos_id, u32 eos_id
//   piece_count records: u32 id, f32 score, u32 len, len bytes of UTF-8 text
// Bytes after the last record are ignored.
#ifndef ZEQ_TOKENIZER_VOCAB_FILE_H_
#define ZEQ_TOKENIZER_VOCAB_FILE_H_

#include <string_view>

#include "tokenizer/error.h"
#include "tokenizer/vocab.h"

namespace zeq {

// Reads and checks the file at `path` (bytes passed to the OS unchanged).
// Checks run in file order: an I/O failure, a wrong magic, a wrong version,
// a file that ends early or a piece text that is not UTF-8 each give their
// own TokenizerError. Counts and lengths from the file never size an
// allocation beyond what the file can actually supply. On every return the
// file is closed and all partial results are released.
Result<Vocab> read_vocab_file(std::string_view path);

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_VOCAB_FILE_H_
