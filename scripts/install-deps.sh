#!/usr/bin/env bash
# Installs the Debian packages the library, its tests and benchmarks need.
set -euo pipefail

packages=(
  build-essential cmake
  libtorch-dev python3-torch python3-pytest
  python3-venv            # the virtual environment of PyPI's PyTorch (scripts/pypi-torch.sh)
  libopenblas0-pthread    # without it PyTorch multiplies matrices on the reference BLAS
  libgtest-dev libbenchmark-dev
  libboost-context-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi
