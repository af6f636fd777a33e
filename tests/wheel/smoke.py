"""Smoke test of an installed veltrix_core (a wheel or an sdist installed into a fresh virtual
environment, see scripts/wheels.sh): it runs outside the checkout and uses only what the
distribution installed, and binutils' objdump to read what the compiled module asks of the system.

    smoke.py VERSION [--manylinux]

--manylinux: the installed wheel is the repaired one, whose platform tag must let pip install it on
every system the package supports.
"""

import argparse
import importlib.metadata
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile

import veltrix_core as vc

# The oldest C library the wheel must load with: 2.17, the manylinux2014 baseline (RHEL 8 has 2.28,
# Debian 11 and Ubuntu 20.04 2.31).
OLDEST_GLIBC = (2, 17)


def dynamic_needs(library: pathlib.Path) -> tuple[list[str], dict[str, list[str]]]:
    """The shared libraries `library` needs, and the symbol versions it requires of each."""
    dump = subprocess.run(["objdump", "-p", str(library)], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"^\s*NEEDED\s+(\S+)$", dump, re.MULTILINE)
    versions: dict[str, list[str]] = {}
    current = None
    for line in dump.splitlines():
        if match := re.match(r"\s*required from (\S+):$", line):
            current = versions.setdefault(match[1], [])
        elif current is not None and (match := re.match(r"\s*0x[0-9a-f]+ 0x[0-9a-f]+ \d+ (\S+)$", line)):
            current.append(match[1])
        elif line.strip() and not line.startswith(" "):
            current = None
    return needed, versions


def glibc_version(name: str) -> tuple[int, ...] | None:
    match = re.fullmatch(r"GLIBC_(\d+(?:\.\d+)+)", name)
    return tuple(int(part) for part in match[1].split(".")) if match else None


def check_private_cxx_runtime(needed: list[str], versions: dict[str, list[str]]) -> None:
    """The C++ runtime is linked in and hidden: the module asks the system for no libstdc++, so no
    system's libstdc++ can be too old for it."""
    assert not any(name.startswith("libstdc++") for name in needed), needed
    cxx = [v for required in versions.values() for v in required if v.startswith(("GLIBCXX_", "CXXABI_"))]
    assert not cxx, f"the module requires C++ runtime versions {cxx}"


def wheel_glibc(distribution: importlib.metadata.Distribution) -> tuple[str, tuple[int, int]]:
    """The installed wheel's widest manylinux tag and the C library version it promises to work with."""
    tags = re.findall(r"^Tag: (\S+)$", distribution.read_text("WHEEL") or "", re.MULTILINE)
    promised = {}
    for tag in tags:
        platform = tag.rsplit("-", 1)[-1]
        if match := re.fullmatch(r"manylinux_(\d+)_(\d+)_\w+", platform):
            promised[platform] = (int(match[1]), int(match[2]))
        elif platform.startswith("manylinux2014_"):
            promised[platform] = (2, 17)
    assert promised, f"no manylinux tag in {tags}"
    return min(promised.items(), key=lambda item: item[1])


def check_platform_tag(distribution: importlib.metadata.Distribution, versions: dict[str, list[str]]) -> str:
    tag, promised = wheel_glibc(distribution)
    required = [v for names in versions.values() for name in names if (v := glibc_version(name))]
    newest = max(required, default=(0,))
    assert newest <= promised, f"the module needs GLIBC {newest}, newer than its tag {tag} promises"
    assert promised <= OLDEST_GLIBC, f"{tag} refuses systems with glibc {OLDEST_GLIBC}"
    return f"tag {tag}; the module needs GLIBC_{'.'.join(map(str, newest))} at most"


package = pathlib.Path(vc.__file__).parent
site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
assert package.resolve().parent == site, f"imported from {package}, not from {site}"
assert pathlib.Path(vc.__file__).name == "__init__" + sysconfig.get_config_var("EXT_SUFFIX")
for name in ("__init__.pyi", "py.typed", "cli.py", "display.py", "typing.py", "__main__.py", "run/__init__.py"):
    assert (package / name).is_file(), f"{name} is missing from the installed package"

parser = argparse.ArgumentParser()
parser.add_argument("version", help="the version pyproject.toml gives")
parser.add_argument("--manylinux", action="store_true", help="check the repaired wheel's platform tag")
arguments = parser.parse_args()

distribution = importlib.metadata.distribution("veltrix_core")
assert distribution.version == arguments.version, (distribution.version, arguments.version)
assert vc.version() == distribution.version, (vc.version(), distribution.version)
assert any(str(f).endswith("LICENSE") for f in distribution.files or ()), "no LICENSE in the distribution"
assert distribution.metadata["License"] == "Proprietary"

store = vc.GraphStore()
x = store.add_source("read", {"path": "a"})
y = store.add_source("read", {"path": "b"})
total = store.add_reduction("sum", [store.add_op("neg", [store.add_op("add", [y, x])])], {"axis": 0})
store.add_op("add", [x, y])
reduced, report = store.reduce(outputs=[total])
assert report["stages"] == 1 and report["reduced_nodes"] == 4, report
blob = store.serialize(outputs=[total])
assert vc.GraphStore.deserialize(blob).serialize() == blob

scripts = pathlib.Path(sysconfig.get_paths()["scripts"])
with tempfile.TemporaryDirectory() as folder:
    path = pathlib.Path(folder) / "g.vir"
    path.write_bytes(blob)
    out = pathlib.Path(folder) / "r.vir"
    for command in ([str(scripts / "veltrix-core")], [sys.executable, "-m", "veltrix_core"]):
        done = subprocess.run([*command, "reduce", str(path), "-o", str(out)], capture_output=True, text=True)
        assert done.returncode == 0, done.stderr
        assert out.read_bytes() == reduced.serialize()
        done = subprocess.run([*command, "verify", str(out)], capture_output=True, text=True)
        assert done.returncode == 0 and "identically" in done.stdout, done

# What the compiled module asks of the system it is installed on.
assert shutil.which("objdump"), "objdump is missing (binutils)"
needed, versions = dynamic_needs(pathlib.Path(vc.__file__))
check_private_cxx_runtime(needed, versions)
linkage = f"needs {', '.join(needed)}"
if arguments.manylinux:
    linkage = f"{check_platform_tag(distribution, versions)}; {linkage}"
print(f"smoke test passed: veltrix_core {distribution.version} from {package} ({linkage})")
