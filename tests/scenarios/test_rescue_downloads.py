"""The rescue downloads on the emulated board: a file chosen from the USB
stick, XMODEM over the board's console (lrzsz's sx as the sender, the
board's rx and the built-in receiver), and TFTP from the board's network
peer (dnsmasq behind eth0's cable)."""

from __future__ import annotations

import os
import re

import pytest

from boardsim_helpers import LAUNCHED, NETMASK, NO_LAUNCH, PEER_ADDRESS, Board, expect_lines
from images import corrupt, demo_dir
from rescue import MENU, OPTION, demo_board, drive
from serial_console import PipeConsole

SX = "/usr/bin/sx"
CHOOSE = "Choose file number to install (q to quit): "
SWITCHED_BACK = b"Change the baud rate back to 9600 bps, hit the <ENTER> key"


def install_log(board: Board) -> str:
    log = board.user / "install.log"
    return log.read_text() if log.exists() else ""


# --- USB ---------------------------------------------------------------------

def test_usb_chooser(tmp_path):
    board = demo_board(tmp_path)
    stick = board.usb()
    (stick / "app.img").write_bytes((demo_dir() / "image2.img").read_bytes())
    (stick / "notes.txt").write_text("not an image\n")
    (stick / "sub").mkdir()
    (stick / "link").symlink_to("sub")
    # The listing is made by the board: find the numbers in what it shows.
    child = board.spawn_boot(max_boots=1, timeout=120, fast=True)
    child.expect_exact(OPTION)
    child.send("u")
    child.expect_exact(CHOOSE)
    listed = dict((name, int(n)) for n, name in re.findall(r"\t(\d+): (\S+)\r\n", child.before))
    assert sorted(listed) == ["app.img", "link", "notes.txt"], child.before
    assert sorted(listed.values()) == [1, 2, 3]

    # Letters only: refused with its message, asked again without a prompt.
    child.sendline("abc")
    child.expect_exact("Invalid file number abc. Try again pleas\r\n")
    child.sendline("q")
    # Numbers that name no entry return to the menu without a word.
    for answer in ["0", "-1", "4", "99999999999999999999", "-99999999999999999999"]:
        child.expect_exact(OPTION)
        child.send("U")
        child.expect_exact(CHOOSE)
        child.sendline(answer)
        child.expect_exact(MENU)
        assert "Installing" not in child.before and "Invalid" not in child.before, answer
    # Blanks before and letters after a number: that entry.
    child.expect_exact(OPTION)
    child.send("u")
    child.expect_exact(CHOOSE)
    child.sendline(f"  {listed['notes.txt']}xyz")
    child.expect_exact("Installing notes.txt")
    child.expect_exact("ERROR: No valid image found")
    child.expect_exact(OPTION)
    child.send("u")
    child.expect_exact(CHOOSE)
    child.sendline(str(listed["app.img"]))
    child.expect_exact("Installing app.img")
    child.expect_exact("Install image as image 1 or 2 (hit return to just boot image): ")
    child.sendline("1")
    child.expect_exact("Image1 updated succeeded")
    child.expect_exact("Updating install log. File /mnt/usb/app.img installed from USB at ")
    child.expect_exact(OPTION)
    child.send("e")
    child.expect_exact("Demo application of image 2")
    assert board.wait_boot(child) == LAUNCHED
    assert (board.user / "images" / "image1").read_bytes() == (demo_dir() / "image2.img").read_bytes()
    assert install_log(board).count("installed from USB") == 1


# --- XMODEM ------------------------------------------------------------------

needs_sx = pytest.mark.skipif(not os.access(SX, os.X_OK), reason="lrzsz's sx is not installed")


def xmodem_download(con: PipeConsole, image, blocks: list[str], **interfere) -> None:
    """Letter X, then the operator's part of a download: Enter at the new
    speed, the transfer with sx, Enter at the old speed. `interfere` goes to
    PipeConsole.transfer."""
    con.expect(OPTION.encode())
    con.send(b"x")
    con.expect(b"before initiating the download.")
    con.enter_when_switched()
    con.transfer([SX, *blocks, str(image)], until=SWITCHED_BACK, **interfere)
    con.expect(SWITCHED_BACK)
    con.enter_when_switched()


