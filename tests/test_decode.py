"""Decoding ids to text, and the single look-ups id_to_piece / piece_to_id."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import byte_pieces

TEXTS = ["▁", "▁Hello", "▁world", "a", "b", "▁a", " lead", "<s>", "x▁y", "▁\t▁"]
# Texts on either side of 7 bytes, the longest a table slot holds itself,
# counted after markers become spaces.
TEXTS += ["▁abcdef", "▁abcdefg", "abcdefg", "abcdefgh", "▁héllo", "▁héllos", "▁" * 7, "▁" * 8, "x" * 70]
P = {t: 260 + i for i, t in enumerate(TEXTS)}  # id of each ordinary piece
SIZE = 260 + len(TEXTS)
FFFD = "\ufffd"


def B(*bs):
    """Ids of the byte tokens of the given bytes."""
    return [4 + b for b in bs]


@pytest.fixture(scope="module")
def tok(tmp_path_factory):
    import zeq
    from zeqtools.vocabfile import write_vocab

    pieces = [("<unk>", 0, 0.0), ("<s>", 1, 0.0), ("</s>", 2, 0.0), ("<pad>", 3, 0.0)] + byte_pieces(4)
    pieces += [(t, i, -1.0) for t, i in P.items()]
    path = tmp_path_factory.mktemp("decode") / "d.vocab.bin"
    write_vocab(path, pieces, pad_id=3, unk_id=0, bos_id=1, eos_id=2)
    return zeq.Tokenizer.from_file(str(path))


@pytest.mark.parametrize(
    "ids, text",
    [
        ([], ""),
        ([0, 1, 2, 3, 3], ""),
        ([SIZE, SIZE + 5, 2**31, 4294967295], ""),
        ([P["▁Hello"], P["▁world"]], "Hello world"),
        ([P["▁"]], ""),
        ([P["▁"], P["▁"], P["a"]], " a"),
        ([P["▁"]] * 3, "  "),
        ([P[" lead"]], " lead"),  # a leading U+0020 is kept
        ([P["a"], P[" lead"]], "a lead"),
        ([P["▁a"], 0, P["b"]], "ab"),
        ([P["▁a"], SIZE, P["b"], 4294967295], "ab"),
        ([P["▁\t▁"]], "\t "),
        ([1, P["▁"], P["a"]], "a"),  # the special goes first, then the marker at the start
        ([SIZE, P["▁a"]], "a"),
        ([P["x▁y"]], "x y"),
        (B(0xE2, 0x82, 0xAC), "€"),
        (B(0xF0, 0x9F, 0x98, 0x80), "😀"),
        (B(0x41), "A"),  # the byte, never the text "<0x41>"
        (B(0x00, 0x0A), "\x00\n"),
        (B(0xFF), FFFD),
        (B(0xC3) + [P["a"]], FFFD + "a"),
        ([P["a"]] + B(0xE2, 0x82), "a" + FFFD),
        (B(0xE2, 0x82) + [P["a"]], FFFD + "a"),
        (B(0xF0, 0x9F, 0x98), FFFD),
        (B(0xC0, 0x80), FFFD * 2),
        (B(0xED, 0xA0, 0x80), FFFD * 3),
        (B(0xE0, 0x80, 0x80), FFFD * 3),
        (B(0xF4, 0x90, 0x80, 0x80), FFFD * 4),
        (B(0xF0, 0x9F, 0x98, 0xF0, 0x9F, 0x98, 0x80), FFFD + "😀"),
        (B(0x80, 0xBF, 0xC3, 0xA9), FFFD * 2 + "é"),
        (B(0xE2, 0x96, 0x81) + [P["a"]], "a"),  # a marker spelled by byte tokens
        (B(0xE2, 0x96, 0x81) + [P["▁a"]], " a"),  # only the very first marker goes
        ([P["a"]] + B(0xE2, 0x96, 0x81) + [P["b"]], "a b"),
        (B(0xE2, 0x96, 0x81) * 2, " "),
        (B(0xE2, 0x96) + [P["▁"]], FFFD + " "),
        (B(0xE2, 0x96) + B(0xE2, 0x96, 0x81), FFFD + " "),
        (B(0x61) + [P["▁"]], "a "),
        ([P["<s>"], 1], "<s>"),  # the same text, but only id 1 is special
        ([True, P["a"]], "a"),
        ([P["▁abcdef"]], "abcdef"),
        ([P["▁abcdefg"]], "abcdefg"),
        ([P["▁héllo"], P["▁héllos"]], "héllo héllos"),
        ([P["abcdefg"], P["▁abcdefg"], P["abcdefgh"], P["▁abcdef"]], "abcdefg abcdefgabcdefgh abcdef"),
        ([P["▁" * 7], P["a"]], " " * 6 + "a"),
        ([P["▁" * 8], P["▁" * 7]], " " * 14),
        ([1, P["▁abcdef"], P["x" * 70]], "abcdef" + "x" * 70),
        ([0, P["▁abcdefg"]], "abcdefg"),
        (B(0x41) + [P["▁abcdef"], 5000] + B(0xC3) + [P["▁abcdefg"]], "A abcdef" + FFFD + " abcdefg"),
        # Long enough for the output bound to be summed over the ids.
        ([P["a"], P["x" * 70], P["▁abcdefg"]] * 400 + B(0xC3), ("a" + "x" * 70 + " abcdefg") * 400 + FFFD),
    ],
)
def test_decode(tok, ids, text):
    assert tok.decode(ids) == text


@settings(deadline=None)
@given(st.lists(st.integers(0, SIZE + 2) | st.sampled_from([4 + 0xE2, 4 + 0x96, 4 + 0x81, 4294967295]), max_size=30))
def test_decode_matches_python_utf8_repair(tok, ids):
    # Python's decoder replaces maximal subparts as decode does.
    texts = [b""] * 4 + [bytes([b]) for b in range(256)] + [t.encode() for t in TEXTS]
    raw = b"".join(texts[i] if i < SIZE else b"" for i in ids).decode("utf-8", "replace")
    assert tok.decode(ids) == (raw[1:] if raw.startswith("▁") else raw).replace("▁", " ")


def test_special_byte_token_is_dropped(load):
    # bos is the id of the byte piece of "A": the special test comes first.
    tok = load([("<unk>", 0, 0.0), ("▁", 1, -1.0)] + byte_pieces(2), pad_id=0, unk_id=0, bos_id=2 + 0x41, eos_id=0)
    assert tok.decode([2 + 0x3D, 2 + 0x41, 2 + 0x40]) == "=@"
    assert tok.encode("A") == [1, 2 + 0x41]
    assert tok.decode(tok.encode("AB")) == "B"


@pytest.mark.parametrize(
    "id_, piece",
    [
        (0, "<unk>"),
        (1, "<s>"),
        (4 + 0x41, "<0x41>"),
        (P["x▁y"], "x▁y"),
        (P["▁"], "▁"),
        (P["▁\t▁"], "▁\t▁"),
        (SIZE, None),
        (SIZE + 1, None),
        (2**31, None),
        (4294967295, None),
    ],
)
def test_id_to_piece(tok, id_, piece):
    assert tok.id_to_piece(id_) == piece


@pytest.mark.parametrize(
    "piece, id_",
    [
        ("▁Hello", P["▁Hello"]),
        ("Hello", None),
        (" Hello", None),
        ("▁hello", None),
        ("▁Hello ", None),
        ("▁Hello\x00", None),
        ("▁", P["▁"]),
        (" ", None),
        (" lead", P[" lead"]),
        ("▁lead", None),
        ("<unk>", 0),
        ("<s>", P["<s>"]),  # the later record wins
        ("<0x41>", 4 + 0x41),
        ("<0xAB>", 4 + 0xAB),
        ("<0xab>", None),
        ("", None),
        ("x y", None),
    ],
)
def test_piece_to_id(tok, piece, id_):
    assert tok.piece_to_id(piece) == id_


def test_lookups_are_inverse(tok):
    texts = [tok.id_to_piece(i) for i in range(tok.vocab_size)]
    assert tok.vocab_size == SIZE and texts[4:260] == [p[0] for p in byte_pieces(0)]
    assert [tok.piece_to_id(t) for t in texts if t != "<s>"] == [i for i in range(SIZE) if i not in (1, P["<s>"])]


def test_pieces_past_64_kib(load):
    # A text too long for a table slot's length field, first, later and
    # many times (the output bound is then summed over the ids).
    big = "▁" + "y" * 70_000
    tok = load([("<unk>", 0, 0.0), ("a", 1, -1.0), (big, 2, -2.0), ("▁b", 3, -1.0)], pad_id=0, unk_id=0, bos_id=0, eos_id=0)
    plain = " " + "y" * 70_000
    assert tok.decode([2]) == plain[1:]
    assert tok.decode([1, 2, 3]) == "a" + plain + " b"
    assert tok.decode([3, 2] * 600) == "b" + plain + (" b" + plain) * 599
