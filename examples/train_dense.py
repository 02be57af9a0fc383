"""Trains a dense paraboloid layer on synthetic data with the library's operators.

    /usr/bin/python3 examples/train_dense.py [path/to/libvarekpt.so]

A teacher layer with random parameters labels random inputs; a student layer
of the same shape learns to reproduce it. The forward and backward operators
compute the layer; getparupdate turns the gradient into the step, with
momentum and weight decay.
"""
import sys

import torch

torch.ops.load_library(sys.argv[1] if len(sys.argv) > 1 else "build/libvarekpt.so")
layer = torch.ops.ptparaboloidfree
update_rule = torch.ops.ptvareksgdfree

torch.manual_seed(0)
N, d, units, factor = 512, 6, 4, 0.25
n_parameters = 2 * units * (d + 1)

x = torch.randn(N, d)
teacher = torch.randn(n_parameters)
target, _ = layer.forward(x, teacher, factor)

parameters = 0.5 * torch.randn(n_parameters)
moments = torch.zeros(n_parameters)
learning_rate, momentum, weight_decay = 0.02, 0.5, 1e-4
for step in range(301):
    output, hsum = layer.forward(x, parameters, factor)
    error = output - target
    loss = error.pow(2).mean()
    if step % 50 == 0:
        print(f"step {step:4d}  loss {loss.item():.6f}")
    grad_output = 2 * error / error.numel()
    _, grad_parameters = layer.backward(grad_output, x, parameters, hsum, factor)
    (update,) = update_rule.getparupdate(grad_parameters, moments, parameters, float(d),
                                         learning_rate, 0.0, momentum, 0.0, False, weight_decay)
    parameters -= update
    # The operator reads the momentum buffer; keeping it is the caller's part.
    moments = grad_parameters + momentum * moments

# The convolution layer works the same way on NCHW images: each output position
# applies the units to the (flipped) 3×3 window under it.
conv = torch.ops.ptparaconv2dfree
images = torch.randn(8, 3, 16, 16)
geometry = dict(kernel=torch.tensor([3, 3], dtype=torch.int32),
                strides=torch.tensor([1, 1], dtype=torch.int32),
                dilation=torch.tensor([1, 1], dtype=torch.int32))
conv_units, conv_d = 5, 3 * 3 * 3
conv_parameters = 0.1 * torch.randn(2 * conv_units * (conv_d + 1))
output, hsum = conv.forward(images, conv_parameters, factor, *geometry.values())
grad_images, grad_conv = conv.backward(torch.ones_like(output), images, conv_parameters, hsum,
                                       factor, *geometry.values(), False)
print(f"convolution: output {tuple(output.shape)}, parameter gradient {tuple(grad_conv.shape)}")
