"""The server checked member by member against the ASCOM Initiative's published Alpaca API
description (the OpenAPI files in tests/data/alpaca, copied with only three lines of their prose
reworded; paths, parameters and schemas as published): every Camera and common
member exists with the API's methods and form parameters, and every answer of both simulated
cameras (colour and cooled; mono with an ST4 port) matches the member's response schema, or
answers NotImplemented exactly where ICameraV4 ties it to what the camera cannot do."""

import json
import re
import urllib.parse
from pathlib import Path

import pytest

yaml = pytest.importorskip("yaml")

from alpacaserver import Raw, server  # noqa: E402, F401  (fixtures)
from velmora.brinmoor.alpaca.members import MEMBERS  # noqa: E402

DATA = Path(__file__).parent / "data" / "alpaca"
DEVICE_API = yaml.safe_load((DATA / "AlpacaDeviceAPI_v1.yaml").read_text(encoding="utf-8"))
MANAGEMENT_API = yaml.safe_load((DATA / "AlpacaManagementAPI_v1.yaml").read_text(encoding="utf-8"))
NOT_IMPLEMENTED = 0x400

# What this server never implements, and why (docs/alpaca.md lists the same).
NEVER = {
    "gains": "gain is a number between GainMin and GainMax",
    "offsets": "offset is a number between OffsetMin and OffsetMax",
    "heatsinktemperature": "the SDK does not report it",
    "subexposureduration": "the cameras take one exposure per StartExposure",
    "imagearrayvariant": "a COM type; Alpaca clients read ImageArray",
    "stopexposure": "CanStopExposure is false: the SDK keeps no image of a stopped exposure",
    "commandblind": "no raw commands", "commandbool": "no raw commands",
    "commandstring": "no raw commands",
}


def api_members():
    """{member: {"get"/"put": operation}} for the Camera and common paths of the API."""
    members = {}
    for path, operations in DEVICE_API["paths"].items():
        match = re.fullmatch(r"/(?:camera|\{device_type\})/\{device_number\}/(\w+)", path)
        if match:
            members[match.group(1)] = operations
    return members


API = api_members()


def resolve(document, node):
    while isinstance(node, dict) and "$ref" in node:
        target = document
        for part in node["$ref"].lstrip("#/").split("/"):
            target = target[part]
        node = target
    return node


def conforms(document, schema, value, where="Value"):
    """Problems of `value` against an OpenAPI schema (the parts these files use)."""
    schema = resolve(document, schema)
    problems = []
    for part in schema.get("allOf", []):
        problems += conforms(document, part, value, where)
    if "oneOf" in schema and not any(not conforms(document, s, value, where)
                                     for s in schema["oneOf"]):
        problems.append(f"{where}: {value!r} matches none of the API's choices")
    kind = schema.get("type")
    checks = {"integer": lambda v: isinstance(v, int) and not isinstance(v, bool),
              "number": lambda v: isinstance(v, (int, float)) and not isinstance(v, bool),
              "boolean": lambda v: isinstance(v, bool), "string": lambda v: isinstance(v, str),
              "array": lambda v: isinstance(v, list), "object": lambda v: isinstance(v, dict)}
    if kind in checks and not checks[kind](value):
        return problems + [f"{where}: {value!r} is not {kind}"]
    if "const" in schema and value != schema["const"]:
        problems.append(f"{where}: {value!r} is not {schema['const']!r}")
    if "minimum" in schema and isinstance(value, (int, float)) and value < schema["minimum"]:
        problems.append(f"{where}: {value!r} is below {schema['minimum']}")
    if "maximum" in schema and isinstance(value, (int, float)) and value > schema["maximum"]:
        problems.append(f"{where}: {value!r} is above {schema['maximum']}")
    if "pattern" in schema and isinstance(value, str) and not re.search(schema["pattern"], value):
        problems.append(f"{where}: {value!r} does not match {schema['pattern']}")
    if kind == "array" and "items" in schema:
        for n, item in enumerate(value[:50]):
            problems += conforms(document, schema["items"], item, f"{where}[{n}]")
    if isinstance(value, dict):
        for name, sub in schema.get("properties", {}).items():
            if name in value:
                problems += conforms(document, sub, value[name], f"{where}.{name}")
    return problems


