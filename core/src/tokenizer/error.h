// Error values of the tokenizer core.
//
// Only loading a vocabulary can fail; it reports failure by returning a
// TokenizerError inside a Result. Nothing in the core throws for bad input.
// The one exception type the core may throw is InternalFault, for a broken
// internal invariant (a bug or a hand-built model that breaks the rules);
// callers at a language boundary turn it into their own fault report.
#ifndef ZEQ_TOKENIZER_ERROR_H_
#define ZEQ_TOKENIZER_ERROR_H_

#include <expected>
#include <stdexcept>
#include <string>

namespace zeq {

class TokenizerError {
 public:
  enum class Kind { Io, InvalidVocab };

  // An operating-system error number (errno) from open or read.
  static TokenizerError os_error(int errnum);
  // The file ended before an exact read was satisfied.
  static TokenizerError unexpected_eof();
  // The path holds a zero byte and cannot be passed to the OS.
  static TokenizerError nul_in_path();
  // The file's content was rejected; `message` is shown unchanged.
  static TokenizerError invalid_vocab(std::string message);

  Kind kind() const { return kind_; }

  // One-line display text, e.g. "io error: No such file or directory
  // (os error 2)" or "invalid vocab file: version mismatch: expected 1, got 2".
  std::string to_string() const;

 private:
  enum class IoDetail { Os, UnexpectedEof, NulInPath, None };

  TokenizerError(Kind kind, IoDetail io, int errnum, std::string message)
      : kind_(kind), io_(io), errnum_(errnum), message_(std::move(message)) {}

  Kind kind_;
  IoDetail io_;
  int errnum_;           // valid when io_ == IoDetail::Os
  std::string message_;  // valid when kind_ == Kind::InvalidVocab
};

template <class T>
using Result = std::expected<T, TokenizerError>;

// Thrown only when an internal invariant is broken. Never caused by the
// content of a vocabulary file that loaded, or by well-formed UTF-8 text.
class InternalFault : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

}  // namespace zeq

#endif  // ZEQ_TOKENIZER_ERROR_H_
