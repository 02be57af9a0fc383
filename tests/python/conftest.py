import os
import pathlib

import pytest
import torch
import torch.nn.functional as F

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


class Layer(torch.autograd.Function):
    """Pairs a layer's forward and backward operators the way a model would; a
    convolution (with geometry) computes its input gradient."""

    @staticmethod
    def forward(ctx, ops, x, parameters, factor, *geometry):
        output, hsum = ops.forward(x, parameters, factor, *geometry)
        ctx.save_for_backward(x, parameters, hsum, *geometry)
        ctx.ops, ctx.factor = ops, factor
        return output

    @staticmethod
    def backward(ctx, grad):
        x, parameters, hsum, *geometry = ctx.saved_tensors
        skip = (False,) if geometry else ()
        gi, gp = ctx.ops.backward(grad, x, parameters, hsum, ctx.factor, *geometry, *skip)
        gp = F.pad(gp, (0, parameters.numel() - gp.numel()))  # the convolution's is shorter
        return (None, gi, gp, None) + (None,) * len(geometry)
