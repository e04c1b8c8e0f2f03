"""The rescue menu on the emulated board, driven like an operator at the
serial console: the letters in both cases, unknown and hidden letters, the
menu after each action, Exit and Reboot, the diagnostics start, the version
report, the key wipe, the MAC address, and the roads that lead into the
menu and out of it when the console goes away."""

from __future__ import annotations

import shutil

import pytest

from boardsim_helpers import LAUNCHED, NO_LAUNCH, Board, boardsim, expect_lines
from images import demo_dir
from rescue import MENU, OPTION, demo_board, drive

KEYS = ["development_key.pub.pem", "production_key.pub.pem"]
ERASE = "Confirm: Erase filesystem? (all saved data, configuration, keys will be lost) y/N: "


def no_slot_2(board: Board) -> None:
    (board.user / "images" / "image2").unlink()


def check_rebooted(board: Board, out: str) -> None:
    assert board.events("reboot")
    assert not board.events("exec")


def check_keys_gone(board: Board, out: str) -> None:
    assert not list(board.user.glob("*.pem"))


def check_keys_kept(board: Board, out: str) -> None:
    assert sorted(p.name for p in board.user.glob("*.pem")) == KEYS


def check_no_erase(board: Board, out: str) -> None:
    assert ERASE not in out
    assert not [e for e in board.events("shell") if e["cmd"] == "flash_eraseall"]


def shell_calls(board: Board) -> list[tuple[str, list[str]]]:
    return [(e["cmd"], e["args"]) for e in board.events("shell") if e["cmd"] != "date"]


def check_erased_then_diags(board: Board, out: str) -> None:
    # After the start-up mount: unmount, erase, mount, in this order and
    # each one finished before the next (nothing runs in the background).
    calls = shell_calls(board)
    assert [c for c, _ in calls] == ["mount", "umount", "flash_eraseall", "mount"], calls
    assert calls[2][1] == ["/dev/mtd-user-char"]
    assert sorted(p.name for p in board.user.iterdir()) == ["images"]
    assert board.events("exec")[0]["program"] == "/bin/backtrace"


def check_not_erased_then_diags(board: Board, out: str) -> None:
    assert [c for c, _ in shell_calls(board)] == ["mount"]
    check_keys_kept(board, out)
    assert board.events("exec")[0]["program"] == "/bin/backtrace"


# name, developer switch?, board change, operator steps (text, keys), boardsim
# status, lines in order, check(board, output), actions that return to the
# menu (each prints the whole menu again).
ROADS = [
    ("exit", False, None, [(OPTION, "e")], LAUNCHED,
     ["Option? : e\n", "Booting image '1'", "Demo application of image 1"], None, 0),
    ("exit_upper_case", False, None, [(OPTION, "E")], LAUNCHED,
     ["Option? : E\n", "Demo application of image 1"], None, 0),
    ("reboot", False, None, [(OPTION, "r")], NO_LAUNCH, ["Option? : r\n"], check_rebooted, 0),
    ("reboot_upper_case", False, None, [(OPTION, "R")], NO_LAUNCH, [], check_rebooted, 0),
    ("unknown_letter_asks_again_without_the_menu", False, None,
     [(OPTION, "q"), ("unknown option \"Q\". Please try again\n\nOption? : ", "e")], LAUNCHED,
     ["Option? : q\nunknown option \"Q\". Please try again\n\nOption? : e\n"], None, 0),
    ("versions_with_slot_2_missing", False, no_slot_2, [(OPTION, "v"), (OPTION, "e")], LAUNCHED,
     ["Installed images versions: \n", "\tBoot image  : 255.255.255.255\n",
      "\tRFS image   : 1.0.0.3\n", "\tKernel image: 255.255.255.255\n",
      "\tDFT image   : 255.255.255.255\n", "\tOS image 1  : 1.0.0.1\n",
      "\tOS image 2  : 0.0.0.0\n", MENU], None, 1),
    ("versions_hidden_upper_case", False, None, [(OPTION, "V"), (OPTION, "e")], LAUNCHED,
     ["\tOS image 2  : 1.0.0.2\n"], None, 1),
    ("wipe_keys", False, None,
     [(OPTION, "k"), ("Confirm: wiping system keys y/N: ", "y"), (OPTION, "e")], LAUNCHED,
     ["System keys have been deleted. Reset the switch to complete the operation"],
     check_keys_gone, 1),
    ("wipe_keys_declined", False, None,
     [(OPTION, "K"), ("Confirm: wiping system keys y/N: ", "n"), (OPTION, "e")], LAUNCHED,
     ["Confirm: wiping system keys y/N: \n" + MENU], check_keys_kept, 1),
    ("physical_presence_declined", False, None,
     [(OPTION, "p"), ("Do you wish to continue y/N? ", "n"), (OPTION, "E")], LAUNCHED,
     ["WARNING: the following test is used to determine physical presence"], None, 1),
    ("mac_address_checked", False, None,
     [(OPTION, "m"), ("MAC address (format nn:nn:nn:nn:nn:nn): ", "0:0:0:0:0:0;sh\r"),
      ("Invalid MAC address. Try again please", None),
      ("MAC address (format nn:nn:nn:nn:nn:nn): ", "00:11:22:33:44:55\r"), (OPTION, "e")],
     LAUNCHED, [], None, 1),
    ("diags_refused_on_a_secured_switch", False, None, [(OPTION, "d"), (OPTION, "e")], LAUNCHED,
     ["Standalone diags cannot be run on a secured switch\n"
      "Please establish physical presence first\n" + MENU], check_no_erase, 1),
    ("diags_on_a_developer_switch_with_erase", True, None, [(OPTION, "D"), (ERASE, "y")], LAUNCHED,
     ["NOTE: switch running developer signed images", "unmount filesystem",
      "Erasing filesystem for clean install", "Mounting...", "creating default filesystem",
      "Booting diags image...", "Launching diagnostics image",
      "Demo diagnostics: all board tests passed."], check_erased_then_diags, 0),
    ("diags_on_a_developer_switch_without_erase", True, None, [(OPTION, "d"), (ERASE, "n")],
     LAUNCHED, ["Booting diags image...", "Demo diagnostics: all board tests passed."],
     check_not_erased_then_diags, 0),
]


