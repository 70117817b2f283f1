"""Type information for the ``zeq`` extension module."""

from typing import Final, Sequence, SupportsIndex, final

__version__: Final[str]
__all__ = ["Tokenizer", "__version__"]

@final
class Tokenizer:
    """A zeq tokenizer loaded from a `.vocab.bin` file.

    Instances are made only by :meth:`from_file`; calling the class raises
    ``TypeError``. Every id is an ``int`` from 0 to 4294967295.
    """

    @staticmethod
    def from_file(path: str, /) -> Tokenizer:
        """Load a tokenizer from a binary vocab file (raises ``OSError``)."""
    def encode(self, text: str, /) -> list[int]:
        """Encode text into a list of token IDs."""
    def encode_pieces(self, text: str, /) -> list[str]:
        """Encode text into a list of piece strings (for inspection)."""
    def decode(self, ids: Sequence[SupportsIndex], /) -> str:
        """Decode a list of token IDs back to text."""
    def id_to_piece(self, id: SupportsIndex, /) -> str | None:
        """Return the text of a single token id, or None if out of range."""
    def piece_to_id(self, piece: str, /) -> int | None:
        """Return the id of a single piece string, or None if not in vocab."""
    @property
    def vocab_size(self) -> int:
        """Total vocabulary size (pieces including specials + byte fallbacks)."""
    @property
    def pad_id(self) -> int: ...
    @property
    def unk_id(self) -> int: ...
    @property
    def bos_id(self) -> int: ...
    @property
    def eos_id(self) -> int: ...
    def __len__(self) -> int: ...
