#!/usr/bin/env python3
"""The Ray Data and Hugging Face datasets recipes of zeqtools.pipelines against
one process, on the same lines, with the same result (a LargeList<uint32>
column in the driver).

    python bench/pipelines.py --vocab multi32k.vocab.bin --corpus multi.txt [--rounds 5] [--repeat 10]

Rows, each from the text file to the ids column:

- one process: read and split the file, Encoder.encode_flat with threads=1
  and threads=2, wrap as Arrow (zeqtools.arrow);
- Ray Data: encode_text_files_with_ray with 2 workers on a local cluster of
  2 CPUs, started once (its start-up time is printed apart); each round
  starts its actors anew, as every dataset does;
- datasets: load_dataset("text") from its cache (the first load, which
  writes it, is not timed) and encode_dataset with num_proc=2 and in the
  calling process (num_proc=None), without the cache of map results.

Every pipeline's ids are checked against one process before the timings.
Medians of --rounds; the pipelines take turns within a round.
"""

from __future__ import annotations

import argparse
import datetime
import os
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import git_commit  # noqa: E402

# Characters at which some reader ends a line and another does not
# (docs/pipelines.md): lines holding them are left out, so that every
# pipeline reads the same lines.
LINE_BREAKS_OF_SOME_READERS = "\r\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029"


def common_lines(path: str, limit: int) -> list:
    with open(path, encoding="utf-8", newline="") as f:
        lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    lines = [line for line in lines if not any(c in LINE_BREAKS_OF_SOME_READERS for c in line)]
    return lines[:limit] if limit else lines


def one_process(path: str, enc, threads: int):
    import pyarrow as pa

    from zeqtools.arrow import flat_to_arrow

    with open(path, encoding="utf-8", newline="") as f:
        lines = f.read().split("\n")
    if lines[-1] == "":
        lines.pop()  # the file ends with a line break
    return pa.chunked_array([flat_to_arrow(*enc.encode_flat(lines, threads=threads))])


def with_ray(path: str, enc):
    import pyarrow as pa

    from zeqtools.pipelines import encode_text_files_with_ray

    ds = encode_text_files_with_ray([path], enc, workers=2)
    return pa.concat_tables(ds.iter_batches(batch_format="pyarrow", batch_size=None)).column("ids")


def with_datasets(path: str, enc, cache: str, num_proc):
    import datasets

    from zeqtools.pipelines import encode_dataset

    lines = datasets.load_dataset("text", data_files=path, split="train", cache_dir=cache)
    out = encode_dataset(lines, enc, num_proc=num_proc, load_from_cache_file=False)
    return out.data.column("ids")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--vocab", required=True, help="a .vocab.bin file")
    ap.add_argument("--corpus", required=True, help="a UTF-8 text file, one document per line")
    ap.add_argument("--rounds", type=int, default=5)
    ap.add_argument("--lines", type=int, default=0, help="use only the first N lines (0: all)")
    ap.add_argument("--repeat", type=int, default=1, help="the lines N times over (a larger input)")
    ap.add_argument("--no-ray", action="store_true")
    ap.add_argument("--no-datasets", action="store_true")
    args = ap.parse_args()

    os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")
    from zeqtools import Encoder
    from zeqtools.arrow import arrow_to_flat

    enc = Encoder.from_file(args.vocab)
    work = tempfile.mkdtemp(prefix="zeq-bench-pipelines-")
    path = os.path.join(work, "lines.txt")
    lines = common_lines(args.corpus, args.lines) * args.repeat
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write("".join(line + "\n" for line in lines))
    size = os.path.getsize(path)
    expected = enc.encode_flat(lines, threads=1)
    expected = (expected[0].tolist(), expected[1].tolist())

    pipelines = {
        "one process, encode_flat threads=1": lambda: one_process(path, enc, 1),
        "one process, encode_flat threads=2": lambda: one_process(path, enc, 2),
    }
    notes = []
    if not args.no_ray:
        import ray

        t0 = time.perf_counter()
        ray.init(num_cpus=2, include_dashboard=False, _node_ip_address="127.0.0.1",
                 log_to_driver=False, object_store_memory=512 << 20)
        ray.data.DataContext.get_current().enable_progress_bars = False
        notes.append(f"ray.init(num_cpus=2): {time.perf_counter() - t0:.2f} s, not in the rows")
        pipelines["Ray Data, 2 actors"] = lambda: with_ray(path, enc)
    if not args.no_datasets:
        import datasets

        datasets.disable_progress_bars()
        cache = os.path.join(work, "hf-cache")
        t0 = time.perf_counter()
        datasets.load_dataset("text", data_files=path, split="train", cache_dir=cache)
        notes.append(f"datasets: first load_dataset (writes its cache): "
                     f"{time.perf_counter() - t0:.2f} s, not in the rows")
        pipelines["datasets, map num_proc=2"] = lambda: with_datasets(path, enc, cache, 2)
        pipelines["datasets, map in process"] = lambda: with_datasets(path, enc, cache, None)

    for name, run in pipelines.items():
        ids, offsets = arrow_to_flat(run())
        if (ids.tolist(), offsets.tolist()) != expected:
            sys.exit(f"{name}: the ids differ from one process")

    times = {name: [] for name in pipelines}
    names = list(pipelines)
    for r in range(args.rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            t0 = time.perf_counter()
            pipelines[name]()
            times[name].append(time.perf_counter() - t0)
        print(f"round {r + 1}/{args.rounds} done", file=sys.stderr)

    if not args.no_ray:
        ray.shutdown()
    shutil.rmtree(work)
    load = os.getloadavg()
    print(f"{datetime.date.today()}, commit {git_commit()}, {os.cpu_count()} CPUs, load average "
          f"{load[0]:.2f} {load[1]:.2f} {load[2]:.2f} at the end")
    times_over = f" {args.repeat} times over" if args.repeat > 1 else ""
    print(f"{os.path.basename(args.corpus)}{times_over}: {len(lines):,} lines, {size / 1e6:.1f} MB; "
          f"{os.path.basename(args.vocab)}; medians of {args.rounds} rounds")
    for note in notes:
        print(f"- {note}")
    base = statistics.median(times[names[0]])
    print()
    print("| pipeline | s | MB/s | ± | vs one process, threads=1 |")
    print("|---|---:|---:|---:|---:|")
    for name in names:
        t = statistics.median(times[name])
        half_range = (max(times[name]) - min(times[name])) / 2 / t * 100
        print(f"| {name} | {t:.3f} | {size / 1e6 / t:.1f} | {half_range:.0f}% | {t / base:.2f}x |")
    print()
    print("(± is half the range of the rounds, in % of the median; the last column is time.)")


if __name__ == "__main__":
    main()
