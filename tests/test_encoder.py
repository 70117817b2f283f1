"""zeqtools.Encoder one text at a time: on a file without an options section
it gives zeq.Tokenizer's results; loading errors, pickling and arguments."""

import errno
import os
import pickle

import pytest
from hypothesis import given, settings, strategies as st

import zeq
import zeqtools
from conftest import byte_pieces, shared_path
from zeqtools import Encoder, VocabFormatError, VocabLoadError
from zeqtools.vocabfile import encode_vocab, parse_vocab

M = "\u2581"

# A small vocabulary with byte pieces: every text encodes without unk.
PIECES = [("<unk>", 0, 0.0), ("<s>", 1, 0.0), ("</s>", 2, 0.0), ("<pad>", 3, 0.0),
          *byte_pieces(4),
          (M, 260, -2.0), (M + "a", 261, -3.0), ("a", 262, -4.0), ("b", 263, -4.5),
          ("ab", 264, -4.0), (M + "\u00e9", 265, -3.5), ("\u65e5\u672c", 266, -5.0)]
SPECIALS = dict(unk_id=0, bos_id=1, eos_id=2, pad_id=3)


@pytest.fixture(scope="module")
def pair(tmp_path_factory):
    path = tmp_path_factory.mktemp("encoder") / "small.vocab.bin"
    path.write_bytes(encode_vocab(PIECES, **SPECIALS))
    return Encoder.from_file(path), zeq.Tokenizer.from_file(str(path))


TEXTS = ["", " ", "  ", "a", " a", "ab ab", "a  b", "\u00e9t\u00e9 \u65e5\u672c",
         M + "a", "a" + M + M + "b", "\t\n\r", "\U0001F642 x", "x" * 300]


@pytest.mark.parametrize("text", TEXTS)
def test_without_options_gives_the_tokenizers_results(pair, text):
    enc, tok = pair
    assert enc.encode(text) == tok.encode(text)
    assert enc.encode_pieces(text) == tok.encode_pieces(text)
    assert enc.decode(tok.encode(text)) == tok.decode(tok.encode(text))


@settings(max_examples=200, deadline=None)
@given(st.text(alphabet=st.sampled_from(["a", "b", " ", M, "\u00e9", "\u65e5", "\u672c", "\t", "\U0001F642"]),
               max_size=30))
def test_without_options_random_texts(pair, text):
    enc, tok = pair
    assert enc.encode(text) == tok.encode(text)
    spans = enc.encode_offsets(text)
    assert len(spans) == len(enc.encode(text))
    # Spans stay inside the text and never go back.
    assert all(0 <= s <= e <= len(text) for s, e in spans)
    assert [s for s, _ in spans] == sorted(s for s, _ in spans)
    assert [e for _, e in spans] == sorted(e for _, e in spans)


@pytest.mark.parametrize("name", ["en8k.vocab.bin", "multi32k.vocab.bin"])
def test_shared_vocabularies_agree_with_the_tokenizer(name):
    path = str(shared_path("vocab", name))
    enc, tok = Encoder.from_file(path), zeq.Tokenizer.from_file(path)
    lines = shared_path("corpus", "multi.txt").read_text(encoding="utf-8").split("\n")[::40]
    assert [enc.encode(t) for t in lines] == [tok.encode(t) for t in lines]
    assert enc.decode_batch(enc.encode_batch(lines)) == [tok.decode(tok.encode(t)) for t in lines]


def test_offsets_and_normal_form_without_options(pair):
    enc, _ = pair
    assert enc.normalize(" ab a") == M + "ab" + M + "a"
    assert enc.normalize("ab") == M + "ab"
    # A space's marker covers the space; the marker put in front of the text
    # comes with its first character, as in Hugging Face's offsets.
    assert enc.encode_pieces("a ab") == [M + "a", M, "ab"]
    assert enc.encode_offsets("a ab") == [(0, 1), (1, 2), (2, 4)]
    # Offsets count code points, not bytes.
    assert enc.encode_pieces("\u65e5\u672c a") == [M, "\u65e5\u672c", M + "a"]
    assert enc.encode_offsets("\u65e5\u672c a") == [(0, 1), (0, 2), (2, 4)]


def test_bos_and_eos(pair, make_vocab):
    enc, tok = pair
    assert enc.encode("ab", add_bos=True) == [1] + tok.encode("ab")
    assert enc.encode("ab", add_eos=True, add_bos=True) == [1] + tok.encode("ab") + [2]
    assert enc.encode("", add_eos=1) == [2]
    missing = Encoder.from_file(make_vocab(PIECES, unk_id=0, bos_id=1, eos_id=99999, pad_id=3))
    with pytest.raises(ValueError, match="add_eos is set, but the vocabulary has no end-of-sequence piece"):
        missing.encode("a", add_eos=True)
    assert missing.encode("a") == tok.encode("a")


