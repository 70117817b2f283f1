"""Hostile callers: arguments whose hooks raise or lie, sequences that change
while they are read, huge and degenerate texts, special files, and the
memory that loading hostile files may take. Each call gives the right
answer or the right exception, and the instance keeps working afterwards."""

import collections
import gc
import pathlib
import subprocess
import sys
import textwrap
import warnings

import pytest

from conftest import HEADER, M, PIECES, RANGE, SPECIALS, TOO_LARGE, Index, Seq, byte_pieces
from zeq import Tokenizer

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "core" / "fuzz"))
from make_seeds import vocab_seeds  # noqa: E402

@pytest.fixture
def tok(load):
    return load(PIECES, **HEADER)


def still_works(tok):
    assert tok.encode("a b") == [4, 5]
    assert tok.encode_pieces("a b") == ["▁a", "▁b"]
    assert tok.decode([4, 5]) == "a b"
    assert tok.id_to_piece(9) == "▁Hello" and tok.piece_to_id("▁b") == 5


class Boom(BaseException):
    """Neither an Exception nor one of the interpreter's own."""


class IterSeq(Seq):
    """A sequence with its own __iter__: `hook` "iter" makes __iter__ raise
    `error`, "next" makes __next__ raise it at step `fail_at`."""

    def __init__(self, items, error=None, fail_at=None, hook=None):
        super().__init__(items, None, error, fail_at)
        self.hook = hook

    def __iter__(self):
        if self.hook == "iter":
            raise self.error
        return Next(self) if self.hook == "next" else iter(self.items)


class Next:
    def __init__(self, seq):
        self.seq, self.i = seq, 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.i == self.seq.fail_at:
            raise self.seq.error
        if self.i >= len(self.seq.items):
            raise StopIteration
        self.i += 1
        return self.seq.items[self.i - 1]


class IterList(list):
    """A list subclass whose own iteration fails."""

    def __init__(self, items, error):
        super().__init__(items)
        self.error = error

    def __iter__(self):
        raise self.error


