"""The dense layer's operators as users call them, against PyTorch's own arithmetic."""
import pytest
import torch
from torch.autograd import gradcheck

from conftest import tolerance

ops = torch.ops.ptparaboloidfree


def split(parameters, d):
    units = parameters.numel() // (2 * (d + 1))
    h0 = parameters[:units]
    h = parameters[units:units + units * d].view(units, d)
    p = parameters[units + units * d:units + 2 * units * d].view(units, d)
    p0 = parameters[units + 2 * units * d:2 * units * (d + 1)]
    return h0, h, p, p0


def reference_forward(x, parameters, factor):
    h0, h, p, p0 = split(parameters, x.shape[1])
    hsum = h0 + x @ h.T
    distance = ((x[:, None, :] - p[None, :, :]) ** 2).sum(-1)
    return factor * (hsum ** 2 - distance - p0 ** 2), hsum


def reference_backward(grad, x, parameters, factor):
    """Input and parameter gradients of the reference forward, by PyTorch's autograd."""
    x = x.detach().double().requires_grad_()
    parameters = parameters.detach().double().requires_grad_()
    output, _ = reference_forward(x, parameters, factor)
    output.backward(grad.double())
    return x.grad, parameters.grad


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


SHAPES = [(1, 1, 1), (5, 3, 4), (7, 13, 20), (33, 8, 3), (2, 130, 9)]


@pytest.mark.parametrize("N,d,units", SHAPES)
@pytest.mark.parametrize("factor", [1.0, -0.75, 2.5])
def test_forward_and_backward_match_reference(N, d, units, factor, dtype):
    x, parameters, grad = random_layer(N, d, units, dtype, trailing=3)
    output, hsum = ops.forward(x, parameters, factor)
    ref_output, ref_hsum = reference_forward(x.double(), parameters.double(), factor)
    assert output.dtype == hsum.dtype == dtype
    torch.testing.assert_close(hsum.double(), ref_hsum, **tolerance(dtype))
    torch.testing.assert_close(output.double(), ref_output, **tolerance(dtype))

    grad_input, grad_parameters = ops.backward(grad, x, parameters, hsum, factor)
    ref_input, ref_parameters = reference_backward(grad, x, parameters, factor)
    assert grad_input.shape == (N, d) and grad_parameters.shape == parameters.shape
    torch.testing.assert_close(grad_input.double(), ref_input, **tolerance(dtype))
    torch.testing.assert_close(grad_parameters.double(), ref_parameters, **tolerance(dtype))
    assert torch.all(grad_parameters[-3:] == 0)


@pytest.mark.parametrize("factor", [1.0, 2.0, -0.3, 0.0])
@pytest.mark.parametrize("trailing", [0, 5])
def test_gradcheck(factor, trailing):
    x, parameters, _ = random_layer(4, 3, 2, torch.float64, trailing=trailing, seed=1)
    assert gradcheck(Dense.apply, (x.requires_grad_(), parameters.requires_grad_(), factor))


def test_worked_example():
    x = torch.tensor([[2.0]], dtype=torch.float64)
    parameters = torch.tensor([1.0, 3.0, 0.5, 2.0], dtype=torch.float64)
    grad = torch.ones(1, 1, dtype=torch.float64)
    output, hsum = ops.forward(x, parameters, 1.0)
    assert hsum.item() == 7 and output.item() == 42.75
    grad_input, grad_parameters = ops.backward(grad, x, parameters, hsum, 1.0)
    assert grad_input.item() == 39
    assert grad_parameters.tolist() == [14, 28, 3, -4]

    output, hsum = ops.forward(x, parameters, 2.0)
    assert output.item() == 85.5
    grad_input, grad_parameters = ops.backward(grad, x, parameters, hsum, 2.0)
    assert grad_input.item() == 78
    assert grad_parameters.tolist() == [28, 56, 6, -8]


def test_float32_rounds_the_factor_first():
    x, parameters, _ = random_layer(3, 4, 2, torch.float32)
    factor = 0.1  # not a float32 value
    output, _ = ops.forward(x, parameters, factor)
    ref, _ = reference_forward(x.double(), parameters.double(), float(torch.tensor(factor, dtype=torch.float32)))
    torch.testing.assert_close(output.double(), ref, atol=1e-5, rtol=1e-5)


def test_empty_and_degenerate_sizes(dtype):
    # N = 0
    x, parameters, _ = random_layer(0, 3, 2, dtype)
    output, hsum = ops.forward(x, parameters, 1.0)
    assert output.shape == hsum.shape == (0, 2)
    grad_input, grad_parameters = ops.backward(output, x, parameters, hsum, 1.0)
    assert grad_input.shape == (0, 3) and torch.all(grad_parameters == 0)

    # units = 0: the parameter vector is shorter than one unit
    x, _, _ = random_layer(4, 3, 1, dtype)
    parameters = torch.ones(7, dtype=dtype)
    output, hsum = ops.forward(x, parameters, 1.0)
    assert output.shape == hsum.shape == (4, 0)
    grad_input, grad_parameters = ops.backward(output, x, parameters, hsum, 1.0)
    assert torch.all(grad_input == 0) and grad_parameters.shape == (7,)
    assert torch.all(grad_parameters == 0)

    # d = 0: each unit is h0² − p0²
    x = torch.empty(3, 0, dtype=dtype)
    parameters = torch.tensor([1.0, 2.0, 0.5, 3.0], dtype=dtype)  # h0 = (1, 2), p0 = (0.5, 3)
    output, hsum = ops.forward(x, parameters, 2.0)
    assert torch.equal(hsum, torch.tensor([[1.0, 2.0]] * 3, dtype=dtype))
    assert torch.equal(output, torch.tensor([[1.5, -10.0]] * 3, dtype=dtype))
    grad_input, grad_parameters = ops.backward(torch.ones(3, 2, dtype=dtype), x, parameters, hsum, 2.0)
    assert grad_input.shape == (3, 0)
    assert grad_parameters.tolist() == [12.0, 24.0, -6.0, -36.0]


