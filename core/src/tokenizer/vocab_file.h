// Reader of the binary vocabulary file.
//
// Layout, all numbers little-endian:
//   header (28 bytes): magic "ZEQZ", u32 version (must be 1), u32 piece_count,
//                      u32 pad_id, u32 unk_id, u32 bos_id, u32 eos_id
//   piece_count records: u32 id, f32 score, u32 len, len bytes of UTF-8 text
// Bytes after the last record are ignored by read_vocab_file; the others
// read them as an options section (docs/file-format.md).
#ifndef ZEQ_TOKENIZER_VOCAB_FILE_H_
#define ZEQ_TOKENIZER_VOCAB_FILE_H_

#include <optional>
#include <string_view>

#include "zeq/error.h"
#include "tokenizer/options.h"
#include "tokenizer/vocab.h"

namespace zeq {

// Reads and checks the file at `path` (bytes passed to the OS unchanged).
// Checks run in file order: an I/O failure, a wrong magic, a wrong version,
// a file that ends early or a piece text that is not UTF-8 each give their
// own TokenizerError. Counts and lengths from the file never size an
// allocation beyond what the file can actually supply. On every return the
// file is closed and all partial results are released.
Result<Vocab> read_vocab_file(std::string_view path);

// The records and what follows them: nothing, or an options section,
// checked as parse_options says. Errors carry the place where reading
// stopped (TokenizerError::place).
struct VocabFile {
  Vocab vocab;
  std::optional<ModelOptions> options;
};
Result<VocabFile> read_model_file(std::string_view path);
Result<VocabFile> read_model_bytes(std::string_view data);

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_VOCAB_FILE_H_
