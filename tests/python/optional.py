"""Test packages that an interpreter may be unable to install (no wheel for a free-threaded or
sanitized build, say). A test module that needs one skips there with the reason. Where
VELTRIX_REQUIRE_TEST_PACKAGES is set, as for the standard interpreter in CI, a missing package
is an error instead, so nothing skips silently there."""

import importlib
import os

import pytest


def require(name):
    if os.environ.get("VELTRIX_REQUIRE_TEST_PACKAGES"):
        return importlib.import_module(name)
    return pytest.importorskip(name, reason=f"{name} cannot be installed for this interpreter")