def answer_schema(document, operation):
    response = resolve(document, operation["responses"]["200"])
    return response["content"]["application/json"]["schema"]


def form_parameters(operation):
    """{name: type} of a PUT's form body, without ClientID and ClientTransactionID."""
    body = operation.get("requestBody")
    if body is None:
        return {}
    schema = resolve(DEVICE_API, body)["content"]["application/x-www-form-urlencoded"]["schema"]
    params = {}
    for part in schema.get("allOf", [schema]):
        for name, sub in resolve(DEVICE_API, part).get("properties", {}).items():
            params[name] = resolve(DEVICE_API, sub).get("type")
    return {k: v for k, v in params.items() if k not in ("ClientID", "ClientTransactionID")}


KINDS = {"int": "integer", "float": "number", "bool": "boolean", "text": "string"}


def test_the_member_table_is_the_api():
    assert sorted(MEMBERS) == sorted(API)
    for name, operations in API.items():
        member = MEMBERS[name]
        assert (member.get is not None, member.put is not None) == \
            ("get" in operations, "put" in operations), name
        if "put" in operations:
            ours = {param: KINDS[kind] for param, kind in member.put.params}
            assert ours == form_parameters(operations["put"]), name


def not_implemented_here(member, facts):
    """Where ICameraV4 makes a member NotImplemented for this camera (from its Can* answers)."""
    if member in NEVER:
        return True
    tied = {
        "bayeroffsetx": facts["sensortype"] == 0, "bayeroffsety": facts["sensortype"] == 0,
        "ispulseguiding": not facts["canpulseguide"], "pulseguide": not facts["canpulseguide"],
        "coolerpower": not facts["cangetcoolerpower"],
        "setccdtemperature": not facts["cansetccdtemperature"],
        "cooleron": not facts["cansetccdtemperature"],
        "fastreadout": not facts["canfastreadout"],
    }
    return tied.get(member, False)


def get(raw, path, tid, **params):
    status, _, body = raw.get(path, ClientTransactionID=tid, ClientID=7, **params)
    assert status == 200, (path, body)
    return json.loads(body)


def check_common_shape(answer, tid):
    assert answer["ClientTransactionID"] == tid
    assert isinstance(answer["ServerTransactionID"], int) and answer["ServerTransactionID"] >= 1
    assert isinstance(answer["ErrorNumber"], int) and isinstance(answer["ErrorMessage"], str)
    assert (answer["ErrorNumber"] == 0) == (answer["ErrorMessage"] == "")


# Values each PUT is tried with: (form, or a function of the camera's facts giving it).
PUT_VALUES = {
    "action": {"Action": "none", "Parameters": ""},
    "commandblind": {"Command": "x", "Raw": "false"},
    "commandbool": {"Command": "x", "Raw": "false"},
    "commandstring": {"Command": "x", "Raw": "false"},
    "connected": {"Connected": "true"},
    "connect": {},
    "disconnect": None,    # tried last, on its own
    "binx": {"BinX": "1"}, "biny": {"BinY": "1"},
    "cooleron": {"CoolerOn": "false"},
    "fastreadout": {"FastReadout": "false"},
    "gain": lambda f: {"Gain": str(f["gainmin"])},
    "offset": lambda f: {"Offset": str(f["offsetmin"])},
    "numx": lambda f: {"NumX": str(f["cameraxsize"])},
    "numy": lambda f: {"NumY": str(f["cameraysize"])},
    "startx": {"StartX": "0"}, "starty": {"StartY": "0"},
    "readoutmode": {"ReadoutMode": "1"},
    "setccdtemperature": {"SetCCDTemperature": "0"},
    "subexposureduration": {"SubExposureDuration": "1"},
    "pulseguide": {"Direction": "0", "Duration": "0"},
    "abortexposure": {},
    "stopexposure": {},
    "startexposure": {"Duration": "0", "Light": "false"},
}


