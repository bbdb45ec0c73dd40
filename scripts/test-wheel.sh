#!/usr/bin/env bash
# The wheels are what the tests test:
# 1. builds the Python 3.10 and 3.13 wheels (scripts/build-wheels.sh: zig for
#    glibc 2.28, auditwheel, the symbol checks, whose own tests run first);
# 2. builds the Python tests' stand-in plug-ins with the same toolchain (they
#    share the plug-in interface, standard-library types included, with the
#    installed module), in build-wheel/zig-stand-ins;
# 3. installs the 3.10 wheel with every extra into a fresh virtual environment
#    and runs the Python end-to-end suite against that installation (module,
#    plug-in, simulator and holvane all from the wheel), then the typed example
#    under mypy --strict and pyright;
# 4. installs the 3.13 wheel into another fresh environment and runs the
#    quickstart against the installed holvane-sim, from outside the source tree.
#   test-wheel.sh [pytest options...]     e.g. -k batch, to run part of the suite
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
PYTHON="$(bash scripts/find-python.sh)"
# Paths relative to the sources in the compiler cache, so that another clone hits too.
export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$ROOT}"
STEPS=()
step() {  # step <label> <command...>: runs it and notes how long it took
  local label="$1" start=$SECONDS; shift
  "$@"
  STEPS+=("$(printf '%5d s  %s' $((SECONDS - start)) "$label")")
}
trap 'if ((${#STEPS[@]})); then printf "%s\n" "wheel steps:" "${STEPS[@]}"; fi' EXIT

step "the wheel check's own tests" "$PYTHON" -m pytest Tests/packaging -p no:cacheprovider -q
step "build the 3.10 and 3.13 wheels" bash scripts/build-wheels.sh 3.10 3.13
WHEEL_310="$(ls "$ROOT"/dist/holvane-*-cp310-cp310-manylinux_*_x86_64.whl | tail -1)"
WHEEL_313="$(ls "$ROOT"/dist/holvane-*-cp313-cp313-manylinux_*_x86_64.whl | tail -1)"
echo "contents of $(basename "$WHEEL_310"):"
"$PYTHON" -m zipfile -l "$WHEEL_310" | awk 'NR > 1 && $1 !~ /dist-info\// { print "  " $1 }'

ZIG="$("$PYTHON" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')"
STAND_INS="$ROOT/build-wheel/zig-stand-ins"
stand_ins() {
  local launcher=()
  if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache); fi
  mkdir -p "$STAND_INS"
  if ! { cmake -S "$ROOT" -B "$STAND_INS" -G Ninja -Wno-dev -DPython_EXECUTABLE="$PYTHON" \
           -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/zig-toolchain.cmake" -DHOLVANE_ZIG="$ZIG" \
           -Dpybind11_DIR="$("$PYTHON" -m pybind11 --cmakedir)" "${launcher[@]}" \
           -DHOLVANE_BUILD_TESTS=OFF -DHOLVANE_BUILD_TEST_PLUGINS=ON -DHOLVANE_BUILD_PYTHON=ON \
           -DHOLVANE_BUILD_SIMULATOR=OFF -DHOLVANE_BUILD_BENCH=OFF -DHOLVANE_BUILD_FUZZ=OFF -DHOLVANE_SANITIZE= &&
         cmake --build "$STAND_INS" --target holvane_python_test_plugins; } >"$STAND_INS/build.log" 2>&1; then
    tail -40 "$STAND_INS/build.log"; echo "FAILED: the stand-in plug-ins with the wheel's toolchain"; exit 1
  fi
}
step "stand-in plug-ins (zig)" stand_ins

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"; if ((${#STEPS[@]})); then printf "%s\n" "wheel steps:" "${STEPS[@]}"; fi' EXIT
# Nothing of the source or build trees may reach the installed package.
CLEAN_ENV=(env -u PYTHONPATH -u LD_LIBRARY_PATH -u HOLVANE_BUILD_DIR -u HOLVANE_MODULE_DIR -u HOLVANE_BENCH_BUILD)

fresh_venv() {  # fresh_venv <python> <folder> <requirements...>
  local python="$1" folder="$2"; shift 2
  "$python" -m venv "$folder"
  "$folder/bin/python" -m pip install -q --disable-pip-version-check "$@"
}

# --- 3.10: the end-to-end suite against the installed wheel ------------------
# The suite's own tools beside the wheel: pytest, and the type checkers it runs
# on code that uses the installed package.
step "3.10 environment: the wheel with every extra, the test tools" \
  fresh_venv "$PYTHON" "$WORK/venv310" "${WHEEL_310}[all]" pytest pytest-xdist pytest-timeout mypy pyright
VENV_PY="$WORK/venv310/bin/python"
step "3.10 end-to-end suite on the installed wheel" \
  "${CLEAN_ENV[@]}" HOLVANE_INSTALLED=1 HOLVANE_BUILD_DIR="$STAND_INS" PATH="$WORK/venv310/bin:$PATH" \
  "$VENV_PY" -m pytest Tests/python -n 4 -p no:cacheprovider -q -rs "$@"

# The stub and py.typed markers are found in the installed package by both checkers.
typed() {
  cp Examples/typed_example.py "$WORK/"
  (cd "$WORK" &&
   "$PYTHON" -m mypy --strict --python-executable "$VENV_PY" --no-incremental typed_example.py &&
   "$PYTHON" -m pyright --pythonpath "$VENV_PY" typed_example.py)
}
step "typed example: mypy --strict and pyright on the installed wheel" typed

# --- 3.13: the quickstart against the installed wheel ------------------------
step "3.13 environment: the wheel" fresh_venv "$(bash scripts/find-python.sh 3.13)" "$WORK/venv313" "$WHEEL_313"
quickstart() {  # quickstart <venv>: from outside the source tree, with nothing of it on the path
  cp Examples/quickstart.py "$1/"
  (cd "$1" && "${CLEAN_ENV[@]}" PATH="$1/bin:$PATH" "$1/bin/python" - <<'PY'
import os, shutil, subprocess, sys, sysconfig, threading

import Vantrel_HolvaneAPI as hv
from holvane.simulator import find_simulator, start_simulator

site = sysconfig.get_paths()["platlib"]
for path in (hv.__file__, find_simulator()):
    assert path.startswith(site), f"{path} is not from the installed wheel ({site})"
assert shutil.which("holvane-sim") and shutil.which("holvane"), "console entries missing"
assert os.path.exists(os.path.join(site, "libVantrel_HolvaneApi-TCP-x64.so"))

process, port = start_simulator("127.0.0.1", 0)
threading.Thread(target=process.stdout.read, daemon=True).start()  # never let it block on output
try:
    result = subprocess.run([sys.executable, "quickstart.py", "--host", "127.0.0.1", "--port", str(port)],
                            capture_output=True, text=True, timeout=120)
finally:
    process.terminate()
    process.wait(10)
print(result.stdout, end="")
if result.returncode != 0:
    sys.exit(f"the quickstart failed against the installed simulator:\n{result.stderr}")

# The console entry runs the bundled program.
help_text = subprocess.run(["holvane-sim", "--help"], capture_output=True, text=True, timeout=30)
assert "--port" in help_text.stdout + help_text.stderr, help_text
print(f"Python {sys.version.split()[0]}, installed wheel: module, plug-in, simulator and console entries work")
PY
  )
}
step "3.13 quickstart on the installed wheel" quickstart "$WORK/venv313"
