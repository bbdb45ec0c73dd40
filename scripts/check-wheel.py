"""Checks built wheels before they leave the machine.

    check-wheel.py [--glibc 2.28] WHEEL...

For every wheel:
- it holds what users install: the module Vantrel_HolvaneAPI with its stub
  (beside it and as a stub package), the TCP plug-in beside the module, the
  package holvane with py.typed, and the simulator program holvane/bin/holvane-sim,
  executable; its metadata names the distribution holvane, needs numpy and
  offers the extras plot, parquet, pandas and all;
- every shared object and program in it needs no glibc symbol newer than the
  given version, and no shared library of the machine other than glibc's own
  (no C++ runtime, no libgcc_s), unless the wheel carries that library; every
  other symbol it leaves undefined is the Python interpreter's (module only);
  and none waits on a condition variable against the wall clock.
Prints, per ELF file, the newest glibc symbol version it needs. Exits 1 on any
failure, naming the file and what it needs.
"""

from __future__ import annotations

import argparse
import io
import re
import stat
import sys
import zipfile
from collections.abc import Iterable
from email.parser import Parser

from elftools.elf.dynamic import DynamicSection
from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection, GNUVerSymSection
from elftools.elf.sections import SymbolTableSection

# glibc's own libraries, present on every system a manylinux wheel installs on.
GLIBC_LIBRARIES = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "ld-linux-x86-64.so.2"}
GLIBC_VERSION = re.compile(r"^GLIBC_(\d+)\.(\d+)(?:\.\d+)?$")
# Undefined symbols the interpreter itself provides to an extension module.
PYTHON_SYMBOL = re.compile(r"^_?Py")
REQUIRED_EXTRAS = {"plot", "parquet", "pandas", "all"}
# Built for an older glibc, the C++ library's timed waits land here, on the wall
# clock; the toolchain links in a definition that waits on the monotonic one.
WALL_CLOCK_WAIT = "pthread_cond_timedwait"
Version = tuple[int, int]


def parse_version(text: str) -> Version:
    major, minor = text.split(".")[:2]
    return int(major), int(minor)


def glibc_version(name: str) -> Version | None:
    match = GLIBC_VERSION.match(name)
    return (int(match.group(1)), int(match.group(2))) if match else None


class ElfNeeds:
    """What one ELF file asks of the system that loads it."""

    def __init__(self, data: bytes) -> None:
        elf = ELFFile(io.BytesIO(data))
        self.soname: str | None = None
        self.needed: list[str] = []
        # (library, version name) for every versioned need
        self.versions: list[tuple[str, str]] = []
        self.unversioned_undefined: list[str] = []
        self.undefined: set[str] = set()
        for section in elf.iter_sections():
            if isinstance(section, DynamicSection):
                for tag in section.iter_tags():
                    if tag.entry.d_tag == "DT_NEEDED":
                        self.needed.append(str(tag.needed))  # type: ignore[attr-defined]
                    elif tag.entry.d_tag == "DT_SONAME":
                        self.soname = str(tag.soname)  # type: ignore[attr-defined]
            elif isinstance(section, GNUVerNeedSection):
                for verneed, auxiliaries in section.iter_versions():
                    self.versions.extend((str(verneed.name), str(aux.name)) for aux in auxiliaries)
        symbols = elf.get_section_by_name(".dynsym")
        versym = elf.get_section_by_name(".gnu.version")
        if not isinstance(versym, GNUVerSymSection):
            versym = None
        if isinstance(symbols, SymbolTableSection):
            for index, symbol in enumerate(symbols.iter_symbols()):
                if index == 0 or symbol["st_shndx"] != "SHN_UNDEF":
                    continue
                self.undefined.add(symbol.name)
                if symbol["st_info"]["bind"] == "STB_WEAK":
                    continue
                # Version index 0 and 1: local and global, i.e. no version.
                if versym is None or versym.get_symbol(index)["ndx"] in ("VER_NDX_LOCAL", "VER_NDX_GLOBAL"):
                    self.unversioned_undefined.append(symbol.name)

    def newest_glibc(self) -> Version | None:
        found = [v for v in (glibc_version(name) for _, name in self.versions) if v]
        return max(found) if found else None


def elf_members(wheel: zipfile.ZipFile) -> Iterable[tuple[zipfile.ZipInfo, bytes]]:
    for info in wheel.infolist():
        if info.is_dir():
            continue
        with wheel.open(info) as member:
            if member.read(4) != b"\x7fELF":
                continue
        yield info, wheel.read(info)


