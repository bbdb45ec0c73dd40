#!/usr/bin/env bash
# Checks the house style: every C++ file is formatted as .clang-format says,
# clang-tidy (checks in .clang-tidy) finds nothing in Source/ and Simulator/
# (units unchanged since a clean check are skipped, see run-tidy.py), and
# ruff (settings in pyproject.toml) finds nothing in the Python code and
# would format it as it stands. Exits non-zero on any finding.
#   scripts/check-style.sh [build-dir with compile_commands.json, default build]
#   scripts/check-style.sh --fix [build-dir]   rewrite formatting in place, then check
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"

FIX=0
if [ "${1:-}" = "--fix" ]; then FIX=1; shift; fi
BUILD="${1:-build}"
CLANG_FORMAT="${CLANG_FORMAT:-clang-format-14}"
CLANG_TIDY="${CLANG_TIDY:-clang-tidy-14}"
JOBS="$(nproc)"
PYTHON="$(bash scripts/find-python.sh)"
status=0

mapfile -t all_files < <(git ls-files -- 'Source/*.cpp' 'Source/*.h' 'Simulator/*.cpp' 'Simulator/*.h' \
    'Tests/*.cpp' 'Tests/*.h' 'Bench/*.cpp' 'Bench/*.h' 'Examples/*.cpp' 'Examples/*.h')

start=$(date +%s)
if ((FIX)); then
    printf '%s\0' "${all_files[@]}" | xargs -0 -P "$JOBS" -n 16 "$CLANG_FORMAT" -i --style=file
elif ! printf '%s\0' "${all_files[@]}" | xargs -0 -P "$JOBS" -n 16 "$CLANG_FORMAT" --dry-run -Werror --style=file; then
    echo "FAILED: formatting (fix with: scripts/check-style.sh --fix)"
    status=1
fi
echo "format: ${#all_files[@]} files in $(( $(date +%s) - start )) s"

# clang-tidy over the translation units of Source/ and Simulator/ that the
# build compiles; headers are checked through them. The build's flags are
# GCC's: clang is told to pass over the ones it does not know.
if [ ! -f "$BUILD/compile_commands.json" ]; then
    echo "FAILED: $BUILD/compile_commands.json is missing (configure with -DCMAKE_EXPORT_COMPILE_COMMANDS=ON)"
    exit 1
fi
units=()
for f in $(git ls-files -- 'Source/*.cpp' 'Simulator/*.cpp'); do
    if grep -q "\"file\": \"$ROOT/$f\"" "$BUILD/compile_commands.json"; then
        units+=("$f")
    else
        echo "tidy: $f is not compiled in $BUILD, not checked"
    fi
done
if ! "$PYTHON" scripts/run-tidy.py --build "$BUILD" --jobs "$JOBS" --clang-tidy "$CLANG_TIDY" "${units[@]}"; then
    echo "FAILED: clang-tidy"
    status=1
fi

# ruff over the Python code: lint and formatting.
mapfile -t python_files < <(git ls-files -- '*.py' '*.pyi')
RUFF=("$PYTHON" -m ruff)
if ((FIX)); then
    "${RUFF[@]}" format -q "${python_files[@]}"
    "${RUFF[@]}" check -q --fix "${python_files[@]}" || true
fi
if ! "${RUFF[@]}" check -q "${python_files[@]}"; then
    echo "FAILED: ruff check"
    status=1
fi
if ! "${RUFF[@]}" format -q --check "${python_files[@]}"; then
    echo "FAILED: ruff format (fix with: scripts/check-style.sh --fix)"
    status=1
fi
echo "ruff: ${#python_files[@]} files"
exit $status
