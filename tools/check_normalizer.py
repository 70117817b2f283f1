"""Compare the core's normaliser with SentencePiece's, line by line.

    python3 tools/check_normalizer.py DRIVER (--model MODEL | --rule NAME)
        [--flags DRE] [--without-table] [--nasty N] [--show K] [CORPUS ...]
    python3 tools/check_normalizer.py - --model MODEL --write-blob PATH

DRIVER is bench/cpp/normalize_file (built with -DZEQ_BUILD_BENCH=ON). The
normaliser comes from a SentencePiece .model file (its character map,
flags and user-defined symbols) or from one of SentencePiece's rule sets
by name (nfkc, nmt_nfkc, nfkc_cf, nmt_nfkc_cf, identity). --flags overrides
the flags (letters d, r, e for add_dummy_prefix, remove_extra_whitespaces,
escape_whitespaces; "-" for none); a model then loses its user-defined
symbols, as SentencePiece's stand-alone normaliser knows none. --nasty adds
N generated lines of white space, invisible characters, compatibility forms
and malformed UTF-8. Every line is compared as bytes, output and alignment
(SentencePiece's norm_to_orig). Needs the sentencepiece package; not used
by the tests. --write-blob only writes the character map to PATH (for the
driver's timings) and prints the flags.
"""

from __future__ import annotations

import argparse
import pathlib
import random
import struct
import subprocess
import sys
import tempfile
from typing import Dict, Iterator, List, Tuple, Union

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from zeqtools import protowire as pw  # noqa: E402

# Field numbers. ModelProto: pieces = 1, the normaliser's message = 3;
# SentencePiece: piece = 1, type = 3 (4 = USER_DEFINED); the normaliser's
# message: precompiled_charsmap = 2,
# add_dummy_prefix = 3, remove_extra_whitespaces = 4, escape_whitespaces = 5.
_USER_DEFINED = 4
_FLAG_FIELDS = {3: "d", 4: "r", 5: "e"}

# Pieces of the generated lines: each is a str or bytes (malformed UTF-8).
_NASTY: List[Union[str, bytes]] = [" ", "  ", "\t", "\r", "\r\x0b\x0c", "\u00a0", "\u3000", "\u200b", "\ufeff", "\u2581", "\u2581 ",
          "\uff01", "\uff08\uff09", "\uff21\uff42", "\u2026", "\u0e33", "e\u0301", "a\u0300\u0301",
          "\u00bd", "\ufb01", "\u2460", "\u3371", "\ufffd", "Hello", "world", ".", "x", "\u00df", "\u0130",
          "\u1e9e", "\U0001f642", "\u212b", "\u0301", "\x00", "\x07", "\x7f", "\u0085", "\u2028",
          b"\xff", b"\xc3", b"\xe2\x96", b"\xed\xa0\x80", b"\xc0\x80", b"\xf4\x90\x80\x80",
          b"\xf0\x9f\x99", b"\x80\x80", b"\xf8\x88\x80\x80\x80"]


def normalizer_message(model: bytes) -> Tuple[bytes, List[str]]:
    """The normaliser's message of a model and the model's user-defined symbols."""
    message = b""
    symbols = []
    for number, _, value in pw.iter_fields(model):
        if number == 3:
            message = value  # type: ignore[assignment]
        elif number == 1:
            fields = {n: v for n, _, v in pw.iter_fields(value)}  # type: ignore[arg-type]
            if fields.get(3) == _USER_DEFINED:
                symbols.append(fields[1].decode())  # type: ignore[union-attr]
    return message, symbols


def normalizer_settings(message: bytes) -> Tuple[bytes, str]:
    """The character map and the flag letters of a normaliser's message."""
    blob = b""
    flags = {"d": True, "r": True, "e": True}
    for number, _, value in pw.iter_fields(message):
        if number == 2:
            blob = value  # type: ignore[assignment]
        elif number in _FLAG_FIELDS:
            flags[_FLAG_FIELDS[number]] = bool(value)
    return blob, "".join(k for k, on in flags.items() if on) or "-"


