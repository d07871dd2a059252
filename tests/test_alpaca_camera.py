"""The Alpaca server driven by the ASCOM Initiative's own client library (alpyca), against the
simulated cameras: discovery, devices, exposures compared pixel for pixel with the module,
cooling, gain and offset limits, guiding, abort, errors, concurrency, broken downloads."""

import http.client
import socket
import threading
import time

import numpy as np
import pytest
from alpaca import discovery as alpaca_discovery
from alpaca import management
from alpaca.camera import Camera, CameraStates, SensorType
from alpaca.exceptions import (
    InvalidOperationException,
    InvalidValueException,
    NotConnectedException,
    NotImplementedException,
)

from alpacaserver import addr, raw, server, wait_image  # noqa: F401  (fixtures)

ASI294, ASI120 = 0, 1


def connected_camera(addr, number):
    camera = Camera(addr, number)
    camera.Connected = True
    return camera


def expose(camera, duration=0.01, light=True):
    camera.StartExposure(duration, light)
    wait_image(camera)


def image_bytes(camera):
    """ImageArray through ImageBytes, as a numpy (height, width) array."""
    flat = camera.ImageArrayRaw
    info = camera.ImageArrayInfo
    return np.asarray(flat).reshape(info.Dimension1, info.Dimension2).T


def image_json(addr, number):
    """ImageArray through JSON (a client that does not ask for ImageBytes)."""
    import requests

    answer = requests.get(f"http://{addr}/api/v1/camera/{number}/imagearray", timeout=60).json()
    assert answer["ErrorNumber"] == 0, answer
    assert (answer["Type"], answer["Rank"]) == (2, 2)
    return np.asarray(answer["Value"]).T


def module_frame(sim, orvik, camera_id, sdk_window, bin, raw16, exposure_us, dark):
    """The same exposure taken through the module after a reset: open, initialise, window,
    exposure time, start, wait, read; as a (height, width) array."""
    sim.reset()
    x, y, w, h = sdk_window
    orvik.open_camera(camera_id)
    orvik.init_camera(camera_id)
    img_type = orvik.ImgType.IMG_RAW16 if raw16 else orvik.ImgType.IMG_RAW8
    orvik.set_roi_format(camera_id, w, h, bin, img_type)
    orvik.set_start_pos(camera_id, x, y)
    orvik.set_control_value(camera_id, orvik.ControlType.ASI_EXPOSURE, exposure_us, False)
    orvik.start_exposure(camera_id, dark)
    while orvik.get_exp_status(camera_id) == orvik.ExposureStatus.ASI_EXP_WORKING:
        time.sleep(0.005)
    data = orvik.get_data_after_exp(camera_id, w * h * (2 if raw16 else 1))
    orvik.close_camera(camera_id)
    return np.frombuffer(data, dtype="<u2" if raw16 else np.uint8).reshape(h, w)


# (camera, bin, (StartX, StartY, NumX, NumY) or None for the full frame, readout mode, light,
#  the aligned window the camera reads (x, y, w, h), crop within it (x0, y0))
EXPOSURES = [
    (ASI120, 1, None, 0, True, (0, 0, 1280, 960), (0, 0)),
    (ASI120, 2, (40, 30, 320, 240), 0, True, (40, 30, 320, 240), (0, 0)),
    (ASI120, 1, (101, 51, 100, 99), 1, False, (101, 51, 104, 100), (0, 0)),   # unaligned: cropped
    (ASI120, 1, (1276, 958, 4, 2), 0, True, (1272, 958, 8, 2), (4, 0)),     # at the sensor's edge
    (ASI294, 1, (1000, 800, 256, 128), 0, True, (1000, 800, 256, 128), (0, 0)),
    (ASI294, 3, None, 1, False, (0, 0, 1376, 936), (0, 0)),          # the served full frame at bin 3
    (ASI294, 4, None, 0, True, (0, 0, 1032, 702), (0, 0)),           # and at bin 4
]