class LenList(list):
    """A list subclass whose __len__ lies or fails."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length


def id_calls(error):
    """Every place where a conversion runs caller code, with that code
    raising `error`: (name, call on tok)."""
    return [
        ("id __index__", lambda t: t.id_to_piece(Index(error))),
        ("list item __index__", lambda t: t.decode([4, Index(error), 5])),
        ("tuple item __index__", lambda t: t.decode((4, Index(error)))),
        ("other sequence item __index__", lambda t: t.decode(IterSeq([4, Index(error)]))),
        ("__getitem__", lambda t: t.decode(Seq([4, 5, 6], error=error, fail_at=1))),
        ("__iter__", lambda t: t.decode(IterSeq([4, 5], error=error, hook="iter"))),
        ("__next__", lambda t: t.decode(IterSeq([4, 5], error=error, fail_at=1, hook="next"))),
        ("list subclass __iter__", lambda t: t.decode(IterList([4, 5], error))),
    ]


ERRORS = [KeyboardInterrupt, SystemExit, GeneratorExit, Boom, MemoryError, RecursionError, ValueError, UnicodeError]
SITES = [name for name, _ in id_calls(None)]


@pytest.mark.parametrize("site", SITES)
@pytest.mark.parametrize("error_type", ERRORS)
def test_errors_from_caller_code_propagate_unchanged(tok, site, error_type):
    # Only a TypeError is reworded; every other exception, BaseExceptions
    # included, reaches the caller as the very object that was raised.
    error = error_type("from caller code")
    call = dict(id_calls(error))[site]
    with pytest.raises(error_type) as info:
        call(tok)
    assert info.value is error
    still_works(tok)


@pytest.mark.parametrize("site", SITES)
def test_type_errors_from_caller_code_are_reworded(tok, site):
    call = dict(id_calls(TypeError("boom")))[site]
    with pytest.raises(TypeError) as info:
        call(tok)
    param = "id" if site.startswith("id ") else "ids"
    assert str(info.value) == f"argument '{param}': boom"
    still_works(tok)


class Text:
    """An exception argument whose str() is `value`, or raises it."""

    def __init__(self, value):
        self.value = value

    def __str__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


@pytest.mark.parametrize(
    "value",
    [
        "x" * 10_000_000,
        ValueError("str failed"),
        5,  # __str__ returned non-string
        KeyboardInterrupt(),
        Boom(),
    ],
    ids=["10MB", "ValueError", "non-str", "KeyboardInterrupt", "Boom"],
)
def test_str_of_the_reworded_error_runs_caller_code(tok, value):
    # Rewording a TypeError reads its str(), which may run caller code: a
    # long text is taken whole, an Exception from it leaves a TypeError with
    # some text, and a BaseException passes through like everywhere else.
    for call, param in ((lambda v: tok.id_to_piece(Index(v)), "id"), (lambda v: tok.decode([4, Index(v)]), "ids")):
        error = TypeError(Text(value))
        if isinstance(value, BaseException) and not isinstance(value, Exception):
            with pytest.raises(type(value)) as info:
                call(error)
            assert info.value is value
        else:
            with pytest.raises(TypeError) as info:
                call(error)
            assert str(info.value).startswith(f"argument '{param}': ")
            if isinstance(value, str):
                assert str(info.value) == f"argument '{param}': {value}"
        still_works(tok)


@pytest.mark.parametrize("kind", [Seq, LenList])
@pytest.mark.parametrize(
    "length",
    [KeyboardInterrupt(), SystemExit(3), Boom(), ValueError(), TypeError(), -1, 2**63, 2**64, "2", 0, 1, 3, 5, 2**40,
     2**61 - 1],
    ids=["KeyboardInterrupt", "SystemExit", "Boom", "ValueError", "TypeError", "negative", "2^63", "2^64", "str", "0",
         "1", "exact", "5", "2^40", "2^61-1"],
)
def test_length_is_only_a_hint(tok, kind, length):
    # A failed length query is cleared, whatever it raised (even a
    # KeyboardInterrupt), and a wrong length changes nothing: the ids are
    # what iteration yields.
    assert tok.decode(kind([4, 9, 5], length)) == "a Hello b"
    assert sys.exc_info() == (None, None, None)
    still_works(tok)


@pytest.mark.parametrize(
    "ids",
    [kind(items, n) for kind, items in ((Seq, [4]), (Seq, [4, 5]), (LenList, [4, 5])) for n in (2**61, 2**62, 2**63 - 1)]
    + [range(2**61)],
    ids=[f"{kind}-{n}" for kind in ("Seq1", "Seq2", "LenList") for n in ("2^61", "2^62", "2^63-1")] + ["range"],
)
def test_impossible_length_panics_and_the_instance_survives(tok, ids):
    try:
        tok.decode(ids)
    except Exception:  # noqa: BLE001 - PanicException must get past this
        pytest.fail("PanicException was caught by `except Exception`")
    except BaseException as e:  # noqa: BLE001
        caught = e
    else:
        pytest.fail("no PanicException")
    assert type(caught).__name__ == "PanicException" and type(caught).__bases__ == (BaseException,)
    assert caught.args == ("capacity overflow",)
    still_works(tok)


def grow_list():
    ids = [4]
    ids.append(Index(6, lambda: ids.append(5)))
    return ids, [4, 6, 5]


def replace_later():
    ids = [4, None, 7]
    ids[1] = Index(6, lambda: ids.__setitem__(2, 5))
    return ids, [4, 6, 5]


def shrink_and_refill():
    ids = [4, None, 7, 7]
    ids[1] = Index(6, lambda: ids.__setitem__(slice(1, None), [Index(9), 10]))
    return ids, [4, 6, 10]


def grow_subclass():
    ids = LenList([4], 1)
    ids.append(Index(6, lambda: ids.append(5)))
    return ids, [4, 6, 5]


def clear_list():
    ids = [4, None, 5]
    ids[1] = Index(5, ids.clear)  # frees the item being converted, too
    return ids, [4, 5]  # reading stops where the list now ends


def pop_old_protocol():
    items = [4, 9, 5, 5]
    seq = Seq(items)
    items[1] = Index(9, lambda: items.pop())  # the sequence ends one item early
    return seq, [4, 9, 5]


@pytest.mark.parametrize("make", [grow_list, replace_later, shrink_and_refill, clear_list, grow_subclass, pop_old_protocol])
def test_sequence_changed_while_read(tok, make):
    # The ids are exactly what iteration yields at the time of reading.
    ids, seen = make()
    assert tok.decode(ids) == tok.decode(seen)
    still_works(tok)


def test_deque_changed_while_read(tok):
    ids = collections.deque([4, 5])
    ids.appendleft(Index(6, lambda: ids.append(5)))
    with pytest.raises(RuntimeError, match="deque mutated during iteration"):
        tok.decode(ids)
    still_works(tok)


def test_reentrant_call_from_caller_code(tok):
    # Caller code that uses the same tokenizer in the middle of a call.
    inner = []
    ids = [4, Index(6, lambda: inner.append(tok.decode([5, Index(9, lambda: inner.append(tok.encode("a b")))])))]
    assert tok.decode(ids) == "aa"
    assert inner == [[4, 5], "b Hello"]
    still_works(tok)


def test_caller_code_drops_the_last_reference(make_vocab):
    # The call holds its instance: freeing every other reference in the
    # middle of a call leaves it intact until the call returns.
    holder = [Tokenizer.from_file(make_vocab(PIECES, **HEADER))]

    def drop():
        holder.clear()
        gc.collect()

    assert holder[0].decode([4, Index(5, drop), 9]) == "a b Hello"
    assert holder == []


@pytest.mark.parametrize(
    "value, expected",
    [
        (2**32 - 1, None), (2**32, OverflowError(RANGE)), (2**63 - 1, OverflowError(RANGE)),
        (2**63, OverflowError(TOO_LARGE)), (2**1000, OverflowError(TOO_LARGE)), (-(2**1000), OverflowError(TOO_LARGE)),
        (-(2**63), OverflowError(RANGE)),
    ],
    ids=["2^32-1", "2^32", "2^63-1", "2^63", "2^1000", "-2^1000", "-2^63"],
)
def test_index_returning_huge_ints(tok, value, expected):
    for call in (lambda v: tok.id_to_piece(v), lambda v: tok.decode([4, v]) and None):
        if isinstance(expected, BaseException):
            with pytest.raises(type(expected)) as info:
                call(Index(value))
            assert str(info.value) == str(expected)
        else:
            assert call(Index(value)) == expected
    still_works(tok)


def test_index_returning_bool_under_warnings_as_errors(tok):
    # A deprecation warning raised by the interpreter inside the conversion
    # is an exception like any other: it passes through unchanged.
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            tok.decode([Index(True)])
    still_works(tok)


class Sneaky(str):
    """A str subclass whose every method and hook raises: the conversion
    must read the string's own characters and call none of them."""


