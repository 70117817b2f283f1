"""Compare zeq with SentencePiece and Hugging Face `tokenizers` on one vocabulary.

All three load the same unigram vocabulary: zeq from the ``.vocab.bin`` file,
SentencePiece from the ``.model`` the vocabulary was converted from, and
`tokenizers` as a ``Unigram`` model built from the (piece, score) records of
the ``.vocab.bin`` (byte fallback on, the same unknown id), behind a
``Metaspace`` pre-tokenizer that splits words the way zeq does. A peer that
cannot be imported is skipped.

The script checks that the peers agree with zeq on a sample of lines, then
times every workload with the implementations interleaved, round after round,
and prints medians as one markdown report. Memory is measured in fresh
subprocesses. Finally it feeds zeq a few pathological inputs at several sizes.

    python bench/bench.py --vocab ../shared/vocab/multi32k.vocab.bin \\
        --model ../shared/vocab/multi32k.model \\
        --corpus ../shared/corpus/en.txt ../shared/corpus/multi.txt

Run ``--help`` for the knobs (rounds, sample sizes, ``--quick``).
"""

from __future__ import annotations

import argparse
import datetime
import gc
import json
import os
import pathlib
import platform
import random
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
MARKER = "\u2581"
SHORT_TEXT = "The quick brown fox."  # 20 bytes of UTF-8
assert len(SHORT_TEXT.encode()) == 20
MIB = 1 << 20
PAGE = os.sysconf("SC_PAGE_SIZE")


def _import_zeqtools():
    try:
        import zeqtools.vocabfile  # noqa: F401  (installed with the wheel)
    except ImportError:
        sys.path.append(str(HERE.parent / "tools"))
    from zeqtools.vocabfile import read_vocab

    return read_vocab


# ---------------------------------------------------------------------------
# The implementations. Each adapter offers the same four calls on one loaded
# tokenizer: encode (text -> list of ids), pieces (ids -> list of piece texts),
# decode (ids -> text) and a fresh load for the load-time measurement.


class Impl:
    name = ""
    version = ""
    config = ""

    def load(self):
        raise NotImplementedError

    def fresh(self):
        """Work from here on with a newly loaded tokenizer, so that nothing an
        earlier workload left behind (zeq's word cache, the word cache of
        `tokenizers`) helps the next one."""
        self.bind(self.load())

    def bind(self, tok):
        self.tok = tok
        self.encode = tok.encode
        self.decode = tok.decode

    def encode(self, text):
        raise NotImplementedError

    def pieces(self, ids):
        raise NotImplementedError

    def decode(self, ids):
        raise NotImplementedError


class Zeq(Impl):
    name = "zeq"

    def __init__(self, args):
        import zeq

        self.mod = zeq
        self.version = zeq.__version__
        self.path = args.vocab
        self.fresh()
        self.config = "Tokenizer.from_file(.vocab.bin)"

    def load(self):
        return self.mod.Tokenizer.from_file(self.path)

    def pieces(self, ids):
        return [self.tok.id_to_piece(i) for i in ids]


class SentencePiece(Impl):
    name = "sentencepiece"

    def __init__(self, args):
        import sentencepiece as spm

        self.mod = spm
        self.version = spm.__version__
        self.path = args.model
        # encode(text) with the defaults gives ids, no BOS/EOS, no sampling.
        self.fresh()
        self.config = "SentencePieceProcessor(model_file=.model), encode/decode"

    def load(self):
        return self.mod.SentencePieceProcessor(model_file=self.path)

    def pieces(self, ids):
        return [self.tok.id_to_piece(i) for i in ids]


def build_hf(records, unk_id, scheme):
    """A `tokenizers` Tokenizer equivalent to zeq on ``records`` (text, score)."""
    from tokenizers import Tokenizer, decoders, models, pre_tokenizers

    tok = Tokenizer(models.Unigram(records, unk_id=unk_id, byte_fallback=True))
    tok.pre_tokenizer = pre_tokenizers.Metaspace(replacement=MARKER, prepend_scheme=scheme, split=True)
    tok.decoder = decoders.Sequence(
        [decoders.ByteFallback(), decoders.Metaspace(replacement=MARKER, prepend_scheme=scheme, split=True)]
    )
    return tok


