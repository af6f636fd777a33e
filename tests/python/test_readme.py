"""The README's usage example runs as written."""

import contextlib
import io
import pathlib
import re


def test_readme_example_runs():
    readme = pathlib.Path(__file__).resolve().parents[2] / "README.md"
    (example,) = re.findall(r"```python\n(.*?)```", readme.read_text(), re.S)
    with contextlib.redirect_stdout(io.StringIO()) as out:
        exec(compile(example, str(readme), "exec"), {})
    assert "digraph veltrix {" in out.getvalue()