@needs_sx
@pytest.mark.parametrize("blocks", [["-k"], []], ids=["1k", "128"])
def test_xmodem_good_image_installed(tmp_path, blocks):
    board = demo_board(tmp_path)
    image = demo_dir() / "image2.img"
    con = PipeConsole(board, max_boots=1, timeout=180)
    xmodem_download(con, image, blocks)
    con.expect(b"Install image as image 1 or 2 (hit return to just boot image): ")
    con.send(b"1\r")
    con.expect(b"Image1 updated succeeded")
    con.expect(b"Updating install log. File image installed from xmodem at ")
    con.expect(OPTION.encode())
    con.send(b"e")
    assert con.wait() == LAUNCHED
    expect_lines(con.text(), ["Running xmodem rescue.....",
                          "       Change the baud rate to 115200 bps and hit the <ENTER> key\n"
                          "       before initiating the download.\n",
                          "Demo application of image 2"])
    # The slot holds the image, not the sender's padding of the last block.
    assert (board.user / "images" / "image1").read_bytes() == image.read_bytes()
    assert [e["args"] for e in board.events("shell") if e["cmd"] == "rx"] == [["/tmp/image"]]


@needs_sx
def test_xmodem_bad_image_then_cancelled_transfer_installs_nothing(tmp_path):
    """A download the installer refuses, then a transfer cancelled half-way:
    neither the refused file of the first nor the part received by the
    second is installed."""
    board = demo_board(tmp_path)
    bad = tmp_path / "bad.img"
    bad.write_bytes((demo_dir() / "image2.img").read_bytes() * 8)
    corrupt(bad, 300)
    slot1 = (board.user / "images" / "image1").read_bytes()
    con = PipeConsole(board, max_boots=1, timeout=300)
    xmodem_download(con, bad, ["-k"])
    con.expect(b"Bad crc for APPLICATION")
    xmodem_download(con, demo_dir() / "image2.img", [], cancel_after=400)
    con.expect(OPTION.encode(), timeout=120)
    con.send(b"e")
    assert con.wait() == LAUNCHED
    out = con.text()
    assert out.count("Extracting images") == 1, out
    assert "installed from xmodem" not in out
    assert (board.user / "images" / "image1").read_bytes() == slot1


@needs_sx
@pytest.mark.parametrize("block,pace", [(1024, 115200), (128, None)], ids=["1k_at_115200", "128_unpaced"])
def test_xmodem_with_boardsim_send(tmp_path, block, pace):
    """The operator's own way: the console on a terminal, and sx started
    with "boardsim send" from another one, paced like the serial line."""
    board = demo_board(tmp_path)
    image = demo_dir() / "image2.img"
    child = board.spawn_boot(max_boots=1, timeout=180, fast=True, expect_timeout=60)
    child.expect_exact(OPTION)
    child.send("x")
    child.expect_exact("before initiating the download.")
    sent = board.xmodem_send(image, block=block, pace=pace, enter=True, timeout=120)
    assert sent.returncode == 0, sent.stderr
    child.expect_exact(SWITCHED_BACK.decode())
    child.send("\r")
    child.expect_exact("Install image as image 1 or 2 (hit return to just boot image): ")
    child.send("1\r")
    child.expect_exact("Updating install log. File image installed from xmodem at ")
    child.expect_exact(OPTION)
    child.send("e")
    assert board.wait_boot(child) == LAUNCHED
    assert (board.user / "images" / "image1").read_bytes() == image.read_bytes()


def driver_board(tmp_path) -> Board:
    return demo_board(tmp_path, rescue=False)


def payload(tmp_path, size: int = 8000):
    """A file whose bytes differ from block to block (and hold every byte
    value, the protocol's own included)."""
    path = tmp_path / "payload.bin"
    path.write_bytes(bytes((i * 131 + (i >> 8)) & 0xFF for i in range(size)))
    return path


@needs_sx
@pytest.mark.parametrize("blocks,tamper", [
    (["-k"], None),
    ([], None),
    # One spoilt byte: the block is refused and sent again.
    (["-k"], lambda piece, offset: bytes(b ^ 1 if offset + i == 3000 else b
                                         for i, b in enumerate(piece))),
], ids=["1k", "128", "1k_one_byte_spoilt"])
def test_builtin_receiver_over_the_console(tmp_path, blocks, tamper):
    board = driver_board(tmp_path)
    image = payload(tmp_path)
    con = PipeConsole(board, max_boots=1, timeout=180, bootmgr=os.environ["XMODEM_DRIVER"])
    con.expect(b"before initiating the download.")
    con.enter_when_switched()
    assert con.transfer([SX, *blocks, str(image)], until=SWITCHED_BACK, tamper=tamper) == 0
    con.expect(SWITCHED_BACK)
    con.enter_when_switched()
    con.expect(b"All done")
    con.expect(b"xmodem result ")
    assert con.wait() == NO_LAUNCH
    data = image.read_bytes()
    received = (board.user / "received").read_bytes()
    assert received[:len(data)] == data
    assert set(received[len(data):]) <= {0x1A}
    assert len(received) % 128 == 0 and len(received) - len(data) < 1024