class HuggingFace(Impl):
    name = "tokenizers"

    def __init__(self, args, vocab, scheme, json_path):
        import tokenizers

        self.mod = tokenizers
        self.version = tokenizers.__version__
        records = [(p.text, p.score) for p in vocab.pieces]
        built = build_hf(records, vocab.unk_id, scheme)
        built.save(json_path)
        self.path = json_path
        self.fresh()
        self.config = (
            f"Unigram(byte_fallback=True, unk_id={vocab.unk_id}) + "
            f'Metaspace("{MARKER}", prepend_scheme="{scheme}", split=True), no normalizer; '
            "decoder ByteFallback + Metaspace; loaded from its saved JSON"
        )

    def load(self):
        return self.mod.Tokenizer.from_file(self.path)

    def bind(self, tok):
        self.tok = tok
        self.encode = lambda text: tok.encode(text).ids
        self.decode = tok.decode

    def pieces(self, ids):
        return [self.tok.id_to_token(i) for i in ids]


# ---------------------------------------------------------------------------
# Helpers


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def trim_heap():
    """Hand free heap memory back to the system (glibc), so that the RSS read
    next counts live memory only and later growth shows in the peak."""
    try:
        import ctypes

        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def reset_peak():
    """Reset the kernel's peak-RSS mark of this process (Linux 4.0+); returns
    False where that is not allowed, and peaks then count from process start."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def peak_rss_bytes():
    """Peak resident set size of this process's memory: VmHWM, which is what
    ru_maxrss reports but without the peak inherited across exec from the
    parent, and resettable with reset_peak()."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def timed(fn):
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        fn()
        return time.perf_counter() - t0
    finally:
        gc.enable()


def interleaved(impls, make_work, rounds, again=None):
    """Time ``make_work(impl, r)()`` for every impl in every round r, rotating
    the order of the impls each round; returns {name: [seconds per round]}.
    The work is made before its round, outside the timing. With a dict as
    ``again``, each work is timed a second time straight after the first,
    every cache of the implementation warm, into ``again`` likewise."""
    times = {i.name: [] for i in impls}
    for r in range(rounds):
        order = impls[r % len(impls):] + impls[: r % len(impls)]
        for impl in order:
            work = make_work(impl, r)
            times[impl.name].append(timed(work))
            if again is not None:
                again.setdefault(impl.name, []).append(timed(work))
    return times


def read_lines(path):
    with open(path, encoding="utf-8") as f:
        return f.read().split("\n")


