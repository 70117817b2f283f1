"""The module and the Tokenizer class as Python sees them: attributes,
docstrings, construction, instance lifetime, re-import and sub-interpreters."""

import gc
import subprocess
import sys
import weakref

import pytest

import zeq
from conftest import PIECES
from zeq import Tokenizer


def test_module_and_class_attributes():
    assert (zeq.__all__, zeq.__version__, zeq.__doc__) == (["Tokenizer", "__version__"], "0.1.2", "The `zeq` Python module.")
    assert not hasattr(zeq, "PanicException")
    assert (Tokenizer.__module__, Tokenizer.__name__, Tokenizer.__qualname__) == ("zeq", "Tokenizer", "Tokenizer")
    assert Tokenizer.__doc__ == "A zeq tokenizer loaded from a `.vocab.bin` file."
    assert Tokenizer.__text_signature__ is None and Tokenizer.__bases__ == (object,)
    assert repr(Tokenizer) == "<class 'zeq.Tokenizer'>"


@pytest.mark.parametrize(
    "name, signature, doc",
    [
        ("from_file", "(path, /)", "Load a tokenizer from a binary vocab file."),
        ("encode", "($self, text, /)", "Encode text into a list of token IDs."),
        ("encode_pieces", "($self, text, /)", "Encode text into a list of piece strings (for inspection)."),
        ("decode", "($self, ids, /)", "Decode a list of token IDs back to text."),
        ("id_to_piece", "($self, id, /)", "Return the text of a single token id, or None if out of range."),
        ("piece_to_id", "($self, piece, /)", "Return the id of a single piece string, or None if not in vocab."),
    ],
)
def test_method_docs(name, signature, doc):
    method = getattr(Tokenizer, name)
    assert (method.__text_signature__, method.__doc__) == (signature, doc)
    assert isinstance(vars(Tokenizer)[name], staticmethod) == (name == "from_file")


@pytest.mark.parametrize(
    "name, doc",
    [("vocab_size", "Total vocabulary size (pieces including specials + byte fallbacks)."),
     ("pad_id", ""), ("unk_id", ""), ("bos_id", ""), ("eos_id", "")],
)
def test_properties_are_read_only(load, name, doc):
    tok = load(PIECES)
    assert getattr(Tokenizer, name).__doc__ == doc
    with pytest.raises(AttributeError):
        setattr(tok, name, 3)
    with pytest.raises(AttributeError):
        delattr(tok, name)


@pytest.mark.parametrize(
    "make",
    [lambda: Tokenizer(), lambda: Tokenizer("a.vocab.bin"), lambda: Tokenizer(path="x"),
     lambda: Tokenizer.__new__(Tokenizer), lambda: Tokenizer.__new__(Tokenizer, 1, x=2)],
)
def test_no_constructor(make):
    with pytest.raises(TypeError, match="^No constructor defined for Tokenizer$"):
        make()


def test_no_other_way_to_an_instance():
    with pytest.raises(TypeError):
        object.__new__(Tokenizer)  # would be an instance without a core
    with pytest.raises(TypeError):
        type("Sub", (Tokenizer,), {})


def test_instance_has_no_dict_weakref_or_gc(load):
    tok = load(PIECES)
    with pytest.raises(AttributeError):
        tok.foo = 1
    with pytest.raises(TypeError):
        weakref.ref(tok)
    assert not gc.is_tracked(tok)


def test_instances_give_back_their_type_reference(make_vocab):
    path = make_vocab(PIECES)
    Tokenizer.from_file(path)
    before = sys.getrefcount(Tokenizer)
    for _ in range(100):
        Tokenizer.from_file(path)
    assert sys.getrefcount(Tokenizer) == before


@pytest.mark.parametrize("pieces, size, truth", [(PIECES, len(PIECES), True), (PIECES[:1], 1, True), ([], 0, False)])
def test_repr_len_bool(load, pieces, size, truth):
    tok = load(pieces)
    assert repr(tok) == str(tok) == f"<zeq.Tokenizer vocab_size={size}>"
    assert len(tok) == size and bool(tok) is truth


def test_reimport_gives_the_same_module():
    saved = sys.modules.pop("zeq")
    try:
        import zeq as again

        assert again is saved and again.__all__ == ["Tokenizer", "__version__"]
    finally:
        sys.modules["zeq"] = saved


# A legacy (shared-GIL) sub-interpreter: newer isolated ones refuse every
# single-phase module before its init function runs.
SUB = ("import _xxsubinterpreters as si; i = si.create(**({} if sys.version_info < (3, 12) else {'isolated': False})); "
       "si.run_string(i, 'import zeq'); si.destroy(i)")


@pytest.mark.parametrize("first, second", [("import zeq", SUB), (SUB, "import zeq")])
def test_only_one_interpreter_gets_the_module(first, second):
    # Whichever interpreter imports first keeps the module; the other fails.
    pytest.importorskip("_xxsubinterpreters")
    code = f"import sys\n{first}\ntry:\n    {second}\nexcept Exception as e:\n    print('refused:', e)\n"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "refused:" in result.stdout and "sub-interpreters" in result.stdout
