import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

# Tests never talk to a wandb server and never open plot windows.
os.environ.setdefault("WANDB_MODE", "offline")
os.environ.setdefault("WANDB_SILENT", "true")
os.environ.setdefault("MPLBACKEND", "Agg")

SRC = Path(__file__).resolve().parents[1] / "src"


@pytest.fixture(scope="session")
def run_python():
    """Runs a snippet in a fresh interpreter that imports the package like the tests do."""

    def run(code: str) -> subprocess.CompletedProcess:
        env = dict(os.environ)
        import quillane  # the same package as this test session, built or installed

        package_parent = str(Path(quillane.__file__).resolve().parents[1])
        env["PYTHONPATH"] = os.pathsep.join([package_parent, env.get("PYTHONPATH", "")])
        return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                              capture_output=True, text=True, timeout=120)

    return run


@pytest.fixture(scope="session")
def cpu_autocast_dtype():
    """The precision the core's autocast helper uses on the CPU when given none: torch's own
    default for CPU autocast. (Which precision a trainer trains in is the trainer's choice.)"""
    import torch

    return torch.get_autocast_dtype("cpu")


@pytest.fixture(params=[True, False], ids=["kernel", "torch"])
def attention_path(request, monkeypatch):
    """Incremental decoding steps through the raw-buffer attention kernels (what the CPU runs)
    and through the torch path that other devices take."""
    from quillane.model import pellidor

    monkeypatch.setattr(pellidor, "native_attention", request.param)
    return request.param
