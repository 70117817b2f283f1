"""Converters to .vocab.bin: SentencePiece .model (written here by hand with a
small protobuf writer), Hugging Face tokenizer.json, TSV; and the converted
shared models against SentencePiece and tokenizers themselves."""

import importlib.util
import json
import pathlib
import random
import struct
import sys

import pytest

import zeq
from conftest import shared_path
from zeqtools.convert import (
    MISSING_ID,
    convert_file,
    from_hf_tokenizer_json,
    from_sentencepiece,
    from_tsv,
)
from zeqtools.errors import ConversionError
from zeqtools.vocabfile import byte_piece_text, encode_vocab, read_vocab

TOOLS = pathlib.Path(__file__).resolve().parents[1] / "tools"
M = "\u2581"

# --- a protobuf writer, independent of the reader under test ----------------


def varint(n):
    n &= (1 << 64) - 1
    out = bytearray()
    while True:
        b, n = n & 0x7F, n >> 7
        out.append(b | 0x80 if n else b)
        if not n:
            return bytes(out)


def key(field, wire):
    return varint(field << 3 | wire)


def ld(field, payload):
    return key(field, 2) + varint(len(payload)) + payload


def vi(field, n):
    return key(field, 0) + varint(n)


def fl(field, x):
    return key(field, 5) + struct.pack("<f", x)


def st(field, s):
    return ld(field, s.encode())


NORMAL, UNKNOWN, CONTROL, USER_DEFINED, UNUSED, BYTE = 1, 2, 3, 4, 5, 6


def sp_piece(text, score, kind=NORMAL):
    return ld(1, st(1, text) + fl(2, score) + (vi(3, kind) if kind != NORMAL else b""))


BASE_PIECES = [("<unk>", 0.0, UNKNOWN), ("<s>", 0.0, CONTROL), ("</s>", 0.0, CONTROL),
               (M, -1.0), (M + "a", -2.0), ("b", -3.0), ("a", -4.0), ("ab", -2.5),
               (M + "ab", -7.0), ("c", -0.1)]
IDENTITY = {1: st(1, "identity"), 3: vi(3, 1), 4: vi(4, 0), 5: vi(5, 1)}
TRAINER = {3: vi(3, 1), 40: vi(40, 0), 41: vi(41, 1), 42: vi(42, 2), 43: vi(43, -1)}


def sp_model(pieces=BASE_PIECES, trainer=None, normalizer=None, extra=b""):
    """The bytes of a model file; ``trainer``/``normalizer`` patch fields of the settings
    above (None as a value drops the field); the value False drops the message."""
    out = b"".join(sp_piece(*p) for p in pieces)
    for number, base, patch in ((2, TRAINER, trainer), (3, IDENTITY, normalizer)):
        if patch is False:
            continue
        fields = {**base, **(patch or {})}
        out += ld(number, b"".join(v for v in fields.values() if v is not None))
    return out + extra


def load_conversion(tmp_path, conv):
    path = tmp_path / "c.vocab.bin"
    conv.write(path)
    return zeq.Tokenizer.from_file(str(path))


# --- SentencePiece ----------------------------------------------------------


def test_sentencepiece_model_converts_record_for_record(tmp_path):
    conv = from_sentencepiece(sp_model())
    v = conv.vocab
    assert conv.notes == []
    assert [(p.text, p.id) for p in v.pieces] == [(p[0], i) for i, p in enumerate(BASE_PIECES)]
    assert [p.score_bits for p in v.pieces] == [
        struct.unpack("<I", struct.pack("<f", p[1]))[0] for p in BASE_PIECES]
    assert (v.unk_id, v.bos_id, v.eos_id, v.pad_id) == (0, 1, 2, MISSING_ID)
    tok = load_conversion(tmp_path, conv)
    assert tok.encode_pieces("ab a") == [M, "ab", M + "a"]
    assert tok.pad_id == 0xFFFFFFFF and tok.id_to_piece(tok.pad_id) is None


def test_score_bits_survive_exactly():
    odd = struct.unpack("<f", struct.pack("<I", 0xBF7FFFFF))[0]  # not a short decimal
    conv = from_sentencepiece(sp_model(BASE_PIECES[:3] + [(M, odd)]))
    assert conv.vocab.pieces[3].score_bits == 0xBF7FFFFF


