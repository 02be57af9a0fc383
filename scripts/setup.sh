#!/usr/bin/env bash
# From a fresh clone: install what is needed, build, and run the example.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j "$(nproc)"
/usr/bin/python3 examples/train_dense.py build/libvarekpt.so
