"""The package around the extension: importing it loads the extension alone, and the files that
type checkers and the command line need sit beside it."""

import json
import pathlib
import subprocess
import sys
import sysconfig
import textwrap

import pytest


def fresh_import(statement):
    """Runs `statement` in a new interpreter; returns the modules it added and facts about the
    package."""
    code = textwrap.dedent(
        f"""
        import json, sys
        before = set(sys.modules)
        {statement}
        import veltrix_core as vc
        print(json.dumps({{
            "new": sorted(set(sys.modules) - before),
            "file": vc.__file__, "path": list(vc.__path__), "doc": vc.__doc__, "all": vc.__all__,
            "public": sorted(n for n in dir(vc) if not n.startswith("_")),
        }}))
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, timeout=60)
    return json.loads(done.stdout)


def test_import_loads_only_the_extension():
    facts = fresh_import("import veltrix_core")
    assert [m for m in facts["new"] if m.startswith("veltrix_core")] == ["veltrix_core"]
    assert not {"numpy", "IPython", "dask"} & set(facts["new"])
    assert facts["doc"] == ""
    assert facts["all"] == ["GraphStore", "PayloadDescriptor", "IncrementalReducer", "version"]
    assert facts["public"] == sorted(facts["all"])
    path = pathlib.Path(facts["file"])
    assert path.name == "__init__" + sysconfig.get_config_var("EXT_SUFFIX")
    assert facts["path"] == [str(path.parent)]


@pytest.mark.parametrize("submodule", ["cli", "display", "typing", "__main__"])
def test_submodules_import_nothing_heavy(submodule):
    facts = fresh_import(f"import veltrix_core.{submodule}")
    assert not {"numpy", "IPython", "dask"} & set(facts["new"])


@pytest.mark.parametrize(
    "name", ["__init__.pyi", "py.typed", "__main__.py", "cli.py", "display.py", "typing.py", "run/__init__.py"]
)
def test_package_files_sit_beside_the_extension(name):
    import veltrix_core  # noqa: PLC0415

    assert (pathlib.Path(veltrix_core.__file__).parent / name).is_file()
