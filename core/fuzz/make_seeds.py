"""Seed corpus of the fuzz targets, made with the project's own file writer.

    python3 core/fuzz/make_seeds.py OUTDIR     # OUTDIR/vocab_fuzzer, OUTDIR/text_fuzzer,
                                               # OUTDIR/normalizer_fuzzer

The normaliser's seeds take the character maps of the SentencePiece models
in the shared data folder (ZEQ_SHARED, default: `shared` beside the
repository's parent) when it is there, and always a small map built here.

vocab_seeds() is also what the memory test loads: `hostile` marks the files
that are broken or that lie about their sizes.
"""

from __future__ import annotations

import os
import pathlib
import struct
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tools"))

from zeqtools import protowire as pw  # noqa: E402
from zeqtools.vocabfile import Piece, byte_piece_text, encode_vocab  # noqa: E402

M = "\u2581"
# Text after the last record: the vocabulary fuzzer reads its texts and ids there.
TAIL = "Hello world, ça va?  Привет мир 日本語 🙂 <0x41> x\txx\n".encode() + struct.pack("<4I", 4, 5, 0, 0xFFFFFFFF)
SPECIALS = [("<unk>", 0, 0.0), ("<s>", 1, 0.0), ("</s>", 2, 0.0), ("<pad>", 3, 0.0)]
HEADER = dict(unk_id=0, bos_id=1, eos_id=2, pad_id=3)
WORDS = [M, M + "a", "a", "b", "ab", M + "the", "the", M + "Hello", M + "world", "é", M + "é", "日本",
         M + "日本語", "🙂", "при", M + "при", ",", ".", "x", "xx"]


def numbered(texts, start=0, score=-1.0, step=-0.25):
    return [(t, start + i, score + step * i) for i, t in enumerate(texts)]


def full_vocab(extra_words=WORDS):
    bytes_ = [(byte_piece_text(b), 4 + b, 0.0) for b in range(256)]
    return SPECIALS + bytes_ + numbered(extra_words, start=260)


