"""The dense layer's operators as users call them, against PyTorch's own arithmetic."""
import pytest
import torch
from torch.autograd import gradcheck

from conftest import tolerance

ops = torch.ops.ptparaboloidfree


def reference_forward(x, parameters, factor):
    N, d = x.shape
    units = parameters.numel() // (2 * (d + 1))
    h0, h, p, p0 = parameters[:2 * units * (d + 1)].split([units, units * d, units * d, units])
    hsum = h0 + x @ h.view(units, d).T
    distance = ((x[:, None, :] - p.view(units, d)[None]) ** 2).sum(-1)
    return factor * (hsum ** 2 - distance - p0 ** 2), hsum


class Dense(torch.autograd.Function):
    """Pairs the forward and backward operators the way a model would."""

    @staticmethod
    def forward(ctx, x, parameters, factor):
        output, hsum = ops.forward(x, parameters, factor)
        ctx.save_for_backward(x, parameters, hsum)
        ctx.factor = factor
        return output

    @staticmethod
    def backward(ctx, grad):
        x, parameters, hsum = ctx.saved_tensors
        grad_input, grad_parameters = ops.backward(grad, x, parameters, hsum, ctx.factor)
        return grad_input, grad_parameters, None


def random_layer(N, d, units, dtype, trailing=0, seed=0):
    g = torch.Generator().manual_seed(seed)
    x = torch.randn(N, d, generator=g, dtype=torch.float64)
    parameters = torch.randn(2 * units * (d + 1) + trailing, generator=g, dtype=torch.float64)
    grad = torch.randn(N, units, generator=g, dtype=torch.float64)
    return x.to(dtype), parameters.to(dtype), grad.to(dtype)


@pytest.mark.parametrize("N,d,units", [(1, 1, 1), (7, 13, 20), (2, 130, 9), (0, 3, 2), (4, 0, 3)])
@pytest.mark.parametrize("factor", [1.0, -0.75])
def test_forward_and_backward_match_reference(N, d, units, factor, dtype):
    x, parameters, grad = random_layer(N, d, units, dtype, trailing=1)
    output, hsum = ops.forward(x, parameters, factor)
    ref_output, ref_hsum = reference_forward(x.double(), parameters.double(), factor)
    assert output.dtype == hsum.dtype == dtype
    torch.testing.assert_close(hsum.double(), ref_hsum, **tolerance(dtype))
    torch.testing.assert_close(output.double(), ref_output, **tolerance(dtype))

    grad_input, grad_parameters = ops.backward(grad, x, parameters, hsum, factor)
    x64 = x.double().requires_grad_()
    p64 = parameters.double().requires_grad_()
    reference_forward(x64, p64, factor)[0].backward(grad.double())
    torch.testing.assert_close(grad_input.double(), x64.grad, **tolerance(dtype))
    torch.testing.assert_close(grad_parameters.double(), p64.grad, **tolerance(dtype))
    assert grad_parameters.shape == parameters.shape and grad_parameters[-1] == 0


@pytest.mark.parametrize("factor", [2.0, -0.3])
def test_gradcheck(factor):
    x, parameters, _ = random_layer(4, 3, 2, torch.float64, trailing=5, seed=1)
    assert gradcheck(Dense.apply, (x.requires_grad_(), parameters.requires_grad_(), factor))


def test_worked_example():
    x = torch.tensor([[2.0]], dtype=torch.float64)
    parameters = torch.tensor([1.0, 3.0, 0.5, 2.0], dtype=torch.float64)
    for factor in (1.0, 2.0):
        output, hsum = ops.forward(x, parameters, factor)
        assert hsum.item() == 7 and output.item() == 42.75 * factor
        grad_input, grad_parameters = ops.backward(torch.ones(1, 1, dtype=torch.float64), x,
                                                   parameters, hsum, factor)
        assert grad_input.item() == 39 * factor
        assert grad_parameters.tolist() == [14 * factor, 28 * factor, 3 * factor, -4 * factor]


