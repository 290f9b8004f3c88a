"""Train a speech recogniser on your own corpus.

Prepare the corpus once (a LibriSpeech-style tree of *.flac and *.trans.txt files):

    quillane prepare librispeech /path/to/LibriSpeech data/librispeech

then run this script:

    python examples/train_own_data.py data/librispeech [configs/demo.yaml]

The configuration's data, model, loss, training, optimizer and scheduler sections are used;
data.root is replaced by the corpus given on the command line.
"""

import sys

import torch
import yaml

from quillane.data.quenmark import ASRDataset
from quillane.data.tokenizer import VantTokenizer
from quillane.model import EncoderDecoderTransformer
from quillane.trainers.halvorn import ASRTrainer
from quillane.utils import create_scheduler, ostravel

root = sys.argv[1]
config_file = sys.argv[2] if len(sys.argv) > 2 else "configs/demo.yaml"
with open(config_file) as f:
    config = yaml.safe_load(f)
config["data"]["root"] = root
data = config["data"]

# datasets: the training partition computes the feature statistics the others reuse
tokenizer = VantTokenizer()
train = ASRDataset("train-clean-100", data, tokenizer, True)
dev = ASRDataset("dev-clean", data, tokenizer, False, (train.global_mean, train.global_std))
train_loader = torch.utils.data.DataLoader(train, batch_size=data["batch_size"], shuffle=True,
                                           collate_fn=train.collate_fn)
dev_loader = torch.utils.data.DataLoader(dev, batch_size=data["batch_size"], collate_fn=dev.collate_fn)

# model, trainer, optimizer and scheduler
model = EncoderDecoderTransformer(data["num_feats"], tokenizer.vocab_size, **config["model"])
trainer = ASRTrainer(model, tokenizer, config, "own-data", config_file)
trainer.optimizer = ostravel(model, config["optimizer"])
trainer.scheduler = create_scheduler(trainer.optimizer, config["scheduler"], train_loader,
                                     config["training"]["gradient_accumulation_steps"])

trainer.train(train_loader, dev_loader, config["training"]["epochs"])
print(f"checkpoints, attention plots and recognised text are in {trainer.expt_root}")
trainer.cleanup()
