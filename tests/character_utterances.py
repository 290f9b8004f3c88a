"""A tiny speech corpus for trainer tests: each character of a text is a fixed feature pattern
held for four frames, so a recogniser can learn it in a few steps."""
import torch
from torch.utils.data import Dataset

from quillane.data.tokenizer import VantTokenizer

TOKENIZER = VantTokenizer()


class Utterances(Dataset):
    """Each character a fixed feature pattern held for four frames."""

    def __init__(self, texts):
        patterns = torch.randn(26, 8, generator=torch.Generator().manual_seed(0))
        self.items = []
        for text in texts:
            ids = TOKENIZER.encode(text)
            feats = patterns[[ord(c) - ord("a") for c in text]].repeat_interleave(4, 0)
            self.items.append((feats, torch.tensor([TOKENIZER.sos_id] + ids), torch.tensor(ids + [TOKENIZER.eos_id])))
        self.text_max_len = max(len(shifted) for _, shifted, _ in self.items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    @staticmethod
    def get_avg_chars_per_token():
        return 1.0

    @staticmethod
    def collate_fn(batch):
        feats, shifted, golden = zip(*batch)
        pad = torch.nn.utils.rnn.pad_sequence
        return (pad(feats, batch_first=True), pad(shifted, batch_first=True, padding_value=TOKENIZER.pad_id),
                pad(golden, batch_first=True, padding_value=TOKENIZER.pad_id),
                torch.tensor([len(f) for f in feats]), torch.tensor([len(s) for s in shifted]))
