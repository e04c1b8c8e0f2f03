"""pytest fixtures for tests on the emulated board (see boardsim_helpers)."""

import os
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
