"""The physical-presence test driven like an operator at the switch: the
blinks are counted from the LED writes in the event log, as a person counts
the blue LED, and the answers are typed on the console."""

from __future__ import annotations

import os

import pexpect
import pytest

from boardsim_helpers import Board

START = "Hit a key to start the test. The blue location LED will blink a number of times."
QUESTION = "How many times did the LED blink? "
RESULT = r"presence result (-?\d+) marker (-?\d+)"


def spawn(board: Board):
    args = board.boot_args(max_boots=1, timeout=300, fast=True,
                           bootmgr=os.environ["PRESENCE_DRIVER"])
    return pexpect.spawn(os.environ["BOARDSIM"], args, timeout=120, encoding="utf-8",
                         codec_errors="replace")


def blinks_so_far(board: Board) -> int:
    """LED writes with the blink bit (0x40) clear: one per blink."""
    return sum(1 for e in board.events("led") if not e["value"] & 0x40)


def start_attempt(child, board: Board) -> tuple[str, int]:
    """Starts an attempt; returns what the console showed while the LED
    blinked and the number of LED writes meanwhile."""
    child.expect_exact(START)
    leds_before = len(board.events("led"))
    child.send(" ")
    child.expect_exact(QUESTION)
    return child.before, len(board.events("led")) - leds_before


def test_counting_right_enables_low_security(board):
    child = spawn(board)
    child.expect_exact("Do you wish to continue y/N? ")
    child.send("y")
    start_attempt(child, board)
    child.sendline(str(blinks_so_far(board)))
    child.expect_exact("Correct. Physical presence established and low security mode enabled")
    child.expect(RESULT)
    assert child.match.group(1) == "1"
    assert child.match.group(2) == "9"  # "plovimar\n"
    # The LED ends at rest.
    leds = board.events("led")
    assert leds[-1]["value"] & 0x40


def test_three_wrong_answers_reboot_the_board(board):
    child = spawn(board)
    child.expect_exact("Do you wish to continue y/N? ")
    child.send("Y")
    for attempt in (1, 2, 3):
        before = blinks_so_far(board)
        shown, writes = start_attempt(child, board)
        count = blinks_so_far(board) - before
        assert 1 <= count <= 14
        # Every attempt shows 14 dots and lasts 14 periods of two LED writes,
        # whatever the count.
        assert shown.count(".") == 14, shown
        assert writes == 2 * 14
        child.sendline(str(count + 1))
        child.expect_exact(f"Incorrect. Try again (attempt {attempt} of 3)")
    child.expect_exact("Maximum number of test failed. Board is resetting")
    child.expect(pexpect.EOF)
    assert board.events("reboot")


def test_interrupt_ends_the_test(board):
    child = spawn(board)
    child.expect_exact("Do you wish to continue y/N? ")
    child.send("y")
    child.expect_exact(START)
    child.send(" ")
    child.expect_exact(".")
    child.sendintr()
    child.expect(RESULT)
    assert child.match.group(1) == "0"
    assert child.match.group(2) == "-1"
    assert not board.events("reboot")


@pytest.mark.parametrize("key", ["n", "N", "\r", "x"])
def test_declining_changes_nothing(board, key):
    child = spawn(board)
    child.expect_exact("Do you wish to continue y/N? ")
    child.send(key)
    child.expect(RESULT)
    assert child.match.group(1) == "0"
    assert child.match.group(2) == "-1"
    assert not board.events("led")


@pytest.mark.parametrize("key,kept", [("\r", False), ("y", False), ("n", True), ("N", True)])
def test_leaving_low_security_under_the_override(board, key, kept):
    # With the boot loader's override the mode stays on whatever the marker
    # does; the question is asked and answered all the same.
    board.env_set(lowsec="authorised")
    child = spawn(board)
    child.expect_exact("NOTE: Uboot low security mode override enabled")
    child.expect_exact("Switch is in low security mode. Confirm disabling Y/n? ")
    child.send(key)
    child.expect(RESULT)
    assert child.match.group(1) == "1"