def test_defaults_apply_when_settings_are_absent():
    # No trainer settings: unk 0, bos 1, eos 2, pad -1, unigram. No normaliser
    # settings: SentencePiece's defaults, which fold white space: in the
    # section, or as a note without one.
    conv = from_sentencepiece(sp_model(trainer=False, normalizer=False))
    v = conv.vocab
    assert (v.unk_id, v.bos_id, v.eos_id, v.pad_id) == (0, 1, 2, MISSING_ID)
    o = v.options
    assert (o.add_dummy_prefix, o.remove_extra_whitespaces, o.escape_whitespaces) == (True,) * 3
    assert (o.charsmap, o.byte_fallback, o.merge_unknown_runs, o.unk_surface) == (b"", False, True, None)
    assert conv.notes == []
    conv = from_sentencepiece(sp_model(trainer=False, normalizer=False), raw=True)
    assert conv.vocab.options is None
    assert any("remove_extra_whitespaces" in n for n in conv.notes)


def test_unknown_fields_of_every_wire_type_are_skipped():
    junk = vi(99, 5) + key(98, 1) + b"\0" * 8 + key(97, 5) + b"\0" * 4 + ld(96, b"xyz")
    conv = from_sentencepiece(sp_model(extra=junk, trainer={44: st(44, " ? "), 7: st(7, "x")}))
    assert len(conv.vocab.pieces) == len(BASE_PIECES)


def test_special_ids_come_from_the_trainer_settings():
    pieces = [("<pad>", 0.0, CONTROL), ("</s>", 0.0, CONTROL), ("<unk>", 0.0, UNKNOWN),
              (M + "a", -1.0)]
    trainer = {40: vi(40, 2), 41: vi(41, -1), 42: vi(42, 1), 43: vi(43, 0)}
    v = from_sentencepiece(sp_model(pieces, trainer=trainer)).vocab
    assert (v.pad_id, v.eos_id, v.unk_id, v.bos_id) == (0, 1, 2, MISSING_ID)


@pytest.mark.parametrize("model, message", [
    (sp_model(trainer={3: vi(3, 2)}), "model type BPE is not unigram"),
    (sp_model(trainer={3: vi(3, 4)}), "model type CHAR is not unigram"),
    (sp_model(normalizer={5: vi(5, 0)}), "escape_whitespaces"),
    (sp_model(trainer={24: vi(24, 1)}), "treat_whitespace_as_suffix"),
    (sp_model(BASE_PIECES + [("a", -1.0)]), "piece 'a' appears twice (ids 6 and 10)"),
    (sp_model(trainer={40: vi(40, 3)}), "unk_id is 3 but piece 3"),
    (sp_model(trainer={42: vi(42, 5)}), "eos_id is 5 but piece 5 ('b') is of type NORMAL"),
    (sp_model(trainer={41: vi(41, 50)}), "bos_id is 50, outside the 10 pieces"),
    (sp_model(BASE_PIECES + [("<0x4g>", 0.0, BYTE)]), "not of the form <0xHH>"),
    (sp_model(BASE_PIECES + [("x", 0.0, 9)]), "unknown type 9"),
    (sp_model()[:-3], "not a SentencePiece model: field"),
    (b"\x0b\x00", "unsupported wire type 3"),
    (b"\x0a\x03\x0a\x01\xff", "piece 0 is not UTF-8"),
    (b"\x12\x00", "it holds no pieces"),
    (encode_vocab([("a", 0, 0.0)]), "already a zeq vocabulary"),
    (b"\x0a" + b"\xff" * 11, "varint longer than 10 bytes"),
])
@pytest.mark.parametrize("raw", [False, True])
def test_sentencepiece_refusals(model, message, raw):
    with pytest.raises(ConversionError) as e:
        from_sentencepiece(model, raw=raw)
    assert message in str(e.value)
    assert "\n" not in str(e.value)


def test_no_dummy_prefix_is_refused_only_without_a_section():
    model = sp_model(normalizer={3: vi(3, 0)})
    with pytest.raises(ConversionError, match="add_dummy_prefix"):
        from_sentencepiece(model, raw=True)
    conv = from_sentencepiece(model)
    assert conv.notes == [] and conv.vocab.options.add_dummy_prefix is False


