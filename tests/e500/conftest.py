"""pytest fixtures for the scenarios on the emulated e500 system.

The suite needs QEMU's ppce500, the cached kernel and busybox (built on
first use by tools/e500), the cross-built bootmgr and the host's boardsim.
When one is missing the suite fails with the reason, unless
E500_OPTIONAL=1 says that this run may do without it: then it is skipped
with that reason.
"""

import os
import shutil
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "scenarios"))

from e500_helpers import E500Board  # noqa: E402


def missing_prerequisite() -> str:
    if shutil.which("qemu-system-ppc") is None:
        return "qemu-system-ppc is not installed (scripts/install-deps e500)"
    if not Path("/usr/src/linux-source-6.1.tar.xz").exists():
        return "linux-source-6.1 is not installed (scripts/install-deps e500)"
    for var in ("E500", "E500_BOOTMGR", "BOARDSIM", "IMAGETOOL", "DEMO_DIR"):
        if not os.environ.get(var) or not Path(os.environ[var]).exists():
            return f"{var} is not set or names nothing: run the suite with make e500-test"
    return ""


@pytest.fixture(scope="session", autouse=True)
def e500_prerequisites():
    why = missing_prerequisite()
    if why:
        if os.environ.get("E500_OPTIONAL") == "1":
            pytest.skip(f"e500 prerequisites absent: {why}")
        pytest.fail(f"e500 prerequisites absent: {why} (E500_OPTIONAL=1 skips the suite instead)")


@pytest.fixture
def board(tmp_path) -> E500Board:
    """A fresh demo board (boardsim new --demo) for the e500."""
    board = E500Board(tmp_path / "board")
    from boardsim_helpers import boardsim
    boardsim("new", str(board.path), "--demo", "--force")
    return board
