"""The update rule's operator as users call it, against PyTorch's own arithmetic."""
import pytest
import torch

from conftest import tolerance

ops = torch.ops.ptvareksgdfree
dense = torch.ops.ptparaboloidfree


def step(grad, moments, par, d, hlr, m=0.0, nesterov=False, wd=0.0, plr=0.0, dampening=0.0):
    return ops.getparupdate(grad, moments, par, float(d), hlr, plr, m, dampening, nesterov, wd)


def reference(grad, moments, par, d, hlr, m=0.0, nesterov=False, wd=0.0):
    """par − newpar in float64, zeros past the used length."""
    g, M, y = grad.double(), moments.double(), par.double()
    units = par.numel() // (2 * (d + 1))
    L, k = 2 * units * (d + 1), units * (d + 1)
    a = g[:L]
    if m > 0:
        a = a + m * M[:L]
        if nesterov:
            a = g[:L] + m * a
    new = y[:L] - hlr * a
    if wd > 0:
        def blocks(v):  # one row (h0[u], h[u]) per unit
            return torch.cat([v[:units, None], v[units:k].view(units, d)], dim=1)

        x = blocks(new)
        decayed = x - hlr * wd * blocks(y)
        length = torch.linalg.norm(x, dim=1)
        decayed_length = torch.linalg.norm(decayed, dim=1)
        r = torch.where(decayed_length == 0, torch.ones_like(length), length / decayed_length)
        decayed = decayed * r[:, None]
        new = torch.cat([decayed[:, 0], decayed[:, 1:].reshape(-1), new[k:]])
    update = torch.zeros_like(y)
    update[:L] = y[:L] - new
    return update


def random_vectors(units, d, dtype, trailing=0, seed=0):
    g = torch.Generator().manual_seed(seed)
    P = 2 * units * (d + 1) + trailing
    return [torch.randn(P, generator=g, dtype=torch.float64).to(dtype) for _ in range(3)]


SHAPES = [(1, 1, 0), (3, 4, 5), (17, 1, 3), (5, 0, 1), (8, 33, 2)]
STEPS = [  # hlr, momentum, nesterov, weight decay
    (0.1, 0.0, False, 0.0),
    (0.05, 0.9, False, 0.0),
    (0.05, 0.9, True, 0.01),
    (0.2, 0.0, True, 0.3),
    (0.01, 0.5, True, 0.5),
]


@pytest.mark.parametrize("units,d,trailing", SHAPES)
@pytest.mark.parametrize("hlr,m,nesterov,wd", STEPS)
def test_matches_reference(units, d, trailing, hlr, m, nesterov, wd, dtype):
    grad, moments, par = random_vectors(units, d, dtype, trailing)
    result = step(grad, moments, par, d, hlr, m, nesterov, wd)
    assert isinstance(result, list) and len(result) == 1
    update = result[0]
    assert update.dtype == dtype and update.shape == par.shape
    expected = reference(grad, moments, par, d, hlr, m, nesterov, wd)
    torch.testing.assert_close(update.double(), expected, **tolerance(dtype))
    if trailing:
        assert torch.all(update[-trailing:] == 0)


def test_worked_examples(dtype):
    ones = torch.ones(4, dtype=dtype)
    assert step(ones, ones, ones, 1, 0.5, m=0.5)[0].tolist() == [0.75] * 4
    assert step(ones, ones, ones, 1, 0.5, m=0.5, nesterov=True)[0].tolist() == [0.875] * 4
    par = torch.tensor([0.0, 2.0, 0.0, 0.0], dtype=dtype)
    grad = torch.tensor([0.0, 1.0, 0.0, 0.0], dtype=dtype)
    assert step(grad, ones, par, 1, 1.0, wd=0.25)[0].tolist() == [0.0, 1.0, 0.0, 0.0]


def test_d_is_truncated_toward_zero():
    grad, moments, par = random_vectors(2, 3, torch.float64, trailing=3)
    args = (0.1, 0.9, True, 0.2)
    for given, truncated in [(3.9, 3), (0.5, 0)]:
        expected = step(grad, moments, par, truncated, *args)[0]
        assert torch.equal(step(grad, moments, par, given, *args)[0], expected)


def test_unused_coefficients_have_no_effect():
    grad, moments, par = random_vectors(3, 2, torch.float64)
    moments_before = moments.clone()
    expected = step(grad, moments, par, 2, 0.1, 0.9, True, 0.1)[0]
    actual = step(grad, moments, par, 2, 0.1, 0.9, True, 0.1, plr=5.0, dampening=0.5)[0]
    assert torch.equal(expected, actual) and torch.equal(moments, moments_before)


