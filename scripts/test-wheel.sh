#!/usr/bin/env bash
# Builds the Python 3.10 wheel, installs it into a fresh virtual environment
# outside the source tree and runs the quickstart against the installed
# holvane-sim; then type-checks the typed example against that installation.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
PYTHON="$(bash scripts/find-python.sh)"

rm -f dist/*-cp310-cp310-*.whl
bash scripts/build-wheels.sh 3.10
WHEEL="$(ls "$ROOT"/dist/*-cp310-cp310-manylinux*_x86_64.whl | tail -1)"
echo "contents of $(basename "$WHEEL"):"
"$PYTHON" -m zipfile -l "$WHEEL" | awk 'NR > 1 && $1 !~ /dist-info\// { print "  " $1 }'

WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
"$PYTHON" -m venv "$WORK/venv"
VENV_PY="$WORK/venv/bin/python"
"$VENV_PY" -m pip install -q --disable-pip-version-check --no-deps "$WHEEL"
cp Examples/quickstart.py Examples/typed_example.py "$WORK/"

# From outside the source tree, with nothing of it on the path.
cd "$WORK"
env -u PYTHONPATH -u LD_LIBRARY_PATH -u HOLVANE_BUILD_DIR PATH="$WORK/venv/bin:$PATH" "$VENV_PY" - <<'PY'
import os, shutil, subprocess, sys, sysconfig, threading

import Vantrel_HolvaneAPI as hv
from holvane.simulator import find_simulator, start_simulator

site = sysconfig.get_paths()["purelib"]
for path in (hv.__file__, find_simulator()):
    assert path.startswith(site), f"{path} is not from the installed wheel ({site})"
assert shutil.which("holvane-sim") and shutil.which("holvane"), "console entries missing"
assert os.path.exists(os.path.join(site, "libVantrel_HolvaneApi-TCP-x64.so"))

process, port = start_simulator("127.0.0.1", 0)
threading.Thread(target=process.stdout.read, daemon=True).start()  # never let it block on output
try:
    result = subprocess.run([sys.executable, "quickstart.py", "--host", "127.0.0.1", "--port", str(port)],
                            capture_output=True, text=True, timeout=120)
    typed = subprocess.run([sys.executable, "typed_example.py", "--host", "127.0.0.1", "--port", str(port)],
                           capture_output=True, text=True, timeout=60)
finally:
    process.terminate()
    process.wait(10)
print(result.stdout, end="")
if result.returncode != 0:
    sys.exit(f"the quickstart failed against the installed simulator:\n{result.stderr}")
if typed.returncode != 0:
    sys.exit(f"the typed example failed:\n{typed.stdout}{typed.stderr}")

# The console entry runs the bundled program.
help_text = subprocess.run(["holvane-sim", "--help"], capture_output=True, text=True, timeout=30)
assert "--port" in help_text.stdout + help_text.stderr, help_text
print("installed wheel: module, plug-in, simulator and console entries work")
PY

# The stub and py.typed markers are found in the installed package by both checkers.
"$PYTHON" -m mypy --strict --python-executable "$VENV_PY" --no-incremental typed_example.py
"$PYTHON" -m pyright --pythonpath "$VENV_PY" typed_example.py
