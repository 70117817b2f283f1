"""Loading vocabulary files: every load error's message, and the reader's
handling of long texts, trailing bytes and hostile sizes."""

import struct
import subprocess
import sys
import textwrap

import pytest

import zeq
from zeqtools.vocabfile import encode_vocab

FILL = "io error: failed to fill whole buffer"
BAD_UTF8 = "invalid vocab file: piece not utf-8: "


def header(count=0, version=1, magic=b"ZEQZ", specials=(0, 0, 0, 0)):
    return magic + struct.pack("<6I", version, count, *specials)


def record(text: bytes, id_=0, score=0.0):
    return struct.pack("<IfI", id_, score, len(text)) + text


def load_error(path):
    with pytest.raises(OSError) as exc:
        zeq.Tokenizer.from_file(path)
    return str(exc.value)


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", FILL),
        (b"ZE", FILL),
        (b"ZEQ", FILL),
        (b"ZEQZ", FILL),  # the version is missing
        (b"\x01\x02\x03\x04", "invalid vocab file: bad magic: expected [90, 69, 81, 90], got [1, 2, 3, 4]"),
        (b"ZEQ\x00" + bytes(24), "invalid vocab file: bad magic: expected [90, 69, 81, 90], got [90, 69, 81, 0]"),
        (bytes(28), "invalid vocab file: bad magic: expected [90, 69, 81, 90], got [0, 0, 0, 0]"),
        (b"zeqz" + bytes(24), "invalid vocab file: bad magic: expected [90, 69, 81, 90], got [122, 101, 113, 122]"),
        (b"\xffEQZ", "invalid vocab file: bad magic: expected [90, 69, 81, 90], got [255, 69, 81, 90]"),
        (header(version=2), "invalid vocab file: version mismatch: expected 1, got 2"),
        (header(version=0), "invalid vocab file: version mismatch: expected 1, got 0"),
        (header(version=3)[:8], "invalid vocab file: version mismatch: expected 1, got 3"),  # before the short header
        (header(version=0xFFFFFFFF), "invalid vocab file: version mismatch: expected 1, got 4294967295"),
        (header(version=0x01000000), "invalid vocab file: version mismatch: expected 1, got 16777216"),  # big-endian 1
        (header()[:27], FILL),
        (header()[:12], FILL),
        (header(count=1), FILL),  # a record announced, none present
        (header(count=3) + record(b"a") + record(b"b"), FILL),
        (header(count=1) + record(b"a")[:11], FILL),  # inside the fixed fields
        (header(count=1) + record(b"abc")[:-1], FILL),  # inside the text
        (header(count=2) + record(b"\xff") + b"short", BAD_UTF8 + "invalid utf-8 sequence of 1 bytes from index 0"),
    ],
)
def test_load_errors(write_file, data, message):
    assert load_error(write_file(data)) == message


def test_open_errors(tmp_path, write_file):
    assert load_error(str(tmp_path / "missing.vocab.bin")) == "io error: No such file or directory (os error 2)"
    assert load_error(str(tmp_path / "no" / "dir" / "x")) == "io error: No such file or directory (os error 2)"
    assert load_error(str(tmp_path)) == "io error: Is a directory (os error 21)"
    nul = "io error: file name contained an unexpected NUL byte"
    good = write_file(encode_vocab([("a", 0, 0.0)]))
    for path in ("a\0b", good + "\0", "\0" + good, "\0"):
        assert load_error(path) == nul
    zeq.Tokenizer.from_file(good)  # the same path without the NUL loads


