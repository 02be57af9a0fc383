"""The update rule's operator as users call it, against PyTorch's own arithmetic."""
import re

import pytest
import torch

from conftest import tolerance

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
# have stride 2 and doubled is d + 0.9, which the entry truncates. A momentum
# or weight decay of 0 (also −0) turns it off.
@pytest.mark.parametrize("units,d,trailing", [(1, 1, 0), (3, 4, 5), (5, 0, 1), (8, 33, 2),
                                              (0, 3, 7)])
@pytest.mark.parametrize("hlr,m,nesterov,wd", [(0.1, 0.0, False, 0.0), (0.05, 0.9, False, 0.0),
                                               (0.05, 0.9, True, 0.01), (0.2, 0.0, True, 0.3),
                                               (0.01, 0.5, True, 0.5), (0.1, -0.0, True, -0.0)])
def test_matches_reference(units, d, trailing, hlr, m, nesterov, wd, dtype):
    g, P = torch.Generator().manual_seed(0), 2 * units * (d + 1) + trailing
    grad, moments, par = (torch.randn(2 * P, generator=g, dtype=torch.float64).to(dtype)[::2]
                          for _ in range(3))
    (update,) = step(grad, moments, par, d + 0.9, hlr, m, nesterov, wd)
    assert update.dtype == dtype and not update[2 * units * (d + 1):].any()
    expected = reference(grad, moments, par, d, hlr, m, nesterov, wd)
    torch.testing.assert_close(update.double(), expected, **tolerance(dtype))


def test_bad_arguments_are_refused_naming_the_operator_and_argument():
    v, inf, nan = torch.ones(8, dtype=torch.float64), float("inf"), float("nan")
    f = v.float()
    huge = torch.zeros(1, dtype=torch.float64).expand(2 ** 31)  # never allocated
    settings = {"hlr": 0.1, "m": 0.0, "wd": 0.0}
    cases = [  # arguments, settings that differ, error, what the message names
        *[((v, v, v, d), {}, ValueError, "doubled must be a finite number from 0")
          for d in (nan, -0.5, 2.0 ** 31)],
        ((v, v, v, 2.0 ** 31 - 1), {}, ValueError, "2·(d+1) is 4294967296"),
        ((v.view(2, 4), v, v, 1.0), {}, ValueError, "grad must have 1 dimensions"),
        ((v, v[0], v, 1.0), {}, ValueError, "moments must have 1 dimensions"),
        ((v, v, v.view(4, 2), 1.0), {}, ValueError, "par must have 1 dimensions"),
        ((v[:7], v, v, 1.0), {}, ValueError, "grad has 7 elements, fewer than 2·units·(d+1) = 8"),
        ((v, v[:3], v, 1.0), {}, ValueError, "moments has 3 elements, fewer than"),
        ((v, v, huge, 0.0), {}, ValueError, "par has 2147483648 elements"),
        ((v, v, huge[1:], 0.0), {}, ValueError, "L + 2·units, the scratch length"),
        # Settings: a finite learning rate; momentum and weight decay from 0.
        *[((v, v, v, 1.0), {"hlr": x}, ValueError, "doublehlr must be a finite number")
          for x in (nan, -inf, inf)],
        *[((v, v, v, 1.0), {name: x}, ValueError, f"double{long} must be a number from 0")
          for name, long in (("m", "momentum"), ("wd", "wd")) for x in (-1e-4, nan)],
        # Settings must stay finite in par's element type.
        ((f, f, f, 1.0), {"hlr": 1e39}, ValueError, "doublehlr must be a finite number in Float"),
        ((f, f, f, 1.0), {"m": 1e39}, ValueError, "doublemomentum must be a finite number in Float"),
        ((v, v, v, 1.0), {"m": inf}, ValueError, "doublemomentum must be a finite number in Double"),
        ((v, v, v, 1.0), {"wd": inf}, ValueError, "doublewd must be a finite number in Double"),
        ((v.half(), v.half(), v.half(), 1.0), {}, NotImplementedError,
         "\"vareksgd_getparupdate_cpu_main\" not implemented for 'Half'"),
        ((f, v, v, 1.0), {}, RuntimeError, "grad must have element type Double"),
        ((v, v.half(), v, 1.0), {}, RuntimeError, "moments must have element type Double"),
        # Type errors are found whether or not there is work.
        ((f, v, v, 7.0), {}, RuntimeError, "grad must have element type Double"),
    ]
    for args, changed, error, message in cases:
        prefix = "" if error is NotImplementedError else "ptvareksgdfree::getparupdate: "
        with pytest.raises(error, match="^" + re.escape(prefix + message)):
            step(*args, **{**settings, **changed})


def test_reads_no_further_than_the_used_length():
    # A gradient and a momentum buffer expanded to 2**40 elements are far longer than memory: an
    # entry that copied them whole would fail.
    par = torch.randn(2 * 3 * (4 + 1) + 2, dtype=torch.float64)
    long = torch.full((1,), 0.5, dtype=torch.float64).expand(2 ** 40)
    (update,) = step(long, long, par, 4.0, 0.1, 0.9, True, 0.01)
    expected = step(torch.full_like(par, 0.5), torch.full_like(par, 0.5), par, 4.0, 0.1, 0.9,
                    True, 0.01)[0]
    assert torch.equal(update, expected) and update.shape == par.shape
