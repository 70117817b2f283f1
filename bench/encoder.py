#!/usr/bin/env python3
"""zeqtools.Encoder against SentencePiece and Hugging Face `tokenizers` on the
model a vocabulary was converted from, in one process, ratios in one run.

    python bench/encoder.py --model MODEL.model --corpus en.txt multi.txt [--rounds 7]

The model is converted with zeqtools (options section included) in memory;
SentencePiece loads the .model itself; `tokenizers` gets a tokenizer.json of
the model shaped as transformers' converters shape it. Every round encodes
lines it has not seen before (medians of the rounds; the order of the three
rotates each round). Rows:

- encode, one call per line: Encoder.encode / sp.encode / tk.encode, and
  Encoder.encode on the vocabulary converted without its options (not the
  model's ids: what segmentation alone costs);
- the normaliser alone: Encoder.normalize on 1 MiB per call;
- load: Encoder.from_file of the converted file against the .model;
- batches: Encoder.encode_flat with threads=1 and threads=2 against
  sp.encode(lines, num_threads=2) and tk.encode_batch(lines);
- memory: what each thread beyond the first adds after a batch (resident
  set of a fresh process), and the peak of encode_flat on --big-mb MB of
  text, as its lines and as one text, against the input (the list of strs)
  and the output (ids, offsets).

Needs sentencepiece and tokenizers (the bench extra).
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench as common  # noqa: E402  (rss, peaks, sampling, timing)

M = "\u2581"


def converted(model_path, raw=False):
    from zeqtools.convert import from_sentencepiece

    with open(model_path, "rb") as f:
        return from_sentencepiece(f.read(), raw=raw).vocab.to_bytes()


def hf_tokenizer(model_path):
    """The model as transformers' SentencePiece converter builds it."""
    import sentencepiece as spm
    from tokenizers import Regex, Tokenizer, decoders, models, normalizers, pre_tokenizers

    sp = spm.SentencePieceProcessor(model_file=model_path)
    vocab = [(sp.id_to_piece(i), sp.get_score(i)) for i in range(sp.get_piece_size())]
    byte_fallback = any(sp.is_byte(i) for i in range(sp.get_piece_size()))
    tk = Tokenizer(models.Unigram(vocab, unk_id=sp.unk_id(), byte_fallback=byte_fallback))
    from zeqtools.convert import from_sentencepiece

    with open(model_path, "rb") as f:
        opts = from_sentencepiece(f.read()).vocab.options
    steps = [normalizers.Precompiled(opts.charsmap)] if opts.charsmap else []
    if opts.remove_extra_whitespaces:
        steps += [normalizers.Strip(left=False, right=True), normalizers.Replace(Regex(" {2,}"), M)]
    tk.normalizer = normalizers.Sequence(steps)
    tk.pre_tokenizer = pre_tokenizers.Metaspace(replacement=M, prepend_scheme="always")
    tk.decoder = decoders.Metaspace(replacement=M, prepend_scheme="always")
    return tk


def median_mb_s(times, nbytes):
    return statistics.median(nbytes / t / 1e6 for t in times)


def spread(values):
    m = statistics.median(values)
    return 100 * (max(values) - min(values)) / 2 / m if m else 0.0


def row(rows, workload, corpus, unit, results, base="zeq"):
    rows.append((workload, corpus, unit, results, base))