def test_noncontiguous_arguments_are_read_by_their_strides(dtype):
    x, parameters, grad = random_layer(6, 5, 3, dtype)
    # Transposed copies and strided views hold the same values as the dense tensors.
    x_t = x.T.contiguous().T
    wide = torch.zeros(parameters.numel() * 2, dtype=dtype)
    wide[::2] = parameters
    parameters_s = wide[::2]
    grad_t = grad.T.contiguous().T
    assert not (x_t.is_contiguous() or parameters_s.is_contiguous() or grad_t.is_contiguous())

    output, hsum = ops.forward(x, parameters, 1.5)
    output_s, hsum_s = ops.forward(x_t, parameters_s, 1.5)
    assert torch.equal(output, output_s) and torch.equal(hsum, hsum_s)
    expected = ops.backward(grad, x, parameters, hsum, 1.5)
    actual = ops.backward(grad_t, x_t, parameters_s, hsum.T.contiguous().T, 1.5)
    for e, a in zip(expected, actual):
        assert torch.equal(e, a)


def test_results_are_new_tensors():
    x, parameters, _ = random_layer(2, 2, 2, torch.float64)
    first = ops.forward(x, parameters, 1.0)
    second = ops.forward(x, parameters, 1.0)
    for a, b in zip(first, second):
        assert torch.equal(a, b) and a.data_ptr() != b.data_ptr()


@pytest.mark.parametrize("bad,name", [(torch.float16, "Half"), (torch.int32, "Int"), (torch.bfloat16, "BFloat16")])
def test_unsupported_element_type(bad, name):
    x = torch.ones(2, 3, dtype=bad)
    parameters = torch.ones(8, dtype=bad)
    with pytest.raises(NotImplementedError) as err:
        ops.forward(x, parameters, 1.0)
    assert str(err.value).startswith('"paraboloid_forward_cpu_main" not implemented for \'%s\'' % name)
    with pytest.raises(NotImplementedError) as err:
        ops.backward(torch.ones(2, 1, dtype=bad), x, parameters, torch.ones(2, 1, dtype=bad), 1.0)
    assert str(err.value).startswith('"paraboloid_backward_cpu_main" not implemented for \'%s\'' % name)


def test_mixed_element_types_raise_pytorchs_error():
    x = torch.ones(2, 3)
    with pytest.raises(RuntimeError, match="expected scalar type Float but found Double"):
        ops.forward(x, torch.ones(8, dtype=torch.float64), 1.0)
    with pytest.raises(RuntimeError, match="expected scalar type"):
        ops.backward(torch.ones(2, 1, dtype=torch.float64), x, torch.ones(8), torch.ones(2, 1), 1.0)


def test_bad_shapes_are_refused_with_clear_messages():
    x, parameters, grad = random_layer(4, 3, 2, torch.float64)
    _, hsum = ops.forward(x, parameters, 1.0)
    cases = [
        (lambda: ops.forward(x[0], parameters, 1.0), "forward: input must have 2 dimensions"),
        (lambda: ops.forward(x[None], parameters, 1.0), "forward: input must have 2 dimensions"),
        (lambda: ops.forward(x, parameters.view(2, -1), 1.0), "forward: parameters must have 1 dimensions"),
        (lambda: ops.backward(grad.T, x, parameters, hsum, 1.0), r"backward: grad must have sizes \[4, 2\]"),
        (lambda: ops.backward(grad, x, parameters, hsum[:3], 1.0), r"backward: hsum must have sizes \[4, 2\]"),
        (lambda: ops.backward(grad, x[0], parameters, hsum, 1.0), "backward: input must have 2 dimensions"),
    ]
    for call, message in cases:
        with pytest.raises(ValueError, match="ptparaboloidfree::" + message):
            call()


def test_sizes_beyond_32_bit_are_refused():
    # Expanded views: nothing of this size is ever allocated, the checks come first.
    huge = torch.zeros(1, 1).expand(2 ** 31, 1)
    with pytest.raises(ValueError, match="input has 2147483648 elements"):
        ops.forward(huge, torch.ones(4), 1.0)
    rows = torch.zeros(1, 1).expand(2 ** 16, 1)
    with pytest.raises(ValueError, match="N·units is 4294967296"):
        ops.forward(rows, torch.zeros(1).expand(2 ** 18), 1.0)


def test_registrations_report_their_locations():
    dump = torch._C._dispatch_dump("ptparaboloidfree::forward")
    assert "registered at paraboloid.cpp:16" in dump
    assert "CPU: registered at paraboloid.cpp:399" in dump
    assert "CPU: registered at paraboloid.cpp:403" in torch._C._dispatch_dump("ptparaboloidfree::backward")
