"""The `/setup` pages: one HTML page for the server and one per device, read-only.

The camera's settings are made by the imaging program through the API, so the pages show what
the server serves and how to reach it rather than offering a form.
"""

from __future__ import annotations

from collections.abc import Sequence
from html import escape

from .camera import AlpacaCamera

_STYLE = ("body{font-family:sans-serif;margin:2em;max-width:50em}"
          "table{border-collapse:collapse}td,th{padding:.2em .8em;border-bottom:1px solid #ccc;"
          "text-align:left}")


def _page(title: str, body: str) -> str:
    return (f"<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>{escape(title)}</title>"
            f"<style>{_STYLE}</style></head><body><h1>{escape(title)}</h1>{body}</body></html>")


def _rows(rows: Sequence[tuple[str, object]]) -> str:
    cells = "".join(f"<tr><th>{escape(k)}</th><td>{escape(str(v))}</td></tr>" for k, v in rows)
    return f"<table>{cells}</table>"


def server_page(server_name: str, devices: Sequence[AlpacaCamera]) -> str:
    if devices:
        items = "".join(
            f"<li><a href=\"/setup/v1/camera/{d.number}/setup\">Camera {d.number}: "
            f"{escape(d.name)}</a></li>" for d in devices)
        listing = f"<ul>{items}</ul>"
    else:
        listing = "<p>No cameras were connected when the server started.</p>"
    return _page(server_name, "<p>ASCOM Alpaca camera devices served here:</p>" + listing)


def device_page(device: AlpacaCamera) -> str:
    facts = device.facts
    rows: list[tuple[str, object]] = [
        ("Device", f"camera {device.number}"),
        ("Camera", facts.name),
        ("UniqueID", facts.unique_id),
        ("Sensor", f"{facts.width} x {facts.height}, {facts.pixel_size_um:g} um, "
                   f"{facts.bit_depth}-bit, {'colour' if facts.bayer_offset else 'monochrome'}"),
        ("Served as", f"{device.x_size} x {device.y_size} (read whole at every binning)"),
        ("Binning", ", ".join(str(b) for b in facts.bins)),
        ("Cooler", "yes" if facts.has_cooler else "no"),
        ("ST4 guide port", "yes" if facts.has_st4 else "no"),
        ("Connected", "yes" if device.is_connected else "no"),
        ("API", f"/api/v1/camera/{device.number}/"),
    ]
    body = (_rows(rows) + "<p>Settings are made by the imaging program through the Alpaca "
            "API.</p><p><a href=\"/setup\">All devices</a></p>")
    return _page(f"Camera {device.number}: {facts.name}", body)
