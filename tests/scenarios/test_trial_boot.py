"""Trial boot (a build option): a new image written into a slot boots on
trial and the board returns to the image that worked unless the new one
confirms itself. Each boot here is one start of the switch; an application
that never confirms stands for one that crashes or hangs until the
watchdog resets the board."""

from __future__ import annotations

import os

import pytest

from images import app_archive, create, demo_dir, openssl_sign, signature_record
from images import keys_dir
from rescue import demo_board

TRIAL_BYTES = 0x140  # slot 1's trial byte; slot 2's is the next


def trial_bootmgr() -> str:
    return os.environ["TRIAL_BOOTMGR"]


def new_image(path, tmp, confirms: bool):
    env = "DEMO_IMAGE N\nDEMO_VERSION 9.0.0.0\n" + ("" if confirms else "DEMO_CONFIRM no\n")
    payload = app_archive("N", env=env)
    sig = openssl_sign(payload, keys_dir() / "production_key.pem", tmp)
    return create(path, [{"type": "app", "version": "9.0.0.0", "payload": payload,
                          "records": [signature_record(sig)]}], tmp)


def boot(board, bootmgr=None) -> str:
    proc = board.boot(max_boots=1, timeout=60, fast=True, bootmgr=bootmgr or trial_bootmgr())
    return (proc.stdout + proc.stderr).replace("\r", "")


def replace_slot_2_from_usb(board, tmp, confirms: bool, bootmgr=None) -> str:
    """The old image in slot 1 (booting now); a replacement for slot 2 on a
    stick. The first boot installs it, puts it on trial and starts it."""
    images = board.user / "images"
    images.mkdir(parents=True)
    (images / "image1").write_bytes((demo_dir() / "image1.img").read_bytes())
    board.nvram_set(0x100, 1)
    stick = board.usb()
    board.nvram_set(0x13B, 0xD5)
    new_image(stick / "NPX7710_replace2_OS.img", tmp, confirms)
    out = boot(board, bootmgr)
    board.usb(inserted=False)
    return out


def test_unconfirmed_image_returns_to_the_old_slot_after_three_starts(board, tmp_path):
    first = replace_slot_2_from_usb(board, tmp_path, confirms=False)
    assert "Image2 has been successfully replaced" in first
    assert "Demo application of image N" in first
    assert board.nvram_get(TRIAL_BYTES + 1) == b"\x02"
    for left in (1, 0):
        out = boot(board)
        assert "Demo application of image N" in out, out
        assert board.nvram_get(TRIAL_BYTES + 1) == bytes([left])
    out = boot(board)
    assert "Image 2 was not confirmed; returning to image 1." in out
    assert "Booting image '1'" in out and "Demo application of image 1" in out
    assert board.nvram_get(0x100) == b"\x01"
    assert board.nvram_get(0x13A) == b"\x01"
    assert "Image 2 was not confirmed; returned to image 1 at " in (board.user / "install.log").read_text()
    # And it stays there.
    assert "Demo application of image 1" in boot(board)


def test_confirmed_image_stays(board, tmp_path):
    first = replace_slot_2_from_usb(board, tmp_path, confirms=True)
    assert "Image 2 confirmed." in first
    assert board.nvram_get(TRIAL_BYTES + 1) == b"\xff"
    for _ in range(4):
        out = boot(board)
        assert "Demo application of image N" in out
        assert "not confirmed" not in out
        assert board.nvram_get(TRIAL_BYTES + 1) == b"\xff"


def test_both_slots_given_up_or_bad_reach_the_rescue_road(board, tmp_path):
    replace_slot_2_from_usb(board, tmp_path, confirms=False)
    board.nvram_set(TRIAL_BYTES + 1, 0)
    image1 = board.user / "images" / "image1"
    data = bytearray(image1.read_bytes())
    data[-1] ^= 1
    image1.write_bytes(bytes(data))
    board.clear_events()
    out = boot(board)
    # Slot 2 is given up, slot 1 fails its CRC: nothing launches.
    assert "Image 2 was not confirmed; returning to image 1." in out
    assert "Both image1 and image2 failed." in out
    assert board.events("reboot") and not board.events("exec")


def test_slot_given_up_as_the_second_try_reaches_the_rescue_road(board, tmp_path):
    """Slot 1 fails its CRC, so slot 2 is the second try; it is on trial with
    no starts left, so it is given up there and then, without handing back
    to slot 1, and the board goes to the rescue road."""
    replace_slot_2_from_usb(board, tmp_path, confirms=False)
    board.nvram_set(TRIAL_BYTES + 1, 0)
    board.nvram_set(0x100, 1)
    image1 = board.user / "images" / "image1"
    data = bytearray(image1.read_bytes())
    data[-1] ^= 1
    image1.write_bytes(bytes(data))
    board.clear_events()
    # The rescue menu comes up on the console; E leaves it for the reboot.
    proc = board.boot(input="e", max_boots=1, timeout=60, fast=True, bootmgr=trial_bootmgr())
    out = (proc.stdout + proc.stderr).replace("\r", "")
    assert "Image1 CRC failed, trying Image2 now." in out
    assert "Image 2 was not confirmed.\n" in out
    assert "returning to image" not in out
    assert "No valid application image found. Trying rescue image" in out
    assert board.events("reboot") and not board.events("exec")
    assert board.nvram_get(0x100) == bytes([1])
    assert "Image 2 was not confirmed at " in (board.user / "install.log").read_text()


