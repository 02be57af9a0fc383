# The convolution layer's operators as users call them, against PyTorch's own arithmetic.
import time

import pytest
import torch
import torch.nn.functional as F
from torch.autograd import gradcheck

from conftest import VIEWS, Layer, tolerance

ops = torch.ops.ptparaconv2dfree


def pair(a, b):
    return torch.tensor([a, b], dtype=torch.int32)


# Random input and parameters, with `trailing` elements past the four blocks, and the geometry as
# the operators take it.
def layer(N, C, H, W, units, kernel, stride, dilation, dtype=torch.float64, trailing=0):
    torch.manual_seed(0)
    x = torch.randn(N, C, H, W, dtype=dtype)
    parameters = torch.randn(2 * units * (C * kernel[0] * kernel[1] + 1) + trailing, dtype=dtype)
    return x, parameters, [pair(*g) for g in (kernel, stride, dilation)]


# Output and hsum composed from unfold; the filter is flipped, so tap (0, 0) meets the window's
# last row and column.
def reference(x, parameters, factor, kernel, stride, dilation):
    N, C, H, W = x.shape
    d = C * kernel[0] * kernel[1]
    units = parameters.numel() // (2 * (d + 1))
    h0, h, p, p0 = parameters[:2 * units * (d + 1)].split([units, units * d, units * d, units])
    h, p = (w.view(units, C, *kernel).flip(2, 3).reshape(units, d) for w in (h, p))
    cols = F.unfold(x, kernel, dilation=dilation, stride=stride)  # [N, d, windows]
    hsum = h0[:, None] + h @ cols
    output = factor * (hsum ** 2 - ((cols[:, None] - p[:, :, None]) ** 2).sum(2) - p0[:, None] ** 2)
    size = [(n - e * (k - 1) - 1) // s + 1 for n, k, s, e in zip((H, W), kernel, stride, dilation)]
    return output.view(N, units, *size), hsum.view(N, units, *size)


GEOMETRIES = [  # (N, C, H, W, units, kernel, stride, dilation)
    (2, 3, 7, 7, 4, (3, 3), (2, 2), (1, 1)),  # overlapping windows
    (2, 2, 7, 8, 3, (1, 1), (3, 3), (1, 1)),  # 1×1 kernel, most elements unread
    (2, 2, 9, 11, 3, (3, 5), (2, 1), (2, 1)),  # kernel, stride, dilation differ in h and w
    (0, 2, 5, 4, 2, (3, 1), (1, 2), (1, 3)),  # N = 0
    (2, 1, 4, 3, 0, (3, 3), (1, 1), (1, 1)),  # units = 0: the 3 trailing elements form no unit
]


@pytest.mark.parametrize("geometry", GEOMETRIES)
@pytest.mark.parametrize("factor", [1.0, -0.75])
@pytest.mark.parametrize("view", VIEWS.values(), ids=VIEWS.keys())
def test_forward_and_backward_match_reference(geometry, factor, view, dtype):
    x, parameters, tensors = layer(*geometry, dtype, trailing=3)
    output, hsum = ops.forward(view(x), view(parameters), factor, *map(view, tensors))
    grad = torch.randn_like(output)
    grad_input, grad_parameters = ops.backward(*map(view, (grad, x, parameters, hsum)), factor,
                                               *map(view, tensors), False)
    skipped = ops.backward(grad, x, parameters, hsum, factor, *tensors, True)
    assert torch.all(skipped[0] == 0) and torch.equal(skipped[1], grad_parameters)

    x64, p64 = x.double().requires_grad_(), parameters.double().requires_grad_()
    ref_output, ref_hsum = reference(x64, p64, factor, *geometry[5:])
    ref_output.backward(grad.double())
    assert {t.dtype for t in (output, hsum, grad_input, grad_parameters)} == {dtype}
    for actual, expected in zip((output, hsum, grad_input, grad_parameters),
                                (ref_output, ref_hsum, x64.grad, p64.grad[:-3])):
        torch.testing.assert_close(actual.double(), expected.detach(), **tolerance(dtype))


def test_gradcheck():
    x, parameters, tensors = layer(2, 2, 6, 5, 2, (3, 1), (2, 1), (1, 2), trailing=5)
    assert gradcheck(Layer.apply, (ops, x.requires_grad_(), parameters.requires_grad_(), -2.5, *tensors))


# Calls `op` on a valid 2×1×5×5 input with two 3×3 units, some arguments replaced.
def call(op, x=torch.ones(2, 1, 5, 5), parameters=torch.ones(40), grad=torch.ones(2, 2, 3, 3),
         hsum=torch.ones(2, 2, 3, 3), kernel=pair(3, 3), stride=pair(1, 1), dilation=pair(1, 1)):
    if op == "forward":
        return ops.forward(x, parameters, 1.0, kernel, stride, dilation)
    return ops.backward(grad, x, parameters, hsum, 1.0, kernel, stride, dilation, False)


both_operators = pytest.mark.parametrize("op", ["forward", "backward"])


# The sizes past 32 bits are on expanded or empty tensors: nothing of the size is allocated.
@both_operators
@pytest.mark.parametrize("arg,value,message", [
    ("x", torch.ones(1, 5, 5), "input must have 4 dimensions"),
    ("parameters", torch.ones(2, 20), "parameters must have 1 dimensions"),
    ("kernel", pair(3, 3)[:1], "kernel_size_tensor must hold at least 2 elements"),
    *[("kernel", v, "kernel_size_tensor must hold odd") for v in (pair(2, 3), pair(3, -1))],
    *[("stride", v, "strides_tensor must hold strides of at least 1")
      for v in (pair(0, 1), pair(1, 0))],
    *[("dilation", v, "dilation_rate_tensor must hold dilations of at least 1")
      for v in (pair(0, 1), pair(1, -2))],
    ("dilation", pair(3, 1), "input of height 5 and width 5 is smaller than .* window of 7 x 3"),
    ("kernel", pair(1, 7), "input of height 5 and width 5 is smaller than .* window of 1 x 7"),
    ("grad", torch.ones(2, 1, 3, 3), r"grad must have sizes \[2, 2, 3, 3\]"),
    ("hsum", torch.ones(2, 2, 3, 2), r"hsum must have sizes \[2, 2, 3, 3\]"),
    ("x", torch.ones(1).expand(2 ** 31, 1, 5, 5), "input has 53687091200 elements"),
    ("parameters", torch.ones(1).expand(2 ** 31), "parameters has 2147483648 elements"),
    ("x", torch.ones(2 ** 31, 0, 5, 5), r"N \(input.size\(0\)\) is 2147483648"),
    ("x", torch.ones(0, 2 ** 30, 3, 3), "C·kh is 3221225472"),
    ("x", torch.ones(0, 2 ** 28, 3, 3), "d = C·kh·kw is 2415919104"),
    ("x", torch.ones(0, 2 ** 27, 3, 3), r"2·\(d\+1\) is 2415919106"),
    ("x", torch.ones(2 ** 30, 0, 3, 3), "N·units is 21474836480"),
    ("x", torch.ones(2 ** 26, 0, 7, 3), "N·units·outH is 6710886400"),
    ("x", torch.ones(2 ** 26, 0, 3, 7), "N·units·outH·outW is 6710886400"),
    ("x", torch.ones(2 ** 30, 0, 5, 3), "N·outH is 3221225472"),
    ("x", torch.ones(1, 0, 2 ** 31 - 1, 2 ** 31 - 1), "N·outH·outW is 4611686005542486025"),
    # The element type is read from the input; the other tensors must have it, the geometry int32.
    ("x", torch.ones(2, 1, 5, 5).half(), "not implemented for 'Half'"),
    ("x", torch.ones(2, 1, 5, 5).int(), "not implemented for 'Int'"),
    *[("parameters", torch.ones(40).to(t), f"parameters must have element type Float.*{n}")
      for t, n in ((torch.double, "Double"), (torch.half, "Half"))],
    ("dilation", pair(1, 1).long(), "dilation_rate_tensor must have element type Int.*Long"),
])
def test_bad_arguments_are_refused(op, arg, value, message):
    op = "backward" if arg in ("grad", "hsum") else op  # the forward takes neither
    error, prefix = ((NotImplementedError, f'"paraconv2d_{op}_cpu_main" ') if "implemented" in message
                     else (RuntimeError, f"^ptparaconv2dfree::{op}: ") if "element type" in message
                     else (ValueError, f"^ptparaconv2dfree::{op}: "))
    with pytest.raises(error, match=prefix + message):
        call(op, **{arg: value})


# Without units or images there is no work: the entries return at once, the gradients holding
# what the workers leave (empty sums scaled by 2·factor; a skipped input gradient 0).
@pytest.mark.parametrize("N,C,H,W,length", [(1, 0, 40000, 40000, 1), (2, 3, 30, 20, 55),
                                            (0, 3, 5, 5, 56)])
@pytest.mark.parametrize("factor", [0.5, -1.0])
def test_no_work_returns_at_once(N, C, H, W, length, factor):
    x, parameters = torch.ones(1).expand(N, C, H, W), torch.ones(length)
    geometry, units = [pair(3, 3), pair(1, 1), pair(1, 1)], length // (2 * (9 * C + 1))
    start = time.monotonic()
    output, hsum = ops.forward(x, parameters, factor, *geometry)
    grad = torch.ones(output.shape)
    grad_input, grad_parameters = ops.backward(grad, x, parameters, hsum, factor, *geometry, False)
    skipped = ops.backward(grad, x, parameters, hsum, factor, *geometry, True)[0]
    assert time.monotonic() - start < 2
    assert output.shape == hsum.shape == (N, units, H - 2, W - 2) and output.numel() == 0
    assert grad_input.shape == skipped.shape == x.shape and not (skipped.any() or skipped.signbit().any())
    assert grad_parameters.shape == (2 * units * (9 * C + 1),)
    for g in (grad_input, grad_parameters):
        assert torch.equal(g, torch.full_like(g, 0.0 * factor))  # -0.0 for a negative factor
        assert torch.equal(g.signbit(), torch.full_like(g, factor < 0, dtype=torch.bool))


# The geometry is read from the front of each tensor, in place: tensors expanded to 2**40 rows
# would not fit in memory.
def test_geometry_is_read_in_place():
    x, parameters, geometry = layer(2, 2, 7, 6, 3, (3, 1), (2, 1), (1, 2))
    long = [g[None, :].expand(2 ** 40, 2) for g in geometry]
    for a, b in zip(ops.forward(x, parameters, 0.5, *long), ops.forward(x, parameters, 0.5, *geometry)):
        assert torch.equal(a, b)
    hsum = ops.forward(x, parameters, 0.5, *geometry)[1]
    backward = [ops.backward(torch.ones_like(hsum), x, parameters, hsum, 0.5, *g, False)
                for g in (long, geometry)]
    assert all(torch.equal(a, b) for a, b in zip(*backward))
