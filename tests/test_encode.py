"""Encoding: normalisation and word splitting, the Viterbi search with its
fallback steps and tie rules, and the ids and pieces it returns."""

import math
import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from conftest import byte_pieces
from zeqtools.vocabfile import byte_piece_text

NAN, FMAX = float("nan"), 3.4028235e38
NO_SPECIAL = dict(pad_id=1000, unk_id=1000, bos_id=1000, eos_id=1000)
fast = settings(deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


@pytest.mark.parametrize(
    "text, words",
    [
        ("", []),
        ("Hello world", ["▁Hello", "▁world"]),
        ("Hello", ["▁Hello"]),
        (" Hello", ["▁Hello"]),
        ("a  b", ["▁a", "▁", "▁b"]),
        ("a ", ["▁a", "▁"]),
        (" ", ["▁"]),
        ("  ", ["▁", "▁"]),
        ("   a", ["▁", "▁", "▁a"]),
        ("ab  ", ["▁ab", "▁", "▁"]),
        ("a", ["▁a"]),
        ("x▁y", ["▁x", "▁y"]),
        ("▁x", ["▁x"]),
        ("▁", ["▁"]),
        ("▁▁", ["▁", "▁"]),
        (" ▁", ["▁", "▁"]),
        ("▁ x", ["▁", "▁x"]),
        ("a\tb", ["▁a\tb"]),
        ("a\nb", ["▁a\nb"]),
        ("\r\n", ["▁\r\n"]),
        ("a\u00a0b\u3000c\u2009d", ["▁a\u00a0b\u3000c\u2009d"]),  # only U+0020 is a space
        ("€", ["▁€"]),  # E2 82 AC: begins like the marker but is not one
        ("€▁€ €", ["▁€", "▁€", "▁€"]),
        ("\u2580x", ["▁\u2580x"]),  # E2 96 80
        ("Ab ﬁ É", ["▁Ab", "▁ﬁ", "▁É"]),  # no case mapping, no Unicode normalisation
        ("\x00 \x00", ["▁\x00", "▁\x00"]),
    ],
)
def test_normalisation_and_words(load, text, words):
    # Each word is one attractive piece; single characters are there as a
    # fallback, and pieces that span a word boundary score best of all, so
    # they would show up if a boundary were missed.
    norm = text.replace(" ", "▁")
    norm = norm if norm.startswith("▁") or not norm else "▁" + norm
    texts = {c: -2.0 for c in norm}
    texts.update({w: -1.0 for w in words})
    for i in range(len(words) - 1):
        texts[words[i][-1] + "▁"] = texts[words[i] + words[i + 1]] = 100.0
    if len(words) > 1:
        texts[norm] = 100.0
    tok = load([(t, i, s) for i, (t, s) in enumerate(texts.items())], **NO_SPECIAL)
    assert tok.encode_pieces(text) == words
    assert tok.encode(text) == [tok.piece_to_id(w) for w in words]


def viterbi_example(ab=-4.5, b=-5.0, marker=True, c3=True, a9=True):
    """The small vocabulary of the segmentation examples: min score -5, so the
    fallback step scores -15; unk 0; bos and eos are real records."""
    pieces = [("▁", 5, -2.0)] if marker else []
    pieces += [("▁a", 6, -3.0), ("a", 7, -4.0), ("b", 8, b), ("ab", 9, ab), ("<s>", 2, -90.0), ("</s>", 3, -90.0)]
    pieces += [("<0xC3>", 100, -1.0)] if c3 else []
    pieces += [("<0xA9>", 101, -1.0)] if a9 else []
    return pieces


@pytest.mark.parametrize(
    "text, options, ids",
    [
        ("ab", {}, [5, 9]),
        ("ab", dict(ab=-5.0, b=-4.0), [5, 9]),  # equal scores: the longer last piece stays
        ("é", {}, [5, 100, 101]),
        ("é", dict(a9=False), [5, 100, 0]),
        ("é", dict(c3=False), [5, 0]),
        (" ", {}, [5]),
        ("a", dict(marker=False, c3=False, a9=False), [6]),
        ("", {}, []),
        ("a", {}, [6]),
        ("b", {}, [5, 8]),
        ("ba", {}, [5, 8, 7]),
        ("ab ab", {}, [5, 9, 5, 9]),
        ("éab", {}, [5, 100, 101, 9]),
        ("aé", {}, [6, 100, 101]),
        ("<s>", dict(c3=False), [5, 0, 0, 0]),  # special records never match
        ("x", dict(marker=False, c3=False, a9=False), [0, 0]),
    ],
)
def test_viterbi_examples(load, text, options, ids):
    tok = load(viterbi_example(**options), pad_id=1, unk_id=0, bos_id=2, eos_id=3)
    assert tok.encode(text) == ids


FOUR = "😀"  # F0 9F 98 80


@pytest.mark.parametrize(
    "missing, ids, decoded",
    [
        ((), [1, 0xF0 + 2, 0x9F + 2, 0x98 + 2, 0x80 + 2], FOUR + "a" + FOUR),
        (range(256), [1, 0], ""),
        ((0xF0,), [1, 0], "a"),
        ((0x98,), [1, 0xF0 + 2, 0x9F + 2, 0, 0x80 + 2], "\ufffda\ufffd"),
        ((0x9F, 0x98, 0x80), [1, 0xF0 + 2, 0, 0, 0], "\ufffda\ufffd"),
    ],
)
def test_four_byte_character_fallback(load, missing, ids, decoded):
    pieces = [("<unk>", 0, 0.0), ("▁", 1, -1.0)] + [p for p in byte_pieces(2, -1.0) if p[1] - 2 not in missing]
    tok = load(pieces, pad_id=0, unk_id=0, bos_id=0, eos_id=0)
    assert tok.encode(FOUR) == ids
    # Ids are read back as positions, which shift where byte pieces are missing.
    assert tok.encode_pieces(FOUR) == [pieces[i][0] if i < len(pieces) else "<unk>" for i in ids]
    assert tok.decode(tok.encode(FOUR + "a" + FOUR)) == decoded


@pytest.mark.parametrize(
    "text, pieces, ids",
    [
        # A longer piece at an offset does not stop the fallback step there.
        ("xy", [("▁", 1, -1.0), ("xy", 2, -5.0), ("y", 3, 20.0), ("<0x78>", 4, 0.0)], [1, 4, 3]),
        # A one-character piece stops it, even when its own offer loses (NaN).
        ("x", [("▁", 1, 20.0), ("▁x", 2, -3.0), ("x", 3, NAN), ("<0x78>", 4, 0.0)], [2]),
        ("x", [("▁", 1, 20.0), ("▁x", 2, -3.0), ("<0x78>", 4, 0.0)], [1, 4]),
        # Equal sums: at every cell the last piece that starts earliest wins
        # ([▁a] over [▁][a] at "a", [ab] over [a][b] at the end).
        ("ab", [("▁", 1, -1.0), ("▁a", 2, -2.0), ("a", 3, -1.0), ("b", 4, -1.0), ("ab", 5, -2.0)], [1, 5]),
        # An empty piece never matches, not even where no piece starts.
        ("xa", [("", 5, 9.0), ("▁", 1, -1.0), ("a", 3, -1.0), ("<0x78>", 4, 0.0)], [1, 4, 3]),
        # A NaN candidate takes an unreached cell and never replaces a reached one.
        ("ab", [("▁", 1, -1.0), ("ab", 2, NAN), ("a", 3, -1.0), ("b", 4, -1.0)], [1, 2]),
        ("ab", [("▁", 1, -1.0), ("▁ab", 2, -10.0), ("a", 3, -1.0), ("b", 4, NAN)], [2]),
        # Summed left to right in single precision: 1 + d + d + d stays 1.0 ...
        ("abcd", [("▁a", 1, 1.0), ("b", 2, 7 * 2.0**-27), ("c", 3, 7 * 2.0**-27), ("d", 4, 7 * 2.0**-27),
                  ("▁abcd", 5, 1 + 2.0**-23)], [5]),
        # ... or climbs to 1 + 3 ulp, past a piece scoring 1 + 2 ulp.
        ("abcd", [("▁a", 1, 1.0), ("b", 2, 9 * 2.0**-27), ("c", 3, 9 * 2.0**-27), ("d", 4, 9 * 2.0**-27),
                  ("▁abcd", 5, 1 + 2.0**-22)], [1, 2, 3, 4]),
    ],
)
def test_candidates(load, text, pieces, ids):
    tok = load(pieces, pad_id=1000, unk_id=0, bos_id=1000, eos_id=1000)
    assert tok.encode(text) == ids


@pytest.mark.parametrize("unk_id, last", [(0, "UNK!"), (2, "a"), (3, "<unk>"), (4294967295, "<unk>")])
def test_encode_pieces_of_unknown(load, unk_id, last):
    tok = load([("UNK!", 0, 0.0), ("▁", 1, -1.0), ("a", 2, -1.0)], **dict(NO_SPECIAL, unk_id=unk_id))
    pieces = tok.encode_pieces("a€")
    assert pieces[0] == "▁" and pieces[-1] == last and len(pieces) == len(tok.encode("a€")) == 3
    assert tok.encode("a€")[-1] == unk_id


@pytest.mark.parametrize("size", [10, 5])
def test_stored_id_and_position_differ(load, size):
    pieces = [("▁x", 9, -1.0), ("▁", 1, -1.0)] + [("p%d" % i, 100 + i, -1.0) for i in range(2, size)]
    tok = load(pieces, **NO_SPECIAL)
    assert tok.encode("x") == [9] and tok.piece_to_id("▁x") == 9
    assert tok.id_to_piece(0) == "▁x" and tok.decode([0]) == "x"
    assert tok.encode_pieces("x") == (["p9"] if size > 9 else ["<unk>"])
    assert tok.decode([9]) == ("p9" if size > 9 else "")


# --- properties -------------------------------------------------------------

PROSE = ["▁", "▁the", "the", "e", "th", "▁a", "é", "€", "ab", "ing", "▁in", "\t", "\n", "▁▁", "a▁"]
text_without_marker = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\u2581"), max_size=40)


@fast
@given(text=text_without_marker)
def test_roundtrip_with_byte_pieces(load_prose, text):
    text = text.lstrip(" ") if "<0x" not in text else ""
    tok = load_prose
    ids = tok.encode(text)
    assert all(4 <= i < tok.vocab_size for i in ids)
    assert tok.decode(ids) == text
    assert tok.encode_pieces(text) == [tok.id_to_piece(i) for i in ids]


@pytest.fixture(scope="module")
def load_prose(tmp_path_factory):
    import zeq
    from zeqtools.vocabfile import write_vocab

    pieces = [("<unk>", 0, 0.0), ("<s>", 1, 0.0), ("</s>", 2, 0.0), ("<pad>", 3, 0.0)] + byte_pieces(4, -1.0)
    pieces += [(t, 260 + i, -1.0 - i / 4) for i, t in enumerate(PROSE)]
    path = tmp_path_factory.mktemp("prose") / "prose.vocab.bin"
    write_vocab(path, pieces, pad_id=3, unk_id=0, bos_id=1, eos_id=2)
    return zeq.Tokenizer.from_file(str(path))


def f32(x):
    try:
        return struct.unpack("<f", struct.pack("<f", x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def reference_encode(pieces, pad, unk, bos, eos, text):
    """Straightforward model of encode: a dict instead of the trie."""
    specials, trie, ids_by_piece, least = {pad, unk, bos, eos}, {}, {}, FMAX
    for t, i, s in pieces:
        ids_by_piece[t.encode()] = i
        if i not in specials:
            trie[t.encode()] = (i, f32(s))
            least = f32(s) if f32(s) < least else least
    fallback = f32((0.0 if least == FMAX else least) - 10.0)
    byte_ids = {b: ids_by_piece[byte_piece_text(b).encode()] for b in range(256) if byte_piece_text(b).encode() in ids_by_piece}
    norm = text.replace(" ", "▁")
    norm = "▁" + norm if norm and not norm.startswith("▁") else norm
    out = []
    for word in (["▁" + w for w in norm[1:].split("▁")] if norm else []):
        w = word.encode()
        cells = [None] * (len(w) + 1)
        cells[0] = (0, 0.0, 0)

        def offer(e, p, s, t):
            if cells[e] is None or s > cells[e][1]:
                cells[e] = (p, s, t)

        p = 0
        while p < len(w):
            c = 1 if w[p] < 0xC0 else 2 if w[p] < 0xE0 else 3 if w[p] < 0xF0 else 4
            score, covered = cells[p][1], False
            for i in range(1, len(w) - p + 1):
                if w[p:p + i] in trie:
                    tid, s = trie[w[p:p + i]]
                    offer(p + i, p, f32(score + s), tid)
                    covered = covered or i == c
            if covered:
                p += c
            elif w[p] in byte_ids:
                offer(p + 1, p, f32(score + fallback), byte_ids[w[p]])
                p += 1
            else:
                offer(p + c, p, f32(score + fallback), unk)
                p += c
        g, ids = len(w), []
        while True:
            ids.append(cells[g][2])
            if cells[g][0] == 0:
                break
            g = cells[g][0]
        out += ids[::-1]
    return out


ALPHABET = ["▁", "a", "b", "é", "😀", "€"]
random_piece = st.tuples(
    st.lists(st.sampled_from(ALPHABET), min_size=0, max_size=3).map("".join)
    | st.sampled_from(["<0x61>", "<0xC3>", "<0xA9>", "<0xF0>", "<0x9F>", "<0x98>", "<0x80>", "<0xE2>"]),
    st.integers(0, 12),
    st.sampled_from([-1.0, -2.0, -3.0, -0.5, -4.25, -1.5, 1.5, 0.0, NAN, -30.0]),
)


@settings(fast, max_examples=300)
@given(
    pieces=st.lists(random_piece, max_size=14),
    specials=st.tuples(*[st.integers(0, 14)] * 4),
    texts=st.lists(st.lists(st.sampled_from(ALPHABET + [" ", "\u2580", "\t"]), max_size=8).map("".join),
                   min_size=1, max_size=4),
)
def test_matches_reference_model(load, pieces, specials, texts):
    pad, unk, bos, eos = specials
    tok = load(pieces, pad_id=pad, unk_id=unk, bos_id=bos, eos_id=eos)
    for text in texts:
        ids = tok.encode(text)
        assert ids == reference_encode(pieces, pad, unk, bos, eos, text), text
        assert len(tok.encode_pieces(text)) == len(ids)


def test_many_words_in_one_tokenizer_match_reference(load):
    # Tens of thousands of distinct words, some seen again after many others,
    # some very long: every word must segment the same whenever it comes.
    import random

    rnd = random.Random(7)
    alphabet = "abcdé"
    pieces = [("<unk>", 0, 0.0), ("<s>", 1, 0.0), ("</s>", 2, 0.0)] + byte_pieces(3, -1.0)
    texts = {"▁"} | {"▁" + x for x in alphabet} | {x + y for x in alphabet for y in alphabet + " "}
    pieces += [(t.strip(), 259 + i, -rnd.choice([1.0, 1.5, 2.0, 2.5, 3.0])) for i, t in enumerate(sorted(texts))]
    words = list({"".join(rnd.choice(alphabet) for _ in range(rnd.randint(7, 12))) for _ in range(40000)})
    words += [x + y for x in alphabet for y in alphabet] + list(alphabet)
    words += [w * 15 for w in words[:50]] + words[:3000]
    rnd.shuffle(words)
    tok = load(pieces, pad_id=0, unk_id=0, bos_id=1, eos_id=2)
    for chunk in (words[:10], words, words[-20000:]):
        text = " ".join(chunk)
        assert tok.encode(text) == reference_encode(pieces, 0, 0, 1, 2, text)
