#!/usr/bin/python3
"""Times the CPU operators next to the same computations composed from
PyTorch's own operators (matrix products and autograd; unfold for the
convolution), in one process, at PyTorch's default thread count and at one
core, and prints both medians and their ratio (ours / composite).

    /usr/bin/python3 bench/bench_cpu.py [build/libvarekpt.so] [--quick]

OpenBLAS, which serves PyTorch's matrix products, keeps its own thread count:
it is set to PyTorch's for the default figures and to 1 for the one-core
figures, so that neither side oversubscribes the cores.
"""
import ctypes
import os
import statistics
import sys
import time

import torch
import torch.nn.functional as F

FACTOR = 0.5


def load_library(argv):
    paths = [a for a in argv if not a.startswith("--")]
    here = os.path.dirname(os.path.abspath(__file__))
    path = paths[0] if paths else os.environ.get(
        "VAREKPT_LIBRARY", os.path.join(here, "..", "build", "libvarekpt.so"))
    torch.ops.load_library(path)


def blas_thread_setter():
    """openblas_set_num_threads of the BLAS library loaded in this process."""
    torch.ones(2, 2) @ torch.ones(2, 2)  # make sure the BLAS library is loaded
    seen = set()
    with open("/proc/self/maps") as maps:
        for line in maps:
            path = line.split()[-1]
            if "blas" not in path or path in seen:
                continue
            seen.add(path)
            try:
                return ctypes.CDLL(path).openblas_set_num_threads, path
            except (OSError, AttributeError):
                continue
    return None, None


def medians(ours, composite, budget):
    """Median seconds of both, timed in alternation so that both meet the same
    load on the machine."""
    ours()  # warm-up
    composite()
    times = ([], [])
    start = time.perf_counter()
    while len(times[0]) < 3 or (time.perf_counter() - start < budget and len(times[0]) < 200):
        for fn, record in ((ours, times[0]), (composite, times[1])):
            t0 = time.perf_counter()
            fn()
            record.append(time.perf_counter() - t0)
    return statistics.median(times[0]), statistics.median(times[1])


def blocks(parameters, units, d):
    h0 = parameters[:units]
    h = parameters[units:units + units * d].view(units, d)
    p = parameters[units + units * d:units + 2 * units * d].view(units, d)
    p0 = parameters[units + 2 * units * d:]
    return h0, h, p, p0


def dense_case(N, d, units, dtype):
    g = torch.Generator().manual_seed(0)
    x = torch.randn(N, d, dtype=dtype, generator=g)
    prm = torch.randn(2 * units * (d + 1), dtype=dtype, generator=g) / d ** 0.5
    grad = torch.randn(N, units, dtype=dtype, generator=g)
    ops = torch.ops.ptparaboloidfree
    hsum = ops.forward(x, prm, FACTOR)[1]

    def composite_forward(x, prm):
        h0, h, p, p0 = blocks(prm, units, d)
        s = torch.addmm(h0, x, h.t())
        dist = (x * x).sum(1, keepdim=True) - 2 * (x @ p.t()) + (p * p).sum(1)
        return FACTOR * (s * s - dist - p0 * p0)

    return (lambda: ops.forward(x, prm, FACTOR),
            lambda: ops.backward(grad, x, prm, hsum, FACTOR),
            composite_forward, (x, prm), grad)


def conv_case(N, C, H, W, units, k, dtype):
    g = torch.Generator().manual_seed(0)
    d = C * k * k
    x = torch.randn(N, C, H, W, dtype=dtype, generator=g)
    prm = torch.randn(2 * units * (d + 1), dtype=dtype, generator=g) / d ** 0.5
    geometry = [torch.tensor(v, dtype=torch.int32) for v in ([k, k], [1, 1], [1, 1])]
    oh, ow = H - k + 1, W - k + 1
    grad = torch.randn(N, units, oh, ow, dtype=dtype, generator=g)
    ops = torch.ops.ptparaconv2dfree
    hsum = ops.forward(x, prm, FACTOR, *geometry)[1]

    def composite_forward(x, prm):
        h0, h, p, p0 = blocks(prm, units, d)
        # The layer applies its filters flipped.
        h = h.view(units, C, k, k).flip(2, 3).reshape(units, d)
        p = p.view(units, C, k, k).flip(2, 3).reshape(units, d)
        cols = F.unfold(x, k)  # [N, d, oh·ow]
        s = h0[:, None] + h @ cols
        dist = (cols * cols).sum(1, keepdim=True) - 2 * (p @ cols) + (p * p).sum(1)[:, None]
        return (FACTOR * (s * s - dist - (p0 * p0)[:, None])).view(N, units, oh, ow)

    return (lambda: ops.forward(x, prm, FACTOR, *geometry),
            lambda: ops.backward(grad, x, prm, hsum, FACTOR, *geometry, False),
            composite_forward, (x, prm), grad)


