"""The update rule's operator as users call it, against PyTorch's own arithmetic."""
import re

import pytest
import torch

from conftest import tolerance

dense = torch.ops.ptparaboloidfree


# The operator with plr 0.3 and dampening 0.9, which the rule does not use.
def step(grad, moments, par, d, hlr, m=0.0, nesterov=False, wd=0.0):
    return torch.ops.ptvareksgdfree.getparupdate(grad, moments, par, d, hlr, 0.3, m, 0.9,
                                                 nesterov, wd)


# par − newpar in float64, zeros past the used length.
def reference(grad, moments, par, d, hlr, m, nesterov, wd):
    g, M, y = grad.double(), moments.double(), par.double()
    units = par.numel() // (2 * (d + 1))
    L, k = 2 * units * (d + 1), units * (d + 1)
    a = g[:L] + m * M[:L] if m > 0 else g[:L]
    if m > 0 and nesterov:
        a = g[:L] + m * a
    new = y[:L] - hlr * a
    if wd > 0:
        def blocks(v):  # one row (h0[u], h[u]) per unit
            return torch.cat([v[:units, None], v[units:k].view(units, d)], dim=1)

        decayed = blocks(new) - hlr * wd * blocks(y)
        n = torch.linalg.norm(decayed, dim=1)
        r = torch.where(n == 0, torch.ones_like(n), torch.linalg.norm(blocks(new), dim=1) / n)
        decayed = decayed * r[:, None]
        new = torch.cat([decayed[:, 0], decayed[:, 1:].reshape(-1), new[k:]])
    return torch.cat([y[:L] - new, torch.zeros(par.numel() - L, dtype=torch.float64)])


# units, d, trailing; units = 0 when even one unit does not fit. The arguments
# have stride 2 and doubled is d + 0.9, which the entry truncates.
@pytest.mark.parametrize("units,d,trailing", [(1, 1, 0), (3, 4, 5), (5, 0, 1), (8, 33, 2),
                                              (0, 3, 7)])
@pytest.mark.parametrize("hlr,m,nesterov,wd", [(0.1, 0.0, False, 0.0), (0.05, 0.9, False, 0.0),
                                               (0.05, 0.9, True, 0.01), (0.2, 0.0, True, 0.3),
                                               (0.01, 0.5, True, 0.5)])
def test_matches_reference(units, d, trailing, hlr, m, nesterov, wd, dtype):
    g, P = torch.Generator().manual_seed(0), 2 * units * (d + 1) + trailing
    grad, moments, par = (torch.randn(2 * P, generator=g, dtype=torch.float64).to(dtype)[::2]
                          for _ in range(3))
    (update,) = step(grad, moments, par, d + 0.9, hlr, m, nesterov, wd)
    assert update.dtype == dtype and not update[2 * units * (d + 1):].any()
    expected = reference(grad, moments, par, d, hlr, m, nesterov, wd)
    torch.testing.assert_close(update.double(), expected, **tolerance(dtype))


def test_bad_arguments_are_refused_with_clear_messages():
    v, d_range = torch.ones(8, dtype=torch.float64), "a finite number from 0 to below 2147483648"
    huge = torch.zeros(1, dtype=torch.float64).expand(2 ** 31)  # never allocated
    cases = [  # the entry's own checks raise ValueError and name the operator
        ((v, v, v, float("nan")), ValueError, f"doubled must be {d_range}, but is nan"),
        ((v, v, v, -0.5), ValueError, f"doubled must be {d_range}, but is -0.5"),
        ((v, v, v, 2.0 ** 31), ValueError, f"doubled must be {d_range}, but is 2.14748e+09"),
        ((v, v, v, 2.0 ** 31 - 1), ValueError, "2·(d+1) is 4294967296, outside the supported"),
        ((v.view(2, 4), v, v, 1.0), ValueError, "grad must have 1 dimensions, but has 2 (sizes"),
        ((v, v[0], v, 1.0), ValueError, "moments must have 1 dimensions, but has 0"),
        ((v, v, v.view(4, 2), 1.0), ValueError, "par must have 1 dimensions, but has 2"),
        ((v[:7], v, v, 1.0), ValueError, "grad has 7 elements, fewer than 2·units·(d+1) = 8"),
        ((v, v[:3], v, 1.0), ValueError, "moments has 3 elements, fewer than 2·units·(d+1)"),
        ((v, v, huge, 0.0), ValueError, "par has 2147483648 elements, more than the supported"),
        ((v, v, huge[1:], 0.0), ValueError, "P + 2·units, the scratch length is 4294967293,"),
        ((v.half(), v.half(), v.half(), 1.0), NotImplementedError,
         "\"vareksgd_getparupdate_cpu_main\" not implemented for 'Half'"),
        ((v.float(), v, v, 1.0), RuntimeError, "expected scalar type Double but found Float"),
    ]
    for args, error, message in cases:
        prefix = "ptvareksgdfree::getparupdate: " if error is ValueError else ""
        with pytest.raises(error, match="^" + re.escape(prefix + message)):
            step(*args, 0.1)


def test_registrations_report_their_locations():
    dump = torch._C._dispatch_dump("ptvareksgdfree::getparupdate")
    assert "registered at vareksgdupdate.cpp:20" in dump
    assert "CPU: registered at vareksgdupdate.cpp:175" in dump


def test_trains_the_dense_layer(dtype):
    g = torch.Generator().manual_seed(3)
    x, teacher, par = (torch.randn(*size, generator=g, dtype=torch.float64).to(dtype)
                       for size in [(64, 3), (32,), (32,)])
    target, moments, losses = dense.forward(x, teacher, 0.5)[0], torch.zeros_like(par), []
    for _ in range(30):
        output, hsum = dense.forward(x, par, 0.5)
        losses.append(((output - target) ** 2).mean().item())
        grad = dense.backward(2 * (output - target) / output.numel(), x, par, hsum, 0.5)[1]
        par = par - step(grad, moments, par, 3.0, 0.01, 0.9, True, 1e-3)[0]
        moments = grad + 0.9 * moments
    assert losses[-1] < 0.5 * losses[0]
