"""Runs clang-tidy over translation units, skipping those whose inputs have not
changed since a run that found nothing in them.

A unit's key is a hash of everything its result depends on: the clang-tidy
version, the .clang-tidy file, the unit's compile command and its
preprocessed text (comments kept, so NOLINT markers count; the source root
left out, so a clone in another folder finds the same keys). A unit that
passes leaves an empty file named by its key in the cache folder; a failing
unit leaves nothing and is checked again next time.

    run-tidy.py --build BUILD [--jobs N] [--cache DIR] UNIT...

Prints the findings of every failing unit and exits 1 if there is any.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import os
import shlex
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parents[1]
# The build's flags are GCC's: clang is told to pass over the ones it does not know.
EXTRA_ARGS = ["--extra-arg=-Wno-unknown-warning-option", "--extra-arg=-Wno-ignored-optimization-argument"]
STALE_DAYS = 30


def default_cache() -> Path:
    base = os.environ.get("XDG_CACHE_HOME") or str(Path.home() / ".cache")
    return Path(base) / "holvane-tidy"


def compile_args(entry: dict[str, Any]) -> list[str]:
    return shlex.split(entry["command"]) if "command" in entry else [str(a) for a in entry["arguments"]]


def preprocess_command(entry: dict[str, Any]) -> list[str]:
    """The unit's compile command turned into one that prints its preprocessed text."""
    args = compile_args(entry)
    out: list[str] = []
    skip = False
    for arg in args:
        if skip:
            skip = False
        elif arg == "-o":
            skip = True
        elif arg != "-c":
            out.append(arg)
    return [*out, "-E", "-C", "-o", "-"]


def unit_key(entry: dict[str, Any], common: bytes, source_root: Path = ROOT) -> str:
    """The hash of what a unit's result depends on; `common` holds what all units share."""
    digest = hashlib.sha256(common)
    root = str(source_root).encode()
    digest.update("\0".join(compile_args(entry)).encode().replace(root, b"") + b"\0")
    text = subprocess.run(preprocess_command(entry), cwd=entry["directory"], capture_output=True, check=True).stdout
    digest.update(text.replace(root, b""))
    return digest.hexdigest()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", required=True, type=Path)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--cache", type=Path, default=Path(os.environ.get("HOLVANE_TIDY_CACHE") or default_cache()))
    parser.add_argument("--clang-tidy", default=os.environ.get("CLANG_TIDY", "clang-tidy-14"))
    parser.add_argument("units", nargs="+")
    options = parser.parse_args()

    entries = {Path(e["file"]).resolve(): e for e in json.loads((options.build / "compile_commands.json").read_text())}
    version = subprocess.run([options.clang_tidy, "--version"], capture_output=True, check=True).stdout
    common = version + b"\0" + (ROOT / ".clang-tidy").read_bytes() + b"\0" + " ".join(EXTRA_ARGS).encode() + b"\0"
    options.cache.mkdir(parents=True, exist_ok=True)

    def check(unit: str) -> tuple[str, str, bool]:
        """(unit, findings, whether it was checked rather than found unchanged)"""
        entry = entries[(ROOT / unit).resolve()]
        try:
            key = unit_key(entry, common)
        except subprocess.CalledProcessError as error:
            return unit, f"{unit}: preprocessing failed\n{error.stderr.decode(errors='replace')}", True
        marker = options.cache / key
        if marker.exists():
            marker.touch()
            return unit, "", False
        command = [options.clang_tidy, "-p", str(options.build), "--quiet", *EXTRA_ARGS, unit]
        result = subprocess.run(command, cwd=ROOT, capture_output=True, text=True)
        if result.returncode != 0:
            return unit, result.stdout + result.stderr, True
        marker.write_bytes(b"")
        return unit, "", True

    start = time.monotonic()
    with ThreadPoolExecutor(max_workers=max(1, options.jobs)) as pool:
        results = list(pool.map(check, options.units))
    failed = [findings for _, findings, _ in results if findings]
    checked = sum(1 for _, _, ran in results if ran)
    for findings in failed:
        print(findings, end="" if findings.endswith("\n") else "\n")
    print(
        f"tidy: {len(results)} files, {checked} checked, {len(results) - checked} unchanged since a clean check, "
        f"{len(failed)} with findings, in {time.monotonic() - start:.0f} s"
    )
    cutoff = time.time() - STALE_DAYS * 86400
    for marker in options.cache.iterdir():
        if marker.stat().st_mtime < cutoff:
            marker.unlink(missing_ok=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
