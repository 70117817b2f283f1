"""The zeq-stubs package: stubtest against the built module, and that the
installed distribution ships the stubs (PEP 561)."""

import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

REPO_STUBS = pathlib.Path(__file__).resolve().parents[1] / "tools" / "zeq-stubs"


def _installed_stubs():
    for key in ("purelib", "platlib"):
        path = pathlib.Path(sysconfig.get_paths()[key]) / "zeq-stubs"
        if path.is_dir():
            return path
    return None


def _stubtest(env_extra=None):
    pytest.importorskip("mypy")
    env = dict(os.environ, **(env_extra or {}))
    return subprocess.run([sys.executable, "-m", "mypy.stubtest", "zeq"],
                          capture_output=True, text=True, timeout=300, env=env)


def test_stubs_match_the_built_module(tmp_path):
    """stubtest on the stubs of this checkout, against the module in use."""
    shutil.copy(REPO_STUBS / "__init__.pyi", tmp_path / "zeq.pyi")
    r = _stubtest({"MYPYPATH": str(tmp_path)})
    assert r.returncode == 0, r.stdout + r.stderr


def test_installed_distribution_ships_the_stubs():
    installed = _installed_stubs()
    if installed is None:
        pytest.skip("zeq is not installed from a wheel here")
    assert (installed / "py.typed").exists()
    assert (installed / "__init__.pyi").read_text() == (REPO_STUBS / "__init__.pyi").read_text()
    r = _stubtest()
    assert r.returncode == 0, r.stdout + r.stderr


def test_type_checker_uses_the_stubs(tmp_path):
    api = pytest.importorskip("mypy.api")
    shutil.copy(REPO_STUBS / "__init__.pyi", tmp_path / "zeq.pyi")
    (tmp_path / "use.py").write_text(
        "import zeq\n"
        "tok = zeq.Tokenizer.from_file('x.vocab.bin')\n"
        "ids: list[int] = tok.encode('hello')\n"
        "text: str = tok.decode(ids)\n"
        "maybe: int = tok.piece_to_id('a')\n"      # error: int | None
        "tok.encode(3)\n"                          # error: not a str
        "tok.vocab_size = 3\n"                     # error: read-only
    )
    out, _, status = api.run(["--no-incremental", "--cache-dir", os.devnull,
                              str(tmp_path / "use.py")])
    lines = [line for line in out.splitlines() if ": error:" in line]
    assert status == 1
    assert [line.split(":")[1] for line in lines] == ["5", "6", "7"], out


def test_encoder_stubs_match_the_built_module():
    """stubtest on zeqtools/_encoder.pyi, against the native module in use."""
    pytest.importorskip("mypy")
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "zeqtools._encoder"],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
