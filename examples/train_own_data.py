"""Train a speech recogniser on your own corpus.

Prepare the corpus once (a LibriSpeech-style tree of *.flac and *.trans.txt files):

    quillane prepare librispeech /path/to/LibriSpeech data/librispeech

then run this script:

    python examples/train_own_data.py data/librispeech [configs/asr.yaml] [--epochs N] [--set KEY=VALUE ...]

The recipe is read and checked as `quillane train` reads it (defaults filled in, unknown keys
refused); its data, model, loss, training, optimizer and scheduler sections are used, with the
partitions data.partitions names. data.root becomes the corpus given on the command line (and
training.epochs --epochs, when given), and the configuration so changed is the one stored with
the experiment. `quillane train` runs a whole recipe (decoding, fusion language model,
evaluation); this script shows the library calls behind its training. The run takes as long as
the recipe says for a corpus of that size: configs/demo.yaml trains for about 7 minutes on a
two-core CPU with 800 training utterances.
"""

import argparse
import os

import torch
import yaml

from quillane import recipes
from quillane.data.quenmark import ASRDataset
from quillane.data.tokenizer import VantTokenizer
from quillane.model import EncoderDecoderTransformer
from quillane.trainers.halvorn import ASRTrainer
from quillane.utils import create_scheduler, ostravel


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("corpus", help="corpus root (<corpus>/<partition>/fbank, text)")
    parser.add_argument("config", nargs="?", default="configs/asr.yaml",
                        help="YAML recipe (default configs/asr.yaml)")
    parser.add_argument("--epochs", type=int, help="training epochs (default: the recipe's training.epochs)")
    parser.add_argument("--run-name", default="own-data", help="experiment folder under expts/ (default own-data)")
    parser.add_argument("--set", dest="overrides", action="append", default=[], metavar="KEY=VALUE",
                        help="change a setting of the recipe, e.g. data.partitions.train=train (repeatable)")
    args = parser.parse_args()
    if args.epochs is not None and args.epochs < 1:
        parser.error("--epochs must be positive")
    return args


def main():
    args = parse_args()
    config = recipes.load_config(args.config, args.overrides)
    config["data"]["root"] = args.corpus
    config["run_name"] = args.run_name
    if args.epochs is not None:
        config["training"]["epochs"] = args.epochs
    config = recipes.check_config(config, source=args.config)
    data, training, partitions = config["data"], config["training"], config["data"]["partitions"]

    # the configuration actually used, which the trainer copies into the experiment folder
    os.makedirs("expts", exist_ok=True)
    config_file = os.path.join("expts", f"{args.run_name}.yaml")
    with open(config_file, "w") as f:
        yaml.safe_dump(config, f, sort_keys=False)

    # datasets: the training partition computes the feature statistics the others reuse
    tokenizer = VantTokenizer()
    train = ASRDataset(partitions["train"], data, tokenizer, True)
    stats = (train.global_mean, train.global_std) if data["norm"] == "global_mvn" else None
    dev = ASRDataset(partitions["dev"], data, tokenizer, False, stats)
    train_loader = torch.utils.data.DataLoader(train, batch_size=data["batch_size"], shuffle=True,
                                               collate_fn=train.collate_fn)
    dev_loader = torch.utils.data.DataLoader(dev, batch_size=data["batch_size"], collate_fn=dev.collate_fn)

    # model, trainer, optimizer and scheduler
    model = EncoderDecoderTransformer(data["num_feats"], tokenizer.vocab_size, **config["model"])
    trainer = ASRTrainer(model, tokenizer, config, args.run_name, config_file)
    trainer.optimizer = ostravel(model, config["optimizer"])
    trainer.scheduler = create_scheduler(trainer.optimizer, config["scheduler"], train_loader,
                                         training["gradient_accumulation_steps"])

    trainer.train(train_loader, dev_loader, training["epochs"])
    print(f"checkpoints, attention plots and recognised text are in {trainer.expt_root}")
    trainer.cleanup()


if __name__ == "__main__":
    main()
