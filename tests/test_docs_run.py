"""The README's code and every example script run as written, at tiny sizes, so neither can go stale.

Every ```python block of README.md runs on its own as a script, in a fresh folder holding a tiny
generated corpus at data/synth. An HTML comment on the line above a block adjusts the run:
`<!-- smoke-test: epochs=1 d_model=32 -->` gives those top-level assignments other values,
`<!-- smoke-test: skip REASON -->` leaves out a block that cannot run unattended (it needs the
user's audio, say), and `<!-- smoke-test: continues name=value ... -->` runs a block right after the
block above it, in the same script (a block that uses what the one before made). Each example runs
with the tiny arguments listed in EXAMPLE_ARGS.
"""
import ast
import contextlib
import os
import re
import shlex
import subprocess
import sys
import textwrap
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
TINY_CORPUS = "data/synth"  # relative to the run folder; where the README's script reads its corpus

# Tiny sizes per example; "{corpus}" is the tiny corpus, "{root}" the repository, "{experiment}" the
# folder of a recogniser trained briefly on the tiny corpus.
EXAMPLE_ARGS = {
    "layers_demo.py": ["--d-model", "16", "--heads", "2", "--d-ff", "32", "--layers", "1"],
    "lr_schedule_preview.py": ["preview.png", "--epochs", "4", "--batches", "3"],
    "models_demo.py": ["--d-model", "16", "--layers", "1", "--frames", "24", "--max-length", "4", "--beam-width", "2"],
    "train_own_data.py": ["{corpus}", "{root}/configs/demo.yaml", "--epochs", "1"],
    "train_tiny_asr.py": ["--epochs", "1", "--train-utterances", "8", "--d-model", "16", "--workdir", "work"],
    "train_tiny_lm.py": ["--seconds", "0.1", "--sentences", "32", "--threads", "1"],
    "transcribe.py": ["{experiment}", "{corpus}/test-clean/fbank/000.npy", "{corpus}/dev-clean/fbank/001.npy",
                      "--beam", "2", "--reference", "{corpus}/dev-clean/transcripts.txt"],
}

SMOKE_DIRECTIVE = re.compile(r"^<!--\s*smoke-test:(.*?)-->\s*$")


def readme_blocks():
    """pytest params of every python block: (code, directive text or '') with the block's line as id."""
    lines = README.read_text(encoding="utf-8").splitlines()
    params, i = [], 0
    while i < len(lines):
        if lines[i].strip() == "```python":
            end = next(j for j in range(i + 1, len(lines)) if lines[j].strip() == "```")
            above = next((lines[j] for j in range(i - 1, -1, -1) if lines[j].strip()), "")
            match = SMOKE_DIRECTIVE.match(above.strip())
            code = "\n".join(lines[i + 1:end]) + "\n"
            params.append(pytest.param(code, match.group(1).strip() if match else "", id=f"README.md:{i + 1}"))
            i = end
        i += 1
    return params


def script_of(code: str, directive: str) -> str:
    """The script a block runs as: the block with its overrides, after the block above it (and so on)
    when it continues that one."""
    if not directive.startswith("continues"):
        return with_overrides(code, directive)
    blocks = [p.values for p in readme_blocks()]
    above = next(blocks[i - 1] for i in range(1, len(blocks)) if blocks[i][0] == code)
    return script_of(*above) + "\n" + with_overrides(code, directive[len("continues"):].strip())


def with_overrides(code: str, directive: str) -> str:
    """The block with the directive's name=value pairs replacing its top-level assignments."""
    overrides = dict(pair.split("=", 1) for pair in shlex.split(directive))
    tree = ast.parse(code)
    for node in tree.body:
        if isinstance(node, ast.Assign) and len(node.targets) == 1:
            target = node.targets[0]
        elif isinstance(node, ast.AnnAssign):
            target = node.target
        else:
            continue
        if isinstance(target, ast.Name) and target.id in overrides:
            node.value = ast.parse(overrides.pop(target.id), mode="eval").body
    assert not overrides, f"the smoke-test comment names {sorted(overrides)}, which the block never assigns"
    return ast.unparse(tree)


