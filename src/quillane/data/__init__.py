"""Datasets, tokenizers and batch sampling for speech recognition and language modelling."""

from quillane.data.bucketing import BucketBatchSampler

__all__ = ["BucketBatchSampler"]
