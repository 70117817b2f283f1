"""Leak check of loading: every way a load can fail, and the odd files that
load, called many times in one process, with the resident set size and the
number of open file descriptors measured around each batch.

bench/leak_check.py covers each member's success and error paths on good
vocabularies; this covers what the vocabulary fuzzer reaches: every error of
the reader (each check, a file that ends at each stage, each kind of bad
UTF-8, sizes that lie), and loads of the odd but valid files of the fuzz
seed corpus followed by a use of each. A file left open, a partial record
list or a text buffer not freed on an error path shows up as steady growth.
Exits 1 when any batch grows by more than the limit or leaves a descriptor
open.

    python bench/leak_check_hostile.py [--calls N] [--limit-mb MB]
"""

import argparse
import gc
import os
import pathlib
import struct
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "core" / "fuzz"))

from leak_check import rss, verdict  # noqa: E402
from make_seeds import vocab_seeds  # noqa: E402
from zeq import Tokenizer  # noqa: E402


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def load_and_use(path):
    tok = Tokenizer.from_file(path)
    ids = tok.encode("Hello world, ça va? 日本語 🙂 <0x41> xx ab")
    tok.decode(ids + [0, 2**32 - 1, tok.vocab_size])
    tok.encode_pieces("a  b ▁c")
    tok.id_to_piece(0), tok.piece_to_id("a")


def cases(tmp):
    out = []
    for name, (data, hostile) in sorted(vocab_seeds().items()):
        path = os.path.join(tmp, name + ".vocab.bin")
        with open(path, "wb") as f:
            f.write(data)
        out.append((("error " if hostile else "load ") + name, path))
    # Errors that need no file content.
    out += [
        ("error missing file", os.path.join(tmp, "missing.vocab.bin")),
        ("error directory", tmp),
        ("error NUL in path", tmp + "/a\0b"),
        ("error name too long", "/" + "x" * 5000),
        ("error /dev/null", "/dev/null"),
    ]
    # A lying text length in front of 2 MiB of data: the text buffer grows
    # step by step before the file runs out.
    path = os.path.join(tmp, "len_max_2MiB.vocab.bin")
    with open(path, "wb") as f:
        f.write(b"ZEQZ" + struct.pack("<6I", 1, 1, 0, 0, 0, 0) + struct.pack("<IfI", 4, -1.0, 2**32 - 1) + bytes(2 * 2**20))
    out.append(("error len_max_2MiB", path))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=20_000)
    parser.add_argument("--limit-mb", type=float, default=2.0, help="allowed growth per batch")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        all_cases = cases(tmp)
        print(f"{len(all_cases)} cases, {args.calls} loads each")
        start_all = rss()
        failed = []
        batches = 0.0
        for name, path in all_cases:
            size = os.path.getsize(path) if os.path.isfile(path) else 0
            calls = args.calls if size < 2**14 else args.calls // 20  # long texts, big tries
            call = (lambda: load_and_use(path)) if name.startswith("load ") else (lambda: Tokenizer.from_file(path))
            for _ in range(min(calls, 500)):  # warm-up: allocator pools, one-off caches
                try:
                    call()
                except OSError:
                    pass
            gc.collect()
            before, fds = rss(), open_fds()
            t0 = time.perf_counter()
            outcome = "loads"
            for _ in range(calls):
                try:
                    call()
                except OSError as e:
                    outcome = str(e)[:40]
            elapsed = time.perf_counter() - t0
            gc.collect()
            after, fds_after = rss(), open_fds()
            grew = (after - before) / 2**20
            batches += grew
            flag = ""
            if grew > args.limit_mb:
                flag = "  <-- GREW"
            if fds_after != fds:
                flag += f"  <-- {fds_after - fds:+d} OPEN FILES"
            if flag:
                failed.append(name)
            print(f"{name:38s} {outcome:40s} rss {grew:+6.2f} MiB  {elapsed * 1e6 / calls:8.1f} us/call{flag}")
        # Warm-ups of the large cases leave freed buffers with the allocator;
        # only the measured batches count.
        print(f"growth over all measured batches {batches:+.2f} MiB "
              f"(resident size {(rss() - start_all) / 2**20:+.2f} MiB since the start, warm-ups included)")
        return verdict(failed, batches, args.limit_mb, "no growth beyond the limit, no file left open")


if __name__ == "__main__":
    sys.exit(main())
