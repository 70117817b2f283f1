"""The ``zeq`` command: encode, decode, inspect, convert, tokenize-corpus.

Every command takes ``--vocab PATH``; without it the sample vocabulary
bundled with the package is used. Failures are reported as one line,
``zeq: error: ...``, with exit status 1 (2 for a wrong command line).
SIGINT, SIGTERM and SIGHUP stop a command after its clean-up, with one line
and exit status 128 + the signal number.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import IO, Iterator, List, Optional, Sequence

from . import __version__, sample_vocab_path
from .errors import VocabLoadError, ZeqToolsError
from .signals import Stopped, stop_on_signals

PROG = "zeq"


class _Fail(Exception):
    """A one-line error for the user."""


def _load(path: Optional[str]):
    """The Encoder of --vocab (or of the bundled sample): a converted model's
    own ids, zeq.Tokenizer's for a file without an options section."""
    from . import Encoder

    path = path or sample_vocab_path()
    try:
        return Encoder.from_file(path)
    except VocabLoadError as e:
        raise _vocab_failure(e) from None


def _vocab_failure(error: VocabLoadError) -> _Fail:
    return _Fail(f"{error}{_convert_hint(error.filename)}")


def _convert_hint(path: str) -> str:
    from .sniff import FORMAT_NAMES, model_format

    fmt = model_format(path)
    if fmt is None:
        return ""
    return (f" (it looks like {FORMAT_NAMES[fmt]}: convert it first with "
            f"'zeq convert {path} OUT.vocab.bin')")


def _open_input(args) -> Iterator[str]:
    """The lines (without their \\n) of --file, or of standard input."""
    if args.file and args.file != "-":
        try:
            f: IO[bytes] = open(args.file, "rb")
        except OSError as e:
            raise _Fail(f"{args.file}: {e.strerror}") from None
        name = args.file
    else:
        f = sys.stdin.buffer
        name = "<stdin>"
    with f:
        for number, raw in enumerate(f, 1):
            if raw.endswith(b"\n"):
                raw = raw[:-1]
            try:
                yield raw.decode("utf-8")
            except UnicodeDecodeError as e:
                raise _Fail(f"{name}, line {number}: not UTF-8 at byte {e.start}") from None


def _texts(args) -> Iterator[str]:
    if args.text is not None:
        if args.file:
            raise _Fail("give either a text or --file, not both")
        yield _utf8_argument(args.text, "the text argument")
    else:
        yield from _open_input(args)


