"""The Alpaca management API: API versions, the server's description and its devices."""

from __future__ import annotations

from collections.abc import Sequence

from velmora.brinmoor._distribution import package_version

from .camera import AlpacaCamera

API_VERSIONS = [1]
SERVER_NAME = "orvik Alpaca camera server"
MANUFACTURER = "velmora brinmoor"


def description(location: str) -> dict[str, object]:
    return {
        "ServerName": SERVER_NAME,
        "Manufacturer": MANUFACTURER,
        "ManufacturerVersion": package_version(),
        "Location": location,
    }


def configured_devices(devices: Sequence[AlpacaCamera]) -> list[dict[str, object]]:
    return [
        {
            "DeviceName": d.name,
            "DeviceType": "Camera",
            "DeviceNumber": d.number,
            "UniqueID": d.facts.unique_id,
        }
        for d in devices
    ]
