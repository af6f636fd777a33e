"""`python -m veltrix_core`: the command line (see veltrix_core.cli)."""

from veltrix_core.cli import main

# Imported rather than run (by a tool that walks the package), it does nothing.
if __name__ == "__main__":
    raise SystemExit(main(prog="python -m veltrix_core"))
