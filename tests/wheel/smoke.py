"""Smoke test of an installed veltrix_core (a wheel or an sdist installed into a fresh virtual
environment, see scripts/wheels.sh): it runs outside the checkout and uses only what the
distribution installed."""

import importlib.metadata
import pathlib
import subprocess
import sys
import sysconfig
import tempfile

import veltrix_core as vc

package = pathlib.Path(vc.__file__).parent
site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
assert package.resolve().parent == site, f"imported from {package}, not from {site}"
assert pathlib.Path(vc.__file__).name == "__init__" + sysconfig.get_config_var("EXT_SUFFIX")
for name in ("__init__.pyi", "py.typed", "cli.py", "display.py", "typing.py", "__main__.py", "run/__init__.py"):
    assert (package / name).is_file(), f"{name} is missing from the installed package"

distribution = importlib.metadata.distribution("veltrix_core")
expected_version = sys.argv[1]
assert distribution.version == expected_version, (distribution.version, expected_version)
assert vc.version() == "0.0.1"
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
print(f"smoke test passed: veltrix_core {distribution.version} from {package}")