def _refuse(self, *args, **kwargs):
    raise KeyboardInterrupt("a str subclass method was called")


for _name in ["__str__", "__len__", "__iter__", "__getitem__", "__eq__", "__hash__", "encode", "__fspath__",
              "__bytes__", "__index__", "__contains__", "__add__"]:
    setattr(Sneaky, _name, _refuse)


@pytest.mark.parametrize("text", ["a b", "", " Hello world.", "a\u2581b", "日本 🙂"])
def test_str_subclass_is_read_as_its_characters(tok, make_vocab, text):
    s = Sneaky(text)
    assert tok.encode(s) == tok.encode(text)
    assert tok.encode_pieces(text=s) == tok.encode_pieces(text)
    assert tok.piece_to_id(Sneaky("▁Hello")) == 9
    path = make_vocab(PIECES, **HEADER)
    assert Tokenizer.from_file(Sneaky(path)).encode(s) == tok.encode(text)
    with pytest.raises(UnicodeEncodeError):
        tok.encode(Sneaky(text + "\ud800"))
    still_works(tok)


class KeyName(str):
    """A keyword name whose str() refuses (it must hash to be a key)."""

    __str__ = _refuse


def test_str_subclass_as_keyword_name(tok):
    # A keyword is matched by its characters, whatever the subclass says.
    assert tok.encode(**{KeyName("text"): "a b"}) == [4, 5]
    still_works(tok)


def test_unexpected_keyword_of_a_str_subclass_is_named_by_its_characters(tok):
    with pytest.raises(TypeError) as info:
        tok.encode(**{KeyName("txt"): "a"})
    assert str(info.value) == "Tokenizer.encode() got an unexpected keyword argument 'txt'"
    still_works(tok)


HUNDRED_MB = 100 * 2**20


