import os
import pathlib

import pytest
import torch

ROOT = pathlib.Path(__file__).resolve().parents[2]
torch.ops.load_library(os.environ.get("VAREKPT_LIBRARY") or str(ROOT / "build" / "libvarekpt.so"))

# Arguments as they are, and as views whose strides are doubled.
VIEWS = {"contiguous": lambda t: t, "strided": lambda t: torch.stack([t, t], -1)[..., 0]}


@pytest.fixture(params=[torch.float32, torch.float64], ids=["float32", "float64"])
def dtype(request):
    return request.param


def tolerance(dtype):
    """Absolute and relative tolerance for comparing a result with a float64 reference."""
    return {"atol": 1e-4, "rtol": 1e-4} if dtype == torch.float32 else {"atol": 1e-10, "rtol": 1e-10}
