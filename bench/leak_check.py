"""Leak check of the zeq extension: every member on its success path and on
each of its error paths, called many times in one process, with the resident
set size measured around each batch.

A reference or allocation leaked per call shows up as steady growth: at
200,000 calls even 8 bytes per call is 1.6 MB. Exits 1 when any batch or the
whole run grows by more than the limit.

    python bench/leak_check.py [--calls N] [--limit-mb MB] [--vocab PATH]
"""

import argparse
import gc
import os
import pathlib
import struct
import sys
import tempfile
import time

import zeq
from zeq import Tokenizer

PAGE = os.sysconf("SC_PAGE_SIZE")
HERE = pathlib.Path(__file__).resolve().parent
DEFAULT_VOCAB = HERE.parent.parent / "shared" / "vocab" / "multi32k.vocab.bin"


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def verdict(failed, total_mb, limit_mb, ok_message):
    """Ends a report: the exit status, 1 when a case (or the total, over
    twice the per-batch limit) grew too much."""
    if total_mb > 2 * limit_mb:
        failed.append("total")
    if failed:
        print("FAILED:", ", ".join(failed))
        return 1
    print(ok_message)
    return 0


def small_vocab_bytes():
    texts = ["<unk>", "<s>", "</s>", "<pad>", "▁a", "▁b", "a", "b", "▁"]
    head = b"ZEQZ" + struct.pack("<6I", 1, len(texts), 3, 0, 1, 2)
    body = b"".join(struct.pack("<IfI", i, -1.0, len(t.encode())) + t.encode() for i, t in enumerate(texts))
    return head + body


class Seq:
    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        return self.length

    def __getitem__(self, i):
        return self.items[i]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


def cause_chain():
    error = TypeError("inner")
    error.__cause__ = KeyError("root")
    return error


def cases(tok, small, missing, bad_magic):
    text = "Hello world, ça va? Привет мир, 日本語 🙂 " * 4
    ids = tok.encode(text)
    seq = Seq(ids[:8], 2**40)
    return [
        # success paths
        ("from_file", lambda: Tokenizer.from_file(small)),
        ("encode", lambda: tok.encode(text)),
        ("encode keyword", lambda: tok.encode(text=text)),
        ("encode_pieces", lambda: tok.encode_pieces(text)),
        ("decode list", lambda: tok.decode(ids)),
        ("decode tuple", lambda: tok.decode(tuple(ids))),
        ("decode lying __len__", lambda: tok.decode(seq)),
        ("decode bytes", lambda: tok.decode(b"\x05\x06")),
        ("id_to_piece hit", lambda: tok.id_to_piece(300)),
        ("id_to_piece miss", lambda: tok.id_to_piece(2**32 - 1)),
        ("piece_to_id hit", lambda: tok.piece_to_id("▁the")),
        ("piece_to_id miss", lambda: tok.piece_to_id("no such piece")),
        ("properties", lambda: (tok.vocab_size, tok.pad_id, tok.unk_id, tok.bos_id, tok.eos_id)),
        ("repr len bool", lambda: (repr(tok), len(tok), bool(tok))),
        # error paths
        ("from_file missing", lambda: Tokenizer.from_file(missing)),
        ("from_file bad magic", lambda: Tokenizer.from_file(bad_magic)),
        ("from_file NUL", lambda: Tokenizer.from_file("a\0b")),
        ("from_file not str", lambda: Tokenizer.from_file(pathlib.Path(small))),
        ("constructor", lambda: Tokenizer("x")),
        ("missing argument", lambda: tok.encode()),
        ("too many arguments", lambda: tok.encode("a", "b")),
        ("multiple values", lambda: tok.encode("a", text="b")),
        ("unexpected keyword", lambda: tok.encode(txt="a")),
        ("surrogate keyword", lambda: tok.encode(**{"\ud800": "a"})),
        ("text not str", lambda: tok.encode(5)),
        ("lone surrogate", lambda: tok.encode_pieces("a\ud800")),
        ("piece not str", lambda: tok.piece_to_id(b"x")),
        ("id negative", lambda: tok.id_to_piece(-1)),
        ("id too large", lambda: tok.id_to_piece(2**64)),
        ("id float", lambda: tok.id_to_piece(1.0)),
        ("id __index__ TypeError with cause", lambda: tok.id_to_piece(Index(cause_chain()))),
        ("ids str", lambda: tok.decode("123")),
        ("ids set", lambda: tok.decode({1, 2})),
        ("ids bad element", lambda: tok.decode([1, 2, "a"])),
        ("ids out of range", lambda: tok.decode([1, 2, 2**32])),
        ("ids iterator error", lambda: tok.decode(Seq({0: 1}, 3))),
        ("ids capacity overflow", lambda: tok.decode(Seq([], 2**61))),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=200_000)
    parser.add_argument("--limit-mb", type=float, default=2.0, help="allowed growth per batch")
    parser.add_argument("--vocab", default=str(DEFAULT_VOCAB))
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        small = os.path.join(tmp, "small.vocab.bin")
        bad_magic = os.path.join(tmp, "bad.vocab.bin")
        with open(small, "wb") as f:
            f.write(small_vocab_bytes())
        with open(bad_magic, "wb") as f:
            f.write(b"ZEQ\x00" + bytes(24))
        tok = Tokenizer.from_file(args.vocab if os.path.exists(args.vocab) else small)
        print(f"zeq {zeq.__version__} from {zeq.__file__}; {tok!r}; {args.calls} calls per case")
        start_all = rss()
        failed = []
        for name, fn in cases(tok, small, os.path.join(tmp, "missing.vocab.bin"), bad_magic):
            for _ in range(1000):  # warm-up: one-off caches and allocator pools
                try:
                    fn()
                except BaseException:  # noqa: BLE001 - error paths are the point
                    pass
            gc.collect()
            before = rss()
            t0 = time.perf_counter()
            for _ in range(args.calls):
                try:
                    fn()
                except BaseException:  # noqa: BLE001
                    pass
            elapsed = time.perf_counter() - t0
            gc.collect()
            after = rss()
            grew = (after - before) / 2**20
            flag = "" if grew <= args.limit_mb else "  <-- GREW"
            if flag:
                failed.append(name)
            print(f"{name:38s} rss {before / 2**20:8.1f} -> {after / 2**20:8.1f} MiB "
                  f"({grew:+6.2f})  {elapsed * 1e6 / args.calls:7.2f} us/call{flag}")
        total = (rss() - start_all) / 2**20
        print(f"total growth {total:+.2f} MiB over all cases")
        return verdict(failed, total, args.limit_mb, "no growth beyond the limit")


if __name__ == "__main__":
    sys.exit(main())