def write_tiny_corpus(root: Path, num_feats=80):
    """Three partitions of short utterances in the speech dataset's layout (no text for test-clean)."""
    rng = np.random.default_rng(0)
    for partition, count in [("train-clean-100", 6), ("dev-clean", 3), ("test-clean", 2)]:
        for sub in ("fbank", "text"):
            (root / partition / sub).mkdir(parents=True)
        for i in range(count):
            text = " ".join(rng.choice(["ab", "ba", "cab"], 2))
            frames = 8 * len(text)
            np.save(root / partition / "fbank" / f"{i:03d}.npy", rng.normal(size=(num_feats, frames)).astype("f4"))
            if partition != "test-clean":
                np.save(root / partition / "text" / f"{i:03d}.npy", np.array(list(text)))
            with open(root / partition / "transcripts.txt", "a") as f:
                f.write(f"{i:03d} {text}\n")


def run_script(args, cwd: Path, timeout=300) -> subprocess.CompletedProcess:
    """Runs a script the way a user would, against the package under test, in cwd."""
    import quillane

    # one thread each: the runs are tiny, and on a busy machine more threads only wait for each other
    env = dict(os.environ, MPLBACKEND="Agg", WANDB_MODE="offline", WANDB_SILENT="true", OMP_NUM_THREADS="1")
    package_parent = str(Path(quillane.__file__).resolve().parents[1])
    env["PYTHONPATH"] = os.pathsep.join([package_parent, env.get("PYTHONPATH", "")])
    return subprocess.run([sys.executable, *map(str, args)], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=timeout)


def assert_ran(result: subprocess.CompletedProcess, what: str):
    assert result.returncode == 0, f"{what} failed:\n{result.stdout[-3000:]}\n{result.stderr[-5000:]}"


@pytest.mark.parametrize("code, directive", readme_blocks())
def test_readme_python_block_runs(code, directive, tmp_path):
    if directive.startswith("skip"):
        pytest.skip(directive[4:].strip() or "the README marks this block as not runnable here")
    write_tiny_corpus(tmp_path / TINY_CORPUS)
    (tmp_path / "block.py").write_text(script_of(code, directive), encoding="utf-8")
    assert_ran(run_script(["block.py"], tmp_path), "the README block")


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda p: p.name)
def test_example_runs_at_tiny_sizes(example, tmp_path):
    assert example.name in EXAMPLE_ARGS, f"give {example.name} tiny arguments in EXAMPLE_ARGS"
    write_tiny_corpus(tmp_path / "corpus")
    experiment = ""
    if any("{experiment}" in a for a in EXAMPLE_ARGS[example.name]):
        from test_inference import train_experiment

        with contextlib.chdir(tmp_path):
            experiment = train_experiment(tmp_path, "tiny-asr", "char")[0].expt_root
    args = [a.format(corpus=tmp_path / "corpus", root=ROOT, experiment=experiment) for a in EXAMPLE_ARGS[example.name]]
    assert_ran(run_script([example, *args], tmp_path), f"{example.name} {shlex.join(args)}")


def test_every_example_answers_help_and_writes_nothing(tmp_path):
    # one interpreter for all of them: each --help exits before doing anything, but imports torch
    driver = textwrap.dedent("""
        import contextlib, io, runpy, sys
        failures = []
        for path in sys.argv[1:]:
            sys.argv = [path, "--help"]
            out = io.StringIO()
            try:
                with contextlib.redirect_stdout(out):
                    runpy.run_path(path, run_name="__main__")
                failures.append(f"{path}: --help did not exit")
            except SystemExit as exit:
                if exit.code not in (0, None) or "usage:" not in out.getvalue():
                    failures.append(f"{path}: exit {exit.code}, output {out.getvalue()[:200]!r}")
        sys.exit("\\n".join(failures) or None)
    """)
    (tmp_path / "help_driver.py").write_text(driver)
    run_folder = tmp_path / "run"
    run_folder.mkdir()
    assert_ran(run_script([tmp_path / "help_driver.py", *EXAMPLES], run_folder, timeout=120), "--help")
    assert list(run_folder.iterdir()) == []