def round_samples(lines, rounds, budget_bytes, seed):
    """``rounds`` disjoint sets of random lines (each kept in file order) of
    about ``budget_bytes`` each, or of an equal share of the corpus when it
    is too small for that. Every round encodes text it has not seen, so
    caches of earlier rounds help only as much as they would on new text."""
    rng = random.Random(seed)
    idx = list(range(len(lines)))
    rng.shuffle(idx)
    total = sum(len(l.encode()) for l in lines)
    budget = min(budget_bytes, total // rounds)
    out, cur, size = [], [], 0
    for i in idx:
        if len(out) == rounds:
            break
        cur.append(i)
        size += len(lines[i].encode())
        if size >= budget:
            out.append(cur)
            cur, size = [], 0
    if len(out) < rounds:
        out.append(cur)
    return [[lines[i] for i in sorted(s)] for s in out]


def round_chunks(text, size, rounds):
    """One piece of about ``size`` bytes per round, spread evenly over
    ``text`` (they overlap only when the text is shorter than
    ``rounds * size``), each cut after a line end."""
    data = text.encode()
    if len(data) <= size:
        return [text] * rounds
    step = (len(data) - size) // max(1, rounds - 1)
    out = []
    for k in range(rounds):
        start = k * step
        if start:
            start = data.index(b"\n", start) + 1
        end = data.rfind(b"\n", start, start + size) + 1 or start + size
        out.append(data[start:end].decode("utf-8", "ignore"))
    return out


def fmt_num(x):
    if x is None:
        return "–"
    if x >= 1000:
        return f"{x:,.0f}"
    if x >= 100:
        return f"{x:.0f}"
    if x >= 10:
        return f"{x:.1f}"
    return f"{x:.2f}"


class Stat:
    """A median of per-round values, with its spread (half range / median)."""

    def __init__(self, values):
        self.values = values
        self.median = statistics.median(values)
        self.spread = (max(values) - min(values)) / 2 / self.median if self.median else 0.0

    def __str__(self):
        s = fmt_num(self.median)
        if len(self.values) > 1:
            s += f" ±{self.spread * 100:.0f}%"
        return s


# ---------------------------------------------------------------------------
# Child processes: resident memory of a load, and zeq on pathological inputs.


def child_main(job):
    sys.path[:] = job["sys_path"]
    kind = job["kind"]
    if kind == "load_rss":
        impl = job["impl"]
        if impl == "zeq":
            import zeq

            load = lambda: zeq.Tokenizer.from_file(job["vocab"])  # noqa: E731
        elif impl == "sentencepiece":
            import sentencepiece as spm

            load = lambda: spm.SentencePieceProcessor(model_file=job["model"])  # noqa: E731
        else:
            import tokenizers

            load = lambda: tokenizers.Tokenizer.from_file(job["hf_json"])  # noqa: E731
        gc.collect()
        trim_heap()
        before = rss_bytes()
        reset_peak()
        tok = load()
        peak = peak_rss_bytes()
        gc.collect()
        after = rss_bytes()
        del tok
        return {"rss": after - before, "peak": max(0, peak - before)}
    if kind == "patho":
        import zeq

        tok = zeq.Tokenizer.from_file(job["vocab"])
        tok.encode("warm up " * 100)
        text = make_pathological(job["case"], job["size"], job)
        nbytes = len(text.encode())
        gc.collect()
        trim_heap()
        before = rss_bytes()
        reset_peak()
        ids = tok.encode(text)
        peak = peak_rss_bytes()
        n_ids = len(ids)
        # The list, plus every distinct int object beyond the small-int cache
        # (32 bytes each; a binding that shares one object per id makes few).
        big = len({id(i) for i in ids if i > 256})
        result = sys.getsizeof(ids) + big * 32
        del ids
        secs = []
        for _ in range(job["reps"]):
            secs.append(timed(lambda: tok.encode(text)))
        return {
            "bytes": nbytes,
            "secs": secs,
            "ids": n_ids,
            "peak_delta": max(0, peak - before),
            "result": result,
        }
    raise SystemExit(f"unknown child kind {kind}")


def run_child(job):
    job = dict(job, sys_path=sys.path)
    out = subprocess.run(
        [sys.executable, str(pathlib.Path(__file__).resolve()), "--child", json.dumps(job)],
        check=True,
        stdout=subprocess.PIPE,
        text=True,
    )
    return json.loads(out.stdout)


def uncovered_chars(vocab_texts):
    """Characters that no piece contains: rare CJK (BMP and plane 2) and emoji."""
    seen = set("".join(vocab_texts))
    cands = [chr(c) for c in range(0x9F00, 0x9FF0)]
    cands += [chr(c) for c in range(0x1FA70, 0x1FAF0)]
    cands += [chr(c) for c in range(0x20000, 0x20100)]
    rng = random.Random(7)
    rng.shuffle(cands)
    return [c for c in cands if c not in seen][:200]


def make_pathological(case, size, job):
    if case == "one word":
        with open(job["corpus"], "rb") as f:
            raw = f.read().replace(b" ", b"").replace(b"\n", b"")
        raw = (raw * (size // len(raw) + 1))[:size]
        return raw.decode("utf-8", "ignore")
    if case == "one char":
        return "a" * size
    if case == "spaces":
        return " " * size
    if case == "uncovered":
        chars = job["uncovered"]
        out, n, i = [], 0, 0
        while n < size:
            c = chars[i % len(chars)]
            out.append(c)
            n += len(c.encode())
            i += 1
        return "".join(out)
    raise ValueError(case)


# ---------------------------------------------------------------------------
# The report


class Report:
    def __init__(self):
        self.lines = []

    def __call__(self, s=""):
        self.lines.append(s)
        print(s, flush=True)

    def table(self, header, rows, align=None):
        align = align or ["---"] + ["---:"] * (len(header) - 1)
        self("| " + " | ".join(header) + " |")
        self("|" + "|".join(align) + "|")
        for r in rows:
            self("| " + " | ".join(str(c) for c in r) + " |")
        self()


def progress(msg):
    print(f"  [{time.strftime('%H:%M:%S')}] {msg}", file=sys.stderr, flush=True)


def git_commit():
    try:
        rev = subprocess.run(
            ["git", "-C", str(HERE), "describe", "--always", "--dirty", "--abbrev=10"],
            check=True, capture_output=True, text=True,
        ).stdout.strip()
        return rev
    except Exception:
        return "unknown"


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def first_diff(a, b):
    for k, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return k
    return min(len(a), len(b))


def show_window(pieces, k, width=4):
    lo = max(0, k - 1)
    part = pieces[lo:k + width]
    s = " ".join(repr(p)[1:-1] for p in part)
    return ("… " if lo else "") + s + (" …" if k + width < len(pieces) else "")


def tie_checker(vocab):
    """A function telling whether two id sequences are equally good
    segmentations: the same fallback tokens, and piece scores whose exact sum
    (in double precision, where these few float32 terms add up exactly) is the
    same. Such pairs differ only by rounding of the score sums."""
    import math

    scores = [p.score for p in vocab.pieces]
    special = {vocab.pad_id, vocab.unk_id, vocab.bos_id, vocab.eos_id}
    fallback = special | {k for k, p in enumerate(vocab.pieces)
                          if len(p.text) == 6 and p.text.startswith("<0x") and p.text.endswith(">")}

    def key(ids):
        return (math.fsum(scores[i] for i in ids if i not in fallback and i < len(scores)),
                sorted(i for i in ids if i in fallback or i >= len(scores)))

    return lambda a, b: key(a) == key(b)


def check_agreement(impls, zeq_impl, corpora, vocab, args, report):
    is_tie = tie_checker(vocab)
    peers = [i for i in impls if i is not zeq_impl]
    rows, examples = [], []
    for path, lines in corpora:
        eligible = [l for l in lines if l and not l.startswith(" ")]
        if args.agree_lines and args.agree_lines < len(eligible):
            rng = random.Random(args.seed)
            sample = rng.sample(eligible, args.agree_lines)
        else:
            sample = eligible
        zids = [zeq_impl.encode(l) for l in sample]
        ztrip = sum(zeq_impl.decode(i) == l for i, l in zip(zids, sample))
        row = [pathlib.Path(path).name, f"{len(sample):,}"]
        trips = [f"zeq {ztrip / len(sample):.2%}"]
        for peer in peers:
            same, shown, ties = 0, 0, 0
            trip = 0
            for line, zi in zip(sample, zids):
                pi = peer.encode(line)
                trip += peer.decode(pi) == line
                if pi == zi:
                    same += 1
                    continue
                tie = is_tie(zi, pi)
                ties += tie
                if shown < args.show_diffs:
                    shown += 1
                    zp, pp = zeq_impl.pieces(zi), peer.pieces(pi)
                    k = first_diff(zp, pp)
                    text = line if len(line) <= 100 else line[:97] + "…"
                    examples.append((pathlib.Path(path).name, peer.name, text,
                                     show_window(zp, k), show_window(pp, k), tie))
            differ = len(sample) - same
            row.append(f"{same / len(sample):.3%} ({differ:,} differ"
                       + (f", {ties:,} of them equal-score ties)" if differ else ")"))
            trips.append(f"{peer.name} {trip / len(sample):.2%}")
        row.append(", ".join(trips))
        rows.append(row)
    report("### Agreement with zeq")
    report()
    report("Lines that do not begin with a space (SentencePiece adds a marker in front of those), "
           "compared id for id. An equal-score tie is a pair of segmentations whose piece scores add up to the same exact sum, so that only the rounding of float sums decides between them. Round trip: decode(encode(line)) == line, each with its own ids.")
    report()
    report.table(["corpus", "lines"] + [f"same ids as {p.name}" for p in peers] + ["round trip"],
                 rows, ["---", "---:"] + ["---:"] * len(peers) + ["---"])
    if examples:
        report("Disagreements (pieces from the first difference on):")
        report()
        for corpus, peer, text, zp, pp, tie in examples:
            why = "equal-score tie" if tie else "different scores"
            report(f"- {corpus}, {peer} ({why}): `{text}`")
            report(f"  - zeq: `{zp}`")
            report(f"  - {peer}: `{pp}`")
        report()


def bench_speed(impls, corpora, args, report):
    rows = []
    zeq_name = impls[0].name
    peers = impls[1:]

    def add(workload, corpus, unit, stats):
        z = stats[zeq_name].median
        ratios = []
        for p in peers:
            pm = stats[p.name].median
            ratios.append(f"{z / pm:.2f}" if pm else "–")
        rows.append([workload, corpus, unit] + [str(stats[i.name]) for i in impls] + ratios)

    def rates(sizes_of, times):
        return {k: Stat([n / s / 1e6 for n, s in zip(sizes_of(k), v)]) for k, v in times.items()}

    # One workload's row (amounts per second), and with --warm the row of the
    # same work timed again straight after; returns the first timings.
    def timed_rows(workload, again, corpus, unit, make_work, sizes_of):
        warm = {} if args.warm else None
        t = interleaved(impls, make_work, R, warm)
        add(workload, corpus, unit, rates(sizes_of, t))
        if warm:
            add(f"{workload}, {again} (warm)", corpus, unit, rates(sizes_of, warm))
        return t

    R = args.rounds
    for path, lines in corpora:
        name = pathlib.Path(path).name
        # Each workload starts from freshly loaded tokenizers: the chunks
        # below are cut from the lines the per-line rounds encode, and a
        # word cache must not meet them again.
        for impl in impls:
            impl.fresh()
        samples = round_samples(lines, R, args.line_bytes, args.seed)
        nbytes = [sum(len(l.encode()) for l in smp) for smp in samples]
        progress(f"{name}: encode per line ({R} rounds of ~{statistics.mean(nbytes) / 1e6:.2f} MB, "
                 f"~{statistics.mean(len(smp) for smp in samples):,.0f} lines)")
        timed_rows("encode, one call per line", "the round again", name, "MB/s ↑",
                   lambda i, r: (lambda enc=i.encode, smp=samples[r]: [enc(l) for l in smp]),
                   lambda k: nbytes)

        for impl in impls:
            impl.fresh()
        chunks = round_chunks("\n".join(lines), MIB, R)
        cbytes = [len(c.encode()) for c in chunks]
        progress(f"{name}: encode 1 MiB per call")
        timed_rows("encode, 1 MiB per call", "the chunk again", name, "MB/s ↑",
                   lambda i, r: (lambda enc=i.encode, c=chunks[r]: enc(c)), lambda k: cbytes)

        progress(f"{name}: decode per line")
        own = {i.name: [[i.encode(l) for l in smp] for smp in samples] for i in impls}
        n_ids = {k: [sum(len(x) for x in rnd) for rnd in v] for k, v in own.items()}
        t = timed_rows("decode, one call per line", "the round again", name, "M ids/s ↑",
                       lambda i, r: (lambda dec=i.decode, ids=own[i.name][r]: [dec(x) for x in ids]),
                       lambda k: n_ids[k])
        add("decode, one call per line", name, "MB/s ↑", rates(lambda k: nbytes, t))
        nlines = sum(len(smp) for smp in samples)
        add("ids per line (own encoding)", name, "ids",
            {k: Stat([sum(n) / nlines]) for k, n in n_ids.items()})

    progress("load time")
    times = {i.name: [] for i in impls}
    for r in range(args.loads):
        for impl in impls[r % len(impls):] + impls[: r % len(impls)]:
            times[impl.name].append(timed(impl.load))
    add("load", "–", "ms ↓", {k: Stat([s * 1e3 for s in v]) for k, v in times.items()})

    progress("short calls")
    n = args.short_calls
    t = interleaved(impls, lambda i, r: (lambda enc=i.encode: [enc(SHORT_TEXT) for _ in range(n)]), R)
    add(f"short call: encode {SHORT_TEXT!r} (20 B)", "–", "k calls/s ↑",
        {k: Stat([n / s / 1e3 for s in v]) for k, v in t.items()})

    progress("resident memory of a load (subprocesses)")
    mem = {i.name: [] for i in impls}
    peak = {i.name: [] for i in impls}
    for r in range(args.mem_runs):
        for impl in impls:
            res = run_child({"kind": "load_rss", "impl": impl.name, "vocab": args.vocab,
                             "model": args.model, "hf_json": args.hf_json})
            mem[impl.name].append(res["rss"] / MIB)
            peak[impl.name].append(res["peak"] / MIB)
    add("resident memory after load (RSS Δ)", "–", "MiB ↓", {k: Stat(v) for k, v in mem.items()})
    add("peak memory during load (max RSS Δ)", "–", "MiB ↓", {k: Stat(v) for k, v in peak.items()})

    report("### Speed and size")
    report()
    report("Medians over the rounds (± half the range, in % of the median). Every round encodes "
           "text of its own, the same for all implementations, and every encode workload starts "
           "from freshly loaded tokenizers, so that a cache of words seen in earlier rounds helps "
           "only as it would on new text; the short call repeats one string. "
           "Ratio columns: zeq's median ÷ the peer's; ↑ higher is better, ↓ lower is better. "
           "Memory: fresh subprocess per load, RSS after the load minus RSS before it (module "
           "already imported), and the peak (VmHWM, reset before the load) minus RSS before.")
    if args.warm:
        report()
        report("Rows marked (warm) time each implementation again on the work it has just done, "
               "straight after it: its caches hold that text's words, ids and objects. They show "
               "what a workload costs at best, not what new text costs.")
    report()
    header = ["workload", "corpus", "unit"] + [i.name for i in impls] + [f"zeq/{p.name}" for p in peers]
    report.table(header, rows, ["---", "---", "---"] + ["---:"] * (len(impls) + len(peers)))


def bench_pathological(zeq_impl, vocab_texts, args, report):
    uncovered = uncovered_chars(vocab_texts)
    base = args.patho_bytes
    cases = [
        ("one word", "no spaces at all: the first corpus without U+0020 and line ends, one word",
         [base // 10, base // 3, base]),
        ("one char", "'a' repeated", [base // 100, base // 30, base // 10]),
        ("spaces", "U+0020 repeated (one word per space)", [base // 100, base // 30, base // 10]),
        ("uncovered", f"{len(uncovered)} characters that no piece contains "
                      f"(rare CJK, emoji; {''.join(uncovered[:6])}…), cycled",
         [base // 100, base // 30, base // 10]),
    ]
    rows = []
    for case, desc, sizes in cases:
        if case == "uncovered" and not uncovered:
            continue
        for size in sizes:
            progress(f"pathological: {case}, {size:,} bytes")
            res = run_child({"kind": "patho", "case": case, "size": size, "vocab": args.vocab,
                             "corpus": args.corpus[0], "uncovered": uncovered, "reps": args.patho_reps})
            secs = statistics.median(res["secs"])
            b = res["bytes"]
            rows.append([case, f"{b:,}", f"{secs * 1e3:.1f}", f"{secs / b * 1e9:.1f}",
                         f"{res['ids'] / b:.3f}", f"{res['peak_delta'] / b:.1f}",
                         f"{res['result'] / b:.1f}"])
    report("### Pathological inputs (zeq alone, one call each)")
    report()
    for case, desc, _ in cases:
        report(f"- {case}: {desc}")
    report()
    report("Time is the median of the repeats; peak Δ is the growth of the process's peak RSS "
           "(VmHWM, reset just before the call) over its RSS just before the call, in a fresh "
           "subprocess per input, per input byte. It includes the UTF-8 copy of the argument and "
           "the returned list; result list is the size of that list with its int objects, per "
           "input byte.")
    report()
    report.table(["input", "bytes", "ms", "ns/byte", "ids/byte", "peak Δ B/byte", "result list B/byte"],
                 rows)


def choose_hf_scheme(vocab, corpora, args):
    """Try the Metaspace prepend schemes that fit zeq and keep the one that
    agrees best on a small sample. Returns (scheme, {scheme: rate})."""
    import zeq

    z = zeq.Tokenizer.from_file(args.vocab)
    records = [(p.text, p.score) for p in vocab.pieces]
    probe = []
    rng = random.Random(args.seed + 1)
    for _, lines in corpora:
        eligible = [l for l in lines if l]
        probe += rng.sample(eligible, min(500, len(eligible)))
    # Texts where the schemes could differ: leading spaces and markers.
    probe += [" Hello", "  two", MARKER + "x", "a" + MARKER + "b", " ", "   ", "end  ", "\tx"]
    rates = {}
    for scheme in ("always", "first"):
        hf = build_hf(records, vocab.unk_id, scheme)
        rates[scheme] = sum(hf.encode(t).ids == z.encode(t) for t in probe) / len(probe)
    best = max(rates, key=lambda s: (rates[s], s == "always"))
    return best, rates


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["--child"]:
        print(json.dumps(child_main(json.loads(argv[1]))))
        return 0
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--vocab", required=True, help="zeq vocabulary (.vocab.bin)")
    ap.add_argument("--model", help="the SentencePiece .model the vocabulary was converted from")
    ap.add_argument("--corpus", nargs="+", required=True, help="text files, one item per line")
    ap.add_argument("--rounds", type=int, default=7, help="timing rounds (default 7)")
    ap.add_argument("--line-bytes", type=int, default=1_000_000,
                    help="bytes of random lines per round and corpus for the per-line workloads "
                         "(at most an equal share of the corpus per round)")
    ap.add_argument("--agree-lines", type=int, default=20_000,
                    help="lines per corpus for the agreement check (0: all)")
    ap.add_argument("--show-diffs", type=int, default=3, help="disagreements shown per peer and corpus")
    ap.add_argument("--loads", type=int, default=7, help="loads timed per implementation")
    ap.add_argument("--short-calls", type=int, default=20_000, help="calls per round of the short-call test")
    ap.add_argument("--mem-runs", type=int, default=3, help="subprocesses per implementation for memory")
    ap.add_argument("--patho-bytes", type=int, default=10_000_000,
                    help="largest pathological input (one word); the others are a tenth of it")
    ap.add_argument("--patho-reps", type=int, default=5, help="timed calls per pathological input")
    ap.add_argument("--no-patho", action="store_true", help="skip the pathological inputs")
    ap.add_argument("--warm", action="store_true",
                    help="also time each round's encode and decode work a second time, straight "
                         "after the first, every cache warm: what a workload costs at best")
    ap.add_argument("--peers", default="sentencepiece,tokenizers",
                    help="comma-separated peers to try (default: sentencepiece,tokenizers)")
    ap.add_argument("--quick", action="store_true", help="small samples and 3 rounds, for a smoke run")
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--json", help="also write the report's lines and settings to this file")
    args = ap.parse_args(argv)
    if args.quick:
        args.rounds, args.line_bytes = 3, 200_000
        args.agree_lines, args.loads, args.short_calls = 2_000, 3, 5_000
        args.mem_runs, args.patho_bytes, args.patho_reps = 1, 1_000_000, 1
    args.vocab = os.path.abspath(args.vocab)
    if args.model:
        args.model = os.path.abspath(args.model)
    args.corpus = [os.path.abspath(c) for c in args.corpus]

    started = time.time()
    read_vocab = _import_zeqtools()
    vocab = read_vocab(args.vocab)
    if any(p.id != k for k, p in enumerate(vocab.pieces)):
        print("warning: record ids differ from their positions; "
              "the tokenizers peer numbers pieces by position", file=sys.stderr)
    corpora = [(c, read_lines(c)) for c in args.corpus]
    for c, lines in corpora:
        if lines and lines[-1] == "":
            lines.pop()

    impls = [Zeq(args)]
    skipped = []
    wanted = [p.strip() for p in args.peers.split(",") if p.strip()]
    tmpdir = tempfile.TemporaryDirectory(prefix="zeq-bench-")
    args.hf_json = os.path.join(tmpdir.name, "tokenizer.json")
    hf_rates = None
    if "sentencepiece" in wanted:
        if not args.model:
            skipped.append("sentencepiece (no --model)")
        else:
            try:
                impls.append(SentencePiece(args))
            except ImportError as e:
                skipped.append(f"sentencepiece ({e})")
    if "tokenizers" in wanted:
        try:
            scheme, hf_rates = choose_hf_scheme(vocab, corpora, args)
            impls.append(HuggingFace(args, vocab, scheme, args.hf_json))
        except ImportError as e:
            skipped.append(f"tokenizers ({e})")
    for impl in impls[1:]:
        if impl.name == "sentencepiece":
            n = impl.tok.get_piece_size()
            same = n == len(vocab.pieces) and all(
                impl.tok.id_to_piece(k) == p.text for k, p in enumerate(vocab.pieces) if k >= 4)
            if not same:
                print("warning: the .model's pieces differ from the .vocab.bin's", file=sys.stderr)

    report = Report()
    report("## zeq benchmark")
    report()
    env_rows = [
        ["date", datetime.datetime.now().strftime("%Y-%m-%d %H:%M")],
        ["machine", f"{cpu_name()}, {os.cpu_count()} logical CPUs, {platform.system()} {platform.release()}"],
        ["Python", f"{platform.python_implementation()} {platform.python_version()}"],
        ["zeq", f"{impls[0].version} ({impls[0].mod.__file__})"],
        ["bench.py", f"commit {git_commit()}"],
        ["load average", f"{os.getloadavg()[0]:.1f} at the start (1 minute)"],
    ]
    for impl in impls[1:]:
        env_rows.append([impl.name, f"{impl.version}: {impl.config}"])
    for s in skipped:
        env_rows.append(["skipped", s])
    env_rows.append(["vocabulary", f"{pathlib.Path(args.vocab).name} ({len(vocab.pieces):,} pieces)"
                     + (f", {pathlib.Path(args.model).name}" if args.model else "")])
    env_rows.append(["corpora", ", ".join(f"{pathlib.Path(c).name} ({os.path.getsize(c) / 1e6:.1f} MB, "
                                          f"{len(lines):,} lines)" for c, lines in corpora)])
    env_rows.append(["settings", f"{args.rounds} rounds, implementations interleaved, new text in every "
                     f"round: up to {args.line_bytes / 1e6:g} MB of random lines (disjoint between rounds) "
                     f"and one 1 MiB chunk per round and corpus; {args.loads} loads; "
                     f"{args.short_calls:,} short calls per round"])
    if hf_rates:
        env_rows.append(["tokenizers prepend_scheme", ", ".join(
            f'"{s}": {r:.2%} agreement on a probe' for s, r in hf_rates.items())])
    report.table(["", ""], env_rows, ["---", "---"])

    if len(impls) > 1:
        progress("agreement")
        check_agreement(impls, impls[0], corpora, vocab, args, report)
    bench_speed(impls, corpora, args, report)
    if not args.no_patho:
        texts = [p.text for p in vocab.pieces]
        bench_pathological(impls[0], texts, args, report)
    report(f"_Run took {time.time() - started:.0f} s; load average {os.getloadavg()[0]:.1f} at the end._")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"argv": sys.argv, "report": report.lines}, f, indent=1)
    tmpdir.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main())
