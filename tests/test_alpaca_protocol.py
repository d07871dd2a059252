"""The Alpaca server's protocol rules, with raw HTTP: parameters, transaction IDs, HTTP errors,
ASCOM error numbers, hostile requests, ImageBytes framing, discovery datagrams."""

import http.client
import json
import socket
import struct

import numpy as np
import pytest

from alpacaserver import Raw, addr, raw, server  # noqa: F401  (fixtures)
from velmora.brinmoor.alpaca import discovery, imagedata, protocol
from velmora.brinmoor.alpaca.errors import BadRequest

CAM0 = "/api/v1/camera/0"
CAM1 = "/api/v1/camera/1"


# -- parameter rules, without a server ---------------------------------------------------------

@pytest.mark.parametrize("text, name, expected", [
    ("ClientTransactionID=5", "clienttransactionid", "5"),
    ("CLIENTTRANSACTIONID=7", "ClientTransactionID", "7"),
    ("binx=2", "BinX", "2"),
    ("Light=&Duration=1", "light", ""),
])
def test_parameter_names_ignore_case(text, name, expected):
    assert protocol.Params.parse(text).raw(name) == expected


@pytest.mark.parametrize("text", [
    "BinX=1&binx=2",                       # the same name twice in two casings
    "a=" + "1" * (protocol.MAX_VALUE_CHARS + 1),
    "&".join(f"p{i}=1" for i in range(protocol.MAX_FIELDS + 1)),
    "Gain=%ff",                             # not UTF-8 after percent-decoding
])
def test_malformed_parameter_sets_are_refused(text):
    with pytest.raises(BadRequest):
        protocol.Params.parse(text)


@pytest.mark.parametrize("kind, text, expected", [
    ("int", "42", 42), ("int", " -7 ", -7), ("int", "+3", 3), ("int", "2147483647", 2**31 - 1),
    ("float", "0.5", 0.5), ("float", "1e-3", 0.001), ("float", "-.25", -0.25), ("float", "3", 3.0),
    ("bool", "True", True), ("bool", "FALSE", False), ("bool", "true", True),
])
def test_values_parse(kind, text, expected):
    params = protocol.Params([("V", text)])
    assert getattr(params, {"int": "int32", "float": "float", "bool": "bool"}[kind])("v") == expected


@pytest.mark.parametrize("kind, text", [
    ("int", "1.5"), ("int", "abc"), ("int", ""), ("int", "2147483648"), ("int", "-2147483649"),
    ("int", "9" * 30), ("int", "0x10"), ("int", "1_000"),
    ("float", "nan"), ("float", "inf"), ("float", "1e999"), ("float", "1,5"), ("float", ""),
    ("float", "0x1p3"),
    ("bool", "1"), ("bool", "yes"), ("bool", ""),
])
def test_bad_values_are_malformed_requests(kind, text):
    params = protocol.Params([("V", text)])
    with pytest.raises(BadRequest):
        getattr(params, {"int": "int32", "float": "float", "bool": "bool"}[kind])("V")


@pytest.mark.parametrize("text, expected", [
    (None, 0), ("", 0), ("0", 0), ("4294967295", 2**32 - 1), ("17", 17),
])
def test_client_transaction_id(text, expected):
    params = protocol.Params([] if text is None else [("clienttransactionid", text)])
    assert params.client_transaction_id() == expected


@pytest.mark.parametrize("text", ["-1", "4294967296", "x"])
def test_client_transaction_id_out_of_uint32_is_refused(text):
    with pytest.raises(BadRequest):
        protocol.Params([("ClientTransactionID", text)]).client_transaction_id()


def test_server_transaction_ids_increase_and_wrap():
    counter = protocol.TransactionCounter()
    assert [counter.next() for _ in range(3)] == [1, 2, 3]
    counter._last = protocol.UINT32_MAX - 1
    assert [counter.next(), counter.next()] == [protocol.UINT32_MAX, 1]


# -- image encodings ---------------------------------------------------------------------------