def test_verbs_print_one_line(board, tmp_path):
    path = trial_bootmgr()
    board.nvram_set(0x100, 2)
    board.nvram_set(0x13A, 2)
    board.nvram_set(TRIAL_BYTES + 1, 3)
    status = board.run(path, "status", ro=[path])
    assert status.stdout.strip() == ("boot slot 2, booted image 2, image 1 confirmed, "
                                     "image 2 on trial, 3 of 3 starts left")
    confirm = board.run(path, "confirm", ro=[path])
    assert confirm.stdout.strip() == "Image 2 confirmed."
    assert board.nvram_get(TRIAL_BYTES + 1) == b"\xff"
    again = board.run(path, "confirm", ro=[path])
    assert again.stdout.strip() == "No trial is running: image 2 is confirmed."
    bad = board.run(path, "frobnicate", ro=[path])
    assert bad.returncode == 2 and "usage: bootmgr" in bad.stderr


def test_without_the_option_nothing_is_on_trial(board, tmp_path):
    default = os.environ["BOOTMGR"]
    out = replace_slot_2_from_usb(board, tmp_path, confirms=False, bootmgr=default)
    assert "Demo application of image N" in out
    for _ in range(4):
        assert "Demo application of image N" in boot(board, bootmgr=default)
    assert board.nvram_get(TRIAL_BYTES, 2) == b"\xff\xff"


# Power cuts at each NVRAM write of the trial: the install's trial byte, an
# attempt used at a start, the rollback's boot slot, the confirmation. After
# the cut the board starts again by itself and must launch an application.
@pytest.mark.parametrize("stage,cut,launches", [
    ("install", "power_cut_at=nvram-write:1@nvram:141", "1"),   # trial byte never set: old slot
    ("attempt", "power_cut_at=nvram-write:1@nvram:141", "N"),   # the start is simply tried again
    ("rollback", "power_cut_at=nvram-write:1@nvram:100", "1"),  # given up again at the next start
    # The start's attempt is the first write, the application's confirmation
    # the second: the trial goes on and the next start confirms it.
    ("confirm", "power_cut_at=nvram-write:2@nvram:141", "N"),
])
def test_power_cut_at_a_trial_write(board, tmp_path, stage, cut, launches):
    if stage == "install":
        images = board.user / "images"
        images.mkdir(parents=True)
        (images / "image1").write_bytes((demo_dir() / "image1.img").read_bytes())
        board.nvram_set(0x100, 1)
        board.usb_insert()
        board.nvram_set(0x13B, 0xD5)
        new_image(board.path / "usb" / "NPX7710_replace2_OS.img", tmp_path, confirms=False)
        board.boot(max_boots=1, timeout=60, fast=True, bootmgr=trial_bootmgr(), faults=[cut])
        board.usb_remove()
    else:
        replace_slot_2_from_usb(board, tmp_path, confirms=(stage == "confirm"))
        if stage == "confirm":
            board.nvram_set(TRIAL_BYTES + 1, 2)  # on trial again, so the demo confirms
        if stage == "rollback":
            board.nvram_set(TRIAL_BYTES + 1, 0)
        board.clear_events()
        board.boot(max_boots=1, timeout=60, fast=True, bootmgr=trial_bootmgr(), faults=[cut])
    assert board.events("power-cut"), "the cut never came"
    out = boot(board)
    assert f"Demo application of image {launches}" in out, out
    if stage == "confirm":
        assert "Image 2 confirmed." in out
        assert board.nvram_get(TRIAL_BYTES + 1) == b"\xff"


def test_recovery_copy_puts_the_slot_on_trial(tmp_path):
    # A developer switch starts the rescue partition's image (diagnostics=diags);
    # the operator copies the recovery application into slot 2.
    board = demo_board(tmp_path, developer=True, rescue=False)
    board.env_set(diagnostics="diags")
    recovery = new_image(tmp_path / "recovery.img", tmp_path, confirms=False)
    part = board.flash_path("rescue")
    data = bytearray(part.read_bytes())
    data[: recovery.stat().st_size] = recovery.read_bytes()
    part.write_bytes(bytes(data))
    proc = board.boot(input="n2\n", max_boots=1, timeout=60, fast=True, bootmgr=trial_bootmgr())
    out = (proc.stdout + proc.stderr).replace("\r", "")
    assert "Installing recovery image as image2..." in out, out
    assert board.nvram_get(0x100) == b"\x02"
    assert board.nvram_get(TRIAL_BYTES + 1) == b"\x03"
