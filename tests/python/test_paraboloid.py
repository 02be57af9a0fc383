"""The dense layer's operators as users call them, against PyTorch's own arithmetic."""
import pytest
import torch
from torch.autograd import gradcheck

from conftest import VIEWS, Layer, tolerance

ops = torch.ops.ptparaboloidfree


def reference_forward(x, parameters, factor):
    N, d = x.shape
    units = parameters.numel() // (2 * (d + 1))
    h0, h, p, p0 = parameters[:2 * units * (d + 1)].split([units, units * d, units * d, units])
    hsum = h0 + x @ h.view(units, d).T
    distance = ((x[:, None, :] - p.view(units, d)[None]) ** 2).sum(-1)
    return factor * (hsum ** 2 - distance - p0 ** 2), hsum


def random_layer(N, d, units, dtype, trailing=0, seed=0):
    g = torch.Generator().manual_seed(seed)
    x = torch.randn(N, d, generator=g, dtype=torch.float64)
    parameters = torch.randn(2 * units * (d + 1) + trailing, generator=g, dtype=torch.float64)
    grad = torch.randn(N, units, generator=g, dtype=torch.float64)
    return x.to(dtype), parameters.to(dtype), grad.to(dtype)


# One trailing parameter: past the blocks, or all there is when no unit fits.
@pytest.mark.parametrize("N,d,units", [(1, 1, 1), (7, 13, 20), (2, 130, 9), (0, 3, 2), (4, 0, 3),
                                       (4, 3, 0)])
@pytest.mark.parametrize("factor", [1.0, -0.75])
@pytest.mark.parametrize("view", VIEWS.values(), ids=VIEWS.keys())
def test_forward_and_backward_match_reference(N, d, units, factor, view, dtype):
    x, parameters, grad = random_layer(N, d, units, dtype, trailing=1)
    output, hsum = ops.forward(view(x), view(parameters), factor)
    grad_input, grad_parameters = ops.backward(view(grad), view(x), view(parameters), view(hsum),
                                               factor)
    x64, p64 = x.double().requires_grad_(), parameters.double().requires_grad_()
    ref_output, ref_hsum = reference_forward(x64, p64, factor)
    ref_output.backward(grad.double())
    assert {t.dtype for t in (output, hsum, grad_input, grad_parameters)} == {dtype}
    for actual, expected in zip((output, hsum, grad_input, grad_parameters),
                                (ref_output, ref_hsum, x64.grad, p64.grad)):
        torch.testing.assert_close(actual.double(), expected.detach(), **tolerance(dtype))
    assert grad_parameters[-1] == 0


def test_gradcheck():
    x, parameters, _ = random_layer(4, 3, 2, torch.float64, trailing=5, seed=1)
    for factor in (2.0, -0.3):
        assert gradcheck(Layer.apply, (ops, x.requires_grad_(), parameters.requires_grad_(), factor))


X, P, G = random_layer(4, 3, 2, torch.float64)
H = ops.forward(X, P, 1.0)[1]
ROWS = torch.zeros(1, 1).expand(2 ** 16, 1)  # expanded views: nothing this large is allocated


@pytest.mark.parametrize("call,error,message", [
    (lambda: ops.forward(X[0], P, 1.0), ValueError, "forward: input must have 2 dim"),
    (lambda: ops.forward(X, P.view(2, -1), 1.0), ValueError, "forward: parameters must have 1 dim"),
    (lambda: ops.backward(G.T, X, P, H, 1.0), ValueError, r"backward: grad must have sizes \[4, 2\]"),
    (lambda: ops.backward(G, X, P, H[:3], 1.0), ValueError, r"backward: hsum must have sizes \[4, 2\]"),
    (lambda: ops.forward(ROWS.expand(2 ** 16, 2 ** 15), P, 1.0), ValueError,
     "forward: input has 2147483648 elements"),
    (lambda: ops.forward(ROWS, torch.zeros(1).expand(2 ** 18), 1.0), ValueError,
     "forward: N·units is 4294967296"),
    (lambda: ops.backward(G, X, P, H.float(), 1.0), RuntimeError, "backward: hsum .*Double.*Float"),
    (lambda: ops.forward(X.half(), P.half(), 1.0), NotImplementedError,
     "paraboloid_forward_cpu_main.*'Half'"),
    (lambda: ops.backward(G.int(), X.int(), P.int(), H.int(), 1.0), NotImplementedError,
     "paraboloid_backward_cpu_main.*'Int'"),
])
def test_bad_arguments_are_refused(call, error, message):
    prefix = "" if error is NotImplementedError else "^ptparaboloidfree::"
    with pytest.raises(error, match=prefix + message):
        call()


def test_torchscript_calls_the_operators():
    @torch.jit.script
    def layer(x: torch.Tensor, parameters: torch.Tensor) -> torch.Tensor:
        return torch.ops.ptparaboloidfree.forward(x, parameters, 0.5)[0]

    assert torch.equal(layer(X, P), ops.forward(X, P, 0.5)[0])