@pytest.mark.parametrize("dtype, element", [(np.uint16, 8), (np.uint8, 6)])
def test_imagebytes_are_column_major_with_the_documented_header(dtype, element):
    frame = np.arange(4 * 6, dtype=dtype).reshape(4, 6)  # 4 rows (y), 6 columns (x)
    image = imagedata.ImageData(frame)
    header = image.imagebytes_header(11, 22)
    assert struct.unpack("<11i", header) == (1, 0, 11, 22, 44, 2, element, 2, 6, 4, 0)
    pixels = np.frombuffer(bytes(image.imagebytes_payload()), dtype=dtype)
    # column by column: x slowest, y fastest
    assert pixels.tolist() == [int(frame[y, x]) for x in range(6) for y in range(4)]


def test_json_image_is_indexed_x_then_y():
    frame = np.array([[1, 2, 3], [4, 5, 6]], dtype=np.uint16)
    body = json.loads(imagedata.ImageData(frame).json_body(3, 4))
    assert body["Value"] == [[1, 4], [2, 5], [3, 6]]
    assert (body["Type"], body["Rank"], body["ErrorNumber"], body["ErrorMessage"]) == (2, 2, 0, "")
    assert (body["ClientTransactionID"], body["ServerTransactionID"]) == (3, 4)


@pytest.mark.parametrize("accept, expected", [
    ("application/imagebytes", True),
    ("application/json, application/imagebytes;q=0.9", True),
    ("Application/ImageBytes", True),
    ("application/imagebytes;q=0", False),
    ("application/json", False),
    ("", False),
    ("application/imagebytesx", False),
])
def test_accept_header(accept, expected):
    assert imagedata.accepts_imagebytes(accept) is expected


@pytest.mark.parametrize("data, expected", [
    (b"alpacadiscovery1", True), (b"alpacadiscovery2", True), (b"alpacadiscovery0", False),
    (b"alpacadiscovery", False), (b"alpacadiscoveryx", False), (b"hello", False), (b"", False),
])
def test_discovery_query(data, expected):
    assert discovery.is_query(data) is expected


# -- the protocol over HTTP --------------------------------------------------------------------

def test_transaction_ids_echoed_and_increasing(raw):
    answers = [raw.get_json(f"{CAM0}/name", ClientTransactionID=n) for n in (5, 6, 4294967295)]
    assert [a["ClientTransactionID"] for a in answers] == [5, 6, 4294967295]
    ids = [a["ServerTransactionID"] for a in answers]
    assert ids == sorted(ids) and len(set(ids)) == 3
    assert raw.get_json(f"{CAM0}/name")["ClientTransactionID"] == 0


def test_parameter_names_are_case_insensitive_over_http(raw):
    assert raw.put_json(f"{CAM1}/CONNECTED".lower(), CONNECTED="TRUE")["ErrorNumber"] == 0
    assert raw.put_json(f"{CAM1}/binx", binx="2", clienttransactionid="9")["ClientTransactionID"] == 9
    assert raw.get_json(f"{CAM1}/biny", clientTRANSACTIONid=3) == {
        "Value": 2, "ClientTransactionID": 3, "ServerTransactionID": pytest.approx(0, abs=1e9),
        "ErrorNumber": 0, "ErrorMessage": ""}


