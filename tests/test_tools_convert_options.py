"""Conversions that write the options section: SentencePiece models trained
at test time (their settings read back independently), a tokenizer.json
shaped like transformers', and hand-written sources for the edge cases."""

import base64
import json

import pytest

import zeq
import sp_models
from test_tools_convert import (BASE_PIECES, BYTE, CONTROL, UNUSED, USER_DEFINED, hf_json, ld,
                                sp_model, st, vi)
from zeqtools.cli import main
from zeqtools.convert import from_hf_tokenizer_json, from_sentencepiece
from zeqtools.errors import ConversionError
from zeqtools.options import PieceKind, VocabOptions
from zeqtools.vocabfile import byte_piece_text, inspect_vocab, parse_vocab

M = "\u2581"
CHARSMAP = (1024).to_bytes(4, "little") + bytes(1024) + b"x\0"


def expected_kinds(model):
    """The piece kinds as SentencePiece itself reports them."""
    import sentencepiece as spm

    sp = spm.SentencePieceProcessor(model_proto=model)
    special = {sp.unk_id(), sp.bos_id(), sp.eos_id(), sp.pad_id()}
    kinds = {}
    for i in range(sp.get_piece_size()):
        if sp.is_control(i) and i not in special:
            kinds[i] = PieceKind.CONTROL
        elif sp.is_unused(i):
            kinds[i] = PieceKind.UNUSED
        elif sp.is_byte(i):
            kinds[i] = PieceKind.BYTE
        elif sp.id_to_piece(i) in sp_models.USER_DEFINED:
            kinds[i] = PieceKind.USER_DEFINED
    return kinds


@pytest.mark.parametrize("kind", sorted(sp_models.KINDS))
def test_a_trained_model_converts_with_its_own_settings(sp_model, kind, tmp_path):
    model = sp_model(kind)
    conv = from_sentencepiece(model)
    assert conv.notes == []
    settings = sp_models.normaliser_settings(model)
    byte_fallback = sp_models.KINDS[kind].get("byte_fallback", False)
    assert conv.vocab.options == VocabOptions(
        add_dummy_prefix=settings["add_dummy_prefix"],
        remove_extra_whitespaces=settings["remove_extra_whitespaces"],
        escape_whitespaces=settings["escape_whitespaces"], charsmap=settings["charsmap"],
        byte_fallback=byte_fallback, merge_unknown_runs=not byte_fallback,
        kinds=expected_kinds(model), unk_surface=None)
    path = tmp_path / "m.vocab.bin"
    conv.write(path)
    vf = parse_vocab(path.read_bytes())
    assert vf.options == conv.vocab.options
    name = inspect_vocab(vf).options.charsmap_name
    assert name == (settings["name"] if settings["charsmap"] else None)
    assert zeq.Tokenizer.from_file(str(path)).vocab_size == len(vf.pieces)


@pytest.mark.parametrize("kind", ["symbols", "byte_fallback"])
@pytest.mark.parametrize("scheme", ["always", "first", "never"])
def test_a_transformers_shaped_tokenizer_json_converts_like_its_model(sp_model, kind, scheme):
    from tokenizers import Tokenizer

    model = sp_model(kind)
    text = sp_models.hf_tokenizer_json(model, prepend_scheme=scheme)
    conv = from_hf_tokenizer_json(text)
    want = from_sentencepiece(model).vocab.options
    want.add_dummy_prefix = scheme != "never"
    # tokenizers matches a byte piece's text like any piece's: no byte kind.
    want.kinds = {i: k for i, k in want.kinds.items() if k != PieceKind.BYTE}
    # tokenizers decodes an unknown piece that is no special token as its text.
    unk = conv.vocab.unk_id
    want.unk_surface = Tokenizer.from_str(text).decode([unk])
    assert want.unk_surface == "<unk>"
    assert conv.vocab.options == want
    notes = " | ".join(conv.notes)
    assert "one grapheme cluster at a time" in notes and "Strip drops trailing" in notes
    assert ("no marker in front of a text that begins with U+2581" in notes) == (scheme != "never")
    assert f"matches its {len(want.kinds) + 2} added tokens" in notes  # with <s> and </s>
    with pytest.raises(ConversionError, match="strict"):
        from_hf_tokenizer_json(text, strict=True)


def test_added_tokens_become_piece_kinds():
    added = [{"id": i, "content": HF_TEXTS[i], "special": special}
             for i, special in ((0, True), (2, True), (5, False), (6, True), (7, False))]
    added.append({"id": 99, "content": "<outside>", "special": True})
    conv = from_hf_tokenizer_json(hf_json(added_tokens=added))
    o = conv.vocab.options
    # The special ids (unk 0, eos 2) are left out; a special unknown piece decodes to nothing.
    assert o.kinds == {5: PieceKind.USER_DEFINED, 6: PieceKind.CONTROL, 7: PieceKind.USER_DEFINED}
    assert o.unk_surface == ""
    assert any("1 added tokens outside the Unigram vocabulary" in n for n in conv.notes)
    assert from_hf_tokenizer_json(hf_json(model={"unk_id": None})).vocab.options.unk_surface is None


