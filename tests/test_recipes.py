"""A recipe's configuration is checked in one place before anything runs: unknown keys are refused
with the nearest valid name, missing and mistyped settings are named, omitted ones take their
defaults, and --set overrides change it with dotted keys and YAML values."""
import copy
import inspect
from pathlib import Path

import pytest
import yaml

from quillane import recipes
from quillane.model import DecoderOnlyTransformer, EncoderDecoderTransformer

CONFIGS = Path(__file__).resolve().parents[1] / "configs"

MINIMAL = {
    "run_name": "run",
    "data": {"root": "corpus"},
    "training": {"epochs": 1},
    "optimizer": {"name": "adamw", "lr": 0.001},
    "scheduler": {"name": "cosine"},
}

PROGRESSIVE_STAGE = {"name": "one", "epochs": 1, "encoder_active_layers": [0, 1], "decoder_active_layers": [0]}

LANGUAGE_MODEL = {
    "model": {"d_model": 16, "num_heads": 2, "num_layers": 1},
    "training": {"epochs": 1},
    "optimizer": {"name": "adam", "lr": 0.001},
    "scheduler": {"name": "cosine"},
}


def config_with(changes=(), removals=()):
    """MINIMAL with dotted keys set (changes: {key: value}) and removed."""
    config = copy.deepcopy(MINIMAL)
    for key, value in dict(changes).items():
        *sections, last = key.split(".")
        node = config
        for name in sections:
            node = node.setdefault(name, {})
        node[last] = value
    for key in removals:
        *sections, last = key.split(".")
        node = config
        for name in sections:
            node = node[name]
        del node[last]
    return config


def problem(config, overrides=()):
    with pytest.raises(recipes.ConfigError) as failure:
        recipes.check_config(config, overrides)
    return str(failure.value)


# ---------------------------------------------------------------------------
# unknown, missing and mistyped settings
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("key, value, hint", [
    ("loss.ctc_wieght", 0.3, "unknown key loss.ctc_wieght \u2014 did you mean loss.ctc_weight?"),
    ("data.num_workers", 2, "did you mean data.NUM_WORKERS?"),
    ("optimizer.adamw.beta", [0.9, 0.98], "did you mean optimizer.adamw.betas?"),
    ("decoding.greedy.beam_wdth", 2, "did you mean decoding.greedy.beam_width?"),
    # the right name in the wrong section
    ("training.label_smoothing", 0.1, "did you mean loss.label_smoothing?"),
    # the job's timeout is the recipe's own: the fused language model trains in the same job
    ("lm.training.distributed_timeout", 60, "did you mean training.distributed_timeout?"),
    # a setting of another kind of recipe
    ("model.num_layers", 2, "it is a setting of trainer: lm"),
    ("stages", [], "it is a setting of trainer: progressive"),
    # nothing near: what the section holds instead
    ("loss.frobnicate", 1, "(loss holds: label_smoothing, ctc_weight)"),
])
def test_an_unknown_key_is_refused_with_the_nearest_valid_name(key, value, hint):
    assert hint in problem(config_with({key: value}))


@pytest.mark.parametrize("trainer, removed, named", [
    ("asr", "training.epochs", "missing key training.epochs"),
    ("asr", "optimizer.lr", "missing key optimizer.lr"),
    ("asr", "data.root", "missing key data.root"),
    ("asr", "scheduler", "missing key scheduler"),
    ("progressive", "stages", "missing key stages"),
])
def test_a_missing_required_key_is_named(trainer, removed, named):
    config = config_with({"trainer": trainer, "stages": [PROGRESSIVE_STAGE]}, [removed])
    assert named in problem(config)


