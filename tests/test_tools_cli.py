"""The zeq command: encode, decode, inspect, convert (through main() and as
the installed console script), and its one-line errors."""

import importlib.metadata
import io
import json
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

import zeq
from conftest import shared_path
from test_tools_convert import BASE_PIECES, sp_model, vi
import zeqtools
from zeqtools import sample_vocab_path
from zeqtools.cli import main
from zeqtools.convert import MISSING_ID
from zeqtools.corpus import iter_documents
from zeqtools.vocabfile import encode_vocab, read_vocab

SAMPLE = sample_vocab_path()
LINES = ["Hello world", "", "déjà vu ✓ 𝔘", "two  spaces and a tab\there"]


@pytest.fixture(scope="module")
def tok():
    return zeq.Tokenizer.from_file(SAMPLE)


@pytest.fixture
def run(capsys, monkeypatch):
    """Run main(args) with ``stdin`` bytes; return (status, stdout, stderr)."""

    def run_(*args, stdin=b""):
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin), encoding="utf-8"))
        status = main([str(a) for a in args])
        out, err = capsys.readouterr()
        return status, out, err

    return run_


@pytest.fixture
def text_file(tmp_path):
    path = tmp_path / "lines.txt"
    path.write_text("\n".join(LINES) + "\n", encoding="utf-8")
    return path


def ids_line(ids):
    return " ".join(map(str, ids))


def test_encode_a_text_argument(run, tok):
    assert run("encode", "Hello world") == (0, ids_line(tok.encode("Hello world")) + "\n", "")
    _, out, _ = run("encode", "--pieces", "Hello world")
    assert out.split() == tok.encode_pieces("Hello world")
    _, out, _ = run("encode", "--pieces", "--json", "a\nb")
    assert json.loads(out) == tok.encode_pieces("a\nb")


@pytest.mark.parametrize("how", ["file", "stdin", "dash"])
def test_encode_every_line_of_a_file_or_stdin(run, tok, text_file, how):
    if how == "file":
        status, out, _ = run("encode", "--file", text_file)
    else:
        extra = ["--file", "-"] if how == "dash" else []
        status, out, _ = run("encode", *extra, stdin=text_file.read_bytes())
    assert status == 0
    assert out.split("\n")[:-1] == [ids_line(tok.encode(line)) for line in LINES]


def test_decode_arguments_and_lines(run, tok):
    ids = tok.encode("Hello world")
    assert run("decode", *ids)[1] == "Hello world\n"
    stdin = (f"{ids_line(ids)}\n{json.dumps(tok.encode('a b'))}\n"
             f"{','.join(map(str, tok.encode('x')))}\n\n").encode()
    assert run("decode", stdin=stdin)[1] == "Hello world\na b\nx\n\n"
    assert run("decode", "--json", stdin=ids_line(tok.encode("a\tb")).encode())[1] == '"a\\tb"\n'


@pytest.mark.parametrize("args, stdin, out, note", [  # 14 is the byte piece of a line break
    (["--json", "14", "8000", "4294967295"], b"", '"\\n"\n', "2 ids past the vocabulary (size 8000) were"),
    (["--json"], b"14 8000\n\n14\n", '"\\n"\n""\n"\\n"\n', "1 id past the vocabulary (size 8000) was"),
    (["14"], b"", "\n\n", None),
])
def test_decode_prints_json_for_every_source_and_counts_dropped_ids(run, args, stdin, out, note):
    status, got, err = run("decode", *args, stdin=stdin)
    assert (status, got) == (0, out)
    assert err == (f"zeq: note: {note} dropped\n" if note else "")


def test_encode_then_decode_gives_the_lines_back(run, text_file, tmp_path):
    _, ids, _ = run("encode", "--file", text_file)
    _, text, _ = run("decode", stdin=ids.encode())
    assert text.split("\n")[:-1] == LINES


def test_vocab_option_selects_the_vocabulary(run, make_vocab):
    path = make_vocab([("<unk>", 0, 0.0), ("\u2581", 1, -1.0), ("\u2581hi", 2, -1.0)])
    assert run("encode", "--vocab", path, "hi hi") == (0, "2 2\n", "")


def test_inspect_the_sample_and_a_model(run):
    status, out, _ = run("inspect")
    assert status == 0 and "sample-en8k.vocab.bin" in out
    assert "256 of 256" in out and "record i carries id i" in out
    status, out, _ = run("inspect", "--json", SAMPLE)
    info = json.loads(out)
    assert info["records"] == zeq.Tokenizer.from_file(SAMPLE).vocab_size
    assert info["specials"]["eos"] == {"id": 2, "text": "</s>", "has_record": True}
    model = shared_path("vocab", "en8k.model")
    status, out, _ = run("inspect", model)
    assert status == 0 and "sentencepiece model, as it would convert" in out