@pytest.mark.parametrize("number, bin, window, mode, light, sdk_window, crop", EXPOSURES)
def test_image_matches_the_module_pixel_for_pixel(server, addr, sim, orvik, number, bin, window,
                                                  mode, light, sdk_window, crop):
    camera = connected_camera(addr, number)
    camera.BinX = bin
    camera.ReadoutMode = mode
    if window is None:
        camera.NumX, camera.NumY = camera.CameraXSize // bin, camera.CameraYSize // bin
        camera.StartX = camera.StartY = 0
    else:
        camera.StartX, camera.StartY, camera.NumX, camera.NumY = window
    expose(camera, 0.01, light)
    binary = image_bytes(camera)
    assert camera.ImageArrayInfo.TransmissionElementType == (8 if mode == 0 else 6)
    json_form = image_json(addr, number)
    assert camera.CameraState == CameraStates.cameraIdle
    assert camera.LastExposureDuration == pytest.approx(0.01)
    server.stop()

    reference = module_frame(sim, orvik, number, sdk_window, bin, mode == 0, 10_000, not light)
    x0, y0 = crop
    w, h = (sdk_window[2], sdk_window[3]) if window is None else (window[2], window[3])
    expected = reference[y0:y0 + h, x0:x0 + w]
    assert binary.shape == expected.shape == json_form.shape
    np.testing.assert_array_equal(binary, expected)
    np.testing.assert_array_equal(json_form, expected)
    assert expected.std() > 0  # a real picture, not a constant


def test_discovery_with_alpyca(server, monkeypatch):
    import ifaddr

    # Ask on the loopback interface only, and at the test server's discovery port.
    loopback = [a for a in ifaddr.get_adapters() if any(ip.ip == "127.0.0.1" for ip in a.ips)]
    assert loopback
    monkeypatch.setattr(alpaca_discovery.ifaddr, "get_adapters", lambda: loopback)
    monkeypatch.setattr(alpaca_discovery, "port", server.discovery.port)
    found = alpaca_discovery.search_ipv4(numquery=1, timeout=1)
    assert f"127.0.0.1:{server.port}" in found


def test_configured_devices_and_facts(server, addr):
    assert management.apiversions(addr) == [1]
    devices = management.configureddevices(addr)
    assert [d["DeviceName"] for d in devices] == ["ZWO ASI294MC Pro", "ZWO ASI120MM Mini"]
    assert all(len(d["UniqueID"]) == 36 for d in devices)

    colour = connected_camera(addr, ASI294)
    # 4144 x 2822 on the chip; served as the largest size every bin (1 to 4) reads whole
    assert (colour.CameraXSize, colour.CameraYSize) == (4128, 2808)
    assert colour.SensorType == SensorType.RGGB
    assert (colour.BayerOffsetX, colour.BayerOffsetY) == (0, 0)   # RG pattern
    assert colour.PixelSizeX == colour.PixelSizeY == pytest.approx(4.63)
    assert colour.MaxBinX == colour.MaxBinY == 4
    assert colour.CanSetCCDTemperature and colour.CanGetCoolerPower
    assert not colour.CanPulseGuide and not colour.CanStopExposure and colour.CanAbortExposure
    assert not colour.HasShutter
    assert colour.InterfaceVersion == 4
    with pytest.raises(NotImplementedException):
        colour.IsPulseGuiding
    with pytest.raises(NotImplementedException):
        colour.PulseGuide(0, 100)

    mono = connected_camera(addr, ASI120)
    assert mono.SensorType == SensorType.Monochrome
    assert mono.CanPulseGuide and not mono.CanSetCCDTemperature
    assert mono.ReadoutModes == ["RAW16", "RAW8"]
    assert mono.ExposureMin == pytest.approx(32e-6) and mono.ExposureMax > 1000
    # 12-bit ADC delivered in the top bits of 16: the conversion factor follows
    mono.ReadoutMode = 0
    assert mono.MaxADU == 65535
    e16 = mono.ElectronsPerADU
    mono.ReadoutMode = 1
    assert mono.MaxADU == 255
    assert mono.ElectronsPerADU == pytest.approx(e16 * 256)
    assert mono.FullWellCapacity == pytest.approx(mono.ElectronsPerADU * 255)


