// The fixed texts of the exceptions the extension modules raise. Callers
// match on them (tests, scripts, users' except clauses that read str(e)),
// so each is part of the module's contract: change one only on purpose, and
// never by accident while editing the code that raises it. Texts with %
// conversions are PyErr_Format / PyUnicode_FromFormat formats.
#ifndef ZEQ_PYTHON_MESSAGES_H_
#define ZEQ_PYTHON_MESSAGES_H_

namespace zeq::py::msg {

// --- zeq.Tokenizer: argument parsing (one parameter) ---
inline constexpr char kTooManyPositional[] = "%s takes 1 positional arguments but %zd %s given";
inline constexpr char kUnexpectedKeyword[] = "%s got an unexpected keyword argument '%s'";
inline constexpr char kMultipleValues[] = "%s got multiple values for argument '%s'";
inline constexpr char kMissingPositional[] = "%s missing 1 required positional argument: '%s'";

// --- zeq.Tokenizer: conversions ---
inline constexpr char kReworded[] = "argument '%s': %s";
inline constexpr char kIdRange[] = "out of range integral type conversion attempted";
inline constexpr char kStrAsIds[] = "Can't extract `str` to `Vec`";
inline constexpr char kNotSequence[] = "'%s' object cannot be converted to 'Sequence'";
inline constexpr char kNotString[] = "argument '%s': '%s' object cannot be converted to 'PyString'";
inline constexpr char kNotTokenizer[] = "'%s' object cannot be converted to 'Tokenizer'";
inline constexpr char kNoConstructor[] = "No constructor defined for %U";
inline constexpr char kSubInterpreter[] =
    "%s does not support sub-interpreters: it is already initialised in another interpreter of this process";

// --- Faults (PanicException) and their stand-ins ---
inline constexpr char kCapacityOverflow[] = "capacity overflow";
inline constexpr char kResultObjectFailed[] = "Python API call failed";
inline constexpr char kUnknownFault[] = "unknown fault in the zeq native code";
inline constexpr char kNoExceptionSet[] = "attempted to fetch exception but none was set";
inline constexpr char kStrFailed[] = "<exception str() failed>";
inline constexpr char kNoTypeName[] = "<failed to extract type name>";

// --- zeqtools.Encoder ---
inline constexpr char kTooManyPositionalPlural[] = "%s takes %zd positional argument%s but %zd %s given";
inline constexpr char kMissingArgument[] = "%s missing 1 required %sargument: '%s'";
inline constexpr char kMustBeStr[] = "%s argument '%s' must be str, not %s";
inline constexpr char kThreadsType[] = "%s argument 'threads' must be an int or None, not %s";
inline constexpr char kThreadsRange[] = "%s argument 'threads' must be at least 1, not %ld";
inline constexpr char kNoSpecialPiece[] = "%s: %s is set, but the vocabulary has no %s piece (its id %lu names no record)";
inline constexpr char kItemsNotText[] = "%s argument '%s' must be a sequence of items, not %s";
inline constexpr char kNotIterable[] = "%s argument '%s' must be an iterable, not %s";
inline constexpr char kItemNotStr[] = "%s argument 'texts': item %zu is %s, not str";
inline constexpr char kBytesExpected[] = "Encoder.from_bytes() argument 'data' must be bytes or bytearray, not %s";
inline constexpr char kNotEncoder[] = "descriptor requires a 'zeqtools.Encoder' object but received a '%s'";
inline constexpr char kEmbeddedNull[] = "embedded null byte";
// What is wrong with a vocabulary that did not load (after "PATH: "), in
// the words zeqtools.vocabfile and `zeq inspect` use.
inline constexpr char kEmpty[] = "the file is empty";
inline constexpr char kCutInHeader[] = "file ends inside the header";
inline constexpr char kCutInRecord[] = "file ends inside %srecord %llu of %llu";

}  // namespace zeq::py::msg

#endif  // ZEQ_PYTHON_MESSAGES_H_
