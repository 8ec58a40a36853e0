"""Inputs on which the fuzz targets (fuzz/harness.py) found the native module
and the twin to disagree, kept as regression cases."""
import urllib.request

import pytest


@pytest.mark.parametrize("method, code", [("POST", 307), ("PUT", 308), ("GET", 302)])
@pytest.mark.parametrize("newurl", ["http://[bad/", "https://[::1/v1"])
def test_redirect_to_unparseable_address_raises(impl, method, code, newurl):
    # urlsplit rejects the target; the handler lets that error out rather
    # than treating the address as another origin.
    req = urllib.request.Request("http://a.example/v1", data=b"{}" if method != "GET" else None, method=method,
                                 headers={"Authorization": "Bearer k"})
    with pytest.raises(ValueError, match="Invalid IPv6 URL"):
        impl._PostRedirectHandlerLocal().redirect_request(req, None, code, "m", {}, newurl)
