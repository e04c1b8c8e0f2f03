"""pytest fixtures for tests on the emulated board (see boardsim_helpers)."""

import os
import shutil
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from boardsim_helpers import Board, boardsim_path, bootmgr_path  # noqa: E402


@pytest.fixture
def board(tmp_path) -> Board:
    """A fresh board with the default serial number, in a temporary folder."""
    boardsim_path()  # fail early with a clear message when BOARDSIM is unset
    return Board.create(tmp_path / "board")


@pytest.fixture
def make_board(tmp_path):
    """Factory: make_board(name="board", serial=..., freeze=..., faults=[...])."""
    def make(name: str = "board", **kwargs) -> Board:
        return Board.create(tmp_path / name, **kwargs)
    return make


@pytest.fixture
def bootmgr() -> str:
    """Path of the bootmgr under test; skips when BOOTMGR is not set."""
    path = bootmgr_path()
    if not path:
        pytest.skip("BOOTMGR is not set")
    return path


def pytest_sessionfinish(session, exitstatus):
    """A passing run leaves no boards behind (each holds tens of MiB of
    flash); a failing one keeps them all and says where."""
    factory = getattr(session.config, "_tmp_path_factory", None)
    if factory is None:
        return
    base = factory.getbasetemp()
    if exitstatus == 0:
        shutil.rmtree(base, ignore_errors=True)
    else:
        print(f"\nboards of this run kept in {base}")
