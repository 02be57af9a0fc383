#!/usr/bin/python3
"""Times the CPU operators next to the same computations composed from
PyTorch's own operators (matrix products and autograd; unfold for the
convolution), in one process, at PyTorch's default thread count and at one
core, and prints both medians and their ratio (ours / composite).

    /usr/bin/python3 bench/bench_cpu.py [build/libvarekpt.so] [--quick] [--paths]

--memory prints instead the peak memory that a forward and a backward take
beyond their arguments, for layers of many narrow units and of few wide ones.

--paths prints instead, at one thread, the time of forward and backward of
each size on every instruction-set path this processor has (SSE2, AVX2 with
FMA, AVX-512), the paths timed in alternation.

OpenBLAS, which serves PyTorch's matrix products, keeps its own thread count:
it is set to PyTorch's for the default figures and to 1 for the one-core
figures, so that neither side oversubscribes the cores.
"""
import ctypes
import os
import resource
import statistics
import subprocess
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
    return path


# The library's instruction-set paths (varekpt::cpu::Isa) and the exported
# function that forces one.
ISA_PATHS = (("SSE2", 0), ("AVX2+FMA", 1), ("AVX-512", 2))
FORCE_ISA = "_ZN7varekpt3cpu9force_isaENS0_3IsaE"
BEST_ISA = "_ZN7varekpt3cpu8best_isaEv"


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


def update_step(dtype):
    units, d = 1000, 4999  # 2·units·(d+1) = 10⁷ parameters
    g = torch.Generator().manual_seed(0)
    n = 2 * units * (d + 1)
    grad, moments, par = (torch.randn(n, dtype=dtype, generator=g) for _ in range(3))
    return lambda: torch.ops.ptvareksgdfree.getparupdate(grad, moments, par, float(d), 0.01, 0.01,
                                                         0.9, 0.0, True, 1e-4)


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


def path_rows(library, sizes, budget, threads):
    """Median of each case on every path the processor has, the paths timed
    in alternation; the best path is restored afterwards."""
    lib = ctypes.CDLL(library)
    force = getattr(lib, FORCE_ISA)
    paths = [(name, isa) for name, isa in ISA_PATHS if force(ctypes.c_int(isa)) & 1]
    torch.set_num_threads(threads)
    print(f"\n== instruction-set paths, {threads} thread(s): forward + backward (update: one step),"
          " ms ==")
    print(f"{'work':<42}" + "".join(f"{name:>12}" for name, _ in paths))
    for label, fn in sizes:
        times = {name: [] for name, _ in paths}
        for name, isa in paths:  # warm-up
            force(ctypes.c_int(isa))
            fn()
        start = time.perf_counter()
        while len(times[paths[0][0]]) < 3 or (time.perf_counter() - start < budget
                                              and len(times[paths[0][0]]) < 100):
            for name, isa in paths:
                force(ctypes.c_int(isa))
                t0 = time.perf_counter()
                fn()
                times[name].append(time.perf_counter() - t0)
        print(f"{label:<42}" + "".join(
            f"{statistics.median(times[name]) * 1e3:>12.3f}" for name, _ in paths), flush=True)
    force(ctypes.c_int(getattr(lib, BEST_ISA)()))


MEMORY_CASES = [(2 ** 21, 1), (2 ** 19, 3), (2 ** 14, 63), (1, 2 ** 22 + 1)]
MEMORY_OPERATORS = ("dense forward", "dense backward", "conv backward")


def memory_case(units, d, operator):
    """Prints the peak growth of this process's resident memory during one
    call, less the results it returns, in bytes. The convolution runs one
    window of a 1 × d image (d odd)."""
    N = 4
    x = torch.randn(N, d)
    prm = torch.randn(2 * units * (d + 1))
    grad = torch.randn(N, units)
    hsum = torch.randn(N, units)
    geometry = [torch.tensor(v, dtype=torch.int32) for v in ([1, d], [1, 1], [1, 1])]
    calls = {
        "dense forward": lambda: torch.ops.ptparaboloidfree.forward(x, prm, FACTOR),
        "dense backward": lambda: torch.ops.ptparaboloidfree.backward(grad, x, prm, hsum, FACTOR),
        "conv backward": lambda: torch.ops.ptparaconv2dfree.backward(
            grad.view(N, units, 1, 1), x.view(N, 1, 1, d), prm, hsum.view(N, units, 1, 1),
            FACTOR, *geometry, False),
    }
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    results = calls[operator]()
    after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(after - before - sum(r.numel() * r.element_size() for r in results))


def memory_rows(library):
    print("== peak memory of one call beyond its arguments and results, float32, N = 4 ==")
    print(f"{'units':>10}{'d':>10}{'parameters MB':>15}" +
          "".join(f"{op + ' MB':>20}" for op in MEMORY_OPERATORS) + f"{'most / parameters':>19}")
    for units, d in MEMORY_CASES:
        peaks = []
        for op in MEMORY_OPERATORS:
            out = subprocess.run([sys.executable, os.path.abspath(__file__), library,
                                  f"--memory-case={units},{d},{op}"], capture_output=True,
                                 text=True, check=True).stdout
            peaks.append(max(0, int(out.split()[-1])))
        params = 2 * units * (d + 1) * 4
        print(f"{units:>10}{d:>10}{params / 2**20:>15.1f}" +
              "".join(f"{p / 2**20:>20.1f}" for p in peaks) + f"{max(peaks) / params:>19.2f}",
              flush=True)


def both(case):
    ours_fwd, ours_bwd = case[:2]
    return lambda: (ours_fwd(), ours_bwd())


def main():
    quick = "--quick" in sys.argv
    library = load_library(sys.argv[1:])
    for arg in sys.argv[1:]:
        if arg.startswith("--memory-case="):
            units, d, op = arg.split("=")[1].split(",")
            memory_case(int(units), int(d), op)
            return
    if "--memory" in sys.argv:
        memory_rows(library)
        return
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
    if "--paths" in sys.argv:
        cases = []
        for dtype in (torch.float32, torch.float64):
            name = "float32" if dtype == torch.float32 else "float64"
            cases += [(f"dense N={N} d={d} units={units} {name}",
                       both(dense_case(N, d, units, dtype))) for N, d, units in dense_sizes]
            cases += [(f"conv N={N} C={C} {H}x{W} units={units} {k}x{k} {name}",
                       both(conv_case(N, C, H, W, units, k, dtype)))
                      for N, C, H, W, units, k in conv_sizes]
            cases.append((f"update 1e7 {name}", update_step(dtype)))
        for threads in (1, default_threads):
            path_rows(library, cases, budget, threads)
        return
    for label, threads in (("default threads", default_threads), ("one core", 1)):
        torch.set_num_threads(threads)
        if set_blas_threads:
            set_blas_threads(threads)
        print(f"\n== {label} ({threads}) ==")
        print(f"{'work':<46}{'pass':<10}{'ours ms':>10}{'composite ms':>14}{'ratio':>8}")
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
                print(f"{work + ' ' + name:<46}{stage:<10}{ours * 1e3:>10.3f}"
                      f"{comp * 1e3:>14.3f}{ours / comp:>8.2f}", flush=True)


if __name__ == "__main__":
    main()
