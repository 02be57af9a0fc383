"""The convolution layer's operators as users call them, against PyTorch's own arithmetic."""
import pytest
import torch
import torch.nn.functional as F
from torch.autograd import gradcheck

from conftest import tolerance

ops = torch.ops.ptparaconv2dfree


def pair(a, b):
    return torch.tensor([a, b], dtype=torch.int32)


def split(parameters, C, kh, kw):
    d = C * kh * kw
    units = parameters.numel() // (2 * (d + 1))
    h0 = parameters[:units]
    h = parameters[units:units + units * d].view(units, C, kh, kw)
    p = parameters[units + units * d:units + 2 * units * d].view(units, C, kh, kw)
    p0 = parameters[units + 2 * units * d:2 * units * (d + 1)]
    return h0, h, p, p0


def reference_forward(x, parameters, factor, kernel, stride, dilation):
    """Windows by unfold; the filter is flipped, tap (0, 0) meets the window's last element."""
    N, C, H, W = x.shape
    h0, h, p, p0 = split(parameters, C, *kernel)
    units = h0.numel()
    cols = F.unfold(x, kernel, dilation=dilation, stride=stride)  # [N, d, windows]
    h = h.flip(2, 3).reshape(units, -1)
    p = p.flip(2, 3).reshape(units, -1)
    hsum = h0[:, None] + h @ cols
    distance = ((cols[:, None] - p[None, :, :, None]) ** 2).sum(2)
    output = factor * (hsum ** 2 - distance - (p0 ** 2)[:, None])
    outH = (H - dilation[0] * (kernel[0] - 1) - 1) // stride[0] + 1
    outW = (W - dilation[1] * (kernel[1] - 1) - 1) // stride[1] + 1
    return output.view(N, units, outH, outW), hsum.view(N, units, outH, outW)


def reference_backward(grad, x, parameters, factor, *geometry):
    x = x.detach().double().requires_grad_()
    parameters = parameters.detach().double().requires_grad_()
    output, _ = reference_forward(x, parameters, factor, *geometry)
    output.backward(grad.double())
    return x.grad, parameters.grad


class Conv(torch.autograd.Function):
    """Pairs the forward and backward operators the way a model would."""

    @staticmethod
    def forward(ctx, x, parameters, factor, kernel, stride, dilation):
        geometry = (pair(*kernel), pair(*stride), pair(*dilation))
        output, hsum = ops.forward(x, parameters, factor, *geometry)
        ctx.save_for_backward(x, parameters, hsum)
        ctx.factor, ctx.geometry = factor, geometry
        return output

    @staticmethod
    def backward(ctx, grad):
        x, parameters, hsum = ctx.saved_tensors
        grad_input, grad_parameters = ops.backward(grad, x, parameters, hsum, ctx.factor,
                                                   *ctx.geometry, False)
        # Elements past the four blocks do not enter the output.
        grad_parameters = F.pad(grad_parameters, (0, parameters.numel() - grad_parameters.numel()))
        return grad_input, grad_parameters, None, None, None, None


def random_layer(N, C, H, W, units, kernel, stride, dilation, dtype, trailing=0, seed=0):
    g = torch.Generator().manual_seed(seed)
    d = C * kernel[0] * kernel[1]
    outH = (H - dilation[0] * (kernel[0] - 1) - 1) // stride[0] + 1
    outW = (W - dilation[1] * (kernel[1] - 1) - 1) // stride[1] + 1
    x = torch.randn(N, C, H, W, generator=g, dtype=torch.float64)
    parameters = torch.randn(2 * units * (d + 1) + trailing, generator=g, dtype=torch.float64)
    grad = torch.randn(N, units, outH, outW, generator=g, dtype=torch.float64)
    return x.to(dtype), parameters.to(dtype), grad.to(dtype)


# (N, C, H, W, units, kernel, stride, dilation)
GEOMETRIES = [
    (2, 3, 7, 7, 4, (3, 3), (2, 2), (1, 1)),  # overlapping windows
    (2, 2, 7, 8, 3, (1, 1), (3, 3), (1, 1)),  # 1×1 kernel, most elements unread
    (2, 2, 9, 11, 3, (3, 5), (2, 1), (2, 1)),  # everything differs in height and width
    (3, 1, 8, 6, 2, (3, 1), (2, 3), (1, 1)),  # the windows do not reach the last row
    (1, 4, 5, 5, 1, (5, 5), (1, 1), (1, 1)),  # one window covers the image
    (2, 1, 3, 10, 2, (1, 3), (1, 2), (1, 3)),
]