def test_hundred_megabyte_text(tok):
    unit = " Hello world."  # two pieces; a leading space adds no marker
    n = HUNDRED_MB // len(unit)
    text = unit * n
    ids = tok.encode(text)
    assert len(ids) == 2 * n and ids[:4] == [9, 10, 9, 10] and ids == [9, 10] * n
    assert tok.decode(ids) == text[1:]
    del ids
    assert tok.piece_to_id(text) is None
    still_works(tok)


def test_hundred_megabyte_word(load):
    # One word of 100 MB: the lattice spans all of it.
    tok = load(PIECES + [("aaaa", 11, -0.5)], **HEADER)
    text = "a" * HUNDRED_MB
    ids = tok.encode(text)
    assert set(ids) <= {4, 6, 8, 11} and ids.count(11) > len(ids) // 2
    assert tok.decode(ids) == text
    still_works(tok)


VOCABS = {
    "marker piece": (PIECES, [8]),
    "byte pieces only": ([(t, i, 0.0) for i, t in enumerate(SPECIALS)] + byte_pieces(4), [4 + 0xE2, 4 + 0x96, 4 + 0x81]),
    "neither": ([(t, i, 0.0) for i, t in enumerate(SPECIALS + ["a"])], [0]),
}


@pytest.mark.parametrize("vocab", list(VOCABS))
@pytest.mark.parametrize("unit", [" ", M, " " + M, M + " "])
@pytest.mark.parametrize("n", [1, 2, 1000, 300_000])
def test_only_spaces_and_markers(load, vocab, unit, n):
    # Every space or marker is a word of its own, a lone marker.
    pieces, word_ids = VOCABS[vocab]
    tok = load(pieces, **HEADER)
    text = unit * n
    words = len(text)
    ids = tok.encode(text)
    assert ids == word_ids * words
    assert len(tok.encode_pieces(text)) == len(ids)
    assert tok.decode(ids) == ("" if vocab == "neither" else " " * (words - 1))


@pytest.mark.parametrize(
    "path, message",
    [
        ("/dev/null", "io error: failed to fill whole buffer"),
        ("/dev/zero", "invalid vocab file: bad magic: expected [90, 69, 81, 90], got [0, 0, 0, 0]"),
        ("/proc/self/mem", "io error: Input/output error (os error 5)"),
        ("/" + "x" * 5000, "io error: File name too long (os error 36)"),
        ("/proc/self/fd/999999", "io error: No such file or directory (os error 2)"),
    ],
)
def test_special_files(tok, path, message):
    with pytest.raises(OSError) as info:
        Tokenizer.from_file(path)
    assert type(info.value) is OSError and str(info.value) == message
    still_works(tok)


MEASURE = textwrap.dedent(
    """
    import os, sys, zeq

    def status(key):  # KiB
        with open("/proc/self/status") as f:
            return int(next(line.split()[1] for line in f if line.startswith(key + ":")))

    for path in sys.argv[1:]:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak starts again from the current size
        base = status("VmRSS")
        try:
            zeq.Tokenizer.from_file(path)
        except OSError:
            pass
        print(os.path.getsize(path), status("VmHWM") - base)
    """
)


def test_hostile_files_keep_memory_small(tmp_path):
    # Every hostile file of the fuzz seed corpus (counts and lengths of up
    # to 2^32 - 1 in files of a few bytes), and the same lies in front of
    # 4 MiB of records: loading any of them raises the peak resident size by
    # at most 4 times the file's size plus 2 MiB. (4 MiB of empty records
    # take about 13.5 MiB as entries before the file runs out.)
    seeds = vocab_seeds()
    paths = []
    for name, (data, hostile) in seeds.items():
        if hostile:
            paths.append(tmp_path / name)
            paths[-1].write_bytes(data)
    assert len(paths) >= 20
    padding = bytes(4 * 2**20 - 64)
    for name in ["count_max", "count_max_no_records", "len_max", "count_and_len_max"]:
        paths.append(tmp_path / (name + "_4MiB"))
        paths[-1].write_bytes(seeds[name][0] + padding)
    proc = subprocess.run([sys.executable, "-c", MEASURE, *map(str, paths)], capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    for path, line in zip(paths, proc.stdout.splitlines()):
        size, grew_kib = map(int, line.split())
        assert grew_kib * 1024 <= 4 * size + 2 * 2**20, (path.name, size, grew_kib)