def vocab_seeds():
    """{name: (bytes, hostile)} for the vocabulary fuzzer."""
    s = {}

    def add(name, data, hostile=False):
        s[name] = (data, hostile)

    small = SPECIALS + numbered(WORDS, start=4)
    # Files that load.
    add("empty_vocab", encode_vocab([], **HEADER))
    add("small", encode_vocab(small, **HEADER) + TAIL)
    add("full", encode_vocab(full_vocab(), **HEADER) + TAIL)
    add("no_specials_in_records", encode_vocab(numbered(WORDS), pad_id=100, unk_id=101, bos_id=102, eos_id=103) + TAIL)
    add("specials_max", encode_vocab(small, pad_id=2**32 - 1, unk_id=2**32 - 1, bos_id=2**32 - 1, eos_id=2**32 - 1) + TAIL)
    add("ids_not_positions", encode_vocab([(t, 1000 - i, sc) for t, i, sc in small], **HEADER) + TAIL)
    add("duplicates", encode_vocab(small + [("a", 50, -0.5), ("a", 7, -9.0), ("b", 6, -1.0)], **HEADER) + TAIL)
    add("odd_scores", encode_vocab(
        SPECIALS + [Piece("a", 4, score_bits=0x7FC00000), Piece("b", 5, score_bits=0x7F800000),
                    Piece("ab", 6, score_bits=0xFF800000), Piece(M, 7, score_bits=0x80000000),
                    Piece(M + "a", 8, score_bits=0x7F7FFFFF), Piece("x", 9, score_bits=0xFFFFFFFF),
                    Piece("xx", 10, score_bits=0x00000001)], **HEADER) + TAIL)
    add("all_nan", encode_vocab(SPECIALS + [Piece(t, 4 + i, score_bits=0x7FC00001) for i, t in enumerate(WORDS)], **HEADER) + TAIL)
    add("byte_pieces_odd", encode_vocab(
        SPECIALS + [("<0x41>", 70, -1.0), ("<0x42>", 70, -1.0), ("<0x0a>", 71, -1.0), ("<0xA>", 72, -1.0),
                    ("<0x041>", 73, -1.0), ("<0xC3>", 1, -1.0), ("<0xA9>", 74, -1.0), ("<0xE2>", 75, -1.0)]
        + numbered(WORDS, start=80), **HEADER) + TAIL)
    add("empty_text_piece", encode_vocab(small + [("", 40, -0.1)], **HEADER) + TAIL)
    add("markers_inside", encode_vocab(small + [("a" + M + "b", 40, -0.1), (M + M, 41, -0.2), ("a b", 42, -0.3), (" ", 43, -0.4)], **HEADER) + TAIL)
    add("long_text_piece", encode_vocab(small + [("ab" * 10000, 40, -1.0)], **HEADER) + TAIL)
    add("long_word", encode_vocab(small + [("x" * n, 40 + n, -float(n)) for n in range(3, 40)], **HEADER) + TAIL)
    add("count_below_records", encode_vocab(small, piece_count=3, **HEADER) + TAIL)
    add("trailing_garbage", encode_vocab(small, **HEADER) + bytes(range(256)))
    # Files that fail, one for each check, and files whose sizes lie.
    add("empty_file", b"", True)
    add("two_bytes", b"ZE", True)
    add("three_bytes", b"ZEQ", True)
    add("bad_magic", encode_vocab(small, magic=b"ZEQ\x00", **HEADER), True)
    add("bad_magic_zeros", bytes(28), True)
    add("version_2", encode_vocab(small, version=2, **HEADER), True)
    add("version_max", encode_vocab(small, version=2**32 - 1, **HEADER), True)
    add("short_header", encode_vocab([], **HEADER)[:27], True)
    add("count_above_records", encode_vocab(small, piece_count=len(small) + 1, **HEADER), True)
    add("count_max", encode_vocab(small, piece_count=2**32 - 1, **HEADER), True)
    add("count_max_no_records", encode_vocab([], piece_count=2**32 - 1, **HEADER), True)
    add("record_header_cut", encode_vocab(small, **HEADER)[:28 + 7], True)
    add("text_cut", encode_vocab([("hello", 0, 0.0)], **HEADER)[:-2], True)
    for name, raw in [("ff", b"a\xff"), ("lone_continuation", b"\x80"), ("surrogate", b"\xed\xa0\x80"),
                      ("overlong", b"\xc0\x80"), ("cut_marker", b"a\xe2\x96"), ("above_max", b"\xf4\x90\x80\x80"),
                      ("cut_4byte", b"\xf0\x9f\x99"), ("bad_second", b"\xe2\x41\x81")]:
        add("utf8_" + name, encode_vocab(small + [Piece(raw, 50, -1.0)], **HEADER), True)
    huge_len = encode_vocab([("a", 4, -1.0)], **HEADER)[:-1]
    huge_len = huge_len[:-4] + struct.pack("<I", 2**32 - 1)
    add("len_max", huge_len, True)
    add("len_max_some_data", huge_len + b"a" * 3000, True)
    add("len_large_after_long_text", encode_vocab([("ab" * 5000, 4, -1.0)], piece_count=2, **HEADER)
        + struct.pack("<IfI", 5, -1.0, 2**31) + b"x" * 100, True)
    add("count_and_len_max", encode_vocab([], piece_count=2**32 - 1, **HEADER)
        + struct.pack("<IfI", 4, -1.0, 2**32 - 1), True)
    s.update(options_seeds())
    return s


