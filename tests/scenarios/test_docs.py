"""The worked examples of the guides in docs/, run as written: every block
marked `demo` runs on a fresh demo board, and each line starting with `>`
must appear, in order, in what the commands before it printed. A guide
that drifts from the switch fails here."""

from __future__ import annotations

import os
import re
import subprocess
from pathlib import Path

import pytest

from boardsim_helpers import boardsim, boardsim_path
from images import demo_dir, imagetool
from images import keys_dir

DOCS = Path(__file__).resolve().parents[2] / "docs"
BLOCK = re.compile(r"^```demo\n(.*?)^```", re.S | re.M)


def examples() -> list[tuple[str, str]]:
    found = []
    for guide in sorted(DOCS.glob("*.md")):
        for n, match in enumerate(BLOCK.finditer(guide.read_text()), 1):
            found.append((f"{guide.stem}-{n}", match.group(1)))
    return found


@pytest.mark.parametrize("name,block", examples(), ids=[e[0] for e in examples()])
def test_example(tmp_path, name, block):
    board = tmp_path / "board"
    boardsim("new", str(board), "--demo", "--force")
    tools = {str(Path(boardsim_path()).parent), str(Path(imagetool()).parent)}
    env = {**os.environ, "B": str(board), "DEMO_DIR": str(demo_dir()), "TEST_KEYS": str(keys_dir()),
           "PATH": os.pathsep.join([*tools, os.environ["PATH"]])}
    printed = ""
    at = 0
    for line in block.splitlines():
        if line.startswith("$ "):
            proc = subprocess.run(["/bin/sh", "-c", line[2:]], env=env, cwd=tmp_path, text=True,
                                  capture_output=True, timeout=120,
                                  stdin=subprocess.DEVNULL if "|" not in line else None)
            printed += (proc.stdout + proc.stderr).replace("\r", "")
            assert proc.returncode in (0, 1), f"{line}\n{printed}"
        elif line.startswith("> "):
            found = printed.find(line[2:], at)
            assert found >= 0, f"{name}: {line[2:]!r} missing (in order) from:\n{printed}"
            at = found + len(line) - 2
