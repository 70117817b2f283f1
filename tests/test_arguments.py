"""Argument parsing and conversion of every method: exact exception types and
messages, what counts as a string, an id and an id sequence, the rewording of
TypeErrors, hostile sequences, and PanicException for internal faults."""

import array
import collections
import pathlib

import pytest

from conftest import HEADER, PIECES, RANGE, TOO_LARGE, Index, Seq
from zeq import Tokenizer

# name, parameter, a valid argument (from_file's is the fixture's path)
METHODS = [
    ("from_file", "path", None),
    ("encode", "text", "a b"),
    ("encode_pieces", "text", "a b"),
    ("decode", "ids", [4, 5]),
    ("id_to_piece", "id", 4),
    ("piece_to_id", "piece", "▁a"),
]
STRING_METHODS = [m[:2] for m in METHODS if m[1] in ("path", "text", "piece")]


@pytest.fixture
def tok(make_vocab):
    """The instance and the path it was loaded from."""
    path = make_vocab(PIECES, **HEADER)
    return Tokenizer.from_file(path), path


def call(tok, name, *args, **kwargs):
    return getattr(tok[0], name)(*args, **kwargs)


def fails(tok, name, exc_type, message, *args, **kwargs):
    """The call raises exactly exc_type with message (None: any message),
    and the instance still works afterwards."""
    with pytest.raises(BaseException) as info:
        call(tok, name, *args, **kwargs)
    assert type(info.value) is exc_type, info.value
    assert message is None or str(info.value) == message
    assert call(tok, "encode", "a b") == [4, 5]
    return info.value


@pytest.mark.parametrize("name, param, good", METHODS)
def test_parse_errors(tok, name, param, good):
    good = good or tok[1]
    full = f"Tokenizer.{name}()"
    fails(tok, name, TypeError, f"{full} missing 1 required positional argument: '{param}'")
    fails(tok, name, TypeError, f"{full} takes 1 positional arguments but 2 were given", good, good)
    fails(tok, name, TypeError, f"{full} got multiple values for argument '{param}'", good, **{param: good})
    fails(tok, name, TypeError, f"{full} got an unexpected keyword argument 'x'", x=good)
    fails(tok, name, TypeError, f"{full} got an unexpected keyword argument '\ufffd\ufffd\ufffd'", **{"\ud800": good})
    # Parsing comes before conversion: arity errors win over a bad value.
    fails(tok, name, TypeError, f"{full} takes 1 positional arguments but 2 were given", object(), object())
    fails(tok, name, TypeError, f"{full} got multiple values for argument '{param}'", object(), **{param: object()})
    # The "/" in the text signature notwithstanding, the keyword form works.
    by_keyword, by_position = call(tok, name, **{param: good}), call(tok, name, good)
    assert repr(by_keyword) == repr(by_position)


class Str(str):
    def __str__(self):
        return "never used"


class Outer:
    class Inner:
        pass


class BadName:
    pass


BadName.__qualname__ = "bad\ud800"  # not readable as UTF-8


@pytest.mark.parametrize("name, param", STRING_METHODS)
@pytest.mark.parametrize(
    "value, type_name",
    [(5, "int"), (b"abc", "bytes"), (pathlib.Path("x"), "PosixPath"), (Str, "type"),
     (Outer.Inner(), "Outer.Inner"), (BadName(), "<failed to extract type name>")],
)
def test_non_strings_are_refused(tok, name, param, value, type_name):
    message = f"argument '{param}': '{type_name}' object cannot be converted to 'PyString'"
    fails(tok, name, TypeError, message, value)


@pytest.mark.parametrize("name, param", STRING_METHODS)
def test_strings(tok, name, param):
    error = fails(tok, name, UnicodeEncodeError, None, "a\udcff")  # not "argument ..."
    assert "surrogates not allowed" in str(error)
    if name != "from_file":  # a str subclass is read as its string, not its __str__
        assert call(tok, name, Str("▁a")) == call(tok, name, "▁a")


class IntWithIndex(int):
    def __index__(self):
        return 0  # never consulted: an int is read as its own value


class TypeErrorSub(TypeError):
    pass


