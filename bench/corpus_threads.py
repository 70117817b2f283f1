#!/usr/bin/env python3
"""Would `zeq tokenize-corpus` be faster on threads? Its worker processes
(each loading zeq.Tokenizer, one encode call per line) against one process
that reads the input in blocks of whole lines and encodes each block with
zeqtools.Encoder.encode_flat on threads, writing the same two files.

    python bench/corpus_threads.py --vocab multi32k.vocab.bin --corpus multi.txt [--repeat 10]

Both are timed from the call to the files written (vocabulary loads and
worker starts included), taking turns; medians of --rounds. Beside the wall
time, the CPU time of this process and its finished workers: on a busy
machine, where a second thread or process finds no free core, it still
shows what each way costs. The outputs are checked to be the same byte for
byte. The thread variant lives here only, as
a measurement: documents are lines, no --eos, no standard input.
"""

from __future__ import annotations

import argparse
import datetime
import os
import resource
import shutil
import statistics
import sys
import tempfile
import time
from array import array

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import git_commit  # noqa: E402

BLOCK_BYTES = 4 << 20


def line_blocks(path: str, size: int):
    """The file's text in blocks of about ``size`` bytes that end after a
    line break (the last one may not)."""
    with open(path, "rb") as f:
        rest = b""
        while True:
            data = f.read(size)
            if not data:
                break
            data = rest + data
            cut = data.rfind(b"\n") + 1
            if cut == 0:
                rest = data
                continue
            rest = data[cut:]
            yield data[:cut].decode("utf-8")
        if rest:
            yield rest.decode("utf-8")


def tokenize_on_threads(path: str, out: str, vocab: str, threads: int) -> None:
    from zeqtools import Encoder

    enc = Encoder.from_file(vocab)
    base = 0
    with open(out + ".ids", "wb") as f_ids, open(out + ".idx", "wb") as f_idx:
        array("Q", [0]).tofile(f_idx)
        for text in line_blocks(path, BLOCK_BYTES):
            lines = text.split("\n")
            if lines[-1] == "":
                lines.pop()
            ids, offsets = enc.encode_flat(lines, threads=threads)
            f_ids.write(ids)
            array("Q", [o + base for o in offsets[1:]]).tofile(f_idx)
            base += len(ids)


def tokenize_on_processes(path: str, out: str, vocab: str, workers: int) -> None:
    from zeqtools.corpus import tokenize_corpus

    tokenize_corpus([path], out, vocab, workers=workers, progress=False)


def cpu_seconds() -> float:
    own = resource.getrusage(resource.RUSAGE_SELF)
    workers = resource.getrusage(resource.RUSAGE_CHILDREN)
    return own.ru_utime + own.ru_stime + workers.ru_utime + workers.ru_stime


def same_files(a: str, b: str) -> bool:
    for suffix in (".ids", ".idx"):
        with open(a + suffix, "rb") as fa, open(b + suffix, "rb") as fb:
            if fa.read() != fb.read():
                return False
    return True


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--vocab", required=True)
    ap.add_argument("--corpus", required=True)
    ap.add_argument("--repeat", type=int, default=1, help="the corpus N times over")
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    if sys.byteorder != "little":
        sys.exit("the thread variant writes native byte order: little-endian machines only")

    work = tempfile.mkdtemp(prefix="zeq-corpus-threads-")
    path = os.path.join(work, "input.txt")
    with open(args.corpus, "rb") as src, open(path, "wb") as dst:
        data = src.read()
        for _ in range(args.repeat):
            dst.write(data)
    size = os.path.getsize(path)

    variants = {
        "processes (tokenize-corpus), workers=1": lambda out: tokenize_on_processes(path, out, args.vocab, 1),
        "processes (tokenize-corpus), workers=2": lambda out: tokenize_on_processes(path, out, args.vocab, 2),
        "one process, encode_flat threads=1": lambda out: tokenize_on_threads(path, out, args.vocab, 1),
        "one process, encode_flat threads=2": lambda out: tokenize_on_threads(path, out, args.vocab, 2),
    }
    names = list(variants)
    outs = {name: os.path.join(work, f"out{i}") for i, name in enumerate(names)}
    times = {name: [] for name in names}
    cpu = {name: [] for name in names}
    for r in range(args.rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            c0, t0 = cpu_seconds(), time.perf_counter()
            variants[name](outs[name])
            times[name].append(time.perf_counter() - t0)
            cpu[name].append(cpu_seconds() - c0)
    for name in names[1:]:
        if not same_files(outs[names[0]], outs[name]):
            sys.exit(f"{name}: the output differs from {names[0]}")
    shutil.rmtree(work)

    load = os.getloadavg()
    times_over = f" {args.repeat} times over" if args.repeat > 1 else ""
    print(f"{datetime.date.today()}, commit {git_commit()}, {os.cpu_count()} CPUs, load average "
          f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f} at the end")
    print(f"{os.path.basename(args.corpus)}{times_over} ({size / 1e6:.1f} MB), "
          f"{os.path.basename(args.vocab)}; medians of {args.rounds} rounds; outputs identical")
    print()
    print("| variant | wall s | MB/s | ± | CPU s |")
    print("|---|---:|---:|---:|---:|")
    for name in names:
        t = statistics.median(times[name])
        half_range = (max(times[name]) - min(times[name])) / 2 / t * 100
        print(f"| {name} | {t:.3f} | {size / 1e6 / t:.1f} | {half_range:.0f}% | "
              f"{statistics.median(cpu[name]):.3f} |")
    print()
    print("(± is half the range of the rounds, in % of the median wall time.)")


if __name__ == "__main__":
    main()