@pytest.mark.parametrize("N,C,H,W,units,kernel,stride,dilation", GEOMETRIES)
@pytest.mark.parametrize("factor", [1.0, -0.75])
def test_forward_and_backward_match_reference(N, C, H, W, units, kernel, stride, dilation,
                                              factor, dtype):
    geometry = (kernel, stride, dilation)
    x, parameters, grad = random_layer(N, C, H, W, units, *geometry, dtype, trailing=3)
    tensors = [pair(*g) for g in geometry]
    output, hsum = ops.forward(x, parameters, factor, *tensors)
    ref_output, ref_hsum = reference_forward(x.double(), parameters.double(), factor, *geometry)
    assert output.dtype == hsum.dtype == dtype
    torch.testing.assert_close(hsum.double(), ref_hsum, **tolerance(dtype))
    torch.testing.assert_close(output.double(), ref_output, **tolerance(dtype))

    grad_input, grad_parameters = ops.backward(grad, x, parameters, hsum, factor, *tensors, False)
    ref_input, ref_parameters = reference_backward(grad, x, parameters, factor, *geometry)
    used = 2 * units * (C * kernel[0] * kernel[1] + 1)
    assert grad_input.shape == x.shape and grad_parameters.shape == (used,)
    torch.testing.assert_close(grad_input.double(), ref_input, **tolerance(dtype))
    torch.testing.assert_close(grad_parameters.double(), ref_parameters[:used], **tolerance(dtype))

    skipped_input, skipped_parameters = ops.backward(grad, x, parameters, hsum, factor, *tensors,
                                                     True)
    assert torch.all(skipped_input == 0) and torch.equal(skipped_parameters, grad_parameters)


@pytest.mark.parametrize("factor", [1.0, 2.5, -0.3])
@pytest.mark.parametrize("trailing", [0, 5])
def test_gradcheck(factor, trailing):
    geometry = ((3, 1), (2, 1), (1, 2))
    x, parameters, _ = random_layer(2, 2, 6, 5, 2, *geometry, torch.float64, trailing, seed=1)
    assert gradcheck(Conv.apply, (x.requires_grad_(), parameters.requires_grad_(), factor,
                                  *geometry))


def test_empty_sizes(dtype):
    ones = pair(1, 1)
    # N = 0
    x, parameters, _ = random_layer(0, 2, 4, 4, 3, (3, 3), (1, 1), (1, 1), dtype)
    output, hsum = ops.forward(x, parameters, 1.0, pair(3, 3), ones, ones)
    assert output.shape == hsum.shape == (0, 3, 2, 2)
    grad_input, grad_parameters = ops.backward(output, x, parameters, hsum, 1.0, pair(3, 3), ones,
                                               ones, False)
    assert grad_input.shape == (0, 2, 4, 4) and grad_parameters.shape == parameters.shape
    assert torch.all(grad_parameters == 0)

    # units = 0: the parameter vector is shorter than one unit
    x = torch.ones(2, 1, 3, 3, dtype=dtype)
    output, hsum = ops.forward(x, torch.ones(19, dtype=dtype), 1.0, pair(3, 3), ones, ones)
    assert output.shape == hsum.shape == (2, 0, 1, 1)
    grad_input, grad_parameters = ops.backward(output, x, torch.ones(19, dtype=dtype), hsum, 1.0,
                                               pair(3, 3), ones, ones, False)
    assert torch.all(grad_input == 0) and grad_parameters.shape == (0,)


def test_noncontiguous_arguments_are_read_by_their_strides(dtype):
    geometry = ((3, 3), (1, 2), (1, 1))
    x, parameters, grad = random_layer(2, 3, 6, 7, 2, *geometry, dtype)
    tensors = [pair(*g) for g in geometry]
    x_t = x.permute(0, 2, 3, 1).contiguous().permute(0, 3, 1, 2)
    wide = torch.zeros(parameters.numel() * 2, dtype=dtype)
    wide[::2] = parameters
    grad_t = grad.permute(3, 2, 1, 0).contiguous().permute(3, 2, 1, 0)
    strided = [torch.stack([t, t], 1).view(-1)[::2] for t in tensors]
    assert not any(t.is_contiguous() for t in [x_t, wide[::2], grad_t] + strided)

    output, hsum = ops.forward(x, parameters, 1.5, *tensors)
    output_s, hsum_s = ops.forward(x_t, wide[::2], 1.5, *strided)
    assert torch.equal(output, output_s) and torch.equal(hsum, hsum_s)
    expected = ops.backward(grad, x, parameters, hsum, 1.5, *tensors, False)
    actual = ops.backward(grad_t, x_t, wide[::2], hsum.transpose(2, 3).contiguous().transpose(2, 3),
                          1.5, *strided, False)
    for e, a in zip(expected, actual):
        assert torch.equal(e, a)


@pytest.mark.parametrize("bad,name", [(torch.float16, "Half"), (torch.int32, "Int")])
def test_unsupported_element_type(bad, name):
    x = torch.ones(1, 1, 3, 3, dtype=bad)
    parameters = torch.ones(4, dtype=bad)
    ones = pair(1, 1)
    with pytest.raises(NotImplementedError) as err:
        ops.forward(x, parameters, 1.0, ones, ones, ones)
    assert str(err.value).startswith('"paraconv2d_forward_cpu_main" not implemented for \'%s\''
                                     % name)
    with pytest.raises(NotImplementedError) as err:
        ops.backward(x, x, parameters, x, 1.0, ones, ones, ones, False)
    assert str(err.value).startswith('"paraconv2d_backward_cpu_main" not implemented for \'%s\''
                                     % name)


