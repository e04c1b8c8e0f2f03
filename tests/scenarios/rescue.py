"""Boards and a console driver for the rescue-mode scenarios."""

from __future__ import annotations

import io
from pathlib import Path
from typing import Optional

from boardsim_helpers import Board, boardsim

OPTION = "Option? : "
MENU = "Please select one of the following options:"


def demo_board(tmp_path: Path, developer: bool = False, rescue: bool = True) -> Board:
    """A demo board (both slots, diagnostics in the rescue partition; a
    production switch, or a developer switch with an unsigned root file
    system) that stops in rescue mode at start-up."""
    path = tmp_path / "board"
    boardsim("new", path, "--demo", "--force", *(["--developer"] if developer else []))
    board = Board(path)
    if rescue:
        board.env_set(diagnostics="rescue")
    return board


def drive(board: Board, steps: list[tuple[str, Optional[str]]], fast: bool = True,
          timeout: float = 120) -> tuple[int, str]:
    """Boots once and plays the operator: for each step, waits for the text
    (written with \\n for the console's line ends), then types the keys (None:
    types nothing). Returns boardsim's exit status and everything the console
    showed, with \\n line ends."""
    child = board.spawn_boot(max_boots=1, timeout=timeout, fast=fast)
    shown = io.StringIO()
    child.logfile_read = shown
    for text, keys in steps:
        child.expect_exact(text.replace("\n", "\r\n"))
        if keys is not None:
            child.send(keys)
    status = board.wait_boot(child)
    return status, shown.getvalue().replace("\r", "")


def boot_leaving_rescue(board: Board, answers: str = "", timeout: float = 90) -> str:
    """Boots once (fast) with `answers` typed at the start, as
    Board.boot(input=...) does, and leaves the rescue menu with Exit if the
    boot gets there (a board with nothing to boot). Returns what the console
    showed, with \\n line ends."""
    import pexpect

    child = board.spawn_boot(max_boots=1, timeout=timeout, fast=True, expect_timeout=timeout + 30)
    shown = io.StringIO()
    child.logfile_read = shown
    if answers:
        child.send(answers)
    while child.expect_exact([OPTION, pexpect.EOF]) == 0:
        child.send("e")
    board.wait_boot(child)
    return shown.getvalue().replace("\r", "")
