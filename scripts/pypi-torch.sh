#!/usr/bin/env bash
# Makes (or reuses) a virtual environment with PyPI's current PyTorch, its
# default build (with CUDA), pytest and numpy, and prints its interpreter. The
# environment lives in a cache folder outside the clone, so that later runs on
# the same machine reuse the download of a few GB.
set -euo pipefail

venv="${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/varekpt/venv-torch"
python="$venv/bin/python"
if ! "$python" -c "import torch, pytest, numpy" >/dev/null 2>&1; then
  # An environment whose interpreter no longer runs is made anew; one whose
  # installation was cut short is completed.
  if ! "$python" -c "" >/dev/null 2>&1; then
    rm -rf "$venv"
    mkdir -p "$(dirname "$venv")"
    /usr/bin/python3 -m venv "$venv" >&2
  fi
  "$python" -m pip install --quiet --disable-pip-version-check torch pytest numpy >&2
fi
echo "$python"
