"""A running Alpaca server over the simulated cameras, and small raw-HTTP helpers for its tests."""

import http.client
import json
import time
import urllib.parse

import pytest

from velmora.brinmoor.alpaca import AlpacaServer


@pytest.fixture
def server(sim):
    """The server on a free loopback port, over the default cameras (0: ASI294MC Pro, 1: ASI120MM
    Mini), discovery on a free port; simulated time runs 100 times faster."""
    sim.set_time_scale(100.0)
    srv = AlpacaServer(port=0, discovery_port=0).start()
    yield srv
    srv.stop()


@pytest.fixture
def addr(server):
    return f"127.0.0.1:{server.port}"


class Raw:
    """Plain HTTP requests to the server: status, headers and body as they came."""

    def __init__(self, port):
        self.port = port

    def request(self, method, path, body=None, headers=None):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request(method, path, body=body, headers=headers or {})
            response = conn.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            conn.close()

    def get(self, path, accept=None, **params):
        query = urllib.parse.urlencode(params)
        headers = {"Accept": accept} if accept else {}
        return self.request("GET", path + ("?" + query if query else ""), headers=headers)

    def put(self, path, form=None, **params):
        body = form if form is not None else urllib.parse.urlencode(params)
        return self.request("PUT", path, body=body,
                            headers={"Content-Type": "application/x-www-form-urlencoded"})

    def get_json(self, path, **params):
        status, _, body = self.get(path, **params)
        assert status == 200, body
        return json.loads(body)

    def put_json(self, path, **params):
        status, _, body = self.put(path, **params)
        assert status == 200, body
        return json.loads(body)


@pytest.fixture
def raw(server):
    return Raw(server.port)


def wait_image(camera, timeout=30.0):
    """Poll an alpyca camera until its image is ready."""
    deadline = time.monotonic() + timeout
    while not camera.ImageReady:
        assert time.monotonic() < deadline, "the exposure did not finish"
        time.sleep(0.01)
