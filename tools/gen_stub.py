"""The module's function declarations in its stub (src/velmora/brinmoor/orvik.pyi), made from the
module itself: each function's annotations, in namespace order, as optable.cpp gives them.

    python tools/gen_stub.py [--stub PATH]          rewrite the stub's function declarations
    python tools/gen_stub.py --check [--stub PATH]  fail (and show the difference) where the stub is
                                                    not current

Run it with the installed module (the venv's python after an install). The declarations are the
stub's last block: every line from its first `def` on; everything above it is written by hand.
"""

import difflib
import sys
from pathlib import Path

STUB = Path(__file__).resolve().parent.parent / "src" / "velmora" / "brinmoor" / "orvik.pyi"

# Where the stub tells a type checker more than the annotation text at run time does: the modes
# come back as plain ints, whatever the specified annotation says.
RETURN_OVERRIDES = {"get_camera_support_mode": "list[int]"}


def declarations() -> list[str]:
    from velmora.brinmoor import orvik

    function_type = type(orvik.handle_error_code)
    lines = []
    for name, function in vars(orvik).items():
        if type(function) is not function_type:
            continue
        annotations = dict(function.__annotations__)
        returns = RETURN_OVERRIDES.get(name, annotations.pop("return"))
        annotations.pop("return", None)
        params = ", ".join(f"{param}: {annotation}" for param, annotation in annotations.items())
        lines.append(f"def {name}({params}) -> {returns}: ...")
    return lines


def stub_with(lines: list[str], text: str) -> str:
    head = text[: text.index("\ndef ") + 1] if "\ndef " in text else text.rstrip("\n") + "\n\n"
    return head + "\n".join(lines) + "\n"


def main(argv: list[str]) -> int:
    stub = Path(argv[argv.index("--stub") + 1]) if "--stub" in argv else STUB
    text = stub.read_text()
    made = stub_with(declarations(), text)
    if made == text:
        return 0
    if "--check" in argv:
        diff = difflib.unified_diff(text.splitlines(), made.splitlines(), "orvik.pyi", "from the module",
                                    lineterm="")
        print("\n".join(diff), file=sys.stderr)
        print("gen_stub: the stub's functions differ from the module's; run tools/gen_stub.py", file=sys.stderr)
        return 1
    stub.write_text(made)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