@pytest.mark.parametrize("model, note", [
    (sp_model(normalizer={1: st(1, "nmt_nfkc"), 2: ld(2, b"\1\2\3")}), "normaliser (nmt_nfkc)"),
    (sp_model(normalizer={4: vi(4, 1)}), "remove_extra_whitespaces"),
    (sp_model(BASE_PIECES + [("<mask>", 0.0, CONTROL)]), "1 CONTROL pieces"),
    (sp_model(BASE_PIECES + [("[X]", 0.0, USER_DEFINED)]), "USER_DEFINED pieces"),
    (sp_model(BASE_PIECES + [("zz", 0.0, UNUSED)]), "UNUSED pieces"),
    (sp_model(BASE_PIECES + [("a" + M + "b", -9.0)]), "after their first character"),
    (sp_model(trainer={35: vi(35, 1)}), "only 0 of the 256 byte pieces"),
    (sp_model(BASE_PIECES + [(byte_piece_text(65), 0.0, BYTE)]), "byte fallback off"),
])
def test_sentencepiece_raw_notes_and_strict_mode(model, note):
    conv = from_sentencepiece(model, raw=True)
    assert any(note in n for n in conv.notes), conv.notes
    with pytest.raises(ConversionError, match="strict"):
        from_sentencepiece(model, strict=True, raw=True)


def test_hand_written_model_agrees_with_sentencepiece(tmp_path):
    spm = pytest.importorskip("sentencepiece")
    model = sp_model()
    sp = spm.SentencePieceProcessor(model_proto=model)
    tok = load_conversion(tmp_path, from_sentencepiece(model))
    for text in ["ab", "a b", "abab b", "ba", "a  b", "cab cb", "aab b "]:
        assert tok.encode(text) == sp.encode(text), text


# --- Hugging Face tokenizer.json ---------------------------------------------

HF_VOCAB = [["<unk>", 0.0], ["<s>", 0.0], ["</s>", 0.0], ["<pad>", 0.0], [M, -1.0],
            [M + "a", -2.0], ["b", -3.0], ["ab", -2.5]]
METASPACE = {"type": "Metaspace", "replacement": M, "prepend_scheme": "always", "split": True}


def hf_json(vocab=HF_VOCAB, model=None, **top):
    doc = {"version": "1.0", "added_tokens": [], "normalizer": None,
           "pre_tokenizer": METASPACE, "decoder": None,
           "model": dict({"type": "Unigram", "unk_id": 0, "vocab": vocab,
                          "byte_fallback": False}, **(model or {}))}
    doc.update(top)
    return json.dumps(doc)


def test_tokenizer_json_converts(tmp_path):
    conv = from_hf_tokenizer_json(hf_json(), raw=True)
    v = conv.vocab
    assert conv.notes == [] and v.options is None
    assert [(p.text, p.id, p.score) for p in v.pieces] == [
        (t, i, s) for i, (t, s) in enumerate(HF_VOCAB)]
    assert (v.unk_id, v.bos_id, v.eos_id, v.pad_id) == (0, 1, 2, 3)
    assert load_conversion(tmp_path, conv).encode_pieces("ab a") == [M, "ab", M + "a"]


def test_tokenizer_json_special_ids():
    vocab = [["<unk>", 0.0], ["[PAD]", 0.0], [M, -1.0]]
    v = from_hf_tokenizer_json(hf_json(vocab, padding={"pad_id": 1, "pad_token": "[PAD]"})).vocab
    assert (v.unk_id, v.pad_id, v.bos_id, v.eos_id) == (0, 1, MISSING_ID, MISSING_ID)
    v = from_hf_tokenizer_json(hf_json(vocab, model={"unk_id": None}), eos_piece="[PAD]").vocab
    assert (v.unk_id, v.eos_id) == (MISSING_ID, 1)


def test_scores_round_to_nearest_float32():
    conv = from_hf_tokenizer_json(hf_json(HF_VOCAB + [["x", -0.1]]))
    assert conv.vocab.pieces[-1].score_bits == struct.unpack("<I", struct.pack("<f", -0.1))[0]


