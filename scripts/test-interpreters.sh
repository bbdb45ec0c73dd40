#!/usr/bin/env bash
# The module on the supported interpreters other than the reference 3.10.
# Only the module depends on the interpreter: each tree builds the module
# alone (its shared code comes from the compiler cache the release tree
# filled), and the TCP plug-in, the simulator and the stand-in plug-ins are
# the release tree's.
#   3.13  the Python end-to-end tests, with the release tree's plug-in beside
#         the module;
#   3.11, 3.12  the module imported and run through the quickstart against
#         the simulator.
# Needs the release tree `build` (scripts/test-all.sh builds it first).
#   test-interpreters.sh [minor versions...]   default: 3.13 3.11 3.12
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
. scripts/ccache-env.sh "$ROOT"
REFERENCE="$(bash scripts/find-python.sh)"
PYBIND11_DIR="$("$REFERENCE" -m pybind11 --cmakedir)"
for product in build/bin/holvane-sim build/python/libVantrel_HolvaneApi-TCP-x64.so build/test-plugins; do
  [ -e "$product" ] || { echo "missing $product: build the release tree first (scripts/test-all.sh)"; exit 1; }
done

PYTHON_ONLY=(-DCMAKE_BUILD_TYPE=Release -DHOLVANE_BUILD_TESTS=OFF -DHOLVANE_BUILD_PYTHON=ON
             -DHOLVANE_BUILD_SIMULATOR=OFF -DHOLVANE_BUILD_BENCH=OFF -DHOLVANE_BUILD_FUZZ=OFF
             -DHOLVANE_SANITIZE= -Dpybind11_DIR="$PYBIND11_DIR")

configure() {  # configure <python> <tree>
  ccache_log "$2/ccache-stats.log"
  cmake -S "$ROOT" -B "$2" -G Ninja --no-warn-unused-cli -DPython_EXECUTABLE="$1" "${PYTHON_ONLY[@]}" \
    >"$2/build.log" 2>&1 || { tail -40 "$2/build.log"; exit 1; }
}
compile() {  # compile <tree> <targets...>
  local tree="$1"; shift
  cmake --build "$tree" -j"$(nproc)" --target "$@" >>"$tree/build.log" 2>&1 || { tail -60 "$tree/build.log"; exit 1; }
}

# The module-only quickstart (quickstart.py until it moves to the holvane client).
QUICKSTART=Examples/quickstart_module.py
[ -f "$QUICKSTART" ] || QUICKSTART=Examples/quickstart.py

for minor in "${@:-3.13 3.11 3.12}"; do
  for version in $minor; do
    python="$(bash scripts/find-python.sh "$version")"
    tree="build-py$version"
    start=$SECONDS
    configure "$python" "$tree"
    compile "$tree" Vantrel_HolvaneAPI
    echo "built $tree in $((SECONDS - start)) s ($(ccache_summary "$tree/ccache-stats.log"))"
    if [ "$version" = 3.13 ]; then
      cmake -E copy_if_different build/python/libVantrel_HolvaneApi-TCP-x64.so "$tree/python/"
      HOLVANE_BUILD_DIR="$ROOT/build" HOLVANE_MODULE_DIR="$ROOT/$tree/python" \
        "$python" -m pytest Tests/python -n 4 -p no:cacheprovider -q -rs
    else
      log="$(mktemp)"
      build/bin/holvane-sim --host 127.0.0.1 --port 0 >"$log" 2>&1 &
      sim=$!
      for _ in $(seq 100); do grep -q '^listening on ' "$log" && break; sleep 0.05; done
      port="$(sed -n 's/^listening on .*:\([0-9]*\)$/\1/p' "$log" | head -1)"
      status=0
      PYTHONPATH="$ROOT/$tree/python" LD_LIBRARY_PATH="$ROOT/build/python" \
        "$python" "$QUICKSTART" --host 127.0.0.1 --port "$port" >"$log.out" 2>&1 || status=$?
      kill "$sim" 2>/dev/null || true; wait "$sim" 2>/dev/null || true
      if [ "$status" != 0 ] || ! grep -q '^Disconnected\.$' "$log.out"; then
        cat "$log" "$log.out"; echo "FAILED: the module on Python $version"; exit 1
      fi
      "$python" -c "import sys; sys.path.insert(0, '$tree/python'); import Vantrel_HolvaneAPI as hv; print('Python', sys.version.split()[0], 'imports', hv.__file__)"
      rm -f "$log" "$log.out"
    fi
  done
done
