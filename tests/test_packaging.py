"""The package as installed: version, licence, extras, and the vendor-SDK search of the build."""

import os
import re
import shutil
import subprocess
import sys
import tomllib
from importlib import metadata
from pathlib import Path

import pytest

import velmora.brinmoor
from velmora.brinmoor.capture import deps

ROOT = Path(__file__).resolve().parents[1]
DISTRIBUTION = "velmora-brinmoor-orvik"


def test_version_is_the_installed_distributions_and_has_a_changelog_entry():
    version = velmora.brinmoor.__version__
    assert version == metadata.version(DISTRIBUTION)
    assert re.fullmatch(r"\d+\.\d+\.\d+([ab]\d+|rc\d+)?(\.post\d+)?(\.dev\d+)?", version)
    changelog = (ROOT / "CHANGELOG.md").read_text(encoding="utf-8")
    assert re.search(rf"^## \[{re.escape(version)}\]", changelog, re.MULTILINE)


def test_the_running_python_is_declared_and_no_later_one_refused():
    """The metadata pip decides on: this interpreter is among the classifiers, and
    Requires-Python sets a floor only, so a new CPython release is not turned away."""
    dist = metadata.distribution(DISTRIBUTION)
    running = "%d.%d" % sys.version_info[:2]
    assert f"Programming Language :: Python :: {running}" in dist.metadata.get_all("Classifier", [])
    assert dist.metadata["Requires-Python"].replace(" ", "") == ">=3.12"


def test_licence_travels_with_the_package():
    dist = metadata.distribution(DISTRIBUTION)
    assert dist.metadata["License-Expression"] == "MIT"
    licences = [f for f in dist.files or [] if f.name == "LICENSE"]
    assert len(licences) == 1
    installed = licences[0].read_text(encoding="utf-8")
    assert installed == (ROOT / "LICENSE").read_text(encoding="utf-8")
    assert installed.startswith("MIT License") and "orvik contributors" in installed


def test_missing_package_hint_names_the_tool_extras_of_pyproject():
    with open(ROOT / "pyproject.toml", "rb") as f:
        declared = tomllib.load(f)["project"]["optional-dependencies"]["tool"]
    assert deps.extra_requirements() == declared


# -- vendor SDK search -------------------------------------------------------------------------

def _cmake() -> str:
    beside = Path(sys.executable).with_name("cmake")
    found = str(beside) if beside.exists() else shutil.which("cmake")
    if found is None:
        pytest.skip("cmake is not installed (the test extra installs it)")
    return found


@pytest.fixture(scope="module")
def configure(tmp_path_factory):
    """Configures the project against a vendor SDK directory; one build tree for every case,
    so a search that answers from an earlier configure's cache shows up."""
    build = tmp_path_factory.mktemp("cmake-build")
    cmake = _cmake()

    def run(sdk: Path) -> subprocess.CompletedProcess[str]:
        return subprocess.run(
            [cmake, "-S", str(ROOT), "-B", str(build), f"-DORVIK_VENDOR_SDK_DIR={sdk}",
             f"-DPython_EXECUTABLE={sys.executable}"],
            capture_output=True, text=True, timeout=300,
            env={**os.environ, "CMAKE_BUILD_PARALLEL_LEVEL": "1"},
        )

    return run


ARCH_DIR = {"x86_64": "x64", "aarch64": "armv8"}.get(os.uname().machine)
OTHER_ARCH_DIR = "armv8" if ARCH_DIR == "x64" else "x64"


@pytest.mark.skipif(ARCH_DIR is None, reason="the table below lists x86_64 and aarch64 only")
@pytest.mark.parametrize(
    "files, found_header, found_library",
    [
        # The vendor archive's layout: the library of this processor, not the other one's.
        (["include/ASICamera2.h", f"lib/{OTHER_ARCH_DIR}/libASICamera2.so",
          f"lib/{ARCH_DIR}/libASICamera2.so"], "include", f"lib/{ARCH_DIR}"),
        (["include/ASICamera2.h", "lib/libASICamera2.so"], "include", "lib"),
        (["ASICamera2.h", "libASICamera2.so"], ".", "."),
        (["include/ASICamera2.h", f"lib/{OTHER_ARCH_DIR}/libASICamera2.so"], "include", None),
        ([f"lib/{ARCH_DIR}/libASICamera2.so"], None, None),
    ],
)
def test_vendor_sdk_search(configure, tmp_path, files, found_header, found_library):
    sdk = tmp_path / "sdk"
    for name in files:
        (sdk / name).parent.mkdir(parents=True, exist_ok=True)
        (sdk / name).write_bytes(b"")
    proc = configure(sdk)
    output = " ".join((proc.stdout + proc.stderr).split())  # CMake wraps its messages
    if found_header is None:
        assert proc.returncode != 0
        assert f"ASICamera2.h not found in the vendor SDK; searched: {sdk}/include, {sdk}" in output
    elif found_library is None:
        assert proc.returncode != 0
        assert (f"libASICamera2 for processor {os.uname().machine} not found in the vendor SDK; "
                f"searched: {sdk}/lib/{ARCH_DIR}, {sdk}/lib, {sdk}") in output
    else:
        assert proc.returncode == 0, output
        header = os.path.normpath(sdk / found_header / "ASICamera2.h")
        library = os.path.normpath(sdk / found_library / "libASICamera2.so")
        assert f"Vendor SDK: {header}, {library}" in output