HF_TEXTS = ["<unk>", "<s>", "</s>", "<pad>", M, M + "a", "b", "ab"]
CHARSMAP_B64 = base64.b64encode(CHARSMAP).decode()
PRECOMPILED = {"type": "Precompiled", "precompiled_charsmap": CHARSMAP_B64}
STRIP = {"type": "Strip", "strip_left": False, "strip_right": True}
FOLD = {"type": "Replace", "pattern": {"Regex": " {2,}"}, "content": M}
SEQ = {"type": "Sequence", "pretokenizers": [{"type": "WhitespaceSplit"},
                                             {"type": "Metaspace", "replacement": M}]}


def seq(*steps):
    return {"type": "Sequence", "normalizers": list(steps)}


@pytest.mark.parametrize("top, charsmap, folding, left_out", [
    ({}, b"", False, None),
    ({"normalizer": seq(PRECOMPILED, STRIP, FOLD)}, CHARSMAP, True, None),
    ({"normalizer": seq(seq(PRECOMPILED), seq(STRIP, FOLD))}, CHARSMAP, True, None),
    ({"normalizer": PRECOMPILED, "pre_tokenizer": SEQ}, CHARSMAP, True, None),
    ({"normalizer": seq(FOLD, STRIP)}, b"", False, f"Replace(' {{2,}}' -> '{M}'), Strip(left="),
    ({"normalizer": seq(STRIP, FOLD, PRECOMPILED)}, b"", True, "steps Precompiled cannot"),
    ({"normalizer": seq(PRECOMPILED, {"type": "Lowercase"}, {"type": "NFKC"})}, CHARSMAP, False,
     "steps Lowercase, NFKC cannot"),
    ({"normalizer": seq(dict(STRIP, strip_left=True), FOLD)}, b"", False, "Strip(left=True"),
])
def test_tokenizer_json_normalisers(top, charsmap, folding, left_out):
    conv = from_hf_tokenizer_json(hf_json(**top))
    o = conv.vocab.options
    assert (o.charsmap, o.remove_extra_whitespaces) == (charsmap, folding)
    unreproduced = [n for n in conv.notes if "cannot be written to the options section" in n]
    assert [left_out in n for n in unreproduced] == ([True] if left_out else [])
    assert any("WhitespaceSplit folds" in n for n in conv.notes) == ("pre_tokenizer" in top)


@pytest.mark.parametrize("precompiled, message", [
    ("not base64!", "not base64"),
    (base64.b64encode(CHARSMAP[:-1]).decode(), "do not end with a NUL byte"),
    (7, "not a string"),
])
def test_a_broken_precompiled_charsmap_is_refused(precompiled, message):
    with pytest.raises(ConversionError, match=message):
        from_hf_tokenizer_json(hf_json(normalizer={"type": "Precompiled",
                                                   "precompiled_charsmap": precompiled}))


def test_sentencepiece_settings_and_kinds_from_a_hand_written_model():
    pieces = BASE_PIECES + [("<pad>", 0.0, CONTROL), ("<m>", 0.0, CONTROL),
                            ("[X]", 0.0, USER_DEFINED), ("zz", 0.0, UNUSED),
                            (byte_piece_text(65), 0.0, BYTE)]
    model = sp_model(pieces, trainer={43: vi(43, 10), 44: st(44, "<?>")},
                     normalizer={2: ld(2, CHARSMAP), 4: vi(4, 1)})
    conv = from_sentencepiece(model)
    assert conv.notes == []  # byte pieces with byte fallback off are not a difference now
    o = conv.vocab.options
    assert o.kinds == {11: PieceKind.CONTROL, 12: PieceKind.USER_DEFINED, 13: PieceKind.UNUSED,
                       14: PieceKind.BYTE}
    assert (o.charsmap, o.unk_surface, o.remove_extra_whitespaces) == (CHARSMAP, "<?>", True)


@pytest.mark.parametrize("normalizer, outcome", [
    ({6: st(6, "41\t61\n")}, "rules (normalization_rule_tsv) but no character map"),
    ({2: ld(2, CHARSMAP[:-1])}, ConversionError("do not end with a NUL byte")),
    ({2: ld(2, b"\1\2\3")}, ConversionError("is too short to hold a trie")),
])
def test_sentencepiece_normalisers_that_cannot_be_written(normalizer, outcome):
    model = sp_model(normalizer=normalizer)
    if isinstance(outcome, ConversionError):
        with pytest.raises(ConversionError, match=str(outcome).replace("(", r"\(")):
            from_sentencepiece(model)
        return
    assert any(outcome in n for n in from_sentencepiece(model).notes)
    with pytest.raises(ConversionError, match="strict"):
        from_sentencepiece(model, strict=True)


def test_cli_inspect_shows_the_section_of_a_converted_model(sp_model, tmp_path, capsys):
    src = tmp_path / "m.model"
    src.write_bytes(sp_model("symbols"))
    out = tmp_path / "m.vocab.bin"
    assert main(["convert", "-q", str(src), str(out)]) == 0
    assert main(["inspect", str(out)]) == 0
    text = capsys.readouterr().out
    assert "normaliser    add_dummy_prefix, remove_extra_whitespaces, escape_whitespaces; " \
           "character map 240,007 bytes, sha256 1e2c7b43d3ee (nmt_nfkc)" in text
    assert "piece kinds   2 control ('<mask>', '<cls>'); 2 user-defined ('[X]', '<sep>')" in text
    assert main(["inspect", "--json", str(src)]) == 0
    info = json.loads(capsys.readouterr().out)
    assert info["options"]["kind_counts"] == {"control": 2, "user-defined": 2}
