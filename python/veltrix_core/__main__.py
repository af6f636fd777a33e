"""`python -m veltrix_core`: the command line (see veltrix_core.cli)."""

from veltrix_core.cli import main

raise SystemExit(main(prog="python -m veltrix_core"))
