"""Trains a dense paraboloid layer on synthetic data with the library's operators.

    /usr/bin/python3 examples/train_dense.py [path/to/libvarekpt.so]

A teacher layer with random parameters labels random inputs; a student layer
of the same shape learns to reproduce it. The forward and backward operators
compute the layer, a plain gradient step updates the student.
"""
import sys

import torch

torch.ops.load_library(sys.argv[1] if len(sys.argv) > 1 else "build/libvarekpt.so")
layer = torch.ops.ptparaboloidfree

torch.manual_seed(0)
N, d, units, factor = 512, 6, 4, 0.25
n_parameters = 2 * units * (d + 1)

x = torch.randn(N, d)
teacher = torch.randn(n_parameters)
target, _ = layer.forward(x, teacher, factor)

parameters = 0.5 * torch.randn(n_parameters)
learning_rate = 0.05
for step in range(301):
    output, hsum = layer.forward(x, parameters, factor)
    error = output - target
    loss = error.pow(2).mean()
    if step % 50 == 0:
        print(f"step {step:4d}  loss {loss.item():.6f}")
    grad_output = 2 * error / error.numel()
    _, grad_parameters = layer.backward(grad_output, x, parameters, hsum, factor)
    parameters -= learning_rate * grad_parameters
