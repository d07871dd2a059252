"""The examples of docs/quickstart.md and docs/capture-tool.md run as written, on the simulated
cameras, the way a new user follows them: each page's blocks in the page's order, in one
working folder of their own (where `.venv` is the environment under test), on a simulated
machine of their own, with time sped up (`ASISIM_TIME_SCALE=1000`, as the docs suggest).

Every code block is found from the page itself. Shell blocks (`sh`) run in bash with `set -e`,
Python blocks in the interpreter under test, and a block that shows a `$ command` with its
output runs the command (and compares the output where the simulator prints the same). Blocks
that only show output, and those that need what a simulator cannot give (a real camera, root,
a flat panel in front of the telescope), are skipped with the reason, by the table below; a
rule that no longer names a block fails, so the table follows the pages.
"""

import os
import re
import subprocess
import sys
from dataclasses import dataclass, field
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
PAGES = ("quickstart.md", "capture-tool.md")
TIME_SCALE = "1000"


@dataclass(frozen=True)
class Block:
    page: str
    line: int
    lang: str
    text: str

    @property
    def first(self) -> str:
        return self.text.splitlines()[0].strip()


@dataclass(frozen=True)
class Rule:
    skip: str | None = None
    """Why the block is not run."""
    same_output: bool = False
    """A `$ command` block whose output the simulator prints exactly."""
    env: dict[str, str] = field(default_factory=dict)
    slow: bool = False
    timeout: float = 300.0
    memory_gb: float = 0.0
    """Free memory the block needs: skipped, saying so, on a machine with less available."""


# (page, the block's first line) -> what to do with it. Blocks not named: `sh` and `python`
# blocks run, `$ command` blocks run without comparing output, other plain blocks are output.
RULES = {
    ("quickstart.md", "make demo"): Rule(
        skip="builds and installs the package into the clone's .venv; the suite runs against "
             "the installed package, and test_make_demo runs the demo's capture"),
    ("quickstart.md", "source .venv/bin/activate"): Rule(slow=True),
    ("capture-tool.md", "orvik-capture list"): Rule(skip="the commands' synopsis, not a command"),
    ("capture-tool.md", "$ orvik-capture list"): Rule(same_output=True),
    ("capture-tool.md", "$ orvik-capture finish jupiter/.v.ser.41822-9f0c1d2e.part"): Rule(
        skip="needs the part file of a run killed outright (tests/test_capture_files.py "
             "finishes such files)"),
    ("capture-tool.md", "$ orvik-capture finish m31/.L_00002.fits.41822-9f0c1d2e.part"): Rule(
        skip="needs the part file of a run killed between its two renaming steps "
             "(tests/test_capture_files.py kills runs there)"),
    ("capture-tool.md", "$ orvik-capture doctor"): Rule(),  # the vendor's output: exit 0 only
    ("capture-tool.md", "orvik-capture sequence -c 0 --cooler -10 --gain 120 --offset 30 \\"): Rule(
        slow=True, timeout=900),
    ("capture-tool.md", "# 1. Lights, then darks at the same exposure and temperature, then bias; "
                        "the sensor settles"): Rule(slow=True, timeout=900),
    ("capture-tool.md", "# 2. Flats at the end of the night (a panel) or at dawn, with their "
                        "dark-flats, at the same"): Rule(
        skip="needs a flat panel, or the dawn sky, in front of the telescope: on the simulated "
             "cameras the ASISIM_LIGHT=panel:20000 block is this step"),
    ("capture-tool.md", "ASISIM_LIGHT=panel:20000 orvik-capture sequence -c 0 --cooler -10 "
                        "--gain 120 --offset 30 \\"): Rule(slow=True, timeout=900),
    # ccdproc holds the 40 full lights of the session in memory as floats (above 20 GB measured,
    # and growing); tests/test_capture_sequence.py runs the same recipe on small frames.
    ("capture-tool.md", "from pathlib import Path"): Rule(slow=True, timeout=1800, memory_gb=32),
}


def blocks(page: str) -> list[Block]:
    text = (ROOT / "docs" / page).read_text(encoding="utf-8")
    found = []
    for m in re.finditer(r"^( *)```(\w*)\n(.*?)^\1```", text, re.MULTILINE | re.DOTALL):
        body = "\n".join(line[len(m.group(1)):] for line in m.group(3).splitlines()) + "\n"
        found.append(Block(page, text.count("\n", 0, m.start()) + 1, m.group(2), body))
    return found


