"""Loading from Python, the properties, and the types and shapes of what the
text methods return; an end-to-end pass over the shipped 32k vocabulary."""

import array

import pytest

from conftest import HEADER, PIECES, shared_path
from zeq import Tokenizer


@pytest.fixture
def tok(load):
    return load(PIECES, **HEADER)


def test_from_file_forms(make_vocab, tok):
    path = make_vocab(PIECES)
    made = [Tokenizer.from_file(path), Tokenizer.from_file(path=path), tok.from_file(path)]
    assert all(type(t) is Tokenizer and len(t) == len(PIECES) for t in made)
    assert len({id(t) for t in made}) == 3  # a new instance every time


@pytest.mark.parametrize(
    "data, start",
    [
        (None, "io error: No such file or directory (os error 2)"),  # missing
        (b"ZEQ\x00" + bytes(24), "invalid vocab file: bad magic: expected [90, 69, 81, 90], got ["),
    ],
)
def test_load_failure_is_plain_oserror(tmp_path, write_file, data, start):
    path = str(tmp_path / "missing.vocab.bin") if data is None else write_file(data)
    with pytest.raises(OSError) as info:
        Tokenizer.from_file(path)
    error = info.value
    assert type(error) is OSError  # never FileNotFoundError or another subclass
    assert str(error).startswith(start) and error.args == (str(error),)
    assert (error.errno, error.strerror, error.filename, error.filename2) == (None, None, None, None)


@pytest.mark.parametrize(
    "header, pieces, expected",
    [
        (dict(pad_id=0, unk_id=1, bos_id=2, eos_id=3), PIECES[:8], (8, 0, 1, 2, 3)),
        (dict(pad_id=2**32 - 1, unk_id=2**31, bos_id=2**31 - 1, eos_id=7), PIECES,
         (len(PIECES), 2**32 - 1, 2**31, 2**31 - 1, 7)),
        (dict(pad_id=5, unk_id=5, bos_id=5, eos_id=5), [], (0, 5, 5, 5, 5)),
    ],
)
def test_properties(load, header, pieces, expected):
    tok = load(pieces, **header)
    values = (tok.vocab_size, tok.pad_id, tok.unk_id, tok.bos_id, tok.eos_id)
    assert values == expected and all(type(v) is int for v in values)


@pytest.mark.parametrize(
    "name, arg, expected",
    [
        ("encode", "", []),
        ("encode_pieces", "", []),
        ("decode", [], ""),
        ("encode", "a b ab", [4, 5, 4, 7]),
        ("encode_pieces", "a b ab", ["▁a", "▁b", "▁a", "b"]),
        ("decode", [4, 7, 2**32 - 1, 0, 8], "ab "),
        ("id_to_piece", 8, "▁"),
        ("id_to_piece", len(PIECES), None),
        ("piece_to_id", "▁b", 5),
        ("piece_to_id", " b", None),
    ],
)
def test_results(tok, name, arg, expected):
    result = getattr(tok, name)(arg)
    assert result == expected and type(result) is type(expected)
    if isinstance(result, list):
        assert all(type(x) is type(y) for x, y in zip(result, expected))
        assert getattr(tok, name)(arg) is not result  # a fresh list per call


def test_end_to_end_on_real_vocabulary():
    tok = Tokenizer.from_file(str(shared_path("vocab", "multi32k.vocab.bin")))
    text = "Zeq tokenizes text:\tçà, Привет мир, 日本語のテキスト, emoji 🙂🚀 and <0x41>\nend  "
    ids = tok.encode(text)
    pieces = tok.encode_pieces(text)
    assert len(ids) == len(pieces) and all(0 <= i < len(tok) for i in ids)
    assert pieces == [tok.id_to_piece(i) for i in ids]
    assert [tok.piece_to_id(p) for p in pieces] == ids
    expected = text.replace("<0x41>", "A")  # a byte piece's text decodes to its byte
    for form in (ids, tuple(ids), array.array("I", ids), array.array("q", ids)):
        assert tok.decode(form) == expected
