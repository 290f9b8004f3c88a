"""Layer modules and the two Transformer models built from them."""

from quillane.model.transformers import DecoderOnlyTransformer, EncoderDecoderTransformer

__all__ = ["DecoderOnlyTransformer", "EncoderDecoderTransformer"]
