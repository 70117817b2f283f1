"""The options section in Python: written after the records, read back
strictly, and shown by inspect. Sections are built here byte by byte, apart
from the writer under test."""

import struct

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from zeqtools.errors import VocabFormatError
from zeqtools.options import PieceKind, VocabOptions
from zeqtools.vocabfile import encode_vocab, format_info, inspect_vocab, parse_vocab

PIECES = [("<unk>", 0, 0.0), ("<mask>", 1, 0.0), ("[X]", 2, 0.0), ("<0x41>", 3, 0.0),
          ("\u2581a", 4, -1.0), ("b", 5, -30.0)]
RECORDS = encode_vocab(PIECES)
CHARSMAP = struct.pack("<I", 1024) + bytes(1024) + b"x\0"


def u32(*values):
    return struct.pack(f"<{len(values)}I", *values)


def section(*fields, count=None, version=1, magic=b"ZEQO"):
    """A section of (tag, payload) fields, in the order given."""
    body = b"".join(u32(tag, len(payload)) + payload for tag, payload in fields)
    return magic + u32(version, len(fields) if count is None else count) + body


NORMALISER = (1, u32(0b101))
SEGMENTATION = (2, u32(0b10))


def test_the_writer_lays_out_the_section_and_the_parser_reads_it_back():
    options = VocabOptions(add_dummy_prefix=True, remove_extra_whitespaces=False,
                           escape_whitespaces=True, charsmap=CHARSMAP, byte_fallback=True,
                           merge_unknown_runs=False, unk_surface="?\u2047",
                           kinds={3: PieceKind.BYTE, 1: PieceKind.CONTROL,
                                  2: PieceKind.USER_DEFINED})
    data = encode_vocab(PIECES, options=options)
    assert data == RECORDS + section(
        (1, u32(0b101) + CHARSMAP), (2, u32(0b01)),
        (3, u32(3, 1, 1, 2, 2, 3, 4)), (4, "?\u2047".encode()))
    vf = parse_vocab(data)
    assert vf.options == options and vf.trailing_bytes == 0
    assert vf.to_bytes() == data
    # The optional fields are left out when empty, and may come in any order.
    default = section((1, u32(7)), (2, u32(2)))
    assert encode_vocab(PIECES, options=VocabOptions()) == RECORDS + default
    vf = parse_vocab(RECORDS + section((4, b""), SEGMENTATION, NORMALISER))
    assert vf.options.unk_surface == "" and vf.options.kinds == {}


@pytest.mark.parametrize("junk", [b"junk", b"ZEQ", b"\0" * 40, b"zeqo" + bytes(12)])
def test_bytes_that_do_not_begin_with_the_magic_are_trailing_bytes(junk):
    vf = parse_vocab(RECORDS + junk)
    assert vf.options is None and vf.trailing_bytes == len(junk)
    assert f"{len(junk)} bytes after the last record" in format_info(inspect_vocab(vf))