def test_empty_and_unitless_vectors(dtype):
    empty = torch.empty(0, dtype=dtype)
    assert step(empty, empty, empty, 2, 0.1)[0].shape == (0,)
    short = torch.ones(7, dtype=dtype)  # shorter than one unit of d = 3
    update = step(short, short, short, 3, 0.1, 0.9, True, 0.1)[0]
    assert torch.equal(update, torch.zeros(7, dtype=dtype))


def test_noncontiguous_arguments(dtype):
    grad, moments, par = random_vectors(4, 3, dtype, trailing=2)
    strided = []
    for t in (grad, moments, par):
        wide = torch.zeros(2 * t.numel(), dtype=dtype)
        wide[1::2] = t
        strided.append(wide[1::2])
    assert not any(t.is_contiguous() for t in strided)
    args = (3, 0.1, 0.9, True, 0.2)
    assert torch.equal(step(*strided, *args)[0], step(grad, moments, par, *args)[0])


def test_bad_arguments_are_refused_with_clear_messages():
    v = torch.ones(8, dtype=torch.float64)
    huge = torch.zeros(1, dtype=torch.float64).expand(2 ** 31)  # never allocated
    value_errors = [
        ((v, v, v, float("nan")),
         "doubled must be a finite number from 0 to below 2147483648, but is nan"),
        ((v, v, v, float("inf")), "doubled must be a finite number .* but is inf"),
        ((v, v, v, -0.5), "doubled must be a finite number .* but is -0.5"),
        ((v, v, v, 2.0 ** 31), "doubled must be a finite number"),
        ((v, v, v, 2.0 ** 31 - 1), r"2·\(d\+1\) is 4294967296, outside the supported range"),
        ((v.view(2, 4), v, v, 1),
         r"grad must have 1 dimensions, but has 2 \(sizes \[2, 4\]\)"),
        ((v, v[0], v, 1), "moments must have 1 dimensions, but has 0"),
        ((v, v, v.view(4, 2), 1), "par must have 1 dimensions, but has 2"),
        ((v[:7], v, v, 1), r"grad has 7 elements, fewer than 2·units·\(d\+1\) = 8"),
        ((v, v[:3], v, 1), r"moments has 3 elements, fewer than 2·units·\(d\+1\) = 8"),
        ((v, v, huge, 0), "par has 2147483648 elements, more than the supported 2147483647"),
        ((v, v, huge[1:], 0), r"P \+ 2·units, the scratch length is 4294967293, outside"),
    ]
    for args, message in value_errors:
        with pytest.raises(ValueError, match="^ptvareksgdfree::getparupdate: " + message):
            step(*args, 0.1)



def test_element_types():
    half = torch.ones(4, dtype=torch.float16)
    with pytest.raises(NotImplementedError) as err:
        step(half, half, half, 1, 0.1)
    message = "\"vareksgd_getparupdate_cpu_main\" not implemented for 'Half'"
    assert str(err.value).startswith(message)
    par = torch.ones(4)
    with pytest.raises(RuntimeError, match="expected scalar type Float but found Double"):
        step(par.double(), par, par, 1, 0.1)


def test_registrations_report_their_locations():
    dump = torch._C._dispatch_dump("ptvareksgdfree::getparupdate")
    assert "registered at vareksgdupdate.cpp:20" in dump
    assert "CPU: registered at vareksgdupdate.cpp:175" in dump


def test_trains_the_dense_layer(dtype):
    g = torch.Generator().manual_seed(3)
    N, d, units = 64, 3, 4
    x = torch.randn(N, d, generator=g, dtype=torch.float64).to(dtype)
    teacher = torch.randn(2 * units * (d + 1), generator=g, dtype=torch.float64).to(dtype)
    target = dense.forward(x, teacher, 0.5)[0]
    par = torch.randn(2 * units * (d + 1), generator=g, dtype=torch.float64).to(dtype)
    moments = torch.zeros_like(par)
    losses = []
    for _ in range(30):
        output, hsum = dense.forward(x, par, 0.5)
        losses.append(((output - target) ** 2).mean().item())
        grad = dense.backward(2 * (output - target) / output.numel(), x, par, hsum, 0.5)[1]
        par = par - step(grad, moments, par, d, 0.01, 0.9, True, 1e-3)[0]
        moments = grad + 0.9 * moments
    assert losses[-1] < 0.5 * losses[0]