@pytest.mark.parametrize("number", [0, 1])
def test_every_member_answers_as_the_api_describes(server, number):
    raw = Raw(server.port)
    base = f"/api/v1/camera/{number}"
    tid = 100
    assert get(raw, f"{base}/connected", tid)["Value"] is False
    raw.put_json(f"{base}/connect")
    facts = {m: get(raw, f"{base}/{m}", 1)["Value"] for m in (
        "sensortype", "canpulseguide", "cangetcoolerpower", "cansetccdtemperature",
        "canfastreadout", "gainmin", "offsetmin", "cameraxsize", "cameraysize")}
    raw.put_json(f"{base}/startexposure", Duration="0.01", Light="true")
    deadline_polls = 3000
    while not get(raw, f"{base}/imageready", 1)["Value"]:
        deadline_polls -= 1
        assert deadline_polls, "the exposure did not finish"

    # every property, read once the camera has taken an image
    for name, operations in sorted(API.items()):
        if "get" not in operations:
            continue
        tid += 1
        answer = get(raw, f"{base}/{name}", tid)
        check_common_shape(answer, tid)
        if not_implemented_here(name, facts):
            assert answer["ErrorNumber"] == NOT_IMPLEMENTED and "Value" not in answer, name
            continue
        assert answer["ErrorNumber"] == 0, (name, answer)
        problems = conforms(DEVICE_API, answer_schema(DEVICE_API, operations["get"]), answer,
                            "answer")
        assert not problems, (name, problems)

    # every method and property setter, with a value the camera takes
    for name, operations in sorted(API.items()):
        form = PUT_VALUES[name] if "put" in operations else None
        if form is None:
            continue
        form = form(facts) if callable(form) else form
        tid += 1
        status, _, body = raw.put(f"{base}/{name}",
                                  form=urllib.parse.urlencode({**form, "ClientTransactionID": tid}))
        assert status == 200, (name, body)
        answer = json.loads(body)
        check_common_shape(answer, tid)
        if name == "action":
            assert answer["ErrorNumber"] == 0x40C  # ActionNotImplemented: no actions offered
        elif not_implemented_here(name, facts):
            assert answer["ErrorNumber"] == NOT_IMPLEMENTED, (name, answer)
        else:
            assert answer["ErrorNumber"] == 0, (name, answer)
        if name not in ("commandbool", "commandstring", "action"):
            assert "Value" not in answer   # a method answers no value
    raw.put_json(f"{base}/disconnect")
    assert get(raw, f"{base}/connected", tid + 1)["Value"] is False
    assert get(raw, f"{base}/connecting", tid + 2)["Value"] is False


def test_disconnected_members_answer_not_connected(server):
    raw = Raw(server.port)
    for name, operations in sorted(API.items()):
        if "get" not in operations:
            continue
        answer = get(raw, f"/api/v1/camera/1/{name}", 5)
        common = DEVICE_API["paths"].get(f"/{{device_type}}/{{device_number}}/{name}")
        if common is not None and name != "devicestate":
            assert answer["ErrorNumber"] == 0, name   # identity answers while disconnected
        else:
            assert answer["ErrorNumber"] == 0x407, (name, answer)


@pytest.mark.parametrize("path", [p for p in MANAGEMENT_API["paths"] if p.startswith("/management")])
def test_management_answers_as_the_api_describes(server, path):
    raw = Raw(server.port)
    answer = get(raw, path, 9)
    check_common_shape(answer, 9)
    schema = resolve(MANAGEMENT_API, MANAGEMENT_API["paths"][path]["get"]["responses"]["200"])
    problems = conforms(MANAGEMENT_API, schema["content"]["application/json"]["schema"], answer)
    assert not problems, problems


def test_setup_pages_as_the_api_describes(server):
    raw = Raw(server.port)
    assert set(MANAGEMENT_API["paths"]) >= {"/setup", "/setup/v1/{device_type}/{device_number}/setup"}
    assert raw.get("/setup")[0] == 200
    assert raw.get("/setup/v1/camera/1/setup")[0] == 200
    assert raw.get("/setup/v1/camera/2/setup")[0] == 403   # a device this server does not have
    assert raw.get("/setup/v1/telescope/0/setup")[0] == 403
