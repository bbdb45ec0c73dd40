"""scripts/check-wheel.py, the check every wheel passes before it ships: it must
name what makes a wheel unfit for the machines it claims (a glibc symbol that
is too new, a C++ runtime the wheel does not carry, a missing or broken part),
and pass a wheel that is fit. The ELF files are compiled here with the system's
compilers, whose glibc is newer than the limits checked."""

import importlib.util
import subprocess
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
spec = importlib.util.spec_from_file_location("check_wheel", REPO / "scripts" / "check-wheel.py")
assert spec is not None and spec.loader is not None
check_wheel = importlib.util.module_from_spec(spec)
spec.loader.exec_module(check_wheel)

METADATA = """Metadata-Version: 2.1
Name: holvane
Version: 1.0.0
Requires-Dist: numpy>=1.22
Requires-Dist: matplotlib>=3.5; extra == "plot"
Provides-Extra: plot
Provides-Extra: parquet
Provides-Extra: pandas
Provides-Extra: all
"""
# A plain C library: glibc symbols of the oldest versions only.
PLAIN_C = "#include <string.h>\nsize_t plain(const char *s) { return strlen(s); }\n"
# getrandom arrived in glibc 2.25.
NEWER_GLIBC = "#include <sys/random.h>\nlong newer(void *b) { return getrandom(b, 8, 0); }\n"
# A timed wait on the wall clock.
WALL_CLOCK_WAIT = (
    "#include <pthread.h>\n"
    "int wait(pthread_cond_t *c, pthread_mutex_t *m, const struct timespec *t)\n"
    "{ return pthread_cond_timedwait(c, m, t); }\n"
)
# Anything of the system's C++ library: libstdc++.so.6 with GLIBCXX_ versions.
CXX_RUNTIME = '#include <string>\nextern "C" unsigned cxx(const char *s) { return std::string(s).size(); }\n'


def compile_so(tmp_path, name, source, compiler):
    src = tmp_path / (name + (".cpp" if compiler == "g++" else ".c"))
    src.write_text(source)
    out = tmp_path / (name + ".so")
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", str(src), "-o", str(out)], check=True)
    return out.read_bytes()


def make_wheel(tmp_path, module, plugin, simulator, metadata=METADATA, executable=True, leave_out=()):
    path = tmp_path / "holvane-1.0.0-cp310-cp310-manylinux_2_28_x86_64.whl"
    members = {
        "Vantrel_HolvaneAPI.cpython-310-x86_64-linux-gnu.so": module,
        "libVantrel_HolvaneApi-TCP-x64.so": plugin,
        "Vantrel_HolvaneAPI.pyi": b"",
        "Vantrel_HolvaneAPI-stubs/__init__.pyi": b"",
        "holvane/__init__.py": b"",
        "holvane/py.typed": b"",
        "holvane/bin/holvane-sim": simulator,
        "holvane-1.0.0.dist-info/METADATA": metadata.encode(),
    }
    with zipfile.ZipFile(path, "w") as wheel:
        for name, data in members.items():
            if name in leave_out:
                continue
            info = zipfile.ZipInfo(name)
            info.external_attr = (0o755 if executable or not name.endswith("holvane-sim") else 0o644) << 16
            wheel.writestr(info, data)
    return str(path)


@pytest.fixture
def libraries(tmp_path):
    return {
        "plain": compile_so(tmp_path, "plain", PLAIN_C, "gcc"),
        "newer": compile_so(tmp_path, "newer", NEWER_GLIBC, "gcc"),
        "cxx": compile_so(tmp_path, "cxx", CXX_RUNTIME, "g++"),
        "wall": compile_so(tmp_path, "wall", WALL_CLOCK_WAIT, "gcc"),
    }


def test_a_fit_wheel_passes_and_its_newest_glibc_symbol_is_named(tmp_path, libraries):
    wheel = make_wheel(tmp_path, libraries["plain"], libraries["plain"], libraries["newer"])
    problems, newest = check_wheel.check_wheel(wheel, (2, 28))
    assert problems == []
    assert newest == (2, 25)  # getrandom, in the simulator's place
    assert check_wheel.main(["--glibc", "2.28", wheel]) == 0


def test_unfit_objects_are_named_with_what_they_need(tmp_path, libraries):
    wheel = make_wheel(tmp_path, libraries["wall"], libraries["cxx"], libraries["newer"])
    problems, _ = check_wheel.check_wheel(wheel, (2, 17))
    text = "\n".join(problems)
    assert "holvane/bin/holvane-sim needs GLIBC_2.25 of libc.so.6, newer than glibc 2.17" in text
    assert "libVantrel_HolvaneApi-TCP-x64.so needs libstdc++.so.6, which the wheel does not carry" in text
    assert any(p.startswith("libVantrel_HolvaneApi-TCP-x64.so needs GLIBCXX_") for p in problems), problems
    module = "Vantrel_HolvaneAPI.cpython-310-x86_64-linux-gnu.so"
    wall_clock = f"{module} waits with pthread_cond_timedwait, on the wall clock (built without the toolchain's "
    assert [p for p in problems if p.startswith(module)] == [wall_clock + "monotonic-wait shim)"]
    assert check_wheel.main(["--glibc", "2.17", wheel]) == 1


def test_missing_parts_and_metadata_are_named(tmp_path, libraries):
    plain = libraries["plain"]
    metadata = (
        METADATA.replace("Name: holvane", "Name: Vantrel_HolvaneAPI")
        .replace("Requires-Dist: numpy>=1.22\n", "")
        .replace("Provides-Extra: parquet\n", "")
    )
    wheel = make_wheel(
        tmp_path,
        plain,
        plain,
        plain,
        metadata=metadata,
        executable=False,
        leave_out=("holvane/py.typed", "Vantrel_HolvaneAPI-stubs/__init__.pyi"),
    )
    problems, _ = check_wheel.check_wheel(wheel, (2, 28))
    assert sorted(problems) == sorted(
        [
            "holvane/py.typed is missing",
            "Vantrel_HolvaneAPI-stubs/__init__.pyi is missing",
            "holvane/bin/holvane-sim is not executable",
            "the distribution is named 'Vantrel_HolvaneAPI', not 'holvane'",
            "numpy is not a dependency (Requires-Dist: ['matplotlib>=3.5; extra == \"plot\"'])",
            "extras missing: ['parquet']",
        ]
    )