def bench_corpus(enc_data, model_path, path, args, rows):
    import sentencepiece as spm

    from zeqtools import Encoder

    name = os.path.basename(path)
    lines = common.read_lines(path)
    rounds = common.round_samples(lines, args.rounds, args.line_bytes, args.seed)
    sp = spm.SentencePieceProcessor(model_file=model_path)
    tk = hf_tokenizer(model_path)

    # One call per line, new lines every round; each tokenizer loaded once,
    # as a long-running process would (zeq's word cache carries over).
    # "zeq, no normaliser" is the same vocabulary converted without its
    # options section (not the model's ids): what segmentation alone costs.
    enc = Encoder.from_bytes(enc_data)
    bare = Encoder.from_bytes(converted(model_path, raw=True))
    times = {"zeq": [], "sentencepiece": [], "tokenizers": [], "zeq, no normaliser": []}
    sizes = []
    for r, sample in enumerate(rounds):
        sizes.append(sum(len(t.encode()) for t in sample))
        impls = [("zeq", enc.encode), ("sentencepiece", sp.encode), ("tokenizers", tk.encode),
                 ("zeq, no normaliser", bare.encode)]
        k = r % len(impls)
        for label, encode in impls[k:] + impls[:k]:
            times[label].append(common.timed(lambda: [encode(t) for t in sample]))
    per_byte = {k: [s / t / 1e6 for s, t in zip(sizes, v)] for k, v in times.items()}
    row(rows, "encode, one call per line", name, "MB/s ↑", per_byte)

    # The normaliser alone, 1 MiB per call (through Python: the text's
    # conversions in and out included).
    text = "\n".join(lines)
    chunks = common.round_chunks(text, 1 << 20, args.rounds)
    norm = []
    for c in chunks:
        nbytes = len(c.encode())
        norm.append(nbytes / common.timed(lambda: enc.normalize(c)) / 1e6)
    row(rows, "normaliser alone, 1 MiB per call", name, "MB/s ↑", {"zeq": norm})

    # Batches: the same lines for everyone, every round new lines; one
    # Encoder for each thread count, loaded once.
    one, two = Encoder.from_bytes(enc_data), Encoder.from_bytes(enc_data)
    batch = {"zeq, threads=1": [], "zeq, threads=2": [], "sentencepiece": [], "tokenizers": []}
    for r, sample in enumerate(rounds):
        nbytes = sum(len(t.encode()) for t in sample)
        work = [("zeq, threads=1", lambda: one.encode_flat(sample, threads=1)),
                ("zeq, threads=2", lambda: two.encode_flat(sample, threads=2)),
                ("sentencepiece", lambda: sp.encode(sample, num_threads=2)),
                ("tokenizers", lambda: tk.encode_batch(sample))]
        k = r % len(work)
        for label, fn in work[k:] + work[:k]:
            batch[label].append(nbytes / common.timed(fn) / 1e6)
    row(rows, "batch of a round's lines, 2 threads (zeq: encode_flat)", name, "MB/s ↑", batch,
        base="zeq, threads=2")


def bench_load(enc_path, model_path, args, rows):
    import sentencepiece as spm

    from zeqtools import Encoder

    loads = {"zeq": [], "sentencepiece": []}
    for _ in range(args.loads):
        loads["zeq"].append(1000 * common.timed(lambda: Encoder.from_file(enc_path)))
        loads["sentencepiece"].append(1000 * common.timed(lambda: spm.SentencePieceProcessor(model_file=model_path)))
    row(rows, "load", "–", "ms ↓", loads)


# --- memory, each measurement in a fresh process -----------------------------

def child(job):
    """Runs one memory measurement; prints a JSON object."""
    from zeqtools import Encoder

    enc = Encoder.from_file(job["vocab"])
    lines = common.read_lines(job["corpus"])
    if job["kind"] == "threads":
        common.trim_heap()
        before = common.rss_bytes()
        enc.encode_flat(lines, threads=job["threads"])
        gc.collect()
        common.trim_heap()
        print(json.dumps({"rss": common.rss_bytes() - before}))
        return
    # Peak of encode_flat on big_mb MB of text.
    target = job["big_mb"] * 1_000_000
    common.trim_heap()
    base = common.rss_bytes()
    texts, size = [], 0
    while size < target:
        for t in lines:
            texts.append(t + " ")  # a new str object, as text read from a file would be
            size += len(t) + 1
            if size >= target:
                break
    if job["as_one"]:
        texts = ["".join(texts)]  # one document: a single piece of work, its output in one block
    common.trim_heap()
    input_bytes = common.rss_bytes() - base
    common.reset_peak()
    ids, offsets = enc.encode_flat(texts, threads=job["threads"])
    peak = common.peak_rss_bytes() - base
    output_bytes = ids.nbytes + offsets.nbytes
    print(json.dumps({"text_bytes": size, "input": input_bytes, "output": output_bytes, "peak": peak}))


