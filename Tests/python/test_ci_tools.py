"""The clang-tidy cache of scripts/run-tidy.py: a unit is skipped only while
everything its result depends on is unchanged, wherever the clone lies."""

import importlib.util
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]


def load_run_tidy():
    spec = importlib.util.spec_from_file_location("run_tidy", REPO / "scripts" / "run-tidy.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def unit(root: Path, header: str, flags: str = "-O2") -> dict:
    """A one-file unit in a clone at `root`, with the compile command a build would record."""
    (root / "src").mkdir(parents=True, exist_ok=True)
    (root / "build").mkdir(exist_ok=True)
    (root / "src" / "unit.h").write_text(header)
    (root / "src" / "unit.cpp").write_text('#include "unit.h"\nint g() { return f(); }\n')
    source = root / "src" / "unit.cpp"
    return {
        "directory": str(root / "build"),
        "command": f"c++ -I{root}/src {flags} -o unit.o -c {source}",
        "file": str(source),
    }


def test_the_key_follows_the_unit_s_inputs_and_not_the_clone_s_folder(tmp_path):
    run_tidy = load_run_tidy()
    common = b"clang-tidy 14\0Checks: '-*,bugprone-*'\0"
    header = "int f(); // plain\n"

    def key(folder, text=header, flags="-O2", shared=common):
        root = tmp_path / folder
        return run_tidy.unit_key(unit(root, text, flags), shared, root)

    first = key("clone-a")
    # The same sources in another folder: found again.
    assert key("clone-b") == first
    # A comment in a header is where a NOLINT marker lives: checked again.
    assert key("clone-c", "int f(); // NOLINT(bugprone-branch-clone)\n") != first
    # A changed declaration, a compile flag, the checks or the tool's version: checked again.
    assert key("clone-d", "long f(); // plain\n") != first
    assert key("clone-e", flags="-O2 -DEXTRA=1") != first
    assert key("clone-f", shared=common.replace(b"bugprone", b"performance")) != first
    # A line moved within the unit changes the key too (findings name lines).
    assert key("clone-g", "\n" + header) != first


def test_a_unit_that_fails_to_preprocess_is_reported_not_skipped(tmp_path):
    run_tidy = load_run_tidy()
    broken = unit(tmp_path, '#include "missing.h"\n')
    try:
        run_tidy.unit_key(broken, b"", tmp_path)
    except run_tidy.subprocess.CalledProcessError as error:
        assert b"missing.h" in error.stderr
    else:
        raise AssertionError("a unit whose header is missing got a key")