@pytest.mark.parametrize("tail, message", [
    (b"ZEQO" + u32(1), "ends inside its header"),
    (section(NORMALISER, SEGMENTATION, version=2), "version mismatch: expected 1, got 2"),
    (section(NORMALISER, SEGMENTATION, count=0x40000000), "claims 1073741824 fields"),
    (section((1, u32(0) + b"x" * 4), count=2), "ends inside the head of field 1"),
    (section(NORMALISER, SEGMENTATION, (5, b"")), "unknown tag 5 (field 2)"),
    (section(NORMALISER, SEGMENTATION, NORMALISER), "tag 1 (normaliser) appears twice"),
    (section(NORMALISER, SEGMENTATION)[:-1], "field 1 (segmentation) claims 4 bytes, only 3"),
    (section(NORMALISER, SEGMENTATION) + b"\0", "1 bytes after the last field"),
    (section(SEGMENTATION), "the normaliser field (tag 1) is missing"),
    (section(NORMALISER), "the segmentation field (tag 2) is missing"),
    (section((1, b"\0\0"), SEGMENTATION), "normaliser field holds 2 bytes, expected at least 4"),
    (section((1, u32(8)), SEGMENTATION), "normaliser flags 0x8 set unknown bits 0x8"),
    (section(NORMALISER, (2, u32(0) + b"\0")), "segmentation field holds 5 bytes, expected 4"),
    (section(NORMALISER, (2, u32(0x80000002))), "unknown bits 0x80000000"),
    (section((1, u32(0) + b"\0\0"), SEGMENTATION), "blob of 2 bytes is too short to hold a trie"),
    (section((1, u32(0) + u32(1000) + bytes(1002)), SEGMENTATION), "trie size 1000 is not a multiple of 1024"),
    (section((1, u32(0) + u32(0) + b"\0"), SEGMENTATION), "trie size 0 is below 1024"),
    (section((1, u32(0) + u32(2048) + bytes(1024)), SEGMENTATION), "trie size 2048 exceeds the 1024 bytes"),
    (section((1, u32(0) + CHARSMAP[:-1]), SEGMENTATION), "do not end with a NUL byte"),
    (section(NORMALISER, SEGMENTATION, (3, b"\0")), "piece kinds field holds 1 bytes"),
    (section(NORMALISER, SEGMENTATION, (3, u32(2, 1, 1))), "expected 20 for 2 entries"),
    (section(NORMALISER, SEGMENTATION, (3, u32(0xFFFFFFFF))), "for 4294967295 entries"),
    (section(NORMALISER, SEGMENTATION, (3, u32(2, 2, 1, 2, 1))), "position 2 does not follow 2"),
    (section(NORMALISER, SEGMENTATION, (3, u32(2, 3, 1, 1, 1))), "position 1 does not follow 3"),
    (section(NORMALISER, SEGMENTATION, (3, u32(1, 6, 1))), "position 6 is not below"),
    (section(NORMALISER, SEGMENTATION, (3, u32(1, 1, 5))), "unknown kind 5 at position 1"),
    (section(NORMALISER, SEGMENTATION, (3, u32(1, 1, 0))), "unknown kind 0"),
    (section(NORMALISER, SEGMENTATION, (4, b"\xe2\x81")), "unknown surface is not UTF-8"),
])
def test_a_broken_section_is_refused_with_its_reason(tail, message):
    with pytest.raises(VocabFormatError) as e:
        parse_vocab(RECORDS + tail)
    assert str(e.value).startswith("options section: ") and message in str(e.value)
    assert "\n" not in str(e.value)


def test_inspect_shows_the_section():
    options = VocabOptions(remove_extra_whitespaces=False, charsmap=CHARSMAP,
                           kinds={1: PieceKind.CONTROL, 2: PieceKind.USER_DEFINED,
                                  3: PieceKind.BYTE})
    info = inspect_vocab(parse_vocab(encode_vocab(PIECES, options=options)))
    # The least score, base of the fallback step, is that of the ordinary pieces.
    assert (info.trie_pieces, info.trie_score_min) == (3, -30.0)
    o = info.options
    assert o.normaliser == ["add_dummy_prefix", "escape_whitespaces"]
    assert (o.charsmap_bytes, len(o.charsmap_digest), o.charsmap_name) == (len(CHARSMAP), 12, None)
    assert o.segmentation == ["merge_unknown_runs"]
    assert o.kind_counts == {"control": 1, "user-defined": 1, "byte": 1}
    assert (o.unk_surface, o.unk_surface_is_default) == (" \u2047 ", True)
    text = format_info(info)
    assert f"character map {len(CHARSMAP):,} bytes, sha256 {o.charsmap_digest}" in text
    assert "1 control ('<mask>'); 1 user-defined ('[X]'); 1 byte ('<0x41>')" in text
    assert "byte pieces   1 of 256, not used: byte fallback is off" in text
    assert info.as_dict()["options"]["kind_examples"]["byte"] == ["<0x41>"]
    assert "options       none" in format_info(inspect_vocab(parse_vocab(RECORDS)))


@given(st.binary(max_size=64), st.integers(0, 2))
@settings(max_examples=300, deadline=None)
def test_any_bytes_after_the_magic_parse_or_raise_a_format_error(tail, count):
    try:
        parse_vocab(RECORDS + b"ZEQO" + u32(1, count) + tail)
    except VocabFormatError:
        pass
