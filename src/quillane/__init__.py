from quillane.inference import Recognizer

__all__ = ["Recognizer"]