def test_units_zero(dtype):
    x = torch.ones(4, 3, dtype=dtype)
    parameters = torch.ones(7, dtype=dtype)  # shorter than one unit
    output, hsum = ops.forward(x, parameters, 1.0)
    assert output.shape == hsum.shape == (4, 0)
    grad_input, grad_parameters = ops.backward(output, x, parameters, hsum, 1.0)
    assert torch.equal(grad_input, torch.zeros(4, 3, dtype=dtype))
    assert torch.equal(grad_parameters, torch.zeros(7, dtype=dtype))


def test_noncontiguous_arguments_are_read_by_their_strides(dtype):
    x, parameters, grad = random_layer(6, 5, 3, dtype)
    strided = torch.zeros(parameters.numel() * 2, dtype=dtype)
    strided[::2] = parameters
    output, hsum = ops.forward(x, parameters, 1.5)
    assert all(torch.equal(a, b) for a, b in
               zip((output, hsum), ops.forward(x.T.contiguous().T, strided[::2], 1.5)))
    expected = ops.backward(grad, x, parameters, hsum, 1.5)
    actual = ops.backward(grad.T.contiguous().T, x.T.contiguous().T, strided[::2],
                          hsum.T.contiguous().T, 1.5)
    assert all(torch.equal(a, b) for a, b in zip(expected, actual))


@pytest.mark.parametrize("bad,name", [(torch.float16, "Half"), (torch.int32, "Int")])
def test_unsupported_element_type(bad, name):
    x, parameters, row = torch.ones(2, 3, dtype=bad), torch.ones(8, dtype=bad), torch.ones(2, 1, dtype=bad)
    with pytest.raises(NotImplementedError, match=f'^"paraboloid_forward_cpu_main" not implemented for \'{name}\''):
        ops.forward(x, parameters, 1.0)
    with pytest.raises(NotImplementedError, match=f'^"paraboloid_backward_cpu_main" not implemented for \'{name}\''):
        ops.backward(row, x, parameters, row, 1.0)


def test_bad_arguments_are_refused_with_clear_messages():
    x, parameters, grad = random_layer(4, 3, 2, torch.float64)
    _, hsum = ops.forward(x, parameters, 1.0)
    rows = torch.zeros(1, 1).expand(2 ** 16, 1)  # expanded views: nothing this large is allocated
    cases = [
        (lambda: ops.forward(x[0], parameters, 1.0), "forward: input must have 2 dimensions"),
        (lambda: ops.forward(x, parameters.view(2, -1), 1.0), "forward: parameters must have 1 dimensions"),
        (lambda: ops.backward(grad.T, x, parameters, hsum, 1.0), r"backward: grad must have sizes \[4, 2\]"),
        (lambda: ops.backward(grad, x, parameters, hsum[:3], 1.0), r"backward: hsum must have sizes \[4, 2\]"),
        (lambda: ops.forward(rows.expand(2 ** 16, 2 ** 15), parameters, 1.0), "forward: input has 2147483648 elements"),
        (lambda: ops.forward(rows, torch.zeros(1).expand(2 ** 18), 1.0), "forward: N·units is 4294967296"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError, match="ptparaboloidfree::" + message):
            call()
    with pytest.raises(RuntimeError, match="^ptparaboloidfree::backward: hsum .*Double.*Float"):
        ops.backward(grad, x, parameters, hsum.float(), 1.0)


def test_registrations_report_their_locations():
    assert "CPU: registered at paraboloid.cpp:399" in torch._C._dispatch_dump("ptparaboloidfree::forward")
    dump = torch._C._dispatch_dump("ptparaboloidfree::backward")
    assert "registered at paraboloid.cpp:16" in dump and "CPU: registered at paraboloid.cpp:403" in dump


def test_torchscript_calls_the_operators():
    @torch.jit.script
    def layer(x: torch.Tensor, parameters: torch.Tensor) -> torch.Tensor:
        return torch.ops.ptparaboloidfree.forward(x, parameters, 0.5)[0]

    x, parameters, _ = random_layer(3, 2, 2, torch.float64)
    assert torch.equal(layer(x, parameters), ops.forward(x, parameters, 0.5)[0])
