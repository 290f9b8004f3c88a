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


def _cpu_float16_autocast_runs():
    """Whether the recurrent, attention and convolution layers run under CPU float16 autocast."""
    import torch

    try:
        with torch.autocast("cpu", dtype=torch.float16):
            x = torch.randn(1, 3, 4)
            torch.nn.LSTM(4, 2, batch_first=True, bidirectional=True)(x)
            torch.nn.MultiheadAttention(4, 1, batch_first=True)(x, x, x)
            torch.nn.Conv2d(1, 1, 3)(torch.randn(1, 1, 4, 4))
        return True
    except RuntimeError:
        return False


@pytest.fixture(scope="session")
def cpu_autocast_dtype():
    """The precision training autocasts to on the CPU: float16 where torch can run the models'
    layers under it, bfloat16 otherwise."""
    import torch

    return torch.float16 if _cpu_float16_autocast_runs() else torch.bfloat16


@pytest.fixture(params=[True, False], ids=["kernel", "torch"])
def attention_path(request, monkeypatch):
    """Incremental decoding steps through the raw-buffer attention kernels (what the CPU runs)
    and through the torch path that other devices take."""
    from quillane.model import pellidor

    monkeypatch.setattr(pellidor, "native_attention", request.param)
    return request.param