@needs_sx
def test_builtin_receiver_cancelled_keeps_nothing(tmp_path):
    board = driver_board(tmp_path)
    con = PipeConsole(board, max_boots=1, timeout=300, bootmgr=os.environ["XMODEM_DRIVER"])
    con.expect(b"before initiating the download.")
    con.enter_when_switched()
    con.transfer([SX, "-k", str(payload(tmp_path))], until=SWITCHED_BACK, cancel_after=5000)
    con.expect(SWITCHED_BACK, timeout=60)
    con.enter_when_switched()
    con.expect(b"XMODEM transfer cancelled by the sender")
    con.expect(b"xmodem result 0")
    assert con.wait() == NO_LAUNCH
    assert not (board.user / "received").exists()


# --- TFTP --------------------------------------------------------------------

BOARD_ADDRESS = "192.168.1.2"
ADDRESSES = [("IP addr    :", BOARD_ADDRESS + "\r"), ("Netmask    :", NETMASK + "\r"),
             ("Gateway    :", "\r"), ("Server addr:", PEER_ADDRESS + "\r"),
             ("Image Filename: ", "image2.img\r")]
INSTALL_AS = "Install image as image 1 or 2 (hit return to just boot image): "


def tftp_board(tmp_path, name: str = "image2.img") -> Board:
    """A demo board stopping in rescue mode, with the demo's image 2 served
    by TFTP under `name`."""
    board = demo_board(tmp_path)
    board.tftp_put(name, demo_dir() / "image2.img")
    return board


@pytest.mark.parametrize("at", range(4), ids=["ip", "netmask", "gateway", "server"])
def test_tftp_q_at_each_address_returns_to_the_menu(tmp_path, at):
    board = demo_board(tmp_path)
    steps = [(OPTION, "t")] + ADDRESSES[:at] + [(ADDRESSES[at][0], "q\r"), (OPTION, "e")]
    status, out = drive(board, steps)
    assert status == LAUNCHED
    assert out.count(MENU) == 2
    assert "Configuring management port" not in out


def test_tftp_file_name_questions(tmp_path):
    board = demo_board(tmp_path)
    steps = [(OPTION, "T")] + ADDRESSES[:4] + [
        ("Image Filename: ", "\r"), ("Invalid filename. Try again please\n", None),
        ("Image Filename: ", "Q\r"), ("Invalid filename. Try again please\n", None),
        ("Image Filename: ", "q\r"), (OPTION, "e")]
    status, out = drive(board, steps)
    assert status == LAUNCHED
    assert out.count(MENU) == 2


def test_tftp_cable_unplugged_quits(tmp_path):
    board = tftp_board(tmp_path)
    board.cable(plugged=False)
    status, out = drive(board, [(OPTION, "t")] + ADDRESSES + [(OPTION, "e")])
    assert status == LAUNCHED
    expect_lines(out, ["Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):",
                   "\tNetmask    : 255.255.255.0\n",
                   "Configuring management port" + "." * 23 + "\n",
                   "Mgmt link not available. Quitting.", MENU])
    assert "Installing image" not in out
    assert " to " + BOARD_ADDRESS not in board.network_log()


@pytest.mark.parametrize("gateway", ["", PEER_ADDRESS], ids=["no_gateway", "gateway"])
def test_tftp_download_installed_and_logged(tmp_path, gateway):
    board = tftp_board(tmp_path)
    slot2 = (board.user / "images" / "image2").read_bytes()
    steps = [(OPTION, "t")] + ADDRESSES[:2] + [("Gateway    :", gateway + "\r")] + ADDRESSES[3:] + [
        (INSTALL_AS, "1\r"), (OPTION, "e")]
    status, out = drive(board, steps)
    assert status == LAUNCHED
    expect_lines(out, [f"Installing image image2.img from TFTP server {PEER_ADDRESS}",
                   "Image1 updated succeeded",
                   f"Updating install log. File image2.img installed from {PEER_ADDRESS} at ",
                   MENU, "Booting image '1'", "Demo application of image 2"])
    assert (board.user / "images" / "image1").read_bytes() == slot2
    assert f"installed from {PEER_ADDRESS}" in install_log(board)
    assert f"image2.img to {BOARD_ADDRESS}" in board.network_log()