@pytest.mark.parametrize("text, message", [
    ("{", "not a tokenizer.json"),
    ("[]", "no 'model' object"),
    (hf_json(model={"type": "BPE"}), "model type 'BPE' is not Unigram"),
    (hf_json(model={"vocab": []}), "no vocab list"),
    (hf_json(HF_VOCAB + [["b", -1.0]]), "piece 'b' appears twice (ids 6 and 8)"),
    (hf_json(HF_VOCAB + [["x"]]), "vocab entry 8 is not a [piece, score] pair"),
    (hf_json(HF_VOCAB + [["x", "1"]]), "score '1' is not a number"),
    (hf_json(HF_VOCAB + [["x", 1e39]]), "does not fit a 32-bit float"),
    (hf_json(model={"unk_id": 8}), "model.unk_id 8 is not an id"),
    (hf_json(padding={"pad_id": 99}), "padding.pad_id 99"),
    (hf_json(pre_tokenizer=None), "no pre_tokenizer"),
    (hf_json(pre_tokenizer={"type": "ByteLevel"}), "pre_tokenizer ByteLevel"),
    (hf_json(pre_tokenizer=dict(METASPACE, replacement="_")), "replaces spaces with '_'"),
    (hf_json(pre_tokenizer=dict(METASPACE, prepend_scheme="sometimes")), "unknown prepend_scheme"),
    (hf_json(pre_tokenizer=dict(METASPACE, split=False)), "split: false"),
    (hf_json(pre_tokenizer={"type": "Sequence", "pretokenizers": [
        {"type": "Digits"}, METASPACE]}), "pre_tokenizer Sequence"),
])
@pytest.mark.parametrize("raw", [False, True])
def test_tokenizer_json_refusals(text, message, raw):
    with pytest.raises(ConversionError) as e:
        from_hf_tokenizer_json(text, raw=raw)
    assert message in str(e.value)


@pytest.mark.parametrize("pre_tokenizer", [dict(METASPACE, prepend_scheme="never"),
                                           {"type": "Metaspace", "add_prefix_space": False}])
def test_no_prepended_marker_is_refused_only_without_a_section(pre_tokenizer):
    text = hf_json(pre_tokenizer=pre_tokenizer)
    with pytest.raises(ConversionError, match="never"):
        from_hf_tokenizer_json(text, raw=True)
    conv = from_hf_tokenizer_json(text)
    assert conv.notes == [] and conv.vocab.options.add_dummy_prefix is False


@pytest.mark.parametrize("text, note", [
    (hf_json(normalizer={"type": "Sequence", "normalizers": [
        {"type": "NFKC"}, {"type": "Lowercase"}]}), "normaliser (NFKC, Lowercase)"),
    (hf_json(pre_tokenizer={"type": "Sequence", "pretokenizers": [
        {"type": "WhitespaceSplit"}, METASPACE]}), "WhitespaceSplit"),
    (hf_json(added_tokens=[{"id": 8, "content": "<mask>", "special": True}]),
     "1 added tokens outside"),
    (hf_json(HF_VOCAB + [[byte_piece_text(0), 0.0]]), "byte fallback off"),
    (hf_json(model={"byte_fallback": True}), "only 0 of the 256 byte pieces"),
])
def test_tokenizer_json_raw_notes(text, note):
    conv = from_hf_tokenizer_json(text, raw=True)
    assert any(note in n for n in conv.notes), conv.notes


# --- TSV ----------------------------------------------------------------------


def test_tsv_converts_with_specials_by_text(tmp_path):
    text = "<unk>\t0\n<s>\t0\n</s>\t0\n\u2581\t-1.5\na\tb\t-2\r\nab\t-2.5e0\n"
    v = from_tsv(text).vocab
    assert [(p.text, p.score) for p in v.pieces] == [
        ("<unk>", 0.0), ("<s>", 0.0), ("</s>", 0.0), (M, -1.5), ("a\tb", -2.0), ("ab", -2.5)]
    assert (v.unk_id, v.bos_id, v.eos_id, v.pad_id) == (0, 1, 2, MISSING_ID)
    v = from_tsv(text.encode(), unk_piece="ab", pad_piece="<s>", bos_piece="nope").vocab
    assert (v.unk_id, v.pad_id, v.bos_id) == (5, 1, MISSING_ID)


@pytest.mark.parametrize("data, message", [
    (b"", "holds no pieces"),
    (b"a\t0\nb 1\n", "line 2: expected piece<TAB>score, found no tab"),
    (b"a\tx\n", "line 1: score 'x' is not a number"),
    (b"a\tnan\n", "line 1: score is NaN"),
    (b"a\t0\nb\t1e39\n", "line 2: score 1e+39 does not fit a 32-bit float"),
    (b"a\t0\n\xff\t0\n", "line 2: not UTF-8"),
    (b"a\t0\na\t1\n", "piece 'a' appears twice (ids 0 and 1)"),
])
def test_tsv_refusals(data, message):
    with pytest.raises(ConversionError) as e:
        from_tsv(data)
    assert message in str(e.value)


def test_tsv_without_unk_piece_is_noted():
    assert any("no piece '<unk>'" in n for n in from_tsv("a\t0\n").notes)


