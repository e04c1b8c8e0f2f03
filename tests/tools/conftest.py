"""Shared by the boardsim tests here: the scenario helpers on the import
path, and a fresh board folder per test."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "scenarios"))

from boardsim_helpers import Board  # noqa: E402


@pytest.fixture
def board(tmp_path):
    return Board.create(tmp_path / "board")