@pytest.mark.parametrize("gain, readout, e_per_adu, full_well", [
    (0, 0, 3.94 / 4, 63_700),          # the pixels fill before the 14-bit ADC's full scale
    (120, 0, 0.25, 16_383),            # unity gain: 1 e- per ADC step, 4 RAW16 units each
    (120, 1, 64.0, 255 * 64.0),        # RAW8: the top 8 of 14 bits
    (300, 0, 10 ** -0.9 / 4, 16_383 * 10 ** -0.9),  # 0.1 dB per step above unity
])
def test_conversion_figures_follow_the_gain(server, addr, gain, readout, e_per_adu, full_well):
    colour = connected_camera(addr, ASI294)
    colour.Gain = gain
    colour.ReadoutMode = readout
    assert colour.ElectronsPerADU == pytest.approx(e_per_adu, rel=1e-6)
    assert colour.FullWellCapacity == pytest.approx(full_well, rel=1e-6)


def test_connect_disconnect_and_the_disconnected_device(server, addr):
    camera = Camera(addr, ASI120)
    assert camera.Connected is False
    with pytest.raises(NotConnectedException):
        camera.Gain
    with pytest.raises(NotConnectedException):
        camera.StartExposure(0.01, True)
    assert camera.Name == "ZWO ASI120MM Mini"        # identity answers while disconnected
    camera.Connect()
    assert camera.Connecting is False and camera.Connected is True
    state = {item["Name"]: item["Value"] for item in camera.DeviceState}
    assert state["CameraState"] == 0 and "TimeStamp" in state and "IsPulseGuiding" in state
    camera.Disconnect()
    assert camera.Connected is False
    with pytest.raises(NotConnectedException):
        camera.ImageReady


