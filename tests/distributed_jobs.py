"""Training jobs that tests/test_distributed.py starts in two CPU processes (gloo), and the tiny
data, models and trainers they share with the single-process runs they are compared against.

    python -m torch.distributed.run --standalone --nproc_per_node=2 distributed_jobs.py JOB WORKDIR

A job runs in WORKDIR (the experiments land in WORKDIR/expts) and writes what each process
printed to out<rank>.txt and err<rank>.txt there; what a test reads besides the experiment
files goes to WORKDIR/<job>.json, written by process 0. Process start-up dominates the time of
these tiny runs, so the training job runs every trainer in one launch.

Every utterance and every training sentence has the same length, so that the mean loss of each
process's batch, averaged over the processes, is the mean loss of the two batches together.
"""
import contextlib
import json
import os
import sys
import time
from pathlib import Path

import torch
from torch.utils.data import DataLoader, Dataset

from quillane import cli, recipes
from quillane.data.text_dataset import TextDataset
from quillane.model import DecoderOnlyTransformer, EncoderDecoderTransformer
from quillane.trainers.halvorn import ASRTrainer, ProgressiveTrainer
from quillane.trainers.selkarn import LMTrainer

import character_utterances
from character_utterances import TOKENIZER

LAST = "checkpoint-last-epoch-model.pth"
ASR_RECIPE = Path(__file__).resolve().parents[1] / "configs" / "asr.yaml"

SPEECH_TRAIN = ["abcd", "bcda", "cdab", "dabc", "acbd", "bdac", "cadb", "dbca"]
SPEECH_VAL = ["abdc", "badc", "cdba", "dcab", "adcb"]  # five: the processes hold three and two
TEXT_TRAIN = [f"the {w} sat on a mat by the door" for w in
              ["cat", "dog", "cow", "pig", "hen", "fox", "owl", "elk", "ram", "yak", "ant", "bee", "bat", "eel",
               "emu", "gnu"]]
TEXT_VAL = ["a long sentence with some words in it", "the river runs to the sea at last",
            "birds sing in the early morning light", "we walk along the old stone road",
            "rain falls softly on the roof"]  # of unequal length: the loss is weighted per token


class Utterances(character_utterances.Utterances):
    def __init__(self, texts):
        super().__init__(texts)
        self.text_max_len = self.feat_max_len = 16


def speech_loader(texts, batch_size):
    data = Utterances(texts)
    return DataLoader(data, batch_size=batch_size, collate_fn=data.collate_fn)


def text_loader(texts, batch_size):
    data = TextDataset("train", texts, TOKENIZER)
    return DataLoader(data, batch_size=batch_size, collate_fn=data.collate_fn)


def with_sgd(trainer):
    # Plain SGD: an update in proportion to the gradient, so summation-order noise stays noise.
    trainer.optimizer = torch.optim.SGD(trainer.model.parameters(), lr=0.1)
    trainer.scheduler = torch.optim.lr_scheduler.LambdaLR(trainer.optimizer, lambda step: 1.0)
    return trainer


def speech_trainer(cls, run, batch_size, ctc_weight, timeout=60):
    config = {"data": {"batch_size": batch_size, "num_feats": 8, "NUM_WORKERS": 0},
              "loss": {"label_smoothing": 0.0, "ctc_weight": ctc_weight},
              "training": {"gradient_accumulation_steps": 1, "precision": "float32", "distributed_timeout": timeout}}
    torch.manual_seed(0)
    model = EncoderDecoderTransformer(8, TOKENIZER.vocab_size, d_model=16, num_heads=2, d_ff=32,
                                      num_encoder_layers=2, num_decoder_layers=2, dropout=0.0, max_len=64,
                                      time_reduction=2, reduction_method="conv")
    return with_sgd(cls(model, TOKENIZER, config, run, "config.yaml", device="cpu"))


def text_trainer(run, accumulation, seed=0):
    config = {"data": {"batch_size": 2},
              "training": {"gradient_accumulation_steps": accumulation, "precision": "float32",
                           "distributed_timeout": 60}}
    torch.manual_seed(seed)
    model = DecoderOnlyTransformer(TOKENIZER.vocab_size, d_model=16, num_heads=2, d_ff=32, num_layers=1,
                                   dropout=0.0, max_len=48)
    return with_sgd(LMTrainer(model, TOKENIZER, config, run, "config.yaml", device="cpu"))


def curriculum():
    """Two stages on every utterance: one layer per stack, then both with the first frozen."""
    stage = {"epochs": 1, "dropout": 0.0, "label_smoothing": 0.0, "data_subset": 1.0}
    return [dict(stage, name="one layer", encoder_active_layers=[0], decoder_active_layers=[0]),
            dict(stage, name="two layers", encoder_active_layers=[0, 1], decoder_active_layers=[0, 1],
                 encoder_freeze=[True, False], decoder_freeze=[True, False])]


# ---------------------------------------------------------------------------
# Jobs
# ---------------------------------------------------------------------------