ALL = [b for page in PAGES for b in blocks(page)]


def rule_of(block: Block) -> Rule:
    rule = RULES.get((block.page, block.first))
    if rule is not None:
        return rule
    if block.lang in ("sh", "python") or block.first.startswith("$ "):
        return Rule()
    return Rule(skip="output shown, not a command")


def params():
    for b in ALL:
        rule = rule_of(b)
        marks = [pytest.mark.slow] if rule.slow else []
        yield pytest.param(b, rule, marks=marks, id=f"{b.page}:{b.line}")


@pytest.fixture(scope="module")
def workspaces(tmp_path_factory):
    """One working folder and one simulated machine per page, shared by its blocks in order."""
    made: dict[str, tuple[Path, dict[str, str]]] = {}

    def get(page: str) -> tuple[Path, dict[str, str]]:
        if page not in made:
            where = tmp_path_factory.mktemp(page.removesuffix(".md"))
            (where / ".venv").symlink_to(sys.prefix, target_is_directory=True)
            machine = where / ".machine"
            machine.mkdir()
            env = {k: v for k, v in os.environ.items() if not k.startswith("ASISIM_")
                   and k not in ("VIRTUAL_ENV", "ORVIK_CAPTURE_RESERVE")}
            env.update(ASISIM_STATE_DIR=str(machine), ASISIM_TIME_SCALE=TIME_SCALE,
                       PATH=f"{Path(sys.executable).parent}{os.pathsep}{env.get('PATH', '')}")
            made[page] = (where, env)
        return made[page]

    return get


def available_gb() -> float:
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) / (1 << 20)
    except OSError:
        pass
    return 0.0


def run_block(block: Block, rule: Rule, cwd: Path, env: dict[str, str]):
    env = {**env, **rule.env}
    if block.lang == "python":
        argv = [sys.executable, "-c", block.text]
    elif block.first.startswith("$ "):
        argv = ["bash", "-e", "-c", block.first[2:]]
    else:
        argv = ["bash", "-e", "-c", block.text]
    return subprocess.run(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, timeout=rule.timeout)


@pytest.mark.parametrize("block, rule", list(params()))
def test_the_docs_example_runs(workspaces, block, rule):
    if rule.skip:
        pytest.skip(rule.skip)
    if rule.memory_gb and available_gb() < rule.memory_gb:
        pytest.skip(f"needs about {rule.memory_gb:g} GB of free memory, {available_gb():.1f} GB "
                    "are available")
    cwd, env = workspaces(block.page)
    proc = run_block(block, rule, cwd, env)
    assert proc.returncode == 0, (f"{block.page} line {block.line} exited with "
                                  f"{proc.returncode}\n{block.text}\nstdout:\n{proc.stdout[-3000:]}"
                                  f"\nstderr:\n{proc.stderr[-3000:]}")
    if rule.same_output:
        expected = "".join(block.text.splitlines(keepends=True)[1:])
        assert [line.split() for line in proc.stdout.splitlines()] == \
            [line.split() for line in expected.splitlines()], proc.stdout


def test_every_rule_names_a_block():
    names = {(b.page, b.first) for b in ALL}
    assert not [key for key in RULES if key not in names]


def test_make_demo(tmp_path):
    """`make demo` installs the package, then takes the picture: its capture command, run as
    the Makefile gives it, writes the two files quickstart.md names."""
    makefile = (ROOT / "Makefile").read_text(encoding="utf-8")
    recipe = re.search(r"^demo:\n((?:\t.*\n)+)", makefile, re.MULTILINE)
    assert recipe
    commands = [line.strip() for line in recipe.group(1).splitlines()]
    assert commands[0] == "$(MAKE) install"
    (tmp_path / ".venv").symlink_to(sys.prefix, target_is_directory=True)
    machine = tmp_path / ".machine"
    machine.mkdir()
    env = dict(os.environ, ASISIM_STATE_DIR=str(machine), ASISIM_TIME_SCALE=TIME_SCALE)
    for command in commands[1:]:
        proc = subprocess.run(["bash", "-e", "-c", command.replace("$(VENV)", ".venv")],
                              cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
        assert proc.returncode == 0, proc.stderr
    assert (tmp_path / "demo-output" / "demo.fits").is_file()
    assert (tmp_path / "demo-output" / "demo.png").is_file()