def nasty_lines(count: int, symbols: List[str], seed: int = 1) -> Iterator[bytes]:
    """Random mixes of the pieces above and of the model's user-defined symbols,
    and every fourth line random bytes."""
    rng = random.Random(seed)
    pool: List[Union[str, bytes]] = [*_NASTY, *(s for s in symbols if "\n" not in s)]
    for i in range(count):
        if i % 4 == 3:  # plain random bytes
            yield bytes(rng.choice([b for b in range(256) if b != 10]) for _ in range(rng.randint(1, 30)))
            continue
        chunks = [rng.choice(pool) for _ in range(rng.randint(1, 12))]
        yield b"".join(p if isinstance(p, bytes) else p.encode() for p in chunks)
    yield b"    "
    yield b" \xe2\x80\x8b "


def read_dump(data: bytes) -> Iterator[Tuple[bytes, List[int]]]:
    pos = 0
    while pos < len(data):
        (n,) = struct.unpack_from("<I", data, pos)
        out = data[pos + 4:pos + 4 + n]
        pos += 4 + n
        (m,) = struct.unpack_from("<I", data, pos)
        alignment = list(struct.unpack_from(f"<{m}I", data, pos + 4))
        pos += 4 + 4 * m
        yield out, alignment


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("driver")
    src = ap.add_mutually_exclusive_group(required=True)
    src.add_argument("--model")
    src.add_argument("--rule")
    ap.add_argument("--flags")
    ap.add_argument("--without-table", action="store_true")
    ap.add_argument("--nasty", type=int, default=0)
    ap.add_argument("--show", type=int, default=5)
    ap.add_argument("--write-blob")
    ap.add_argument("corpus", nargs="*")
    args = ap.parse_intermixed_args()

    import sentencepiece as spm

    overrides: Dict[str, bool] = {}
    if args.flags is not None:
        overrides = {name: letter in args.flags for letter, name in
                     (("d", "add_dummy_prefix"), ("r", "remove_extra_whitespaces"), ("e", "escape_whitespaces"))}
    symbols: List[str] = []
    if args.model and args.flags is None:
        peer = spm.SentencePieceProcessor(model_file=args.model)
        message, symbols = normalizer_message(pathlib.Path(args.model).read_bytes())
    else:
        kw = {"model_file": args.model} if args.model else {"rule_name": args.rule}
        peer = spm.SentencePieceNormalizer(**kw, **overrides)
        message = peer.serialized_normalizer_spec()
    blob, flags = normalizer_settings(message)
    if args.write_blob:
        pathlib.Path(args.write_blob).write_bytes(blob)
        print(flags)
        return 0

    lines: List[bytes] = []
    for path in args.corpus:
        lines.extend(pathlib.Path(path).read_bytes().split(b"\n"))
    lines.extend(nasty_lines(args.nasty, symbols))
    lines = [line for line in lines if line]

    with tempfile.TemporaryDirectory() as tmp:
        t = pathlib.Path(tmp)
        (t / "blob").write_bytes(blob)
        (t / "text").write_bytes(b"\n".join(lines))
        (t / "verbatim").write_text("\n".join(symbols))
        cmd = [args.driver, str(t / "blob") if blob else "-", str(t / "text"), "--flags", flags,
               "--verbatim", str(t / "verbatim"), "--dump"]
        if args.without_table:
            cmd.append("--without-table")
        ours = list(read_dump(subprocess.run(cmd, check=True, capture_output=True).stdout))

    if len(ours) != len(lines):
        print(f"the driver gave {len(ours)} results for {len(lines)} lines")
        return 1
    text_ok = align_ok = 0
    shown = 0
    for line, (out, alignment) in zip(lines, ours):
        want_out, want_alignment = peer.normalize(line, with_offsets=True)
        text_ok += out == want_out
        align_ok += alignment == list(want_alignment)
        if (out != want_out or alignment != list(want_alignment)) and shown < args.show:
            shown += 1
            print(f"line   {line!r}\nours   {out!r} {alignment}\npeer   {want_out!r} {list(want_alignment)}\n")
    name = args.model or args.rule
    print(f"{name} flags={flags} symbols={len(symbols)}: {len(lines)} lines, "
          f"output equal on {text_ok}, alignment equal on {align_ok}")
    return 0 if text_ok == align_ok == len(lines) else 1


if __name__ == "__main__":
    sys.exit(main())
