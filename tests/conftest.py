"""Shared fixtures: every behavioural test runs against the native module and
its pure-Python twin, which must agree."""

import os
import sys
import pathlib

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))

from twin import responses_api as twin_module  # noqa: E402

try:
    from routes import responses_api as native_module
except ImportError:  # only tolerated when explicitly asked for
    if os.environ.get("RESPONSES_API_TWIN_ONLY") != "1":
        raise
    native_module = None

IMPLEMENTATIONS = {"native": native_module, "twin": twin_module}


# RESPONSES_API_NATIVE_ONLY=1 (the mutation run) leaves the twin's own runs out:
# a fault planted in the native module cannot change them.
IMPLEMENTATION_PARAMS = ["native"] if os.environ.get("RESPONSES_API_NATIVE_ONLY") == "1" else ["native", "twin"]


@pytest.fixture(params=IMPLEMENTATION_PARAMS)
def impl(request):
    """The module under test: the native extension or the pure-Python twin."""
    module = IMPLEMENTATIONS[request.param]
    if module is None:
        pytest.skip("native module not built (RESPONSES_API_TWIN_ONLY=1)")
    return module


@pytest.fixture
def native():
    if native_module is None:
        pytest.skip("native module not built (RESPONSES_API_TWIN_ONLY=1)")
    return native_module


@pytest.fixture
def twin():
    return twin_module
