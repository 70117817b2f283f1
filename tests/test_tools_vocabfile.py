"""The Python reader, writer and inspector of the .vocab.bin format."""

import math
import struct

import pytest

import zeq
from conftest import byte_pieces, shared_path
from zeqtools.errors import VocabFormatError
from zeqtools.vocabfile import (
    Piece,
    encode_vocab,
    format_info,
    inspect_vocab,
    parse_vocab,
    read_vocab,
)

M = "\u2581"
SPECIALS = [("<unk>", 0, 0.0), ("<s>", 1, 0.0), ("</s>", 2, 0.0), ("<pad>", 3, 0.0)]
HEADER = dict(unk_id=0, bos_id=1, eos_id=2, pad_id=3)


def info_of(pieces, **header):
    return inspect_vocab(parse_vocab(encode_vocab(pieces, **{**HEADER, **header})))


def test_round_trip_keeps_every_field_and_score_bit():
    nan_payload = 0x7FC01234
    pieces = [Piece("a", 7, -1.5), Piece("", 0, 0.0), Piece(M + "é", 2**32 - 1, 0.0, nan_payload),
              Piece("-0", 3, -0.0)]
    data = encode_vocab(pieces, pad_id=1, unk_id=2, bos_id=3, eos_id=4)
    vf = parse_vocab(data + b"junk")
    assert [(p.text, p.id) for p in vf.pieces] == [(p.text, p.id) for p in pieces]
    assert vf.pieces[2].score_bits == nan_payload and math.isnan(vf.pieces[2].score)
    assert math.copysign(1, vf.pieces[3].score) == -1
    assert (vf.pad_id, vf.unk_id, vf.bos_id, vf.eos_id, vf.trailing_bytes) == (1, 2, 3, 4, 4)
    assert vf.to_bytes() == data


def test_the_shared_vocabulary_reads_and_writes_back_byte_for_byte():
    data = shared_path("vocab", "multi32k.vocab.bin").read_bytes()
    vf = parse_vocab(data)
    assert vf.to_bytes() == data
    assert len(vf.pieces) == zeq.Tokenizer.from_file(
        str(shared_path("vocab", "multi32k.vocab.bin"))).vocab_size


@pytest.mark.parametrize("data, message", [
    (b"ZEQ", "ends inside the magic"),
    (b"ZEQX" + bytes(24), "bad magic [90, 69, 81, 88]"),
    (b"ZEQZ\x02\0\0\0" + bytes(20), "version mismatch: expected 1, got 2"),
    (b"ZEQZ\x01\0\0\0" + bytes(10), "ends inside the header"),
    (encode_vocab([("a", 0, 0.0), ("b", 1, 0.0)])[:-13], "ends inside record 1 of 2"),
    (encode_vocab([("ab", 0, 0.0)])[:-1], "ends inside the text of record 0 of 1"),
    (encode_vocab([("a", 0, 0.0), (b"\xe2\x96", 1, 0.0)]), "piece not utf-8 in record 1"),
])
def test_broken_files_raise_a_value_error(data, message):
    with pytest.raises(VocabFormatError) as e:
        parse_vocab(data)
    assert message in str(e.value)
    assert isinstance(e.value, ValueError)


def test_inspect_a_well_formed_vocabulary():
    pieces = SPECIALS + byte_pieces(4) + [(M, 260, -2.0), (M + "a", 261, -9.5), ("a", 262, -3.0)]
    info = info_of(pieces)
    assert info.ids_are_positions and info.records == info.header_count == 263
    assert [(s.name, s.id, s.text, s.has_record) for s in info.specials] == [
        ("pad", 3, "<pad>", True), ("unk", 0, "<unk>", True),
        ("bos", 1, "<s>", True), ("eos", 2, "</s>", True)]
    assert info.byte_pieces == 256 and info.byte_piece_ids == (4, 259)
    assert (info.score_min, info.score_max) == (-9.5, 0.0)
    assert info.trie_pieces == 259 and info.trie_score_min == -9.5
    assert info.fallback_score == -19.5
    assert not info.duplicate_texts and not info.duplicate_ids
    text = format_info(info)
    assert "256 of 256 (ids 4..259)" in text and "fallback step -19.5" in text


@pytest.mark.parametrize("pieces, header, check", [
    # A special id beyond the records names no text; one that no record stores
    # is reported as such.
    ([("a", 0, 0.0)], dict(unk_id=0, bos_id=5, eos_id=5, pad_id=2**32 - 1),
     lambda i: (i.specials[2].text, i.specials[0].text) == (None, None)),
    ([("a", 0, 0.0), ("b", 7, 0.0)], dict(unk_id=1, bos_id=0, eos_id=0, pad_id=0),
     lambda i: i.specials[1].text == "b" and not i.specials[1].has_record),
    ([("a", 0, 0.0), ("b", 5, 0.0)], {},
     lambda i: not i.ids_are_positions and i.first_id_mismatch == (1, 5)),
    # Only the low half of the byte pieces.
    (byte_pieces(0)[:128], dict(unk_id=999, bos_id=999, eos_id=999, pad_id=999),
     lambda i: i.byte_pieces == 128 and i.missing_bytes == list(range(128, 256))),
    # A lower-case byte piece is an ordinary piece.
    ([("<0x0a>", 0, 0.0)], {}, lambda i: i.byte_pieces == 0),
    ([("a", 0, 0.0), ("a", 1, 0.0), ("b", 1, 0.0)], {},
     lambda i: i.duplicate_texts == {"a": 2} and i.duplicate_ids == {1: 2}),
    # NaN never becomes the minimum; a special piece's score does not count.
    ([("s", 0, -50.0), ("a", 1, float("nan")), ("b", 2, -4.0), ("c", 3, float("inf"))],
     dict(unk_id=0, bos_id=0, eos_id=0, pad_id=0),
     lambda i: (i.trie_score_min, i.non_finite_scores, i.fallback_score) == (-4.0, 2, -14.0)),
    ([("s", 0, 0.0)], dict(unk_id=0, bos_id=0, eos_id=0, pad_id=0),
     lambda i: i.trie_pieces == 0 and i.trie_score_min is None and i.fallback_score == -10.0),
    ([("", 0, 0.0), ("x" + M, 1, 0.0), (M + "x", 2, 0.0)], dict(unk_id=9),
     lambda i: (i.empty_texts, i.inner_marker_pieces) == (1, 1)),
    ([], {}, lambda i: i.records == 0 and i.score_min is None and i.longest_piece_bytes == 0),
])
def test_inspect_finds(pieces, header, check):
    info = info_of(pieces, **header)
    assert check(info), info
    format_info(info)  # renders whatever it found


def test_fallback_score_rounds_like_float32():
    info = info_of([("a", 9, -0.1)])
    assert info.fallback_score == struct.unpack("<f", struct.pack("<f", -0.1 - 10.0))[0]


def test_report_names_the_problems():
    text = format_info(info_of([("a", 0, 0.0), ("a", 4, 0.0)] + byte_pieces(10)[:16],
                               unk_id=99, piece_count=18))
    assert "names no record" in text
    assert "NOT positions: record 1 carries id 4" in text
    assert "missing 0x10-0xFF" in text
    assert "'a' x2" in text


def test_read_vocab_on_a_file(tmp_path):
    path = tmp_path / "v.vocab.bin"
    path.write_bytes(encode_vocab(SPECIALS))
    assert [p.text for p in read_vocab(path).pieces] == [p[0] for p in SPECIALS]
