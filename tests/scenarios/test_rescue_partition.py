"""Booting the image of the rescue partition: diagnostics, and a recovery
application the operator may first copy into a slot."""

from __future__ import annotations

import os

import pytest

from boardsim_helpers import boardsim
from images import app_archive, create, demo_dir


def driver() -> str:
    return os.environ["RESCUE_BOOT_DRIVER"]


def flash_rescue(board, image: bytes) -> None:
    part = board.flash_path("rescue")
    data = bytearray(part.read_bytes())
    data[: len(image)] = image
    part.write_bytes(bytes(data))


def run_driver(board, answer: str = ""):
    proc = boardsim("run", board.path, "--", driver(), check=False, input=answer, timeout=60)
    # Failed loads are reported on standard error.
    return proc.returncode, (proc.stdout + proc.stderr).replace("\r", "")


def test_diagnostics_image_is_launched(board):
    flash_rescue(board, (demo_dir() / "rescue.img").read_bytes())
    rc, out = run_driver(board)
    assert "Launching diagnostics image" in out
    assert "install diags image" in out
    assert "Demo diagnostics: all board tests passed." in out
    assert board.nvram_get(0x13A) == b"\x04"
    assert board.events("exec")[0]["program"] == "/bin/backtrace"


@pytest.mark.parametrize("answer,slot", [("2\n", 2), ("1\n", 1)])
def test_recovery_image_copied_into_a_slot(board, tmp_path, answer, slot):
    recovery = create(tmp_path / "recovery.img",
                      [{"type": "app", "version": "3.0.0.0", "payload": app_archive("R")}], tmp_path)
    flash_rescue(board, recovery.read_bytes())
    rc, out = run_driver(board, answer)
    assert "Install recovery image as image 1 or 2 (hit return to just boot image): " in out
    assert f"Installing recovery image as image{slot}..." in out
    assert f"Setting boot image to {slot}" in out
    assert (board.user / "images" / f"image{slot}").read_bytes() == recovery.read_bytes()
    assert board.nvram_get(0x100) == bytes([slot])
    assert board.nvram_get(0x13A) == bytes([slot])
    assert "Demo application of image R" in out


def test_recovery_image_just_booted_on_return(board, tmp_path):
    recovery = create(tmp_path / "recovery.img",
                      [{"type": "app", "payload": app_archive("R")}], tmp_path)
    flash_rescue(board, recovery.read_bytes())
    rc, out = run_driver(board, "\n")
    assert ("Booting recovery image. You will need to download and install an image before "
            "rebooting") in out
    assert board.nvram_get(0x13A) == b"\x04"
    assert board.nvram_get(0x100) == b"\xff"
    assert not (board.user / "images" / "image1").exists()
    assert "Demo application of image R" in out


@pytest.mark.parametrize("content,message", [
    (b"", "Image not found... "),
    (None, "Image CRC failed. Quitting"),
])
def test_unusable_rescue_partition(board, tmp_path, content, message):
    if content is None:
        image = bytearray((demo_dir() / "rescue.img").read_bytes())
        image[-1] ^= 1
        flash_rescue(board, bytes(image))
    rc, out = run_driver(board)
    assert rc == 1
    assert message in out
    assert not board.events("exec")


def test_short_read_of_the_rescue_partition_is_a_failure(board, tmp_path):
    # The image ends in zeros, which is what a fresh buffer holds too: a read
    # that stops early must fail, not leave the zeros standing in for flash.
    recovery = create(tmp_path / "recovery.img",
                      [{"type": "app", "payload": app_archive("R") + bytes(300_000)}], tmp_path)
    image = recovery.read_bytes()
    flash_rescue(board, image)
    last_block = (len(image) - 1) // 65536
    board.fault(f"flash.rescue.short={last_block}")
    rc, out = run_driver(board, "\n")
    assert rc == 1, out
    assert "Image CRC failed. Quitting" in out
    assert "Demo application of image R" not in out