def test_convert_writes_a_loadable_vocabulary(run, tmp_path):
    src = tmp_path / "m.model"
    src.write_bytes(sp_model(normalizer={1: None, 4: vi(4, 1)}))
    out = tmp_path / "m.vocab.bin"
    status, _, err = run("convert", "--raw", src, out)
    assert status == 0
    assert "zeq: note: the model removes leading, trailing and repeated spaces" in err
    assert err.endswith(f"wrote {out}: {len(BASE_PIECES)} pieces from a sentencepiece model; "
                        f"unk=0 bos=1 eos=2 pad={MISSING_ID}\n")
    assert zeq.Tokenizer.from_file(str(out)).vocab_size == len(BASE_PIECES)
    status, _, err = run("convert", "--raw", src, out)
    assert status == 1 and "exists (use --force" in err
    assert run("convert", "--force", "-q", "--raw", src, out) == (0, "", err.split("\n")[0] + "\n")
    status, _, err = run("convert", "--strict", "--raw", "--force", src, out)
    assert status == 1 and "refused in strict mode" in err
    # With the section, the folding is applied: no note, and strict mode accepts it.
    status, _, err = run("convert", "--strict", "--force", src, out)
    assert (status, err.count("note")) == (0, 0) and err.endswith("; with an options section\n")
    assert read_vocab(out).options.remove_extra_whitespaces
    assert zeq.Tokenizer.from_file(str(out)).vocab_size == len(BASE_PIECES)


@pytest.mark.parametrize("args, stdin, message", [
    (["encode", "--vocab", "/no/such.vocab.bin", "x"], b"", "/no/such.vocab.bin: No such file"),
    (["encode", "--vocab", "{model}", "x"], b"", "convert it first with 'zeq convert"),
    (["decode", "--vocab", "{empty}", "1"], b"", "empty.vocab.bin: the file is empty"),
    (["encode", "--vocab", "{dir}", "x"], b"", "dir: Is a directory"),
    (["encode", "bad \udcff arg"], b"", "the text argument: not UTF-8 at byte 4"),
    (["decode", "1", "--file", "{text}"], b"", "either ids or --file"),
    (["encode", "x", "--file", "{text}"], b"", "either a text or --file"),
    (["encode", "--file", "/no/such.txt"], b"", "/no/such.txt: No such file"),
    (["encode"], b"ok\n\xff\n", "<stdin>, line 2: not UTF-8 at byte 0"),
    (["decode", "1", "x"], b"", "'x' is not an id"),
    (["decode"], b"1 4294967296\n", "line 1: 4294967296 is not an id"),
    (["inspect", "{broken}"], b"", "broken.vocab.bin: file ends inside the text of record 0 of 1"),
    (["inspect", "/no/such"], b"", "/no/such: No such file"),
    (["convert", "{bpe}", "{out}"], b"", "bpe.model: model type BPE is not unigram"),
    (["convert", "{text}", "{out}", "--from", "sentencepiece"], b"", "not a SentencePiece model"),
    (["tokenize-corpus", "/no/such.txt", "-o", "{out}"], b"", "/no/such.txt: No such file"),
    (["tokenize-corpus", "{dir}", "-o", "{out}"], b"", "dir: Is a directory"),
    (["tokenize-corpus", "{fifo}", "-o", "{out}"], b"", "not a regular file: {fifo} (a pipe); give -"),
    (["tokenize-corpus", "-", "{text}", "-", "-o", "{out}"], b"", "standard input (-) can be read only once"),
    (["tokenize-corpus", "-", "-o", "{out}", "-j", "1"], b"ok\n\xff\n", "<stdin>: not UTF-8 at byte 3"),
    (["tokenize-corpus", "{text}", "-o", "{out}", "--vocab", "{broken}"], b"",
     "broken.vocab.bin: file ends inside the text of record 0 of 1"),
    (["tokenize-corpus", "{text}", "-o", "{out}", "--vocab", "{model}"], b"", "convert it first"),
    (["tokenize-corpus", "{text}", "-o", "/no/such/dir/x", "-j", "1"], b"",
     "No such file or directory"),
])
def test_failures_are_one_line_without_traceback(run, tmp_path, text_file, args, stdin, message):
    broken = tmp_path / "broken.vocab.bin"
    broken.write_bytes(encode_vocab([("a", 0, 0.0)])[:-1])
    bpe = tmp_path / "bpe.model"
    bpe.write_bytes(sp_model(trainer={3: vi(3, 2)}))
    model = tmp_path / "en.model"
    model.write_bytes(sp_model())
    (tmp_path / "empty.vocab.bin").write_bytes(b"")
    (tmp_path / "dir").mkdir()
    os.mkfifo(tmp_path / "fifo")
    fill = dict(text=text_file, broken=broken, bpe=bpe, model=model, out=tmp_path / "out",
                empty=tmp_path / "empty.vocab.bin", dir=tmp_path / "dir", fifo=tmp_path / "fifo")
    status, out, err = run(*[a.format(**fill) for a in args], stdin=stdin)
    message = message.format(**fill)
    assert status == 1
    assert err.startswith("zeq: error: ") and err.count("\n") == 1, err
    assert message in err
    assert not list(tmp_path.glob("out*"))