def options_seeds():
    """{name: (bytes, hostile)}: files with an options section, good and broken."""
    from zeqtools.options import PieceKind, VocabOptions, encode_options

    small = SPECIALS + numbered(WORDS + ["[X]", "<sep>", "<mask>"], start=4)
    base = encode_vocab(small, **HEADER)
    n = len(small)
    kinds = {n - 3: PieceKind.USER_DEFINED, n - 2: PieceKind.USER_DEFINED, n - 1: PieceKind.CONTROL,
             5: PieceKind.UNUSED}
    with_bytes = encode_vocab(full_vocab(), **HEADER)
    byte_kinds = {4 + b: PieceKind.BYTE for b in range(256)}
    s = {
        "options_plain": (base + encode_options(VocabOptions()), False),
        "options_kinds": (base + encode_options(VocabOptions(kinds=kinds, unk_surface="<?>")), False),
        "options_no_prefix": (base + encode_options(VocabOptions(add_dummy_prefix=False,
                                                                 remove_extra_whitespaces=False)), False),
        "options_byte_fallback": (with_bytes + encode_options(VocabOptions(byte_fallback=True, merge_unknown_runs=False,
                                                                           kinds=byte_kinds)), False),
    }
    good = encode_options(VocabOptions(kinds=kinds))
    for name, broken in [("cut", good[:-3]), ("bad_magic", b"ZEQX" + good[4:]), ("version", good[:4] + b"\x02" + good[5:]),
                         ("many_fields", good[:8] + struct.pack("<I", 2**32 - 1) + good[12:]),
                         ("huge_field", good[:16] + struct.pack("<I", 2**32 - 1) + good[20:]),
                         ("junk_after", good + b"\x00"),
                         # a normaliser field whose character map is 4 bytes: too short for its trie
                         ("charsmap_short", b"ZEQO" + struct.pack("<IIIIII", 1, 2, 1, 8, 7, 1024)
                          + struct.pack("<III", 2, 4, 2))]:
        s["options_" + name] = (base + broken, True)
    return s


def text_seeds():
    """{name: bytes} for the text fuzzer: a selector byte, then the payload."""
    texts = {
        "hello": "Hello world", "mixed": "Hello world, ça va? Привет мир 日本語 🙂",
        "spaces": "     ", "markers": M * 5, "space_runs": "a  b   c ", "tabs": "a\tb\nc\r\n",
        "byte_text": "<0x41><0xC3><0x0a>", "uncovered": "ĀāĂ 𝔘𝔫𝔦", "leading_marker": M + "the",
        "xs": "x" * 40, "ab": "ababab abab", "digits": "12 1212 12",
    }
    s = {}
    for i, (name, t) in enumerate(texts.items()):
        for vocab in range(4):
            s[f"{name}_{vocab}"] = bytes([vocab | (16 if i % 2 else 0)]) + t.encode()
    s["invalid_bytes"] = bytes([4]) + b"a\xff\xc3 \xe2\x96 \xed\xa0\x80 \xf0\x9f\x99"
    s["invalid_prefix"] = bytes([0]) + b"abc\xe2\x96"
    s["ids_folded"] = bytes([0]) + struct.pack("<8I", 0, 1, 2, 3, 4, 264, 265, 300)
    s["ids_raw"] = bytes([8]) + struct.pack("<6I", 0xE6, 0x9A, 0x85, 2**32 - 1, 280, 9999)
    s["ids_bytes_bad"] = bytes([8]) + struct.pack("<6I", 4 + 0xC3, 4 + 0x41, 4 + 0xE2, 4 + 0x82, 4 + 0xED, 4 + 0xA0)
    return s


def charsmap_blob(rules):
    """A character map blob for {key: replacement}: a darts-clone double array
    with one block of 256 units per node that has children or a key end (the
    child for byte c at block + c, the key end's leaf at block + 0), units
    that hold no node labelled so that no byte leads into them."""
    nodes = [({}, None)]  # (children by byte, value)
    texts = b""
    for key, text in rules.items():
        node = 0
        for c in key:
            node = nodes[node][0].setdefault(c, len(nodes))
            if node == len(nodes):
                nodes.append(({}, None))
        nodes[node] = (nodes[node][0], len(texts))
        texts += text + b"\0"
    texts += b"\0"
    units = [i ^ 1 for i in range(256)]
    units[0] = 0
    todo = [(0, 0)]
    for node, pos in todo:
        children, value = nodes[node]
        if not children and value is None:
            continue
        block = len(units)
        units += [i ^ 1 for i in range(256)]
        units[pos] |= (pos ^ block) << 10 | (0x100 if value is not None else 0)
        units[block] = 0x80000000 | value if value is not None else 1
        for c, child in sorted(children.items()):
            units[block + c] = c
            todo.append((child, block + c))
    return struct.pack(f"<I{len(units)}I", 4 * len(units), *units) + texts