@pytest.mark.parametrize("key, value, message", [
    ("training.epochs", "3", "training.epochs must be a whole number of at least 0, got the string '3'; write 3 without quotes"),
    ("training.epochs", 2.5, "training.epochs must be a whole number of at least 0, got 2.5 (float)"),
    ("data.batch_size", 0, "data.batch_size must be a positive whole number, got 0"),
    ("training.distributed_timeout", 0, "training.distributed_timeout must be a positive number, got 0"),
    ("loss.ctc_weight", -0.1, "loss.ctc_weight must be a number of at least 0, got -0.1"),
    ("decoding.greedy.ctc_weight", 1, "decoding.greedy.ctc_weight must be a number from 0 up to (not including) 1, got 1"),
    ("model.dropout", 1.0, "model.dropout must be a number from 0 up to (not including) 1, got 1.0"),
    ("optimizer.lr", True, "optimizer.lr must be a positive number, got True (bool)"),
    ("optimizer.lr", "fast", "optimizer.lr must be a positive number, got the string 'fast'"),
    ("data.specaug", "yes", "data.specaug must be true or false, got the string 'yes'"),
    ("run_name", 2024, "run_name must be a string, got 2024 (int); write it in quotes"),
    ("optimizer.name", "adamww", "optimizer.name must be one of 'sgd', 'adam', 'adamw', got 'adamww' \u2014 did you mean 'adamw'?"),
    ("optimizer.adamw.betas", [0.9], "optimizer.adamw.betas must be a pair of numbers"),
    ("optimizer.param_groups", [{"name": "enc", "patterns": "enc"}], "optimizer.param_groups[0].patterns must be a list of strings"),
    ("data.partitions.train", None, "data.partitions.train must be a string, got None"),
    ("data", [1, 2], "data must be a mapping of settings, got [1, 2] (list)"),
])
def test_a_value_of_the_wrong_kind_or_range_is_named_with_what_it_got(key, value, message):
    assert message in problem(config_with({key: value}))


@pytest.mark.parametrize("changes, message", [
    ({"trainer": "progressive", "stages": [dict(PROGRESSIVE_STAGE, encoder_active_layers=[0, 4])]},
     "stages[0].encoder_active_layers holds 4, but the model has 4 encoder layers (model.num_encoder_layers)"),
    ({"trainer": "progressive", "stages": [dict(PROGRESSIVE_STAGE, encoder_freeze=[True])]},
     "stages[0].encoder_freeze has 1 flags for 2 active encoder layers"),
    ({"trainer": "progressive", "stages": []}, "stages must list at least one stage"),
    ({"decoding": {"fused": {"beam_width": 4, "lm_weight": 0.3}}},
     "decoding.fused.lm_weight is 0.3, but there is no lm section"),
    ({"loss.ctc_weight": 0.0, "decoding": {"joint": {"beam_width": 4, "ctc_weight": 0.3}}},
     "decoding.joint.ctc_weight is 0.3, but loss.ctc_weight is 0, so the CTC head it scores with is never trained"),
    ({"decoding": {"beam/4": {"beam_width": 4}}}, "decoding 'beam/4': a decoding configuration's name must"),
    ({"model.d_model": 100, "model.num_heads": 3}, "model.d_model (100) must be a multiple of model.num_heads (3)"),
    ({"scheduler": {"name": "reduce_lr", "warmup": {"enabled": True}}}, "cannot be combined with warm-up"),
    ({"tokenizer.kind": "subword"}, "missing key tokenizer.vocab_size"),
    ({"corpus.num_utterances": 30, "data.partitions.train": "train"},
     "data.partitions.train is 'train', but the synthetic corpus (the corpus section) names it 'train-clean-100'"),
    ({"lm": dict(LANGUAGE_MODEL, run_name="run")}, "lm.run_name must differ from run_name"),
    ({"run_name": "../elsewhere"}, "run_name must name one folder inside expts/"),
    ({"trainer": "lm", "data": {"train_text": "t.txt"}, "model": {}}, "data needs root"),
])
def test_settings_that_contradict_each_other_are_refused(changes, message):
    assert message in problem(config_with(changes))


def test_every_problem_of_a_configuration_is_reported_at_once():
    message = problem(config_with({"loss.ctc_wieght": 0.3, "data.batch_size": -1}, ["training.epochs"]))
    assert message.startswith("configuration: 3 problems")
    for part in ("loss.ctc_wieght", "data.batch_size", "missing key training.epochs"):
        assert part in message


# ---------------------------------------------------------------------------
# defaults
# ---------------------------------------------------------------------------

def test_omitted_settings_take_their_defaults_and_the_result_checks_as_itself():
    effective = recipes.check_config(MINIMAL)
    assert effective["trainer"] == "asr"
    assert effective["data"]["partitions"] == {"train": "train-clean-100", "dev": "dev-clean", "test": "test-clean"}
    assert effective["training"]["gradient_accumulation_steps"] == 1
    assert effective["decoding"] == {"greedy": {"beam_width": 1, "lm_weight": 0.0, "ctc_weight": 0.0,
                                                "temperature": 1.0, "repeat_penalty": 1.0}}
    # only the chosen optimizer's and scheduler's own sections are filled in; an absent warm-up stays off
    assert set(effective["optimizer"]) == {"name", "lr", "weight_decay", "adamw"}
    assert set(effective["scheduler"]) == {"name", "cosine"}
    assert "lm" not in effective and "corpus" not in effective
    assert recipes.check_config(effective) == effective
    assert MINIMAL["data"] == {"root": "corpus"}, "the given configuration is left unchanged"