@pytest.mark.parametrize("name, content, fmt", [
    ("m.model", sp_model(), "sentencepiece"),
    ("m.bin", sp_model(), "sentencepiece"),
    ("tokenizer.json", hf_json().encode(), "hf"),
    ("m.vocab", b"<unk>\t0\na\t-1\n", "tsv"),
    ("m.dat", b"<unk>\t0\na\t-1\n", "tsv"),
])
def test_convert_file_detects_the_format(tmp_path, name, content, fmt):
    path = tmp_path / name
    path.write_bytes(content)
    assert convert_file(path).source_format == fmt


def test_convert_file_refuses_a_zeq_vocabulary(tmp_path):
    path = tmp_path / "x.model"
    path.write_bytes(encode_vocab([("a", 0, 0.0)]))
    with pytest.raises(ConversionError, match="already a zeq vocabulary"):
        convert_file(path)


# --- the shared SentencePiece models ----------------------------------------


@pytest.mark.parametrize("name", ["en8k", "multi32k"])
def test_shared_models_convert_to_the_shared_vocabularies(name):
    """Without a section, byte for byte the file converted before sections
    existed; with one, the same bytes and the section after them."""
    model = shared_path("vocab", f"{name}.model")
    shared = shared_path("vocab", f"{name}.vocab.bin").read_bytes()
    conv = convert_file(model, raw=True)
    assert conv.notes == []
    assert conv.vocab.to_bytes() == shared
    conv = convert_file(model)
    assert conv.notes == []
    data = conv.vocab.to_bytes()
    assert data[:len(shared)] == shared and data[len(shared):len(shared) + 4] == b"ZEQO"


def _agreement_helpers():
    """tools/check_agreement.py, which makes the figures of docs/converting.md."""
    if "check_agreement" not in sys.modules:
        found = importlib.util.spec_from_file_location("check_agreement",
                                                       TOOLS / "check_agreement.py")
        mod = importlib.util.module_from_spec(found)
        sys.modules["check_agreement"] = mod
        found.loader.exec_module(mod)
    return sys.modules["check_agreement"]


def _sample_lines(corpus, n=3000):
    lines = shared_path("corpus", corpus).read_text(encoding="utf-8").split("\n")[:-1]
    return random.Random(1).sample(lines, n)


@pytest.mark.parametrize("route", ["sp", "hf"])
@pytest.mark.parametrize("name, corpus", [("en8k", "en.txt"), ("multi32k", "multi.txt"),
                                          ("en8k", "multi.txt")])
def test_converted_models_agree_with_their_source(tmp_path, name, corpus, route):
    """>= 99.8% of the sampled lines not beginning with a space agree exactly,
    and every disagreement is a float tie (equal exact score)."""
    pytest.importorskip("sentencepiece")
    if route == "hf":
        pytest.importorskip("tokenizers")
    ca = _agreement_helpers()
    model = str(shared_path("vocab", f"{name}.model"))
    conv = convert_file(model)
    if route == "sp":
        vocab, reference, extra = conv.vocab, ca.sp_reference(model), True
    else:
        js = str(tmp_path / "tokenizer.json")
        ca.build_hf_json(conv.vocab, js)
        vocab = from_hf_tokenizer_json(pathlib.Path(js).read_bytes()).vocab
        reference, extra = ca.hf_reference(js), False
    path = tmp_path / "v.vocab.bin"
    vocab.write(path)
    tok = zeq.Tokenizer.from_file(str(path))
    tally = ca.compare(tok, ca.Scorer(vocab), _sample_lines(corpus), reference, extra)
    assert tally.lines > 2000
    assert tally.rate >= 99.8
    assert tally.others == []


def test_tie_classifier_tells_ties_from_real_differences():
    ca = _agreement_helpers()
    v = read_vocab(str(shared_path("vocab", "en8k.vocab.bin")))
    scorer = ca.Scorer(v)
    tok = zeq.Tokenizer.from_file(str(shared_path("vocab", "en8k.vocab.bin")))
    ids = tok.encode("sigmask: 0000000000000006")
    pieces = [v.pieces[i].text for i in ids]
    i4, i10 = pieces.index("0000000000"), pieces.index("0000")
    swapped = list(ids)
    swapped[i4], swapped[i10] = swapped[i10], swapped[i4]  # same pieces, other order
    assert ca.classify(scorer, swapped, ids) == "tie"
    chars = [tok.piece_to_id(c) for c in "0000"]  # a worse cut of the same text
    worse = ids[:i10] + chars + ids[i10 + 1:]
    assert ca.classify(scorer, worse, ids) == "other"
