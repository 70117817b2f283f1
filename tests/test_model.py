"""The vocabulary tables and the model built from them (trie membership,
byte-piece tables, the minimum score), seen through the public methods."""

import pytest

NAN, INF, FMAX = float("nan"), float("inf"), 3.4028235e38
NONE_SPECIAL = dict(pad_id=1000, unk_id=1000, bos_id=1000, eos_id=1000)


@pytest.mark.parametrize(
    "pieces, text_to_id",
    [
        ([("a", 5, -1.0), ("a", 7, -1.0)], 7),
        ([("a", 7, -1.0), ("a", 5, -1.0)], 5),
        ([("a", 7, -1.0), ("b", 8, -1.0), ("a", 5, -1.0), ("a", 6, -1.0)], 6),
    ],
)
def test_duplicate_texts_last_wins_in_lookup(load, pieces, text_to_id):
    tok = load(pieces, **NONE_SPECIAL)
    assert tok.piece_to_id("a") == text_to_id
    assert tok.vocab_size == len(pieces)
    assert [tok.id_to_piece(i) for i in range(len(pieces))] == [p[0] for p in pieces]


@pytest.mark.parametrize(
    "pieces, ids_of_x",
    [
        ([("▁", 1, -1.0), ("x", 4, -5.0), ("x", 9, -1.0)], [1, 9]),  # the later record takes the node
        ([("▁", 1, -1.0), ("x", 9, -1.0), ("x", 4, -5.0)], [1, 4]),
        ([("▁", 1, -1.0), ("▁x", 3, -0.5), ("▁x", 4, -0.5)], [4]),
        ([("▁", 1, -1.0), ("▁x", 4, -0.5), ("▁x", 3, -0.5)], [4]),  # id 3 is special: that record is skipped
        ([("▁", 1, -1.0), ("x", 2, -1.0), ("▁x", 3, -0.5)], [1, 2]),
    ],
)
def test_trie_takes_last_non_special_record(load, pieces, ids_of_x):
    tok = load(pieces, pad_id=1000, unk_id=1000, bos_id=1000, eos_id=3)
    assert tok.encode("x") == ids_of_x
    assert tok.piece_to_id(pieces[-1][0]) == pieces[-1][1]


@pytest.mark.parametrize("field", ["pad_id", "unk_id", "bos_id", "eos_id", None])
def test_special_ids_never_match_text(load, field):
    # "▁b" is an ordinary text; its record is left out of the trie only because
    # its id equals a special id.
    header = dict(NONE_SPECIAL, **({field: 3} if field else {}))
    pieces = [("▁", 1, -1.0), ("b", 2, -3.0), ("▁b", 3, -0.5), ("<s>", 4, 10.0)]
    tok = load(pieces, **header)
    assert tok.encode("b") == ([1, 2] if field else [3])
    assert tok.piece_to_id("▁b") == 3  # still in the look-up table


def test_special_texts_are_ordinary_text(load):
    # Special records are out of the trie, so their texts are spelled by pieces.
    pieces = [("<unk>", 0, 0.0), ("<s>", 1, 0.0), ("</s>", 2, 0.0), ("▁", 3, -1.0)]
    pieces += [(c, 4 + i, -1.0) for i, c in enumerate("<s/>")]
    tok = load(pieces, unk_id=0, bos_id=1, eos_id=2, pad_id=0)
    assert tok.encode("<s>") == [3, 4, 5, 7]
    assert tok.encode("</s>") == [3, 4, 6, 5, 7]


@pytest.mark.parametrize(
    "text, is_byte_piece",
    [
        ("<0x0A>", True),
        ("<0x0a>", False),
        ("<0xA>", False),
        ("<0x00A>", False),
        ("<0X0A>", False),
        ("<0x0A> ", False),
        ("▁<0x0A>", False),
        ("<0x0A", False),
    ],
)
def test_byte_piece_text_form(load, text, is_byte_piece):
    tok = load([("▁", 0, -1.0), ("<unk>", 1, 0.0), (text, 2, -1.0)], **dict(NONE_SPECIAL, unk_id=1))
    assert tok.encode("\n") == ([0, 2] if is_byte_piece else [0, 1])
    assert tok.decode([2]) == ("\n" if is_byte_piece else text.replace("▁", "", 1))
    assert tok.id_to_piece(2) == text  # the look-up always gives the stored text


@pytest.mark.parametrize("first, second", [("<0x41>", "<0x42>"), ("<0x42>", "<0x41>")])
def test_shared_byte_piece_id(load, first, second):
    tok = load([("▁", 0, -1.0), (first, 7, -1.0), (second, 7, -1.0)], **NONE_SPECIAL)
    assert tok.encode("A") == [0, 7] and tok.encode("B") == [0, 7]
    assert tok.decode([7]) == "B"  # the largest byte value wins, whatever the order
    assert tok.piece_to_id("<0x41>") == tok.piece_to_id("<0x42>") == 7


