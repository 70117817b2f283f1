"""The examples of README.md and docs/*.md, run as a reader would run them,
and the references between the documents and the code.

In the documents listed in RUN, the blocks of one document run in order in
one fresh working directory (files one block writes, the next may read):

- ```python: one statement at a time in one namespace. An expression
  statement whose last line ends in ``# -> VALUE`` must give VALUE: a
  Python literal compared with ``==``, or else the text of ``repr()``.
- ```console: every ``$ zeq ...`` line is run in a shell (pipes allowed),
  with ``zeq`` standing for ``python -m zeqtools`` of this interpreter; what
  it prints (standard output, then standard error) must be the lines shown
  under it. Only ``zeq`` commands may appear there.

Files a reader brings are taken from the shared data: each name in BROUGHT
is replaced by its path (conftest.shared_path) before a command runs, and
the document is skipped when the shared data is missing.

The ```python blocks of every other document need what the reader has
(Ray, a corpus...): they are compiled, not run.
"""

import ast
import io
import os
import pathlib
import re
import shlex
import subprocess
import sys
import tokenize

import pytest

from conftest import shared_path

ROOT = pathlib.Path(__file__).resolve().parents[1]
DOCS = sorted((ROOT / "docs").glob("*.md"))
RUN = ["README.md", "docs/file-format.md", "docs/how-it-works.md"]
BROUGHT = {"en8k_default.model": ("vocab", "faithful", "en8k_default.model")}
QUICK_START = [
    'python3 -m pip install . && zeq encode --pieces "Hello world, this is zeq."',
    "bash scripts/run-tests.sh",
]
FENCE = re.compile(r"^```(\w*)\n(.*?)^```$", re.S | re.M)
# Commands run in a temporary folder: the folders that PYTHONPATH names
# (the test command's other builds) must not depend on the current one.
ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p))


def blocks(path):
    """(language, first line number, text) of every fenced block."""
    text = path.read_text(encoding="utf-8")
    for m in FENCE.finditer(text):
        yield m.group(1), text.count("\n", 0, m.start(2)) + 1, m.group(2)


def comments(source):
    """Line number -> the comment on that line."""
    found = {}
    for tok in tokenize.generate_tokens(io.StringIO(source).readline):
        if tok.type == tokenize.COMMENT:
            found[tok.start[0]] = tok.string
    return found


def run_python(source, where, namespace):
    notes = comments(source)
    for stmt in ast.parse(source).body:
        note = notes.get(stmt.end_lineno, "")
        line = f"{where[0]}:{where[1] + stmt.end_lineno - 1}"
        if not note.startswith("# ->"):
            exec(compile(ast.Module([stmt], []), line, "exec"), namespace)
            continue
        assert isinstance(stmt, ast.Expr), f"{line}: '# ->' after a statement that has no value"
        value = eval(compile(ast.Expression(stmt.value), line, "eval"), namespace)
        shown = note[len("# ->"):].strip()
        try:
            expected = ast.literal_eval(shown)
        except (ValueError, SyntaxError):
            assert repr(value) == shown, line
        else:
            assert value == expected, f"{line}: {value!r}"


def zeq_command(command):
    """The shell command that runs `command` with this interpreter's zeq."""
    words = shlex.split(command)
    for name, parts in BROUGHT.items():
        if name in words:
            command = command.replace(name, shlex.quote(str(shared_path(*parts))))
    zeq = f"{shlex.quote(sys.executable)} -m zeqtools"
    segments = [s.strip() for s in command.split("|")]
    assert all(s.startswith("zeq ") for s in segments), command
    return "set -o pipefail; " + " | ".join(zeq + s[len("zeq"):] for s in segments)


def run_console(text, where, cwd):
    lines = text.splitlines()
    starts = [i for i, line in enumerate(lines) if line.startswith("$ ")]
    for k, i in enumerate(starts):
        shown = lines[i + 1:starts[k + 1] if k + 1 < len(starts) else len(lines)]
        done = subprocess.run(["bash", "-c", zeq_command(lines[i][2:])], cwd=cwd, env=ENV,
                              capture_output=True, text=True, timeout=120)
        line = f"{where[0]}:{where[1] + i}"
        assert done.returncode == 0, f"{line}: {done.stderr}"
        assert (done.stdout + done.stderr).splitlines() == shown, line


