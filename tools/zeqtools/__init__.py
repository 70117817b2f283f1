"""Companion tools for the zeq tokenizer: the vocabulary file format in
Python, converters from other unigram models, and the ``zeq`` command."""

__all__ = ["vocabfile"]