@pytest.mark.parametrize(
    "value, piece, decoded",
    [(4, "▁a", "a a"), (True, "<s>", "a"), (IntWithIndex(5), "▁b", "a b"), (Index(6), "a", "aa"),
     (len(PIECES), None, "a"), (2**32 - 1, None, "a")],
)
def test_id_values(tok, value, piece, decoded):
    assert call(tok, "id_to_piece", value) == piece
    assert call(tok, "decode", [4, value]) == decoded


@pytest.mark.parametrize(
    "value, exc_type, message",
    [
        (-1, OverflowError, RANGE),
        (2**32, OverflowError, RANGE),
        (2**63, OverflowError, TOO_LARGE),
        (Index(-1), OverflowError, RANGE),
        (Index(2**70), OverflowError, TOO_LARGE),
        (1.0, TypeError, "argument '{}': 'float' object cannot be interpreted as an integer"),
        (Index(1.5), TypeError, "argument '{}': __index__ returned non-int (type float)"),
        (Index(TypeError("bad\ud800")), TypeError, "argument '{}': bad\ufffd\ufffd\ufffd"),
        (Index(TypeErrorSub("sub")), TypeErrorSub, "sub"),  # only TypeError itself is reworded
        (Index(ValueError("v")), ValueError, "v"),
    ],
)
def test_bad_ids(tok, value, exc_type, message):
    fails(tok, "id_to_piece", exc_type, message.format("id"), value)
    fails(tok, "decode", exc_type, message.format("ids"), [4, value, 5])


@pytest.mark.parametrize("at", [0, 31, 32, 33, 95])
@pytest.mark.parametrize("value, exc_type, message", [
    (2**32, OverflowError, RANGE.format("ids")),
    ("x", TypeError, "argument 'ids': 'str' object cannot be interpreted as an integer"),
    (Index, None, None),  # the same id, through __index__
])
def test_long_list_with_one_odd_item(tok, at, value, exc_type, message):
    # Plain ints are read in blocks; the first other item, wherever it falls
    # in a block, is handled alone, with the error it would have anywhere.
    ids = [4, 5] * 48
    ids[at] = Index(ids[at]) if value is Index else value
    if exc_type is None:
        assert call(tok, "decode", ids) == " ".join(["a", "b"] * 48)
    else:
        fails(tok, "decode", exc_type, message, ids)


def test_reworded_error_keeps_cause_and_drops_the_original(tok):
    inner = TypeError("inner")
    inner.__cause__ = KeyError("root")
    error = fails(tok, "id_to_piece", TypeError, "argument 'id': inner", Index(inner))
    assert error is not inner and error.__cause__ is inner.__cause__ and error.__context__ is None


AB = [4, 5]


@pytest.mark.parametrize(
    "ids, text",
    [(AB, "a b"), (tuple(AB), "a b"), (range(4, 6), "a b"), (b"\x04\x05", "a b"), (array.array("I", AB), "a b"),
     (collections.deque(AB), "a b"), (type("L", (list,), {})(AB), "a b"), ([Index(4), True + 4], "a b"),
     ([], ""), (b"", ""), (Seq(AB), "a b"),
     # __len__ is only a hint (test_hostile tries many more lies): a huge one costs nothing
     (Seq([], 10**9), "")],
)
def test_sequences_accepted(tok, ids, text):
    assert call(tok, "decode", ids) == text


@pytest.mark.parametrize(
    "ids, exc_type, message",
    [
        ("123", TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
        (Str("1"), TypeError, "argument 'ids': Can't extract `str` to `Vec`"),
        ({1, 2}, TypeError, "argument 'ids': 'set' object cannot be converted to 'Sequence'"),
        (iter([1]), TypeError, "argument 'ids': 'list_iterator' object cannot be converted to 'Sequence'"),
        ((i for i in [1]), TypeError, "argument 'ids': 'generator' object cannot be converted to 'Sequence'"),
        ([1, "a", -1], TypeError, "argument 'ids': 'str' object cannot be interpreted as an integer"),
        ([1, -1, "a"], OverflowError, RANGE),
        ((1, 2**32), OverflowError, RANGE),
        (Seq({0: 4}, 2), KeyError, "1"),  # the iterator's own errors pass on
        (Seq([], 1, TypeError("boom"), 0), TypeError, "argument 'ids': boom"),
        (Seq([], 1, MemoryError(), 0), MemoryError, ""),
    ],
)
def test_bad_sequences(tok, ids, exc_type, message):
    fails(tok, "decode", exc_type, message, ids)