def test_tftp_file_appearing_at_the_second_attempt(tmp_path):
    """The first request finds nothing; the file is put in place while the
    board waits, and the second attempt fetches it."""
    board = demo_board(tmp_path)
    child = board.spawn_boot(max_boots=1, timeout=180, fast=True)
    for text, keys in [(OPTION, "t")] + ADDRESSES[:4] + [("Image Filename: ", "late.img\r")]:
        child.expect_exact(text.replace("\n", "\r\n"))
        child.send(keys)
    child.expect_exact("Attempt 1/3 of tftp timed out")
    board.tftp_put("late.img", demo_dir() / "image2.img")
    child.expect_exact(INSTALL_AS)
    child.send("2\r")
    child.expect_exact("Image2 updated succeeded")
    child.expect_exact(OPTION)
    child.send("e")
    assert board.wait_boot(child) == LAUNCHED
    assert "Attempt 2/3" not in child.before


@pytest.mark.parametrize("name", ["a;reboot", "$(reboot)", "`reboot`", "my image 'v2' \"x\".img"])
def test_tftp_hostile_file_name_is_only_a_name(tmp_path, name):
    """The typed name reaches tftp as one word: the file of that name is
    fetched and nothing in it runs (the reboot stand-in would record a
    call)."""
    board = tftp_board(tmp_path, name)
    steps = [(OPTION, "t")] + ADDRESSES[:4] + [
        ("Image Filename: ", name + "\r"), (INSTALL_AS, "1\r"), (OPTION, "e")]
    status, out = drive(board, steps)
    assert status == LAUNCHED
    assert f"File {name} installed from {PEER_ADDRESS}" in out
    assert not board.events("reboot")


def test_tftp_missing_file_three_attempts_and_no_stale_image(tmp_path):
    """A download the installer refuses, then a missing file: the missing
    one fails three times, and the refused file the first left behind is not
    taken for it."""
    board = demo_board(tmp_path)
    bad = board.tftp_put("bad.img", demo_dir() / "image2.img")
    corrupt(bad, 300)
    steps = [(OPTION, "t")] + ADDRESSES[:4] + [("Image Filename: ", "bad.img\r"), (OPTION, "t")] + \
        ADDRESSES[:4] + [("Image Filename: ", "missing.img\r"), (OPTION, "e")]
    status, out = drive(board, steps, timeout=240)
    assert status == LAUNCHED
    expect_lines(out, ["Bad crc for APPLICATION", MENU,
                   "Attempt 1/3 of tftp timed out", "Attempt 2/3 of tftp timed out",
                   "Attempt 3/3 of tftp timed out", "Tftp download failed. Aborting", MENU])
    assert out.count("Extracting images") == 1
    assert "installed from" not in out


def test_both_slots_bad_rescued_by_tftp(tmp_path):
    """A switch with neither slot readable (slot 1 gone, slot 2's header
    spoilt) reaches the rescue menu on its own; a TFTP install brings it
    back, and the next boot needs no operator."""
    board = demo_board(tmp_path, rescue=False)
    board.tftp_put("image2.img", demo_dir() / "image2.img")
    (board.user / "images" / "image1").unlink()
    corrupt(board.user / "images" / "image2", 9)  # the component type
    status, out = drive(board, [(OPTION, "t")] + ADDRESSES + [(INSTALL_AS, "1\r"), (OPTION, "e")],
                        timeout=240)
    # Leaving the menu reboots the switch, which then finds slot 1 again.
    assert status == NO_LAUNCH, out
    expect_lines(out, ["No valid application image found. Trying rescue image", "Entering Rescue Mode.",
                       "Image1 updated succeeded", "Option? : e"])
    assert board.events("reboot")
    again = board.boot(max_boots=1, fast=True)
    assert again.returncode == LAUNCHED, again.stdout
    assert "Please select one of the following options:" not in again.stdout