def shared_charsmaps():
    """The character maps of the shared SentencePiece models, by file name."""
    root = pathlib.Path(os.environ.get("ZEQ_SHARED", HERE.parents[2] / "shared"))
    maps = {}
    for path in sorted(root.glob("vocab/**/*.model")):
        try:
            for number, _, message in pw.iter_fields(path.read_bytes()):
                if number == 3:  # the normaliser's message; its field 2 is the map
                    for field, _, value in pw.iter_fields(message):
                        if field == 2 and value:
                            maps[path.stem] = value
        except (OSError, pw.ProtoError):
            continue
    return maps


NORMALIZER_TEXTS = ["Hello  world ", "  \t a\u3000b  ", "\uff21\uff42\u2026 e\u0301 \u0e33",
                    "\u00a0\u200b\ufeff" + M + " x " + M, "<s>ab<s", "    ", "\ufffd\U0001f642 q"]
NORMALIZER_RULES = {b"\t": b" ", b"x": b"", "\uff21".encode(): b"A", "\u2026".encode(): b"...", b"ab": b"X",
                    "e\u0301".encode(): "\u00e9".encode(), "\u3000".encode(): b" ", b"q": b"  q ", b"e": b"e"}


def normalizer_seeds():
    """{name: bytes} for the normaliser fuzzer: mode byte (flags in bits 0-2,
    the map's kind in bits 3-4), u32 section length, section, verbatim texts
    (count, then u8 length and bytes each), text."""
    def seed(flags, kind, section, verbatim, text):
        v = bytes([len(verbatim)]) + b"".join(bytes([len(t)]) + t for t in verbatim)
        return bytes([flags | kind << 3]) + struct.pack("<I", len(section)) + section + v + text
    rules = b"".join(bytes([len(k)]) + k + bytes([len(t)]) + t for k, t in NORMALIZER_RULES.items())
    tiny = charsmap_blob(NORMALIZER_RULES)
    verbatim = [b"<s>", b"ab", "\uff21".encode()]
    s = {}
    for i, t in enumerate(NORMALIZER_TEXTS):
        text = t.encode() + (b"\xff\xc3 \xed\xa0\x80" if i % 2 else b"")
        flags = i % 8
        s[f"none_{i}"] = seed(flags, 3, b"", [], text)
        s[f"rules_{i}"] = seed(flags, 2, rules, verbatim if i % 3 else [], text)
        s[f"tiny_{i}"] = seed(7 - flags, 0, tiny, verbatim if i % 2 else [], text)
        s[f"mended_{i}"] = seed(flags, 1, tiny[:-1] + b"\x01", [], text)
    s["broken_size"] = seed(7, 0, struct.pack("<I", 1000) + tiny[4:], [], b"a")
    for name, blob in shared_charsmaps().items():
        for i in (0, 2):
            s[f"{name}_{i}"] = seed(7, 0, blob, [], NORMALIZER_TEXTS[i].encode())
    return s


def main(argv):
    if len(argv) != 2:
        sys.exit(__doc__)
    out = pathlib.Path(argv[1])
    for target, seeds in (("vocab_fuzzer", {k: v[0] for k, v in vocab_seeds().items()}), ("text_fuzzer", text_seeds()),
                          ("normalizer_fuzzer", normalizer_seeds())):
        d = out / target
        d.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (d / name).write_bytes(data)
        print(f"{len(seeds)} seeds in {d}")


if __name__ == "__main__":
    main(sys.argv)