def check_layout(wheel: zipfile.ZipFile) -> list[str]:
    names = set(wheel.namelist())
    problems = []
    modules = [n for n in names if re.fullmatch(r"Vantrel_HolvaneAPI\.cpython-\d+-x86_64-linux-gnu\.so", n)]
    if len(modules) != 1:
        problems.append(f"expected one module Vantrel_HolvaneAPI.cpython-*.so at the top, found {modules}")
    required = (
        "libVantrel_HolvaneApi-TCP-x64.so",
        "Vantrel_HolvaneAPI.pyi",
        "Vantrel_HolvaneAPI-stubs/__init__.pyi",
        "holvane/__init__.py",
        "holvane/py.typed",
        "holvane/bin/holvane-sim",
    )
    problems.extend(f"{part} is missing" for part in required if part not in names)
    if "holvane/bin/holvane-sim" in names:
        mode = wheel.getinfo("holvane/bin/holvane-sim").external_attr >> 16
        if not mode & stat.S_IXUSR:
            problems.append("holvane/bin/holvane-sim is not executable")
    metadata_names = [n for n in names if re.fullmatch(r"holvane-[^/]+\.dist-info/METADATA", n)]
    if len(metadata_names) != 1:
        return [*problems, f"expected one holvane-*.dist-info/METADATA, found {metadata_names}"]
    metadata = Parser().parsestr(wheel.read(metadata_names[0]).decode())
    if metadata["Name"] != "holvane":
        problems.append(f"the distribution is named {metadata['Name']!r}, not 'holvane'")
    requires = metadata.get_all("Requires-Dist") or []
    if not any(re.match(r"numpy\b", r) and "extra ==" not in r for r in requires):
        problems.append(f"numpy is not a dependency (Requires-Dist: {requires})")
    missing_extras = REQUIRED_EXTRAS - set(metadata.get_all("Provides-Extra") or [])
    if missing_extras:
        problems.append(f"extras missing: {sorted(missing_extras)}")
    return problems


def check_wheel(path: str, glibc: Version) -> tuple[list[str], Version | None]:
    """(problems, newest glibc symbol version any ELF file of the wheel needs)"""
    problems: list[str] = []
    newest: Version | None = None
    with zipfile.ZipFile(path) as wheel:
        problems += check_layout(wheel)
        elves = [(info.filename, ElfNeeds(data)) for info, data in elf_members(wheel)]
    carried: set[str] = {needs.soname for _, needs in elves if needs.soname}
    carried |= {name.rsplit("/", 1)[-1] for name, _ in elves}
    for name, needs in elves:
        for library in needs.needed:
            if library not in GLIBC_LIBRARIES and library not in carried:
                problems.append(f"{name} needs {library}, which the wheel does not carry")
        for library, version in needs.versions:
            if library in carried:
                continue
            found = glibc_version(version)
            if found is None:
                problems.append(f"{name} needs {version} of {library}, which the wheel does not carry")
            elif found > glibc:
                problems.append(f"{name} needs {version} of {library}, newer than glibc {glibc[0]}.{glibc[1]}")
        if WALL_CLOCK_WAIT in needs.undefined:
            problems.append(
                f"{name} waits with {WALL_CLOCK_WAIT}, on the wall clock (built without the toolchain's "
                "monotonic-wait shim)"
            )
        is_module = name.rsplit("/", 1)[-1].startswith("Vantrel_HolvaneAPI.")
        strays = [s for s in needs.unversioned_undefined if not (is_module and PYTHON_SYMBOL.match(s))]
        if strays:
            problems.append(f"{name} leaves {len(strays)} symbols to no library it names, e.g. {strays[:5]}")
        file_newest = needs.newest_glibc()
        shown = f"GLIBC_{file_newest[0]}.{file_newest[1]}" if file_newest else "no versioned glibc symbol"
        print(f"  {name}: newest glibc symbol {shown}; needs {', '.join(needs.needed) or 'nothing'}")
        if file_newest and (newest is None or file_newest > newest):
            newest = file_newest
    return problems, newest


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--glibc", default="2.28", help="newest glibc version a symbol may need")
    parser.add_argument("wheels", nargs="+")
    args = parser.parse_args(argv)
    limit = parse_version(args.glibc)
    failed = False
    for path in args.wheels:
        print(path)
        problems, newest = check_wheel(path, limit)
        for problem in problems:
            print(f"  FAILED: {problem}")
        if newest:
            print(f"  newest glibc symbol needed by the wheel: GLIBC_{newest[0]}.{newest[1]}")
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