@pytest.mark.parametrize("name, content, looks_like", [
    ("m.model", sp_model(), "a SentencePiece model"),
    ("tokenizer.json", json.dumps({"version": "1.0", "added_tokens": [], "model": {}}).encode(),
     "a Hugging Face tokenizer.json"),
    ("pieces.tsv", "<unk>\t0\n▁a\t-1.5\r\n".encode(), "a piece<TAB>score TSV"),
    ("README.md", b"# zeq\n\nA\ttab in text\n", None),
    ("notes.txt", b"word\tmeaning\n", None),
    ("blank.model", b"\n\n\n# not a model\n", None),
    ("config.json", b'{"model_type": "t5"}', None),
])
def test_convert_hint_only_for_content_that_looks_like_a_model(run, tmp_path, name, content,
                                                               looks_like):
    path = tmp_path / name
    path.write_bytes(content)
    status, _, err = run("encode", "--vocab", path, "x")
    assert status == 1 and err.count("\n") == 1
    hint = f"(it looks like {looks_like}: convert it first with 'zeq convert {path} OUT.vocab.bin')"
    if looks_like:
        assert err.endswith(f" {hint}\n"), err
    else:
        assert "it looks like" not in err and ": bad magic: expected [90, 69, 81, 90], got [" in err, err


def test_tokenize_corpus_reads_stdin_and_replaces_output_only_with_force(run, tok, tmp_path):
    out = tmp_path / "o"
    assert run("tokenize-corpus", "-", "-o", out, "-q", stdin=b"Hello world\nzeq\n") == (0, "", "")
    assert list(iter_documents(out)) == [tok.encode("Hello world"), tok.encode("zeq")]
    for existing in ("ids", "idx"):  # either file is enough to refuse
        status, _, err = run("tokenize-corpus", "-", "-o", out, stdin=b"other\n")
        assert (status, err) == (1, f"zeq: error: {out}.{existing} exists (use --force to replace it)\n")
        (tmp_path / f"o.{existing}").unlink()
    run("tokenize-corpus", "-", "-o", out, stdin=b"first\n")
    assert run("tokenize-corpus", "-", "-o", out, "--force", "-q", "--per-file",
               stdin=b"a b\nc\n")[0] == 0
    assert list(iter_documents(out)) == [tok.encode("a b\nc\n")]


def test_one_version_everywhere(run):
    with pytest.raises(SystemExit):
        run("--version")
    assert zeq.__version__ == zeqtools.__version__ == "0.1.2"
    try:
        dist = importlib.metadata.distribution("zeq")
    except importlib.metadata.PackageNotFoundError:  # run from a copy (tests under Python 3.9)
        return
    assert dist.version == zeq.__version__
    assert any(pathlib.PurePath(f).name == "LICENSE" for f in dist.files)


def test_a_wrong_command_line_exits_2(run):
    with pytest.raises(SystemExit) as e:
        run("frobnicate")
    assert e.value.code == 2


def _console_script():
    script = pathlib.Path(sys.executable).parent / "zeq"
    found = str(script) if script.exists() else shutil.which("zeq")
    if not found:
        pytest.skip("the zeq console script is not installed")
    return found


def test_console_script_quick_start(tok, tmp_path):
    """`zeq encode "Hello world"` works with no vocabulary file given."""
    zeq_cmd = _console_script()
    env = dict(os.environ, LC_ALL="C")
    r = subprocess.run([zeq_cmd, "encode", "--pieces", "Hello world"], capture_output=True,
                       timeout=60, env=env)
    assert r.returncode == 0 and r.stderr == b""
    assert r.stdout.decode("utf-8").split() == tok.encode_pieces("Hello world")
    r = subprocess.run([zeq_cmd, "encode", "--vocab", str(tmp_path / "missing")],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 1 and "Traceback" not in r.stderr


def test_console_script_stops_quietly_on_a_closed_pipe(tmp_path):
    zeq_cmd = _console_script()
    big = tmp_path / "big.txt"
    big.write_text("Hello world\n" * 200_000)
    p = subprocess.Popen(f"'{zeq_cmd}' encode --file '{big}' | head -n 1", shell=True,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = p.communicate(timeout=120)
    assert out.count(b"\n") == 1 and b"Traceback" not in err