@pytest.mark.parametrize("method, path, params", [
    ("PUT", f"{CAM1}/binx", {}),                              # missing parameter
    ("PUT", f"{CAM1}/binx", {"BinX": "two"}),                 # wrong type
    ("PUT", f"{CAM1}/binx", {"BinX": "99999999999999999"}),   # beyond 32 bits
    ("PUT", f"{CAM1}/startexposure", {"Duration": "1"}),      # one of two missing
    ("PUT", f"{CAM1}/startexposure", {"Duration": "nan", "Light": "true"}),
    ("PUT", f"{CAM1}/connected", {"Connected": "1"}),
    ("PUT", f"{CAM1}/gain", {"Gain": "1", "gain": "2"}),      # given twice
    ("GET", f"{CAM1}/name", {"ClientTransactionID": "-5"}),
    ("GET", f"{CAM1}/name", {"ClientID": "abc"}),
    ("GET", "/api/v1/camera/7/name", {}),                      # unknown device
    ("GET", "/api/v1/camera/-1/name", {}),
    ("GET", "/api/v1/camera/00000000000000000000001/name", {}),
    ("GET", "/api/v1/telescope/0/name", {}),                   # device type not served
    ("GET", f"{CAM1}/nosuchmember", {}),                      # unknown member
    ("GET", f"{CAM1}/Name", {}),                              # member names are lower case
    ("GET", f"{CAM1}/startexposure", {}),                     # a method read with GET
    ("PUT", f"{CAM1}/cameraxsize", {"CameraXSize": "5"}),     # a read-only property written
])
def test_malformed_requests_get_400_with_a_plain_message(raw, method, path, params):
    if method == "GET":
        status, headers, body = raw.get(path, **params)
    else:
        form = "&".join(f"{k}={v}" for k, v in params.items())
        status, headers, body = raw.put(path, form=form)
    assert status == 400
    assert headers["content-type"].startswith("text/plain")
    assert body and len(body) < 300 and b"Traceback" not in body


def test_put_body_must_be_form_encoded(raw):
    status, _, body = raw.request("PUT", f"{CAM1}/connected", body=b'{"Connected": true}',
                                  headers={"Content-Type": "application/json"})
    assert status == 400 and b"x-www-form-urlencoded" in body


@pytest.mark.parametrize("member, number", [
    ("cameraxsize", 0x407),     # disconnected
    ("gain", 0x407),
    ("imagearray", 0x407),
])
def test_disconnected_device_answers_not_connected(raw, member, number):
    answer = raw.get_json(f"{CAM1}/{member}")
    assert answer["ErrorNumber"] == number and "not connected" in answer["ErrorMessage"]
    assert "Value" not in answer


@pytest.mark.parametrize("member, params, number", [
    ("binx", {"BinX": "3"}, 0x401),            # ASI120MM Mini bins 1 and 2
    ("binx", {"BinX": "0"}, 0x401),
    ("gain", {"Gain": "-1"}, 0x401),
    ("gain", {"Gain": "2147483647"}, 0x401),   # a valid integer, far outside the camera's range
    ("readoutmode", {"ReadoutMode": "9"}, 0x401),
    ("startexposure", {"Duration": "-1", "Light": "true"}, 0x401),
    ("startexposure", {"Duration": "1e9", "Light": "true"}, 0x401),
    ("pulseguide", {"Direction": "4", "Duration": "10"}, 0x401),
    ("pulseguide", {"Direction": "0", "Duration": "-10"}, 0x401),
    ("cooleron", {"CoolerOn": "true"}, 0x400),  # no cooler on this camera
    ("stopexposure", {}, 0x400),
    ("commandstring", {"Command": "x", "Raw": "false"}, 0x400),
    ("action", {"Action": "x", "Parameters": ""}, 0x40C),
])
def test_device_level_errors_are_ascom_numbers(raw, member, params, number):
    raw.put_json(f"{CAM1}/connected", Connected="true")
    answer = raw.put_json(f"{CAM1}/{member}", ClientTransactionID=8, **params)
    assert (answer["ErrorNumber"], answer["ClientTransactionID"]) == (number, 8)
    assert answer["ErrorMessage"]


@pytest.mark.parametrize("member, number", [
    ("imagearray", 0x40B),              # no image yet
    ("lastexposureduration", 0x402),    # no exposure yet
    ("lastexposurestarttime", 0x402),
    ("percentcompleted", 0x40B),
    ("imagearrayvariant", 0x400),       # a COM type, not part of Alpaca's answers
    ("gains", 0x400),
    ("offsets", 0x400),
    ("heatsinktemperature", 0x400),
    ("bayeroffsetx", 0x400),            # monochrome sensor
    ("cooleron", 0x400),
    ("coolerpower", 0x400),
    ("subexposureduration", 0x400),
])
def test_what_the_camera_cannot_answer(raw, member, number):
    raw.put_json(f"{CAM1}/connected", Connected="true")
    answer = raw.get_json(f"{CAM1}/{member}")
    assert answer["ErrorNumber"] == number, answer
    assert "Value" not in answer


