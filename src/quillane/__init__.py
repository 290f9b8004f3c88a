"""Transformer speech recognisers and language models on PyTorch, with the core in C++."""

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from quillane.inference import Recognizer

__all__ = ["Recognizer"]


def __getattr__(name: str):
    # Recognizer needs torch; importing it on first use keeps `import quillane` (and the
    # commands that never touch a model, such as `quillane prepare`) free of it.
    if name == "Recognizer":
        from quillane.inference import Recognizer

        return Recognizer
    raise AttributeError(f"module 'quillane' has no attribute {name!r}")