@pytest.mark.parametrize("name, control_min, control_max", [("Gain", 0, 100), ("Offset", 0, 100)])
def test_gain_and_offset_limits(server, addr, orvik, name, control_min, control_max):
    camera = connected_camera(addr, ASI120)
    low, high = getattr(camera, f"{name}Min"), getattr(camera, f"{name}Max")
    assert low >= control_min and high > low
    for value in (low, high, (low + high) // 2):
        setattr(camera, name, value)
        assert getattr(camera, name) == value
    for value in (low - 1, high + 1):
        with pytest.raises(InvalidValueException):
            setattr(camera, name, value)
    assert getattr(camera, name) == (low + high) // 2


def test_cooler(server, addr):
    camera = connected_camera(addr, ASI294)
    ambient = camera.CCDTemperature
    camera.SetCCDTemperature = -10
    assert camera.SetCCDTemperature == -10
    with pytest.raises(InvalidValueException):
        camera.SetCCDTemperature = -273
    camera.CoolerOn = True
    assert camera.CoolerOn is True
    deadline = time.monotonic() + 20
    while camera.CCDTemperature > ambient - 5:   # simulated minutes pass in real seconds
        assert time.monotonic() < deadline, "the sensor did not cool"
        time.sleep(0.05)
    assert camera.CoolerPower > 0
    camera.CoolerOn = False
    assert camera.CoolerOn is False


def test_abort_and_state(server, addr, sim):
    camera = connected_camera(addr, ASI120)
    camera.BinX = 2
    camera.NumX, camera.NumY = 640, 480
    camera.StartExposure(1000.0, True)              # 10 s of real time at this time scale
    assert camera.CameraState == CameraStates.cameraExposing
    assert 0 <= camera.PercentCompleted < 100
    with pytest.raises(InvalidOperationException):
        camera.StartExposure(0.01, True)            # one exposure at a time
    camera.AbortExposure()
    assert camera.CameraState == CameraStates.cameraIdle
    assert camera.ImageReady is False
    with pytest.raises(InvalidOperationException):
        camera.ImageArray
    camera.AbortExposure()                          # nothing to abort: no error
    expose(camera)
    assert camera.ImageReady and camera.PercentCompleted == 100
    # a new exposure drops the old image
    camera.StartExposure(1000.0, True)
    assert camera.ImageReady is False
    camera.AbortExposure()
    # and so does a new connection
    expose(camera)
    camera.Connected = False
    camera.Connected = True
    assert camera.ImageReady is False


def test_unplugged_camera_mid_exposure(server, addr, sim):
    camera = connected_camera(addr, ASI120)
    camera.StartExposure(1000.0, True)
    sim.unplug(ASI120)
    with pytest.raises(NotConnectedException, match="ASICameraRemoved"):
        camera.ImageReady
    assert Camera(addr, ASI294).Name == "ZWO ASI294MC Pro"   # the server carries on


def star_shift_x(before, after):
    """How far the field moved along x, in pixels, by cross-correlating the column profiles."""
    a = before.astype(float).sum(axis=0)
    b = after.astype(float).sum(axis=0)
    a, b = a - a.mean(), b - b.mean()
    corr = np.fft.irfft(np.fft.rfft(b) * np.conj(np.fft.rfft(a)), n=a.size)
    lag = int(np.argmax(corr))
    return lag if lag <= a.size // 2 else lag - a.size


@pytest.mark.parametrize("direction, sign", [(2, 1), (3, -1)])
def test_pulse_guiding_moves_the_star_field(server, addr, sim, direction, sign):
    # The sensor's column banding would dominate the column profiles that find the shift.
    sim.set_effect("bias_pattern", False)
    camera = connected_camera(addr, ASI120)
    camera.Gain = 50
    expose(camera, 10.0)
    before = image_bytes(camera)
    # 0.1 s of real time is 10 simulated seconds at half the sidereal rate: 75 arcseconds, about
    # 48 pixels at the simulated telescope's 1.55 arcseconds per pixel.
    camera.PulseGuide(direction, 100)
    deadline = time.monotonic() + 10
    while camera.IsPulseGuiding:
        assert time.monotonic() < deadline
        time.sleep(0.01)
    expose(camera, 10.0)
    after = image_bytes(camera)
    # east toward +x, west toward -x; a late timer only lengthens the pulse
    assert 20 < sign * star_shift_x(before, after) < 400


def test_is_pulse_guiding_and_pulses_ended_early(server, addr, sim):
    camera = connected_camera(addr, ASI120)
    camera.PulseGuide(0, 60_000)                    # north for a minute
    assert camera.IsPulseGuiding is True
    camera.PulseGuide(1, 0)                         # a zero-length pulse south ends it
    assert camera.IsPulseGuiding is False
    camera.PulseGuide(2, 60_000)
    camera.Connected = False                        # disconnecting ends pulses too
    camera.Connected = True
    assert camera.IsPulseGuiding is False
    lines = [line for line in sim.journal() if line.startswith("ASIPulseGuide")]
    assert lines == ["ASIPulseGuideOn(1, 0)", "ASIPulseGuideOff(1, 0)",
                     "ASIPulseGuideOn(1, 2)", "ASIPulseGuideOff(1, 2)"]


def test_two_cameras_and_many_clients_at_once(server, addr):
    errors = []

    def shoot(number, window):
        try:
            camera = connected_camera(addr, number)
            camera.StartX, camera.StartY, camera.NumX, camera.NumY = window
            for _ in range(3):
                expose(camera, 0.02)
                assert image_bytes(camera).shape == (window[3], window[2])
        except Exception as exc:  # reported below
            errors.append(exc)

    def poll(number):
        try:
            camera = Camera(addr, number)
            for _ in range(15):
                camera.Name
                camera.Connected
        except Exception as exc:
            errors.append(exc)

    threads = [threading.Thread(target=shoot, args=(ASI294, (0, 0, 800, 600))),
               threading.Thread(target=shoot, args=(ASI120, (8, 8, 640, 480)))]
    threads += [threading.Thread(target=poll, args=(n % 2,)) for n in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not errors


def test_client_gone_mid_download_leaves_the_server_healthy(server, addr):
    camera = connected_camera(addr, ASI294)
    expose(camera, 0.01)                            # a full 23 MB frame
    for _ in range(3):
        with socket.create_connection(("127.0.0.1", server.port)) as s:
            s.sendall(b"GET /api/v1/camera/0/imagearray HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      b"Accept: application/imagebytes\r\n\r\n")
            got = 0
            while got < 1_000_000:
                got += len(s.recv(65536))
            s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=60)
    conn.request("GET", "/api/v1/camera/0/imagearray", headers={"Accept": "application/imagebytes"})
    response = conn.getresponse()
    body = response.read()
    assert response.status == 200 and len(body) == 44 + 4128 * 2808 * 2
    conn.close()
    assert camera.ImageReady is True


@pytest.mark.parametrize("number", [ASI294, ASI120])
def test_full_frame_at_every_binning_is_as_large_as_asked(server, addr, number):
    camera = connected_camera(addr, number)
    camera.ReadoutMode = 1                           # RAW8: the full frames go quicker
    for bin in range(1, camera.MaxBinX + 1):
        camera.BinX = bin
        camera.StartX = camera.StartY = 0
        camera.NumX, camera.NumY = camera.CameraXSize // bin, camera.CameraYSize // bin
        assert camera.CameraXSize % bin == 0 and camera.CameraYSize % bin == 0
        expose(camera, 0.001)
        assert image_bytes(camera).shape == (camera.NumY, camera.NumX), f"bin {bin}"


@pytest.mark.parametrize("window, light", [
    ((0, 0, 0, 10), True),               # NumX 0
    ((-4, 0, 64, 64), True),             # a negative start
    ((4100, 0, 64, 64), True),           # past the right edge at bin 1
    ((0, 2800, 64, 16), False),          # past the bottom edge
])
def test_subframe_is_checked_at_start_exposure(server, addr, window, light):
    camera = connected_camera(addr, ASI294)
    camera.StartX, camera.StartY, camera.NumX, camera.NumY = window   # setting is accepted
    assert (camera.StartX, camera.StartY, camera.NumX, camera.NumY) == window
    with pytest.raises(InvalidValueException, match=r"4128 x 2808 pixels read at bin 1"):
        camera.StartExposure(0.01, light)
    assert camera.CameraState == CameraStates.cameraIdle


def test_bias_frame_at_zero_seconds_and_fixed_answers(server, addr):
    camera = connected_camera(addr, ASI120)
    camera.NumX, camera.NumY = 64, 48
    expose(camera, 0.0, light=False)                  # a bias frame: the shortest exposure
    assert image_bytes(camera).shape == (48, 64)
    assert camera.LastExposureDuration == pytest.approx(camera.ExposureMin)
    with pytest.raises(InvalidValueException):
        camera.StartExposure(-0.001, False)
    assert camera.SensorName == ""
    assert 0 < len(camera.Description) <= 64


def test_connected_follows_the_camera(server, addr, sim):
    camera = connected_camera(addr, ASI120)
    sim.unplug(ASI120)
    assert camera.Connected is False                  # the camera is gone
    with pytest.raises(NotConnectedException):
        camera.Gain
    sim.plug(ASI120)
    camera.Connected = True                           # the way back
    assert camera.Connected is True
    camera.NumX, camera.NumY = 64, 48
    expose(camera)
    assert image_bytes(camera).shape == (48, 64)


def test_a_read_with_no_exposure_is_refused_and_keeps_the_connection(server, addr):
    """Only a camera that is gone ends a connection: a read out of turn is an invalid operation."""
    from alpaca.exceptions import InvalidOperationException

    camera = connected_camera(addr, ASI120)
    with pytest.raises(InvalidOperationException):
        camera.ImageArray
    assert camera.Connected


def test_an_exposure_makes_only_the_calls_it_needs_and_temperature_polls_share_a_read(server, addr,
                                                                                       sim):
    camera = connected_camera(addr, ASI120)
    camera.BinX = 2
    camera.NumX, camera.NumY = 100, 100
    sim.journal_clear()
    camera.StartExposure(0.01, True)
    calls = [line.split("(")[0] for line in sim.journal()]
    assert calls == ["ASISetControlValue", "ASISetROIFormat", "ASISetStartPos", "ASIStartExposure"]
    wait_image(camera)
    sim.journal_clear()
    readings = [camera.CCDTemperature for _ in range(10)]
    reads = [line for line in sim.journal() if line.startswith("ASIGetControlValue")]
    assert len(set(readings)) <= len(reads) <= 2  # within a second, one read serves them all