def run_child(job):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", json.dumps(job)],
                         capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def bench_memory(enc_path, corpus, args, rows, notes):
    per_thread = []
    for _ in range(args.mem_runs):
        one = run_child({"kind": "threads", "vocab": enc_path, "corpus": corpus, "threads": 1})["rss"]
        two = run_child({"kind": "threads", "vocab": enc_path, "corpus": corpus, "threads": 2})["rss"]
        per_thread.append((two - one) / 2**20)
    row(rows, "resident memory each thread beyond the first adds", os.path.basename(corpus), "MiB ↓",
        {"zeq": per_thread})
    for as_one, shape in ((False, "its lines"), (True, "one text")):
        peak = run_child({"kind": "peak", "vocab": enc_path, "corpus": corpus, "threads": 2,
                          "big_mb": args.big_mb, "as_one": as_one})
        ratio = peak["peak"] / (peak["input"] + peak["output"])
        notes.append(f"encode_flat on {peak['text_bytes'] / 1e6:.0f} MB of text ({os.path.basename(corpus)} as "
                     f"{shape}, threads=2): input (the list of strs) {peak['input'] / 2**20:.0f} MiB, "
                     f"output {peak['output'] / 2**20:.0f} MiB, "
                     f"peak {peak['peak'] / 2**20:.0f} MiB = {ratio:.2f} × (input + output)")


# --- report ------------------------------------------------------------------

def report(rows, notes, args):
    print(f"# zeqtools.Encoder against its peers ({datetime.date.today().isoformat()}, "
          f"commit {common.git_commit()}, {os.path.basename(args.model)}, medians of {args.rounds} rounds)\n")
    print("| workload | corpus | unit | results | how many times better than each other |")
    print("|---|---|---|---|---|")
    for workload, corpus, unit, results, base in rows:
        shown = "; ".join(f"{k} {common.fmt_num(statistics.median(v))} ±{spread(v):.0f}%" for k, v in results.items())
        b = statistics.median(results[base])
        lower_better = "↓" in unit
        ratios = "; ".join(
            f"{base} vs {k}: {(statistics.median(v) / b if lower_better else b / statistics.median(v)):.2f}"
            for k, v in results.items() if k != base and statistics.median(v))
        print(f"| {workload} | {corpus} | {unit} | {shown} | {ratios or '–'} |")
    for n in notes:
        print(f"\n{n}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--model", help="a SentencePiece unigram .model")
    ap.add_argument("--corpus", nargs="+", help="text files, one item per line")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--line-bytes", type=int, default=1_000_000, help="bytes of new lines per round")
    ap.add_argument("--loads", type=int, default=7)
    ap.add_argument("--mem-runs", type=int, default=3)
    ap.add_argument("--big-mb", type=int, default=100, help="MB of text for the peak-memory row")
    ap.add_argument("--no-memory", action="store_true")
    ap.add_argument("--seed", type=int, default=20261209)
    ap.add_argument("--child", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        child(json.loads(args.child))
        return 0
    if not args.model or not args.corpus:
        ap.error("--model and --corpus are required")
    data = converted(args.model)
    with tempfile.TemporaryDirectory() as tmp:
        enc_path = os.path.join(tmp, "converted.vocab.bin")
        with open(enc_path, "wb") as f:
            f.write(data)
        rows, notes = [], []
        for path in args.corpus:
            common.progress(f"corpus {path}")
            bench_corpus(data, args.model, path, args, rows)
        bench_load(enc_path, args.model, args, rows)
        if not args.no_memory:
            common.progress("memory")
            bench_memory(enc_path, args.corpus[-1], args, rows, notes)
    report(rows, notes, args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
