// Error values of the tokenizer core.
//
// Only loading a vocabulary can fail; it reports failure by returning a
// TokenizerError inside a Result. Nothing in the core throws for bad input.
// Two exceptions may leave the core: std::bad_alloc when memory runs out,
// and InternalFault for a broken internal invariant (a bug, or a hand-built
// model that breaks the rules). Callers at a language boundary turn both
// into their own fault report.
#ifndef ZEQ_ERROR_H_
#define ZEQ_ERROR_H_

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>

namespace zeq {

class TokenizerError {
 public:
  enum class Kind { Io, InvalidVocab };

  // Where in a vocabulary file reading stopped.
  struct Place {
    enum class Part { Header, Records, Options };
    Part part = Part::Header;
    std::uint64_t records_read = 0;  // complete records before the failure
    std::uint64_t piece_count = 0;   // as the header says (Records, Options)
    std::uint64_t bytes_read = 0;    // bytes of the file read before the failure
    bool in_text = false;            // Records: inside the text of record records_read
  };

  // An operating-system error number (errno) from open or read.
  static TokenizerError os_error(int errnum);
  // The file ended before an exact read was satisfied.
  static TokenizerError unexpected_eof();
  // The path holds a zero byte and cannot be passed to the OS.
  static TokenizerError nul_in_path();
  // The file's content was rejected; `message` is shown unchanged.
  static TokenizerError invalid_vocab(std::string message);

  Kind kind() const { return kind_; }
  // The errno of an operating-system error, else 0.
  int os_errno() const { return io_ == IoDetail::Os ? errnum_ : 0; }
  bool is_unexpected_eof() const { return io_ == IoDetail::UnexpectedEof; }

  // Where the reader stopped, for callers that describe a failure in more
  // detail than to_string does (set by the file reader).
  const Place& place() const { return place_; }
  TokenizerError& at(const Place& place) {
    place_ = place;
    return *this;
  }

  // One-line display text, e.g. "io error: No such file or directory
  // (os error 2)" or "invalid vocab file: version mismatch: expected 1, got 2".
  // The place plays no part in it.
  std::string to_string() const;

 private:
  enum class IoDetail { Os, UnexpectedEof, NulInPath, None };

  TokenizerError(Kind kind, IoDetail io, int errnum, std::string message)
      : kind_(kind), io_(io), errnum_(errnum), message_(std::move(message)) {}

  Kind kind_;
  IoDetail io_;
  int errnum_;           // valid when io_ == IoDetail::Os
  std::string message_;  // valid when kind_ == Kind::InvalidVocab
  Place place_;
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

#endif  // ZEQ_ERROR_H_