def test_properties_repr_and_no_constructor(pair):
    enc, tok = pair
    assert (enc.vocab_size, enc.pad_id, enc.unk_id, enc.bos_id, enc.eos_id) == \
        (tok.vocab_size, tok.pad_id, tok.unk_id, tok.bos_id, tok.eos_id)
    assert len(enc) == tok.vocab_size and enc.has_options is False
    assert repr(enc) == f"<zeqtools.Encoder vocab_size={tok.vocab_size} options=False>"
    assert enc.id_to_piece(262) == "a" and enc.id_to_piece(10**6) is None
    assert enc.piece_to_id("ab") == 264 and enc.piece_to_id("zz") is None
    with pytest.raises(TypeError, match="No constructor defined for Encoder"):
        Encoder()
    with pytest.raises(AttributeError):
        enc.vocab_size = 3


def test_pickled_by_content(write_file):
    path = write_file(encode_vocab(PIECES, **SPECIALS))
    enc = Encoder.from_file(path)
    data = pickle.dumps(enc)
    assert len(data) < os.path.getsize(path) + 200  # the file's bytes, nothing more
    os.unlink(path)  # the copy needs no file
    copy = pickle.loads(data)
    assert copy.encode("ab a \u00e9") == enc.encode("ab a \u00e9")
    raw = encode_vocab(PIECES, **SPECIALS)
    assert Encoder.from_bytes(bytearray(raw)).encode("ab") == enc.encode("ab")
    with pytest.raises(TypeError, match="must be bytes or bytearray, not str"):
        Encoder.from_bytes("abc")


def test_load_errors_name_the_file(tmp_path, write_file):
    missing = tmp_path / "missing.vocab.bin"
    with pytest.raises(FileNotFoundError) as e:
        Encoder.from_file(missing)  # os.PathLike
    assert e.value.errno == errno.ENOENT and e.value.filename == str(missing)
    with pytest.raises(IsADirectoryError):
        Encoder.from_file(str(tmp_path))
    empty = write_file(b"", "empty.vocab.bin")
    with pytest.raises(VocabLoadError, match=f"^{empty}: the file is empty$") as e:
        Encoder.from_file(empty)
    assert e.value.filename == empty and isinstance(e.value, OSError)
    raw = encode_vocab(PIECES, **SPECIALS)
    short = write_file(raw[:-3], "short.vocab.bin")
    n = len(PIECES)
    with pytest.raises(VocabLoadError, match=f"file ends inside the text of record {n - 1} of {n}$"):
        Encoder.from_file(short)
    # The words of zeq inspect's parser, for the same file.
    with pytest.raises(VocabFormatError, match=f"file ends inside the text of record {n - 1} of {n}"):
        parse_vocab(raw[:-3])
    with pytest.raises(VocabFormatError, match="^file ends inside the header$"):
        Encoder.from_bytes(raw[:10])
    with pytest.raises(VocabFormatError, match=r"^bad magic: expected \[90, 69, 81, 90\]"):
        Encoder.from_bytes(b"ABCD" + raw[4:])
    with pytest.raises(VocabFormatError, match="3 bytes after the last record are not an options section"):
        Encoder.from_bytes(raw + b"xyz")
    with pytest.raises(ValueError, match="embedded null byte"):
        Encoder.from_file("a\0b")


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file(write_file):
    path = write_file(encode_vocab(PIECES, **SPECIALS))
    os.chmod(path, 0)
    with pytest.raises(PermissionError):
        Encoder.from_file(path)


@pytest.mark.parametrize("call, message", [
    (lambda e: e.encode(), r"Encoder.encode\(\) missing 1 required positional argument: 'text'"),
    (lambda e: e.encode("a", "b"), r"takes 1 positional argument but 2 were given"),
    (lambda e: e.encode("a", add_box=True), r"got an unexpected keyword argument 'add_box'"),
    (lambda e: e.encode("a", text="b"), r"got multiple values for argument 'text'"),
    (lambda e: e.encode(b"a"), r"Encoder.encode\(\) argument 'text' must be str, not bytes"),
    (lambda e: e.encode_batch("abc"), r"must be a sequence of items, not str"),
    (lambda e: e.encode_batch(["a", 3]), r"argument 'texts': item 1 is int, not str"),
    (lambda e: e.encode_batch(5), r"must be an iterable, not int"),
    (lambda e: e.encode_batch(["a"], threads="2"), r"'threads' must be an int or None, not str"),
    (lambda e: e.decode_batch([[1], ["x"]]), r"argument 'id_lists\[1\]'"),
])
def test_argument_errors(pair, call, message):
    enc, _ = pair
    with pytest.raises(TypeError, match=message):
        call(enc)
    assert enc.encode("ab") == pair[1].encode("ab")  # still usable


def test_threads_must_be_positive(pair):
    with pytest.raises(ValueError, match="'threads' must be at least 1, not 0"):
        pair[0].encode_batch(["a"], threads=0)


def test_lone_surrogate_is_refused(pair):
    with pytest.raises(UnicodeEncodeError):
        pair[0].encode("a\ud800")
    with pytest.raises(UnicodeEncodeError):
        pair[0].encode_batch(["a", "\udfff"])


def test_panic_exception_is_exported():
    assert issubclass(zeqtools.PanicException, BaseException)
    assert not issubclass(zeqtools.PanicException, Exception)
