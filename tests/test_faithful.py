"""zeqtools.Encoder on converted models gives the source model's results:
SentencePiece's ids, pieces, normal form and decoded text for every kind of
model, tokenizers' ids on a tokenizer.json of the same model, and offsets
that point at the text each token came from."""

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import sp_models
from zeqtools import Encoder
from zeqtools.convert import from_hf_tokenizer_json, from_sentencepiece

M = "\u2581"
# Lines that exercise the normaliser and the unknown rules beyond the corpora.
EXTRA = ["", " ", "   ", " leading and trailing  ", "a\tb\r\nc", "x\u00a0y", "\u2026 and \u3000 wide",
         "\uff08\uff11\uff09\uff1f\uff01", "\u0e33 \u0915\u093c", "\ufb01ne \u2163", "caf\u00e9 cafe\u0301",
         "\u200b\ufeffzero\u200cwidth", M + "marker " + M, "\U0001F642\U0001F642 \u4e00\u4e01\u4e02",
         "<mask> [X] <sep>[X]", "\ud7a3\u3131 \u0001\u007f"]


@pytest.fixture(scope="module")
def lines():
    return sp_models.sample_lines(1500) + EXTRA


def encoder_of(model: bytes) -> Encoder:
    return Encoder.from_bytes(from_sentencepiece(model).vocab.to_bytes())


@pytest.mark.parametrize("kind", sorted(sp_models.KINDS))
def test_same_results_as_sentencepiece(sp_model, lines, kind):
    import sentencepiece as spm

    model = sp_model(kind)
    enc, sp = encoder_of(model), spm.SentencePieceProcessor(model_proto=model)
    assert enc.has_options
    ids = enc.encode_batch(lines, threads=2)
    expected = sp.encode(lines)
    wrong = [(t, a, b) for t, a, b in zip(lines, ids, expected) if a != b]
    assert not wrong, wrong[:3]
    assert [enc.encode(t) for t in lines[-len(EXTRA):]] == expected[-len(EXTRA):]
    assert [enc.encode_pieces(t) for t in lines] == sp.encode(lines, out_type=str)
    assert [enc.normalize(t) for t in lines] == [sp.normalize(t) for t in lines]
    assert enc.decode_batch(expected) == sp.decode(expected)
    assert enc.encode("x y", add_bos=True, add_eos=True) == sp.encode("x y", add_bos=True, add_eos=True)


def test_same_ids_as_tokenizers_on_a_tokenizer_json(sp_model, lines):
    from tokenizers import Tokenizer

    model = sp_model("default")
    js = sp_models.hf_tokenizer_json(model)
    enc = Encoder.from_bytes(from_hf_tokenizer_json(js).vocab.to_bytes())
    tk = Tokenizer.from_str(js)
    got = enc.encode_batch(lines)
    expected = [e.ids for e in tk.encode_batch(lines, add_special_tokens=False)]
    differ = [(t, a, b) for t, a, b in zip(lines, got, expected) if a != b]
    assert not differ, differ[:3]


# --- offsets -----------------------------------------------------------------

# Characters the default rules rewrite, combining marks that compose, and
# white space that the normaliser folds.
ALPHABET = st.sampled_from(list("ab ") + ["\t", "\u00a0", "\u3000", "\u2026", "\uff21", "\u00e9", "e\u0301",
                                          "\u0301", "\ufb01", "\u2163", "\u4e00", "\u0e33", "\U0001F642", M])


@pytest.fixture(scope="module")
def default_encoder(sp_model):
    return encoder_of(sp_model("default"))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(ALPHABET, max_size=12).map("".join))
def test_offsets_point_at_the_text_each_token_came_from(default_encoder, text):
    enc = default_encoder
    pieces, spans = enc.encode_pieces(text), enc.encode_offsets(text)
    assert len(spans) == len(pieces)
    # Spans stay in the text and never go back.
    assert all(0 <= s <= e <= len(text) for s, e in spans)
    assert [s for s, _ in spans] == sorted(s for s, _ in spans)
    assert [e for _, e in spans] == sorted(e for _, e in spans)
    # The caller's text within a token's span normalises to text that holds
    # the token (the whole of it, unless one character of the text became
    # several tokens; markers as spaces, since the text alone may get a
    # marker in front or lose one at its end).
    for piece, (s, e) in zip(pieces, spans):
        surface = piece.replace(M, " ").strip()
        source = enc.normalize(text[s:e]).replace(M, " ")
        assert surface in source, (text, (s, e), piece)