def test_foreign_element_types_raise_pytorchs_error():
    x, ones = torch.ones(1, 1, 3, 3), pair(1, 1)
    with pytest.raises(RuntimeError, match="expected scalar type Float but found Double"):
        ops.forward(x, torch.ones(4, dtype=torch.float64), 1.0, ones, ones, ones)
    with pytest.raises(RuntimeError, match="expected scalar type Int but found Long"):
        ops.forward(x, torch.ones(4), 1.0, ones, ones.long(), ones)
    with pytest.raises(RuntimeError, match="expected scalar type Int but found Long"):
        ops.backward(x, x, torch.ones(4), x, 1.0, ones, ones, ones.long(), False)


def test_bad_arguments_are_refused_with_clear_messages():
    x, parameters, grad = random_layer(2, 1, 5, 5, 2, (3, 3), (1, 1), (1, 1), torch.float64)
    k3, ones = pair(3, 3), pair(1, 1)
    _, hsum = ops.forward(x, parameters, 1.0, k3, ones, ones)

    def fwd(x=x, parameters=parameters, kernel=k3, stride=ones, dilation=ones):
        return ops.forward(x, parameters, 1.0, kernel, stride, dilation)

    def bwd(grad=grad, x=x, parameters=parameters, hsum=hsum, kernel=k3, stride=ones,
            dilation=ones):
        return ops.backward(grad, x, parameters, hsum, 1.0, kernel, stride, dilation, False)

    values = [
        (lambda: fwd(x=x[0]), "forward: input must have 4 dimensions"),
        (lambda: bwd(parameters=parameters.view(2, -1)), "backward: parameters must have 1 dim"),
        (lambda: fwd(kernel=torch.tensor([3], dtype=torch.int32)),
         "forward: kernel_size_tensor must hold at least 2 elements, but holds 1"),
        (lambda: bwd(stride=pair(1, 1)[:0]), "backward: strides_tensor must hold at least 2"),
        (lambda: fwd(kernel=pair(2, 3)),
         "forward: kernel_size_tensor must hold odd kernel sizes of at least 1, got 2 x 3"),
        (lambda: bwd(kernel=pair(3, -1)), "backward: kernel_size_tensor .* got 3 x -1"),
        (lambda: fwd(stride=pair(1, 0)),
         "forward: strides_tensor must hold strides of at least 1, got 1 x 0"),
        (lambda: bwd(dilation=pair(0, 1)),
         "backward: dilation_rate_tensor must hold dilations of at least 1, got 0 x 1"),
        (lambda: fwd(dilation=pair(3, 1)), "forward: input of height 5 and width 5 is smaller "
         "than the dilated kernel window of 7 x 3"),
        (lambda: bwd(kernel=pair(1, 7)), "backward: input .* window of 1 x 7"),
        (lambda: bwd(grad=grad[:, :1]), r"backward: grad must have sizes \[2, 2, 3, 3\]"),
        (lambda: bwd(hsum=hsum[..., :2]), r"backward: hsum must have sizes \[2, 2, 3, 3\]"),
        # Sizes beyond 32 bits, on expanded views: nothing of this size is allocated.
        (lambda: fwd(x=torch.zeros(1, 1, 1, 1).expand(2 ** 31, 1, 5, 5)),
         "forward: input has 53687091200 elements"),
        (lambda: fwd(x=torch.zeros(0, 2 ** 30, 3, 3)), "forward: C·kh is 3221225472"),
        (lambda: fwd(x=torch.zeros(0, 2 ** 28, 3, 3)), "forward: d = C·kh·kw is 2415919104"),
        (lambda: fwd(x=torch.zeros(1, 1, 1, 1).expand(2 ** 16, 1, 1, 1),
                     parameters=torch.zeros(1).expand(2 ** 18), kernel=ones),
         "forward: N·units is 4294967296"),
        (lambda: fwd(x=torch.zeros(1, 1, 1, 1).expand(2 ** 10, 1, 2 ** 11, 1),
                     parameters=torch.zeros(1).expand(2 ** 12), kernel=ones),
         "forward: N·units·outH is 2147483648"),
    ]
    for call, message in values:
        with pytest.raises(ValueError, match="ptparaconv2dfree::" + message):
            call()

    # Tensors on other devices never reach the entries through the dispatcher; the C++
    # tests call the entries directly for those checks.

def test_registrations_report_their_locations():
    dump = torch._C._dispatch_dump("ptparaconv2dfree::forward")
    assert "registered at paraconv2d.cpp:21" in dump
    assert "CPU: registered at paraconv2d.cpp:519" in dump
    dump = torch._C._dispatch_dump("ptparaconv2dfree::backward")
    assert "CPU: registered at paraconv2d.cpp:523" in dump