@pytest.mark.parametrize("road", ROADS, ids=[r[0] for r in ROADS])
def test_menu_road(tmp_path, road):
    name, developer, change, steps, status, lines, check, actions = road
    board = demo_board(tmp_path, developer=developer)
    if change:
        change(board)
    got, out = drive(board, steps)
    assert got == status, out
    expect_lines(out, lines)
    assert out.count("Entering Rescue Mode.") == 1
    assert out.count(MENU) == 1 + actions, out
    for letter in "TXPRE":
        assert f"\t{letter}) " in out
    for letter in "UVMKD":
        assert f"\t{letter}) " not in out
    if check:
        check(board, out)


@pytest.mark.parametrize("slot2,lines", [
    (None, ["Failed to open Application image 1. Trying image 2.",
            "Failed to open Application image 2."]),
    ("kernel_only", ["Image1 has invalid header... trying Image2.",
                     "No valid application image found. Trying rescue image"]),
])
def test_nothing_bootable_leads_to_the_menu_then_a_reboot(tmp_path, slot2, lines):
    board = demo_board(tmp_path, rescue=False)
    images = board.user / "images"
    if slot2 is None:
        shutil.rmtree(images)
    else:
        # Neither slot holds an application component.
        for slot in (1, 2):
            shutil.copy(demo_dir() / "rfs-production.img", images / f"image{slot}")
    got, out = drive(board, [(OPTION, "e")])
    assert got == NO_LAUNCH, out
    expect_lines(out, lines + ["Entering Rescue Mode.", MENU, "Option? : e\n"])
    assert board.events("reboot")


@pytest.mark.parametrize("typed,question", [
    ("", None),
    ("m", "MAC address (format nn:nn:nn:nn:nn:nn): "),
    ("t10.0.0.2\n", "Netmask    :"),
    ("u", "Choose file number to install (q to quit): "),
])
def test_closed_console_leaves_the_menu(tmp_path, bootmgr, typed, question):
    """A console whose input ends (here: bootmgr's standard input is a file
    that has ended) leaves every question and then the menu as Exit does,
    so the boot goes on instead of printing the menu for ever."""
    board = demo_board(tmp_path)
    board.usb()
    proc = boardsim("run", board.path, "--", bootmgr, check=False, input=typed, timeout=60)
    out = proc.stdout.replace("\r", "")
    assert out.count(MENU) == (2 if typed else 1), out
    if question:
        assert out.count(question) == 1, out
    expect_lines(out, ["Console input ended. Leaving rescue mode.", "Booting image '1'",
                   "Demo application of image 1"])
    assert proc.returncode == 0