def _utf8_argument(text: str, what: str) -> str:
    """``text`` from the command line, refused like a line of input when
    its bytes were not UTF-8 (they arrive as lone surrogates)."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as e:
        at = len(text[:e.start].encode("utf-8"))
        raise _Fail(f"{what}: not UTF-8 at byte {at}") from None
    return text


def cmd_encode(args) -> int:
    tok = _load(args.vocab)
    encode = tok.encode_pieces if args.pieces else tok.encode
    out = sys.stdout
    for text in _texts(args):
        result = encode(text)
        if args.json:
            out.write(json.dumps(result, ensure_ascii=False) + "\n")
        else:
            out.write(" ".join(map(str, result)) + "\n")
    return 0


def _parse_ids(line: str, where: str) -> List[int]:
    cleaned = line.strip().strip("[]").replace(",", " ")
    ids = []
    for word in cleaned.split():
        try:
            value = int(word)
        except ValueError:
            raise _Fail(f"{where}: {word!r} is not an id") from None
        if not 0 <= value <= 0xFFFFFFFF:
            raise _Fail(f"{where}: {value} is not an id (0 to 4294967295)")
        ids.append(value)
    return ids


def cmd_decode(args) -> int:
    if args.ids and args.file:
        raise _Fail("give either ids or --file, not both")
    tok = _load(args.vocab)
    if args.ids:
        lists: Iterator[List[int]] = iter([_parse_ids(" ".join(args.ids), "arguments")])
    else:
        lists = (_parse_ids(line, f"line {number}")
                 for number, line in enumerate(_open_input(args), 1))
    size = tok.vocab_size
    dropped = 0
    for ids in lists:
        dropped += sum(1 for i in ids if i >= size)
        text = tok.decode(ids)
        sys.stdout.write((json.dumps(text, ensure_ascii=False) if args.json else text) + "\n")
    if dropped:
        _note(f"{dropped} {'id' if dropped == 1 else 'ids'} past the vocabulary "
              f"(size {size}) {'was' if dropped == 1 else 'were'} dropped")
    return 0


def _note(text: str) -> None:
    sys.stderr.write(f"{PROG}: note: {text}\n")


def cmd_inspect(args) -> int:
    from .convert import convert_file
    from .vocabfile import MAGIC, format_info, inspect_vocab, parse_vocab

    path = args.path or args.vocab or sample_vocab_path()
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        raise _Fail(f"{path}: {e.strerror}") from None
    origin = "zeq vocabulary"
    try:
        if data[:4] == MAGIC or args.source == "zeq":
            vf = parse_vocab(data)
            conv = None
        else:
            conv = convert_file(path, args.source)
            vf = conv.vocab
    except ZeqToolsError as e:
        raise _Fail(f"{path}: {e}") from None
    if conv is not None:
        origin = f"{conv.source_format} model, as it would convert"
        for note in conv.notes:
            _note(note)
    info = inspect_vocab(vf)
    if args.json:
        d = info.as_dict()
        d["path"] = path
        d["bytes"] = len(data)
        sys.stdout.write(json.dumps(d, ensure_ascii=False, indent=1) + "\n")
    else:
        sys.stdout.write(f"file          {path} ({len(data):,} bytes, {origin})\n")
        sys.stdout.write(format_info(info) + "\n")
    return 0


def cmd_convert(args) -> int:
    from . import Encoder
    from .convert import convert_file

    specials = {k: v for k, v in (("unk_piece", args.unk_piece), ("bos_piece", args.bos_piece),
                                  ("eos_piece", args.eos_piece), ("pad_piece", args.pad_piece))
                if v is not None}
    try:
        conv = convert_file(args.source, args.source_format, strict=args.strict, raw=args.raw,
                            **specials)
    except OSError as e:
        raise _Fail(f"{args.source}: {e.strerror}") from None
    except ZeqToolsError as e:
        raise _Fail(f"{args.source}: {e}") from None
    for note in conv.notes:
        _note(note)
    _refuse_existing([args.output], args.force)
    tmp = args.output + ".part"
    try:
        conv.write(tmp)
        tok = Encoder.from_file(tmp)  # the loader must accept what we wrote, section included
        os.replace(tmp, args.output)
    except OSError as e:
        raise _Fail(f"{args.output}: {e.strerror or e}") from None
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    v = conv.vocab
    names = " ".join(f"{n}={getattr(v, n + '_id')}" for n in ("unk", "bos", "eos", "pad"))
    section = "; with an options section" if v.options is not None else ""
    if not args.quiet:
        sys.stderr.write(f"{PROG}: wrote {args.output}: {tok.vocab_size} pieces from a "
                         f"{conv.source_format} model; {names}{section}\n")
    return 0


def _refuse_existing(paths: Sequence[str], force: bool) -> None:
    """Output is replaced only when asked to."""
    if not force:
        for path in paths:
            if os.path.lexists(path):
                raise _Fail(f"{path} exists (use --force to replace it)")


def cmd_tokenize_corpus(args) -> int:
    from .corpus import IDS_SUFFIX, INDEX_SUFFIX, tokenize_corpus

    _refuse_existing([args.output + IDS_SUFFIX, args.output + INDEX_SUFFIX], args.force)
    vocab = args.vocab or sample_vocab_path()
    try:
        summary = tokenize_corpus(args.files, args.output, vocab, threads=args.threads,
                                  per_file=args.per_file, eos=args.eos, errors=args.errors,
                                  progress=args.progress)
    except VocabLoadError as e:
        raise _vocab_failure(e) from None
    if not args.quiet:
        sys.stderr.write(
            f"{PROG}: {_n(summary.files, 'file')}, {_n(summary.documents, 'document')}, "
            f"{summary.ids:,} ids, {summary.bytes / 1e6:,.1f} MB in {summary.seconds:.2f} s "
            f"({summary.mb_per_s:,.1f} MB/s, {_n(summary.threads, 'thread')}) -> "
            f"{args.output}.ids, {args.output}.idx\n")
    return 0


def _n(count: int, word: str) -> str:
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("--vocab", metavar="PATH",
                        help="vocabulary file (.vocab.bin); default: the bundled sample")

    p = argparse.ArgumentParser(
        prog=PROG, description="The zeq unigram tokenizer on the command line.",
        epilog="Run 'zeq COMMAND --help' for the options of a command.")
    p.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND")
    sub.required = True

    e = sub.add_parser("encode", parents=[common], help="text to ids or pieces",
                       description="Encode a text given as argument, or every line of "
                       "--file or of standard input (one output line per input line).")
    e.add_argument("text", nargs="?", help="the text to encode")
    e.add_argument("--file", "-f", metavar="PATH", help="encode every line of this file")
    e.add_argument("--pieces", "-p", action="store_true", help="print pieces instead of ids")
    e.add_argument("--json", action="store_true", help="print a JSON list per line")
    e.set_defaults(func=cmd_encode)

    d = sub.add_parser("decode", parents=[common], help="ids to text",
                       description="Decode ids given as arguments, or one list of ids per "
                       "line of --file or of standard input (separated by spaces or commas; "
                       "JSON lists work too).")
    d.add_argument("ids", nargs="*", help="ids to decode")
    d.add_argument("--file", "-f", metavar="PATH", help="decode every line of this file")
    d.add_argument("--json", action="store_true",
                   help="print every text as a JSON string (keeps line breaks visible)")
    d.set_defaults(func=cmd_decode)

    i = sub.add_parser("inspect", parents=[common], help="describe a vocabulary",
                       description="Describe a vocabulary file: header, counts, special ids "
                       "and their texts, byte pieces, duplicates, scores, and its options "
                       "section. A model in another format is described as it would convert.")
    i.add_argument("path", nargs="?", help="the file (default: --vocab, or the bundled sample)")
    i.add_argument("--from", dest="source", default="auto",
                   choices=("auto", "zeq", "sentencepiece", "hf", "tsv"), help="format of the file")
    i.add_argument("--json", action="store_true", help="print JSON")
    i.set_defaults(func=cmd_inspect)

    c = sub.add_parser("convert", help="make a zeq vocabulary from another model",
                       description="Convert a SentencePiece .model (unigram), a Hugging Face "
                       "tokenizer.json (Unigram) or a piece<TAB>score TSV to a .vocab.bin. "
                       "A model's normaliser and special pieces go to the file's options "
                       "section. Behaviour differences are reported as notes; what zeq "
                       "cannot represent is refused.")
    c.add_argument("source", help="the model to convert")
    c.add_argument("output", help="the .vocab.bin to write")
    c.add_argument("--from", dest="source_format", default="auto",
                   choices=("auto", "sentencepiece", "hf", "tsv"),
                   help="source format (default: from the file name and content)")
    c.add_argument("--strict", action="store_true",
                   help="refuse every model on which zeq would behave differently")
    c.add_argument("--raw", action="store_true",
                   help="write no options section: the pieces and special ids only, "
                   "as zeq.Tokenizer reads them (notes then name what it does differently)")
    for name, default in (("unk", "<unk>"), ("bos", "<s>"), ("eos", "</s>"), ("pad", "<pad>")):
        c.add_argument(f"--{name}-piece", metavar="TEXT",
                       help=f"text of the {name} piece for TSV and tokenizer.json "
                       f"(default {default})")
    c.add_argument("--force", action="store_true", help="replace an existing output file")
    c.add_argument("--quiet", "-q", action="store_true", help="no summary line")
    c.set_defaults(func=cmd_convert)

    t = sub.add_parser("tokenize-corpus", parents=[common],
                       help="text files to a flat uint32 id file and a document index",
                       description="Tokenize text files on several threads into "
                       "OUTPUT.ids (little-endian uint32 ids, all documents in order) and "
                       "OUTPUT.idx (little-endian uint64 offsets into the ids, one more than "
                       "there are documents). A document is a line, or with --per-file a "
                       "whole file. FILE - is standard input, read as it comes.")
    t.add_argument("files", nargs="+", metavar="FILE", help="UTF-8 text files (- for stdin)")
    t.add_argument("--output", "-o", required=True, metavar="OUTPUT",
                   help="output prefix: writes OUTPUT.ids and OUTPUT.idx")
    t.add_argument("--threads", "--workers", "-j", dest="threads", type=int, default=None, metavar="N",
                   help="threads that encode (default: every CPU this process may use)")
    t.add_argument("--per-file", action="store_true", help="one document per file, not per line")
    t.add_argument("--eos", action="store_true", help="append eos_id to every document")
    t.add_argument("--errors", choices=("strict", "replace"), default="strict",
                   help="bytes that are not UTF-8: refuse (default) or replace with U+FFFD")
    t.add_argument("--progress", dest="progress", action="store_true", default=None,
                   help="show the progress bar even when stderr is not a terminal")
    t.add_argument("--no-progress", dest="progress", action="store_false",
                   help="never show the progress bar")
    t.add_argument("--force", action="store_true", help="replace existing output files")
    t.add_argument("--quiet", "-q", action="store_true", help="no summary line")
    t.set_defaults(func=cmd_tokenize_corpus)
    return p


def _utf8_stdout() -> None:
    # Messages may quote file names whose bytes were not UTF-8: on stderr
    # they are shown escaped rather than failing.
    for stream, errors in ((sys.stdout, "strict"), (sys.stderr, "backslashreplace")):
        enc = (getattr(stream, "encoding", None) or "").lower().replace("-", "")
        if enc != "utf8" and hasattr(stream, "reconfigure"):
            try:
                stream.reconfigure(encoding="utf-8", errors=errors)
            except (ValueError, OSError):  # pragma: no cover
                pass


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Run the command line; returns the exit status."""
    _utf8_stdout()
    args = build_parser().parse_args(argv)
    try:
        with stop_on_signals():
            return args.func(args)
    except (_Fail, ZeqToolsError) as e:
        sys.stderr.write(f"{PROG}: error: {e}\n")
        return 1
    except OSError as e:
        if isinstance(e, BrokenPipeError):
            return _broken_pipe()
        where = f"{e.filename}: " if e.filename else ""
        sys.stderr.write(f"{PROG}: error: {where}{e.strerror or e}\n")
        return 1
    except KeyboardInterrupt:  # where no handler could be installed
        return _stopped("interrupted", 130)
    except Stopped as e:
        return _stopped("interrupted" if e.signal_name == "SIGINT" else f"stopped by {e.signal_name}",
                        e.exit_status)


def _stopped(message: str, status: int) -> int:
    try:
        sys.stderr.write(f"{PROG}: {message}\n")
        sys.stderr.flush()
    except (OSError, ValueError):  # the terminal has gone (SIGHUP)
        pass
    return status


def _broken_pipe() -> int:
    """The reader went away (zeq encode ... | head): stop quietly."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):  # pragma: no cover
        pass
    return 1


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
