#!/usr/bin/env bash
# Prints the path of the Python 3.10 interpreter the project targets.
set -euo pipefail
if [ -n "${HOLVANE_PYTHON:-}" ]; then echo "$HOLVANE_PYTHON"; exit 0; fi
if command -v pyenv >/dev/null 2>&1 && prefix="$(pyenv prefix 3.10.13 2>/dev/null)"; then
  echo "$prefix/bin/python"; exit 0
fi
for candidate in "$HOME/.pyenv/versions/3.10.13/bin/python" python3.10; do
  if command -v "$candidate" >/dev/null 2>&1; then command -v "$candidate"; exit 0; fi
done
echo "Python 3.10 not found (set HOLVANE_PYTHON)" >&2
exit 1
