"""SER recording speed: can the capture tool's SER writer keep up with a fast planetary camera?

Figures:
  - live video from a simulated ZWO ASI174MM at full resolution (1936 x 1216) and its full
    simulated frame rate, each frame written to a SER file as it arrives, next to the same
    loop that only reads the frames (the baseline, measured in the same run): frames per
    second received and frames the camera dropped. Target: the same rate and no drops.
  - the writer's own cost per frame next to a plain os.write of the same bytes to a file in
    the same directory.
Files go to a temporary directory (under $TMPDIR, or the directory given as the first argument)
and are deleted afterwards.
"""

import os
import sys
import tempfile
import time
from pathlib import Path

from velmora.brinmoor import asisim, orvik
from velmora.brinmoor.formats import ser as serfile

MODEL = "ZWO ASI174MM"
WIDTH, HEIGHT = 1936, 1216
FRAMES = 400
WAIT_MS = 1000
QUEUE_BYTES = 256 << 20  # what the capture tool gives its writing thread


def live_run(img_type, member, bytes_per_pixel, directory, queue_bytes=0):
    """Reads FRAMES frames; with a directory, writes each into a SER file as it arrives."""
    size = WIDTH * HEIGHT * bytes_per_pixel
    asisim.reset([MODEL])
    orvik.open_camera(0)
    try:
        orvik.init_camera(0)
        orvik.set_roi_format(0, WIDTH, HEIGHT, 1, member)
        orvik.set_control_value(0, orvik.ControlType.ASI_EXPOSURE, 32, False)
        orvik.set_control_value(0, orvik.ControlType.ASI_BANDWIDTHOVERLOAD, 100, False)
        writer = None
        if directory is not None:
            writer = serfile.SerWriter(Path(directory) / f"{img_type}.ser", width=WIDTH,
                                       height=HEIGHT, img_type=img_type, instrument=MODEL,
                                       queue_bytes=queue_bytes)
        orvik.start_video_capture(0)
        try:
            orvik.get_video_data(0, size, WAIT_MS)  # the stream is running
            start = time.perf_counter()
            for _ in range(FRAMES):
                frame = orvik.get_video_data(0, size, WAIT_MS)
                if writer is not None:
                    writer.write_frame(frame)
            elapsed = time.perf_counter() - start
            dropped = orvik.get_dropped_frames(0)
        finally:
            orvik.stop_video_capture(0)
        if writer is not None:
            writer.close().unlink()
    finally:
        orvik.close_camera(0)
    return FRAMES / elapsed, dropped


def write_costs(directory, size, rounds=3):
    """Best per-frame seconds of the SER writer and of a plain os.write, in alternation."""
    frame = os.urandom(size)
    ser_best = plain_best = float("inf")
    n = 100
    for _ in range(rounds):
        writer = serfile.SerWriter(Path(directory) / "cost.ser", width=WIDTH,
                                   height=HEIGHT * size // (WIDTH * HEIGHT), img_type="raw8")
        start = time.perf_counter()
        for _ in range(n):
            writer.write_frame(frame)
        ser_best = min(ser_best, (time.perf_counter() - start) / n)
        writer.close().unlink()

        fd = os.open(Path(directory) / "plain.bin", os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        start = time.perf_counter()
        for _ in range(n):
            os.write(fd, frame)
        plain_best = min(plain_best, (time.perf_counter() - start) / n)
        os.close(fd)
        os.unlink(Path(directory) / "plain.bin")
    return ser_best, plain_best


def main():
    base_dir = sys.argv[1] if len(sys.argv) > 1 else None
    with tempfile.TemporaryDirectory(dir=base_dir, prefix="bench-ser-") as directory:
        print(f"{MODEL} {WIDTH} x {HEIGHT}, {FRAMES} frames at the shortest exposure; "
              f"SER files in {directory}")
        for img_type, member, bpp in (("raw8", orvik.ImgType.IMG_RAW8, 1),
                                      ("raw16", orvik.ImgType.IMG_RAW16, 2)):
            base_fps, base_dropped = live_run(img_type, member, bpp, None)
            print(f"  {img_type.upper():5} read only (baseline)           {base_fps:7.1f} fps, "
                  f"{base_dropped} dropped")
            for label, queue_bytes in (("in the reading loop", 0),
                                       ("writing thread", QUEUE_BYTES)):
                ser_fps, ser_dropped = live_run(img_type, member, bpp, directory, queue_bytes)
                mb_s = ser_fps * WIDTH * HEIGHT * bpp / 1e6
                print(f"  {img_type.upper():5} SER, {label:25} {ser_fps:7.1f} fps, "
                      f"{ser_dropped} dropped, {mb_s:.0f} MB/s  "
                      f"({ser_fps / base_fps:.2f}x of the baseline; target 1.00x, 0 dropped)")
        for bpp in (1, 2):
            ser_s, plain_s = write_costs(directory, WIDTH * HEIGHT * bpp)
            print(f"  write one {WIDTH * HEIGHT * bpp / 1e6:.1f} MB frame: SER writer "
                  f"{ser_s * 1e3:.3f} ms, plain os.write {plain_s * 1e3:.3f} ms "
                  f"(writer's own cost {max(ser_s - plain_s, 0.0) * 1e6:.0f} us)")


if __name__ == "__main__":
    main()