def test_sdk_failures_carry_the_sdk_condition(raw, sim):
    raw.put_json(f"{CAM1}/connected", Connected="true")
    sim.script("ASIGetControlValue", 16)   # the SDK's general-error code
    answer = raw.get_json(f"{CAM1}/gain")
    assert answer["ErrorNumber"] == 0x4FF
    assert "ASIGeneralError" in answer["ErrorMessage"] and "ASI120MM" in answer["ErrorMessage"]
    sim.unplug(1)
    answer = raw.get_json(f"{CAM1}/gain")
    assert answer["ErrorNumber"] == 0x407 and "ASICameraRemoved" in answer["ErrorMessage"]


def test_body_too_large(raw):
    status, _, _ = raw.put(f"{CAM1}/connected", form="Connected=true&x=" + "a" * 100_000)
    assert status == 413
    # a declared length that is a lie or absurd is refused before anything is read
    status, _, _ = raw.request("PUT", f"{CAM1}/connected", body=b"Connected=true",
                               headers={"Content-Type": "application/x-www-form-urlencoded",
                                        "Content-Length": "99999999999"})
    assert status in (400, 413)
    # a chunked body, which declares no length, is counted as it arrives
    conn = http.client.HTTPConnection("127.0.0.1", raw.port, timeout=30)
    try:
        conn.request("PUT", f"{CAM1}/connected", body=iter([b"Connected=true&x="] + [b"a" * 4096] * 8),
                     headers={"Content-Type": "application/x-www-form-urlencoded"},
                     encode_chunked=True)
        assert conn.getresponse().status == 413
    finally:
        conn.close()


@pytest.mark.parametrize("path", [
    "/setup/../../../../etc/passwd",
    "/setup/v1/camera/0/../../../../../etc/passwd",
    "/%2e%2e/%2e%2e/etc/passwd",
    "/api/v1/camera/0/../../../etc/passwd",
    "/setup/v1/camera/0/setup/../../../../proc/self/environ",
    "/api/v1/camera/%00/name",
])
def test_no_request_reads_a_file(raw, path):
    status, _, body = raw.request("GET", path)
    assert status in (400, 404)
    assert b"root:" not in body and b"PATH=" not in body


def refused(raw, method, path, headers=None):
    """The status of a request the server should refuse; a server that answers and closes while
    the client is still sending resets the connection, which counts as refused too."""
    try:
        return raw.request(method, path, headers=headers)[0]
    except ConnectionError:
        return "reset"


def test_hostile_requests_leave_the_server_healthy(raw, server):
    long_query = "x=" + "9" * 200_000
    assert refused(raw, "GET", f"{CAM1}/name?{long_query}") in (400, 414, 431, "reset")
    assert refused(raw, "GET", f"{CAM1}/name", {"X-Big": "a" * 2_000_000}) in (400, 431, "reset")
    # raw garbage and a truncated request on their own connections
    for junk in (b"\x00\xff\x10garbage\r\n\r\n",
                 b"GET /api/v1/camera/1/name HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\nab"):
        with socket.create_connection(("127.0.0.1", server.port), timeout=5) as s:
            s.sendall(junk)
            s.shutdown(socket.SHUT_WR)
            s.recv(1024)
    assert raw.request("PUT", f"{CAM1}/binx", body="BinX=1", headers={})[0] in (200, 400)
    assert raw.get_json(f"{CAM1}/name")["Value"] == "ZWO ASI120MM Mini"


def test_management_api(raw, server):
    assert raw.get_json("/management/apiversions", ClientTransactionID=2)["Value"] == [1]
    description = raw.get_json("/management/v1/description")["Value"]
    assert set(description) == {"ServerName", "Manufacturer", "ManufacturerVersion", "Location"}
    devices = raw.get_json("/management/v1/configureddevices")["Value"]
    assert [(d["DeviceName"], d["DeviceType"], d["DeviceNumber"]) for d in devices] == [
        ("ZWO ASI294MC Pro", "Camera", 0), ("ZWO ASI120MM Mini", "Camera", 1)]
    assert raw.get("/management/apiversions", ClientTransactionID="x")[0] == 400