def test_byte_piece_tables_use_the_last_record_and_ignore_specials(load):
    pieces = [("▁", 0, -1.0), ("<0x41>", 7, -1.0), ("<0x41>", 8, -1.0), ("<0x42>", 2, -1.0)]
    tok = load(pieces + [("f", i, -1.0) for i in range(4, 9)], pad_id=1000, unk_id=1000, bos_id=2, eos_id=1000)
    assert tok.encode("A") == [0, 8]
    assert tok.decode([8]) == "A" and tok.decode([7]) == "f"  # 7 is no byte token: its position's text
    # A byte piece with a special id is still the fallback for its byte, and
    # decoding drops it as special.
    assert tok.encode("B") == [0, 2]
    assert tok.decode([0, 2, 8]) == "A"


def test_byte_pieces_are_trie_texts(load):
    tok = load([("▁", 0, -1.0), ("<0x41>", 1, -1.0), ("x", 2, -1.0)], **NONE_SPECIAL)
    assert tok.encode("<0x41>") == [0, 1]
    assert tok.encode_pieces("<0x41>") == ["▁", "<0x41>"]
    assert tok.decode(tok.encode("<0x41>x")) == "Ax"


def test_empty_text_piece_never_matches(load):
    tok = load([("", 0, 50.0), ("▁", 1, -1.0), ("a", 2, -1.0)], **NONE_SPECIAL)
    assert tok.encode("aa a") == [1, 2, 2, 1, 2]
    assert tok.piece_to_id("") == 0 and tok.id_to_piece(0) == ""
    assert tok.decode([0, 2, 0]) == "a"


def _probe(load, x, extra, **header):
    """encode("a") over "▁" (id 1, score 20) and "▁a" (id 2, score x), plus
    pieces that never match. The piece [▁a] wins unless 20 + fallback, where
    fallback = min_score - 10, beats it: so the result tells where the
    minimum score lies."""
    pieces = [("▁", 1, 20.0), ("▁a", 2, x)] + [p if len(p) == 3 else (p[0], 10 + i, p[1]) for i, p in enumerate(extra)]
    tok = load(pieces, **(header or dict(pad_id=0, unk_id=0, bos_id=0, eos_id=0)))
    result = tok.encode("a")
    assert result in ([2], [1, 0])
    return result == [2]


@pytest.mark.parametrize(
    "extra, x, piece_wins",
    [
        ([("q", -5.0)], 5.5, True),  # min -5, fallback -15, threshold 5
        ([("q", -5.0)], 4.5, False),
        ([("q", -5.0)], 5.0, True),  # a tie keeps the earlier offer
        ([("q", -5.0), ("r", NAN)], 5.5, True),
        ([("q", -5.0), ("r", NAN)], 4.5, False),
        ([("q", -5.0), ("r", INF), ("s", FMAX)], 4.5, False),
        ([("q", -5.0), ("r", INF), ("s", FMAX)], 5.5, True),
        ([("q", -5.0), ("r", -INF)], -4.0, True),  # -inf is the minimum: fallback never wins
        ([("q", -5.0), ("q", -1.0)], 7.0, True),  # a replaced score still counts
        ([("q", -5.0), ("<s>", 0, -100.0)], 4.5, False),  # special records do not count
        ([("", -7.0)], 3.5, True),  # the empty text counts (min -7, threshold 3)
        ([("", -7.0)], 2.5, False),
        ([("<0x7A>", -6.0)], 4.5, True),  # byte pieces count (min -6, threshold 4)
        ([("<0x7A>", -6.0)], 3.5, False),
    ],
)
def test_min_score_sets_the_fallback_score(load, extra, x, piece_wins):
    assert _probe(load, x, extra) == piece_wins


def test_min_score_without_usable_scores_is_zero(load):
    # Nothing finite below the largest float: the minimum is 0.0, the fallback
    # score -10.0. Neither NaN (fallback never wins) nor the largest float
    # (fallback overflows to +inf and wins) may leak into it.
    tok = load([("▁", 1, INF), ("▁a", 2, FMAX), ("q", 3, NAN)], **dict(NONE_SPECIAL, unk_id=0))
    assert tok.encode("a") == [1, 0]  # inf + (-10) = inf beats FMAX
    tok = load([("▁", 1, FMAX), ("▁a", 2, FMAX)], **dict(NONE_SPECIAL, unk_id=0))
    assert tok.encode("a") == [2]  # FMAX + (-10) rounds to FMAX: a tie, the earlier offer stays