def speech_job(rank):
    """One epoch of ASRTrainer; a curriculum of two stages and a full epoch of ProgressiveTrainer
    without CTC (its head then takes no part in the loss)."""
    trainer = speech_trainer(ASRTrainer, "asr", batch_size=2, ctc_weight=0.5)
    trainer.train(speech_loader(SPEECH_TRAIN, 2), speech_loader(SPEECH_VAL, 2), epochs=1)
    curriculum_trainer = speech_trainer(ProgressiveTrainer, "curriculum", batch_size=4, ctc_weight=0.0)
    curriculum_trainer.progressive_train(speech_loader(SPEECH_TRAIN, 4), speech_loader(SPEECH_VAL, 2), curriculum())
    # two steps with one wrapper: a wrapper that missed the unused CTC head fails on the second
    curriculum_trainer.train(speech_loader(SPEECH_TRAIN, 2), speech_loader(SPEECH_VAL, 2), epochs=1)
    return {"rank_loader_batches": len(trainer.rank_loader(speech_loader(SPEECH_TRAIN, 2)))}


class CountingDDP(torch.nn.parallel.DistributedDataParallel):
    """Counts the gradient buckets it all-reduces."""

    all_reduces = 0

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.register_comm_hook(None, self.counted_all_reduce)

    @staticmethod
    def counted_all_reduce(state, bucket):
        CountingDDP.all_reduces += 1
        tensor = bucket.buffer() / torch.distributed.get_world_size()
        return torch.distributed.all_reduce(tensor, async_op=True).get_future().then(lambda f: f.value()[0])


def text_job(rank):
    """One epoch of LMTrainer with two micro-batches per step; then a run resumed from a
    checkpoint that a single process wrote."""
    torch.nn.parallel.DistributedDataParallel = CountingDDP
    trainer = text_trainer("lm", accumulation=2)
    trainer.train(text_loader(TEXT_TRAIN, 2), text_loader(TEXT_VAL, 2), epochs=1)
    resumed = text_trainer("lm-resumed", accumulation=2, seed=1)
    resumed.load_checkpoint(LAST)
    resumed.train(text_loader(TEXT_TRAIN, 2), text_loader(TEXT_VAL, 2), epochs=1)
    return {"all_reduces": CountingDDP.all_reduces, "resumed_epoch": resumed.current_epoch,
            "resumed_history": [entry["epoch"] for entry in resumed.training_history]}


class FailingOnRankOne(Dataset):
    """Utterances that process 1 cannot read past the second."""

    def __init__(self):
        self.inner = Utterances(SPEECH_TRAIN)
        self.collate_fn, self.text_max_len = self.inner.collate_fn, self.inner.text_max_len

    def __len__(self):
        return len(self.inner)

    def __getitem__(self, i):
        if os.environ["RANK"] == "1" and i >= 4:
            raise OSError(f"utterance {i} is unreadable on this machine")
        return self.inner[i]

    def get_avg_chars_per_token(self):
        return 1.0


def failing_job(rank):
    trainer = speech_trainer(ASRTrainer, "failing", batch_size=1, ctc_weight=0.5, timeout=10)
    data = FailingOnRankOne()
    loader = DataLoader(data, batch_size=1, collate_fn=data.collate_fn)
    trainer.train(loader, speech_loader(SPEECH_VAL, 2), epochs=1)


def training_job(rank):
    return {**speech_job(rank), **text_job(rank)}


def recipe_settings():
    """The asr recipe at tiny sizes (a recogniser and the language model it fuses), with the
    synthetic corpus of its corpus section; float32, one utterance per recognition batch, and
    schedules of one epoch without warm-up, which end the epoch at their floor (1e-5)."""
    from test_cli import TINY

    return TINY["asr"] + ["data.root=corpus", "corpus={num_utterances: 14}", "data.eval_batch_size=1",
                          "training.precision=float32", "lm.training.precision=float32", "lm.data.batch_size=2",
                          "scheduler.warmup.enabled=false", "scheduler.cosine.T_max=1", "lm.scheduler.cosine.T_max=1"]


def recipe_job(rank):
    """`quillane train` of the asr recipe, as torchrun --no-python runs it in each process. The
    synthetic corpus is made slowly, and leaves a mark naming the process that made it."""
    from test_cli import write_corpus

    def make_corpus(root, num_utterances, seed):
        time.sleep(1)  # a process that did not wait for the corpus finds no partitions
        write_corpus(Path(root), ("train-clean-100", "dev-clean", "test-clean"), listed_test=True)
        Path(f"corpus-made-by-{rank}").touch()

    recipes.prepare_synth = make_corpus
    cli._ensure_espeak = lambda: True
    status = cli.main(["train", str(ASR_RECIPE), *[arg for s in recipe_settings() for arg in ("--set", s)]])
    if status != 0:
        raise RuntimeError(f"quillane train ended with exit status {status}")


JOBS = {"training": training_job, "failing": failing_job, "recipe": recipe_job}


def main(job, workdir):
    os.chdir(workdir)
    torch.set_num_threads(1)
    rank = int(os.environ["RANK"])
    with open(f"out{rank}.txt", "w") as out, open(f"err{rank}.txt", "w") as err:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            result = JOBS[job](rank)
    if rank == 0 and result is not None:
        with open(f"{job}.json", "w") as f:
            json.dump(result, f)


if __name__ == "__main__":
    main(*sys.argv[1:])