def test_unique_ids_are_stable_and_distinct(raw, server):
    from velmora.brinmoor.alpaca import AlpacaServer

    first = [d["UniqueID"] for d in raw.get_json("/management/v1/configureddevices")["Value"]]
    again = AlpacaServer(port=0, discovery_port=None)
    try:
        assert [d.facts.unique_id for d in again.devices] == first
    finally:
        again._shutdown()
    assert len(set(first)) == 2


def test_setup_pages(raw):
    status, headers, body = raw.get("/setup")
    assert status == 200 and headers["content-type"].startswith("text/html")
    assert b"/setup/v1/camera/0/setup" in body and b"ZWO ASI120MM Mini" in body
    status, _, body = raw.get("/setup/v1/camera/1/setup")
    assert status == 200 and b"ZWO ASI120MM Mini" in body and b"1280 x 960" in body
    assert raw.get("/setup/v1/camera/5/setup")[0] == 403   # a device that does not exist


def test_discovery_answers_with_the_http_port(server):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(5)
        s.sendto(b"alpacadiscovery1", ("127.0.0.1", server.discovery.port))
        data, _ = s.recvfrom(1024)
        assert json.loads(data) == {"AlpacaPort": server.port}
        s.sendto(b"not a query", ("127.0.0.1", server.discovery.port))
        s.settimeout(0.3)
        with pytest.raises(TimeoutError):
            s.recvfrom(1024)


@pytest.mark.parametrize("loopback_only, peer, answered", [
    (True, "127.0.0.1", True), (True, "127.8.9.10", True), (True, "192.0.2.7", False),
    (False, "192.0.2.7", True), (True, "::1", True), (True, "fd00::2", False),
])
def test_discovery_answers_the_network_only_when_serving_it(loopback_only, peer, answered):
    responder = discovery.DiscoveryResponder(1234, port=0, loopback_only=loopback_only)
    try:
        reply = responder.answer(b"alpacadiscovery1", peer)
        assert (reply == b'{"AlpacaPort":1234}') if answered else reply is None
        assert responder.answer(b"alpacadiscovery", peer) is None
    finally:
        responder.close()


def test_head_and_other_methods_are_refused(raw):
    for method in ("HEAD", "POST", "DELETE"):
        assert raw.request(method, f"{CAM1}/imagearray")[0] == 405


@pytest.mark.parametrize("exc, number, text", [
    ("ASICameraRemoved", 0x407, "ASICameraRemoved"),
    ("ASICameraClosed", 0x407, "ASICameraClosed"),
    ("ASIInvalidID", 0x407, "ASIInvalidID"),
    ("ASIOutOfBoundary", 0x401, "ASIOutOfBoundary"),
    ("ASIExposureInProgress", 0x40B, "ASIExposureInProgress"),
    ("ASITimeout", 0x4FF, "ASITimeout"),
    ("ASIGeneralError", 0x4FF, "ASIGeneralError"),
    ("CameraNotFound", 0x407, "no such camera"),      # a ValueError too, but a camera that is gone
    ("UnsupportedControl", 0x400, "no such control"),
    ("CameraBusy", 0x40B, "busy"),
    ("ValueError", 0x401, "gain 900 is out of range"),
    ("RuntimeError", 0x4FF, "RuntimeError"),
])
def test_camera_layer_failures_map_to_ascom_errors_by_class(exc, number, text):
    from velmora.brinmoor import camera
    from velmora.brinmoor.alpaca.errors import from_sdk_error

    messages = {"CameraNotFound": "no such camera", "UnsupportedControl": "no such control",
                "CameraBusy": "busy", "ValueError": "gain 900 is out of range"}
    cls = getattr(camera, exc, None) or {"ValueError": ValueError, "RuntimeError": RuntimeError}[exc]
    error = from_sdk_error(cls(messages.get(exc, "")) if exc in messages else cls(), "reading Gain")
    assert error.number == number and text in error.message