@pytest.mark.parametrize("name", RUN)
def test_examples_run_as_shown(name, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    namespace = {"__name__": "__readme__"}
    for language, first, text in blocks(ROOT / name):
        if language == "python":
            run_python(text, (name, first), namespace)
        elif language == "console":
            run_console(text, (name, first), tmp_path)


@pytest.mark.parametrize("path", [p for p in DOCS if f"docs/{p.name}" not in RUN], ids=lambda p: p.name)
def test_other_python_blocks_compile(path):
    for language, first, text in blocks(path):
        if language == "python":
            compile(text, f"{path.name}:{first}", "exec")


def test_quick_start_commands_are_unchanged():
    shown = [text.strip() for language, _, text in blocks(ROOT / "README.md") if language == "sh"]
    assert shown[:2] == QUICK_START


def anchor(heading):
    """GitHub's anchor of a heading."""
    return re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")


@pytest.mark.parametrize("path", [ROOT / "README.md", *DOCS], ids=lambda p: p.name)
def test_links_reach_files_and_headings(path):
    text = path.read_text(encoding="utf-8")
    for target in re.findall(r"\]\(([^)\s]+)\)", text):
        if "://" in target:
            continue
        file, _, fragment = target.partition("#")
        dest = (path.parent / file).resolve() if file else path
        assert dest.exists(), f"{path.name}: {target}"
        if fragment:
            headings = re.findall(r"^#+ (.+)$", dest.read_text(encoding="utf-8"), re.M)
            assert fragment in {anchor(h) for h in headings}, f"{path.name}: {target}"


def test_code_names_sections_of_the_experiments_log():
    headings = re.findall(r"^## (.+)$", (ROOT / "docs" / "experiments.md").read_text(encoding="utf-8"), re.M)
    named = set()
    for folder in ("core", "python", "tools", "bench"):
        for source in (ROOT / folder).rglob("*"):
            if source.suffix in {".h", ".cc", ".py"}:
                named |= set(re.findall(r'experiments\.md, "([^"]+)"', source.read_text(encoding="utf-8")))
    assert named
    for name in named:
        assert any(h.endswith(": " + name) for h in headings), name


def test_bench_table_names_its_command_date_and_commit():
    sys.path.insert(0, str(ROOT / "bench"))
    import readme_table

    rows = {
        "enc": "| encode, one call per line | en.txt | MB/s ↑ | 1 |",
        "dec_mb": "| decode, one call per line | en.txt | MB/s ↑ | 2 |",
        "dec_ids": "| decode, one call per line | en.txt | M ids/s ↑ | 3 |",
        "ids": "| ids per line (own encoding) | en.txt | ids | 4 |",
        "load": "| load | – | ms ↓ | 5 |",
    }
    report = ["| date | 2026-12-10 00:27 |", "| bench.py | commit 0123abcdef |",
              "| load average | 2.3 at the start (1 minute) |", "",
              "| workload | corpus | unit | zeq |", "|---|---|---|---:|", *rows.values(), "",
              "_Run took 3 s; load average 2.2 at the end._"]
    argv = ["bench/bench.py", "--quick", "--vocab", "/data/vocab/v.vocab.bin", "--json", "/tmp/r.json"]
    lines = readme_table.render({"argv": argv, "report": report}).splitlines()
    assert lines[0] == ("`python bench/bench.py --quick --vocab v.vocab.bin`, 2026-12-10 00:27, "
                        "commit 0123abcdef, load average 2.3 at the start and 2.2 at the end:")
    assert lines[4:] == [rows["enc"], rows["dec_ids"], rows["load"]]
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    slot = re.compile(r"^`python bench/bench\.py [^`]+`, \d{4}-\d\d-\d\d \d\d:\d\d, commit [0-9a-f]{7,}, "
                      r"load average [\d.]+ at the start and [\d.]+ at the end:\n\n\| workload \|", re.M)
    assert slot.search(readme)