@pytest.mark.parametrize("trainer, model_class, skipped", [
    ("asr", EncoderDecoderTransformer, {"input_dim", "num_classes"}),
    ("lm", DecoderOnlyTransformer, {"num_classes"}),
])
def test_model_defaults_are_the_model_constructors_own(trainer, model_class, skipped):
    config = config_with({"trainer": trainer})
    effective = recipes.check_config(config)
    parameters = inspect.signature(model_class.__init__).parameters
    expected = {name: p.default for name, p in parameters.items() if name not in skipped | {"self"}}
    assert effective["model"] == expected


def test_numbers_yaml_reads_as_text_are_taken_as_numbers_where_a_number_is_expected(tmp_path):
    path = tmp_path / "recipe.yaml"
    path.write_text(yaml.safe_dump(MINIMAL).replace("lr: 0.001", "lr: 1e-3"))
    assert yaml.safe_load(path.read_text())["optimizer"]["lr"] == "1e-3"
    config = recipes.load_config(path)
    assert config["optimizer"]["lr"] == 0.001 and isinstance(config["optimizer"]["lr"], float)


def test_a_recipe_file_is_named_after_itself_unless_it_says_otherwise(tmp_path):
    path = tmp_path / "my-run.yaml"
    path.write_text(yaml.safe_dump(config_with(removals=["run_name"])))
    assert recipes.load_config(path)["run_name"] == "my-run"


@pytest.mark.parametrize("config", sorted(CONFIGS.glob("*.yaml")), ids=lambda p: p.name)
def test_every_shipped_recipe_is_valid(config):
    assert recipes.load_config(config)["run_name"]


@pytest.mark.parametrize("content, message", [
    ("data: [", "not valid YAML"),
    ("- a\n- b\n", "the configuration must be a mapping of sections, got ['a', 'b'] (list)"),
])
def test_a_file_that_is_no_recipe_is_named(tmp_path, content, message):
    path = tmp_path / "bad.yaml"
    path.write_text(content)
    with pytest.raises(recipes.ConfigError, match="bad.yaml") as failure:
        recipes.load_config(path)
    assert message in str(failure.value)


def test_a_missing_recipe_file_is_named(tmp_path):
    with pytest.raises(FileNotFoundError, match="No such configuration file: .*nothing.yaml"):
        recipes.load_config(tmp_path / "nothing.yaml")


# ---------------------------------------------------------------------------
# --set overrides
# ---------------------------------------------------------------------------

@pytest.mark.parametrize("override, path, value", [
    ("training.epochs=3", ("training", "epochs"), 3),
    ("optimizer.lr=1e-3", ("optimizer", "lr"), 0.001),
    ("data.partitions.test=null", ("data", "partitions", "test"), None),
    ("loss.ctc_weight=0.2", ("loss", "ctc_weight"), 0.2),           # a section the file lacks
    ("data.specaug=true", ("data", "specaug"), True),
    ("training.distributed_timeout=90", ("training", "distributed_timeout"), 90.0),
    ("decoding.beam_4_lm_0.3.beam_width=8", ("decoding", "beam_4_lm_0.3", "beam_width"), 8),  # a name with a dot
    ("stages[0].epochs=2", ("stages", 0, "epochs"), 2),
    ("stages.0.encoder_active_layers=[1, 0]", ("stages", 0, "encoder_active_layers"), [1, 0]),
])
def test_overrides_take_dotted_keys_and_yaml_typed_values(override, path, value):
    config = config_with({"trainer": "progressive", "stages": [PROGRESSIVE_STAGE],
                          "decoding": {"beam_4_lm_0.3": {"beam_width": 4}}})
    node = recipes.check_config(config, [override])
    for key in path:
        node = node[key]
    assert node == value


def test_an_override_of_an_unknown_key_says_where_it_came_from():
    message = problem(MINIMAL, ["loss.ctc_wieght=0.3"])
    assert "unknown key loss.ctc_wieght \u2014 did you mean loss.ctc_weight? (from --set)" in message


@pytest.mark.parametrize("override, message", [
    ("training.epochs", "expected KEY=VALUE"),
    ("=3", "expected KEY=VALUE"),
    ("optimizer.lr=[1,", "the value is not valid YAML"),
    ("data.root.deeper=1", "data.root is the string 'corpus', not a section or a list"),
    ("stages[3].epochs=1", "stages is a list of 1 entries; index it with 0 to 0"),
])
def test_a_malformed_override_is_named(override, message):
    config = config_with({"trainer": "progressive", "stages": [PROGRESSIVE_STAGE]})
    assert message in problem(config, [override])
