"""The rescue downloads on the emulated board: a file chosen from the USB
stick, XMODEM over the board's console (lrzsz's sx as the sender, the
board's rx and the built-in receiver), and the TFTP rescue as far as it
goes without a management network."""

from __future__ import annotations

import os
import re

import pytest

from boardsim_helpers import LAUNCHED, NO_LAUNCH, Board, expect_lines
from images import corrupt, demo_dir
from rescue import MENU, OPTION, demo_board, drive
from serial_console import PipeConsole

SX = "/usr/bin/sx"
NEEDS_NETWORK = "needs boardsim's management network (eth0 with a TFTP server on its uplink)"
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

ADDRESSES = [("IP addr    :", "10.0.0.2\r"), ("Netmask    :", "255.255.255.0\r"),
             ("Gateway    :", "\r"), ("Server addr:", "10.0.0.1\r"),
             ("Image Filename: ", "image2.img\r")]


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


def test_tftp_without_a_management_link_quits(tmp_path):
    # The board has no eth0 yet: the link check after the set-up fails, as
    # with the cable unplugged.
    board = demo_board(tmp_path)
    status, out = drive(board, [(OPTION, "t")] + ADDRESSES + [(OPTION, "e")])
    assert status == LAUNCHED
    expect_lines(out, ["Performing TFTP rescue. Please answer the following questions (enter 'q' to quit):",
                   "\tNetmask    : 255.255.255.0\n",
                   "Configuring management port" + "." * 23 + "\n",
                   "Mgmt link not available. Quitting.", MENU])
    assert "Installing image" not in out


@pytest.mark.skip(reason=NEEDS_NETWORK)
def test_tftp_download_installed_and_logged(tmp_path):
    board = demo_board(tmp_path)
    status, out = drive(board, [(OPTION, "t")] + ADDRESSES + [
        ("Install image as image 1 or 2 (hit return to just boot image): ", "1\r"), (OPTION, "e")])
    assert status == LAUNCHED
    expect_lines(out, ["Installing image image2.img from TFTP server 10.0.0.1",
                   "Image1 updated succeeded",
                   "Updating install log. File image2.img installed from 10.0.0.1 at "])


@pytest.mark.skip(reason=NEEDS_NETWORK)
@pytest.mark.parametrize("name", ["a;touch owned", "$(reboot)", "`reboot`", "my image 'v2' \"x\".img"])
def test_tftp_hostile_file_name_is_only_a_name(tmp_path, name):
    """The typed name reaches tftp as one word: the file of that name is
    fetched and nothing in it runs (the reboot stand-in would record a
    call)."""
    board = demo_board(tmp_path)
    (board.tftp / name).write_bytes((demo_dir() / "image2.img").read_bytes())
    steps = [(OPTION, "t")] + ADDRESSES[:4] + [
        ("Image Filename: ", name + "\r"),
        ("Install image as image 1 or 2 (hit return to just boot image): ", "1\r"), (OPTION, "e")]
    status, out = drive(board, steps)
    assert status == LAUNCHED
    assert f"File {name} installed from 10.0.0.1" in out
    assert not board.events("reboot")


@pytest.mark.skip(reason=NEEDS_NETWORK)
def test_tftp_missing_file_three_attempts_and_no_stale_image(tmp_path):
    board = demo_board(tmp_path)
    steps = [(OPTION, "t")] + ADDRESSES[:4] + [("Image Filename: ", "missing.img\r"), (OPTION, "e")]
    status, out = drive(board, steps)
    expect_lines(out, ["Attempt 1/3 of tftp timed out", "Attempt 2/3 of tftp timed out",
                   "Attempt 3/3 of tftp timed out", "Tftp download failed. Aborting"])
    assert "Extracting images" not in out


@pytest.mark.skip(reason=NEEDS_NETWORK + " and a cable that can be unplugged")
def test_tftp_cable_unplugged(tmp_path):
    board = demo_board(tmp_path)
    # boardsim cable DIR unplug (to be provided)
    status, out = drive(board, [(OPTION, "t")] + ADDRESSES + [(OPTION, "e")])
    assert "Mgmt link not available. Quitting." in out