def layer_rows(name, case, budget):
    ours_fwd, ours_bwd, composite_forward, inputs, grad = case
    leaves = [t.detach().requires_grad_() for t in inputs]
    graph_out = composite_forward(*leaves)
    with torch.no_grad():
        check = ours_fwd()[0]
    assert torch.allclose(check, graph_out.detach(), rtol=1e-3, atol=1e-2 * check.abs().max()), name

    def comp_fwd():
        return composite_forward(*leaves)

    def comp_bwd():
        torch.autograd.grad(graph_out, leaves, grad, retain_graph=True)

    def comp_both():
        torch.autograd.grad(composite_forward(*leaves), leaves, grad)

    def ours_both():
        ours_fwd()
        ours_bwd()

    return [(name, "forward", *medians(ours_fwd, comp_fwd, budget)),
            (name, "backward", *medians(ours_bwd, comp_bwd, budget)),
            (name, "fwd+bwd", *medians(ours_both, comp_both, budget))]


def update_rows(dtype, budget):
    units, d = 1000, 4999  # 2·units·(d+1) = 10⁷ parameters
    g = torch.Generator().manual_seed(0)
    n = 2 * units * (d + 1)
    grad, moments, par = (torch.randn(n, dtype=dtype, generator=g) for _ in range(3))
    hlr, m = 0.01, 0.9
    ops = torch.ops.ptvareksgdfree

    def ours():
        return ops.getparupdate(grad, moments, par, float(d), hlr, hlr, m, 0.0, False, 0.0)[0]

    def composite():
        return par - (par - torch.add(grad, moments, alpha=m) * hlr)

    assert torch.allclose(ours(), composite(), rtol=1e-4, atol=1e-6)
    return [("update 1e7", "step", *medians(ours, composite, budget))]


def main():
    quick = "--quick" in sys.argv
    load_library(sys.argv[1:])
    set_blas_threads, blas = blas_thread_setter()
    default_threads = torch.get_num_threads()
    flags = ""
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("flags"):
                flags = " ".join(f for f in line.split() if f in ("avx2", "fma", "avx512f"))
                break
    print(f"cores (nproc): {os.cpu_count()}, PyTorch's default threads: {default_threads}, "
          f"instruction sets: {flags}")
    print(f"OpenBLAS thread control: {blas or 'not found (one-core figures may use more)'}")
    budget = 0.5 if quick else 3.0
    dense_sizes = [(256, 256, 256), (4096, 512, 512), (64, 784, 128)]
    conv_sizes = [(16, 16, 32, 32, 32, 3), (8, 3, 64, 64, 16, 5)]
    for label, threads in (("default threads", default_threads), ("one core", 1)):
        torch.set_num_threads(threads)
        if set_blas_threads:
            set_blas_threads(threads)
        print(f"\n== {label} ({threads}) ==")
        print(f"{'work':<34}{'pass':<10}{'ours ms':>10}{'composite ms':>14}{'ratio':>8}")
        for dtype in (torch.float32, torch.float64):
            rows = []
            for N, d, units in dense_sizes:
                rows += layer_rows(f"dense N={N} d={d} units={units}",
                                   dense_case(N, d, units, dtype), budget)
            for N, C, H, W, units, k in conv_sizes:
                rows += layer_rows(f"conv N={N} C={C} {H}x{W} units={units} {k}x{k}",
                                   conv_case(N, C, H, W, units, k, dtype), budget)
            rows += update_rows(dtype, budget)
            name = "float32" if dtype == torch.float32 else "float64"
            for work, stage, ours, comp in rows:
                print(f"{work + ' ' + name:<34}{stage:<10}{ours * 1e3:>10.3f}"
                      f"{comp * 1e3:>14.3f}{ours / comp:>8.2f}", flush=True)


if __name__ == "__main__":
    main()