@pytest.mark.parametrize(
    "text, message",
    [
        (b"\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"a\xff", "invalid utf-8 sequence of 1 bytes from index 1"),
        (b"\xf5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xc1\xbf", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xc0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
        (b"\xe0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong
        (b"\xf0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # overlong, at the end
        (b"\xf0\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"ab\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 2"),  # surrogate
        (b"\xed\xa0", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xf4\x90", "invalid utf-8 sequence of 1 bytes from index 0"),  # above U+10FFFF
        (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xc3a", "invalid utf-8 sequence of 1 bytes from index 0"),
        (b"\xc3\xa9\xc3\xc3\xa9", "invalid utf-8 sequence of 1 bytes from index 2"),
        (b"\xe2\x96a", "invalid utf-8 sequence of 2 bytes from index 0"),
        (b"x\xe2\x96\xe2\x96\x81", "invalid utf-8 sequence of 2 bytes from index 1"),
        (b"\xe0\xa0\x7f", "invalid utf-8 sequence of 2 bytes from index 0"),
        (b"\xf0\x9f\x98a", "invalid utf-8 sequence of 3 bytes from index 0"),
        (b"\xf4\x8f\xbf\xc0", "invalid utf-8 sequence of 3 bytes from index 0"),
        (b"\xe2\x82\xac\xf0\x90\x80\xe2\x96\x81", "invalid utf-8 sequence of 3 bytes from index 3"),
        (b"\xc3", "incomplete utf-8 byte sequence from index 0"),
        (b"a\xe2\x96", "incomplete utf-8 byte sequence from index 1"),
        (b"\xe2\x96\x81\xe2", "incomplete utf-8 byte sequence from index 3"),
        (b"\xe0\xa0", "incomplete utf-8 byte sequence from index 0"),
        (b"\xed\x9f", "incomplete utf-8 byte sequence from index 0"),
        (b"\xf0\x90", "incomplete utf-8 byte sequence from index 0"),
        (b"\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 0"),
        (b"ok\xf4\x8f\xbf", "incomplete utf-8 byte sequence from index 2"),
        (b"\xff\xe2\x96", "invalid utf-8 sequence of 1 bytes from index 0"),  # the first fault counts
    ],
)
@pytest.mark.parametrize("before", [0, 1, 700])
def test_utf8_errors(write_file, text, message, before):
    # The index counts within the piece, whatever records stand before it.
    data = header(count=before + 2)
    data += b"".join(record(("▁p%d" % i).encode(), i) for i in range(before))
    data += record(text, before) + record(b"never read")
    assert load_error(write_file(data)) == BAD_UTF8 + message


def test_utf8_error_is_reported_before_a_later_truncation(write_file):
    data = header(count=5) + record(b"a") + record(b"\xed\xbf\xbf") + record(b"c")
    assert load_error(write_file(data)) == BAD_UTF8 + "invalid utf-8 sequence of 1 bytes from index 0"


@pytest.mark.parametrize(
    "text",
    ["\u2581", "\U0010ffff", "\ud7ff", "\ue000", "\x00", "a\x00b", "\u0080\u07ff\u0800\uffff\U00010000", ""],
)
def test_valid_texts_load_exactly(load, text):
    tok = load([(text, 0, -1.0), ("z", 1, -1.0)], unk_id=9, pad_id=9, bos_id=9, eos_id=9)
    assert tok.vocab_size == 2
    assert tok.id_to_piece(0) == text and tok.id_to_piece(1) == "z"
    assert tok.piece_to_id(text) == 0


def test_header_only_and_trailing_bytes(write_file):
    tok = zeq.Tokenizer.from_file(write_file(header(specials=(7, 4294967295, 2, 3))))
    assert (tok.vocab_size, tok.pad_id, tok.unk_id, tok.bos_id, tok.eos_id) == (0, 7, 4294967295, 2, 3)
    assert tok.id_to_piece(0) is None and tok.piece_to_id("") is None and tok.decode([0, 1]) == ""
    # Bytes after the last announced record are never read, whatever they hold.
    for tail in (b"\xff", b"ZEQZ" * 100, record(b"\xff\xfe", 9), bytes(9000)):
        tok = zeq.Tokenizer.from_file(write_file(header(count=2) + record(b"a", 0) + record(b"", 1) + tail))
        assert tok.vocab_size == 2 and tok.id_to_piece(1) == "" and tok.piece_to_id("") == 1


def _text_of(nbytes, seed):
    """A well-formed text of exactly nbytes bytes, mixing 1- to 4-byte
    characters in a 15-byte cycle (so a misplaced block shows)."""
    cycle = ["a", "é", "€", "😀", "▁", "z", "q"]
    cycle = cycle[seed % 7:] + cycle[:seed % 7]
    text = "".join(cycle) * (nbytes // 15)
    return text + "q" * (nbytes - len(text.encode()))


@pytest.mark.parametrize("length", [8191, 8192, 8193, 20000])
@pytest.mark.parametrize("start", [40, 4000, 8191, 8192, 8193, 12000, 16384])
def test_long_text_read_whole(make_vocab, length, start):
    # `start` is the file offset of the long text's first byte: a filler record
    # places it so that the read-ahead buffer holds some, none, or all but one
    # of the bytes still wanted when the long read begins.
    pieces = []
    if start > 40:
        pieces.append((_text_of(start - 52, 1), 0, -1.0))
    long_text = _text_of(length, length + start)
    pieces.append((long_text, len(pieces), -2.0))
    tail = [("t%d" % i, len(pieces) + i, -3.0) for i in range(3)]
    tok = zeq.Tokenizer.from_file(make_vocab(pieces + tail))
    assert tok.vocab_size == len(pieces) + 3
    assert tok.id_to_piece(len(pieces) - 1) == long_text
    assert [tok.id_to_piece(p[1]) for p in tail] == ["t0", "t1", "t2"]
    if start > 40:
        assert tok.id_to_piece(0) == pieces[0][0]


def test_long_text_between_many_small_records(load):
    small = [("s%d" % i, i, -1.0) for i in range(500)]
    long_text = _text_of(20000, 5)
    pieces = small + [(long_text, 500, -1.0)] + [("u%d" % i, 501 + i, -1.0) for i in range(500)]
    tok = load(pieces, unk_id=4000, pad_id=4000, bos_id=4000, eos_id=4000)
    assert [tok.id_to_piece(i) for i in range(1001)] == [p[0] for p in pieces]
    assert tok.piece_to_id(long_text) == 500


def test_text_of_several_megabytes(load):
    big = _text_of(3 * 2**20 + 5, 3)
    tok = load([("a", 0, 0.0), (big, 1, -1.0), ("b", 2, 0.0)], unk_id=9, pad_id=9, bos_id=9, eos_id=9)
    assert tok.id_to_piece(1) == big and tok.id_to_piece(2) == "b" and tok.piece_to_id(big) == 1


def test_decode_of_pieces_longer_than_64_kib(load):
    # Pieces this long take the decoder's rare path; markers still become
    # spaces, and only a marker at the very start is dropped.
    long_text = "\u2581" + _text_of(70000, 7) + "\u2581x"
    tok = load([("a", 0, 0.0), (long_text, 1, -1.0), ("\u2581b", 2, 0.0)],
               unk_id=9, pad_id=9, bos_id=9, eos_id=9)
    spaced = long_text.replace("\u2581", " ")
    assert tok.decode([1]) == spaced[1:]
    assert tok.decode([0, 1, 2, 1]) == "a" + spaced + " b" + spaced
    assert tok.decode([9, 1, 0]) == spaced[1:] + "a"


HOSTILE = textwrap.dedent(
    """
    import sys, zeq
    try:
        zeq.Tokenizer.from_file(sys.argv[1])
    except OSError as e:
        print(e)
    # Peak RSS of this process image. (ru_maxrss would also count the parent's
    # peak, which Linux carries over into the child.)
    with open("/proc/self/status") as f:
        print([l.split()[1] for l in f if l.startswith("VmHWM:")][0])
    """
)


@pytest.mark.parametrize(
    "data",
    [
        header(count=0xFFFFFFFF),
        header(count=0xFFFFFFFF) + record(b"abc") + record(b"d"),
        header(count=0x80000000) + record(b"abc"),
        header(count=1) + struct.pack("<IfI", 0, 0.0, 0xFFFFFFFF) + b"only a few bytes",
        header(count=2) + record(b"a") + struct.pack("<IfI", 1, 0.0, 0xFFFFFFF0) + bytes(20),
        header(count=0xFFFFFFFF) + struct.pack("<IfI", 0, 0.0, 0xFFFFFFFF),
    ],
    ids=["count", "count+records", "count2^31", "len", "len-second", "both"],
)
def test_hostile_sizes_fail_cleanly(write_file, data):
    path = write_file(data)
    proc = subprocess.run([sys.executable, "-c", HOSTILE, path], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    message, peak_kib = proc.stdout.splitlines()
    assert message == FILL
    assert int(peak_kib) < 200 * 1024
