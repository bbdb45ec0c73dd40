#!/usr/bin/env bash
# Prints the path of a CPython interpreter the project supports:
#   find-python.sh          the reference, Python 3.10 (HOLVANE_PYTHON overrides it)
#   find-python.sh 3.13     another supported minor version (3.10 to 3.13)
# pyenv is asked first (the newest installed patch level), then the PATH.
set -euo pipefail
MINOR="${1:-}"
if [ -z "$MINOR" ]; then
  if [ -n "${HOLVANE_PYTHON:-}" ]; then echo "$HOLVANE_PYTHON"; exit 0; fi
  MINOR=3.10
fi
case "$MINOR" in
  3.10|3.11|3.12|3.13) ;;
  *) echo "unsupported Python version $MINOR (3.10 to 3.13)" >&2; exit 2 ;;
esac
if command -v pyenv >/dev/null 2>&1; then
  version="$(pyenv versions --bare 2>/dev/null | grep -E "^${MINOR//./\\.}\.[0-9]+$" | sort -t. -k3,3n | tail -1 || true)"
  if [ -n "$version" ] && prefix="$(pyenv prefix "$version" 2>/dev/null)" && [ -x "$prefix/bin/python" ]; then
    echo "$prefix/bin/python"; exit 0
  fi
fi
for candidate in "$HOME"/.pyenv/versions/"$MINOR".*/bin/python "python$MINOR"; do
  if command -v "$candidate" >/dev/null 2>&1; then command -v "$candidate"; exit 0; fi
done
echo "Python $MINOR not found (install it, e.g. pyenv install $MINOR, or set HOLVANE_PYTHON)" >&2
exit 1
