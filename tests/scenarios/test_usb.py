"""The USB stick at start-up: the boot image, the two replacement images,
the OS image and its rejected list, driven through the console."""

from __future__ import annotations

import hashlib
from pathlib import Path

import pytest

from boardsim_helpers import expect_lines
from images import app_archive, create, demo_dir, openssl_sign, signature_record
from images import keys_dir
from rescue import boot_leaving_rescue

ASK_TIMEOUT = "Timeout. Assuming \"no\"."


def app_image(path: Path, tmp: Path, tag: str, version: str = "7.0.0.0") -> Path:
    payload = app_archive(tag)
    sig = openssl_sign(payload, keys_dir() / "production_key.pem", tmp)
    return create(path, [{"type": "app", "version": version, "payload": payload,
                          "records": [signature_record(sig)]}], tmp)


def usb_board(board, tmp: Path, files: dict[str, str]) -> Path:
    """Inserts a stick holding application images under the given names
    (name -> tag shown by the demo application) and enables USB media."""
    stick = board.usb()
    board.nvram_set(0x13B, 0xD5)
    for name, tag in files.items():
        app_image(stick / name, tmp, tag)
    return stick


def boot_text(board, answers: str = "") -> str:
    return boot_leaving_rescue(board, answers)


def rejected(board) -> list[str]:
    d = board.user / "images" / "rejected"
    return sorted(p.name for p in d.iterdir()) if d.exists() else []


def test_both_replacements_then_slot_1_boots(board, tmp_path):
    usb_board(board, tmp_path, {"NPX7710_replace2_OS.img": "R2", "NPX7710_replace1_OS.img": "R1"})
    out = boot_text(board)
    expect_lines(out, ["USB mounted and ready!", "No boot image found on USB.",
                   "USB image (file 'NPX7710_replace2_OS.img') replacement for image2 found",
                   "Image2 has been successfully replaced",
                   "USB image (file 'NPX7710_replace1_OS.img') replacement for image1 found",
                   "Image1 has been successfully replaced",
                   "USB replacement image: board will boot with image1.", "Booting image '1'",
                   "Demo application of image R1"])
    assert (board.user / "install.log").read_text().count("installed from USB") == 2
    assert rejected(board) == []  # replacements are never marked


@pytest.mark.parametrize("answer", ["n\n", ""], ids=["no", "silence"])
def test_rejected_replacement_declined_leaves_the_stick_alone(board, tmp_path, answer):
    stick = usb_board(board, tmp_path, {"NPX7710_replace2_OS.img": "R2",
                                        "NPX7710_replace1_OS.img": "R1", "NPX7710_OS.img": "OS"})
    # The same file was once booted as the OS image, so its digest is marked.
    digest = hashlib.md5((stick / "NPX7710_replace2_OS.img").read_bytes()).hexdigest()
    (board.user / "images" / "rejected").mkdir(parents=True)
    (board.user / "images" / "rejected" / digest).touch()
    out = boot_text(board, answer)
    expect_lines(out, ["replacement for image2 found", "Replacement USB image is in rejected list.",
                   "Would you still like to load it? (y/n) "])
    if not answer:
        assert ASK_TIMEOUT in out
    assert "replacement for image1 found" not in out
    assert not (board.user / "images" / "image1").exists()
    assert not (board.user / "images" / "image2").exists()
    assert "Booting image 'NPX7710_OS.img' from USB stick." not in out


def test_os_image_boots_once_unattended_then_asks(board, tmp_path):
    usb_board(board, tmp_path, {"NPX7710_OS.img": "OS"})
    first = boot_text(board)
    expect_lines(first, ["No boot image found on USB.", "Booting image 'NPX7710_OS.img' from USB stick.",
                     "Demo application of image OS"])
    assert len(rejected(board)) == 1
    assert board.nvram_get(0x13A) == b"\x03"
    # Next start: the marked image waits for a yes; silence boots the slots.
    board.clear_events()
    second = boot_text(board)
    expect_lines(second, ["USB image is in rejected list.", "Would you still like to load it? (y/n) ",
                      ASK_TIMEOUT, "USB Boot failed. Trying flash images."])
    third = boot_text(board, "y\n")
    expect_lines(third, ["Continuing to load USB image...", "Demo application of image OS"])


def flip_last_byte(path: Path) -> None:
    data = bytearray(path.read_bytes())
    data[-1] ^= 1
    path.write_bytes(bytes(data))


# A bad OS image on the stick: components, a fix-up after writing, and what
# the switch says before it turns to the slots.
BAD_OS_IMAGES = [
    ("no_application_component", [{"type": "kernel", "payload": b"K" * 64}], None,
     "Error: USB image corrupted or belongs to another switch type."),
    ("crc_failed", [{"type": "app", "payload": app_archive("OS")}], flip_last_byte,
     "USB image CRC failed."),
    ("archive_does_not_unpack", [{"type": "app", "payload": b"junk" * 64}], None,
     "USB image could not be unpacked."),
    ("a_directory_by_that_name", None, None,
     "Warning: Cannot determine if image is in rejected list!"),
]


@pytest.mark.parametrize("components,fix,said", [r[1:] for r in BAD_OS_IMAGES],
                         ids=[r[0] for r in BAD_OS_IMAGES])
def test_bad_os_image_falls_back_to_the_slots(board, tmp_path, components, fix, said):
    stick = board.usb()
    board.nvram_set(0x13B, 0xD5)
    if components is None:
        (stick / "NPX7710_OS.img").mkdir()
    else:
        image = create(stick / "NPX7710_OS.img", components, tmp_path)
        if fix:
            fix(image)
    images = board.user / "images"
    images.mkdir(parents=True)
    (images / "image1").write_bytes((demo_dir() / "image1.img").read_bytes())
    out = boot_text(board)
    expect_lines(out, ["Booting image 'NPX7710_OS.img' from USB stick.", said,
                       "USB Boot failed. Trying flash images.", "Booting image '1'",
                       "Demo application of image 1"])
    assert "Demo application of image OS" not in out


def test_stick_with_no_known_file(board, tmp_path):
    usb_board(board, tmp_path, {"something_else.img": "X"})
    out = boot_text(board)
    expect_lines(out, ["No boot image found on USB.", "No valid image found on USB", "Booting image '1'"])


def test_boot_image_left_on_the_stick_installs_once(board, tmp_path):
    # A network application is never version-checked: without a memory of
    # the last install, the stick would install and reboot at every start.
    stick = board.usb()
    board.nvram_set(0x13B, 0xD5)
    create(stick / "NPX7710_Boot.img",
           [{"type": "velta", "payload": b"v" * 4000}], tmp_path)
    first = boot_text(board, "2\n")
    expect_lines(first, ["Boot image found on USB.", "Image2 updated succeeded",
                     "Updating install log."])
    assert board.events("reboot")
    board.clear_events()
    second = boot_text(board)
    expect_lines(second, ["Boot image found on USB.", "Boot image on USB was installed before. Skipping it.",
                      "No valid image found on USB"])
    assert "Extracting images" not in second
    # A changed boot image is installed again.
    create(stick / "NPX7710_Boot.img", [{"type": "velta", "payload": b"w" * 4000}], tmp_path)
    third = boot_text(board, "2\n")
    assert "Image2 updated succeeded" in third


def test_boot_image_memory_compares_the_whole_digest(board, tmp_path):
    """A recorded digest that differs from the stick's image only in its last
    character is another image: it is installed."""
    stick = board.usb()
    board.nvram_set(0x13B, 0xD5)
    image = create(stick / "NPX7710_Boot.img", [{"type": "velta", "payload": b"v" * 4000}], tmp_path)
    digest = hashlib.md5(image.read_bytes()).hexdigest()
    last = "0" if digest[-1] != "0" else "1"
    memory = board.user / "images" / "usb-boot-installed"
    memory.parent.mkdir(parents=True, exist_ok=True)
    memory.write_text(digest[:-1] + last)
    out = boot_text(board, "2\n")
    assert "was installed before" not in out
    assert "Image2 updated succeeded" in out
    assert memory.read_text() == digest


# Board time passes ten times faster under --fast, so the delays keep whole
# board seconds away from the first and the last look.
@pytest.mark.parametrize("mount_after,ready", [(0.5, True), (8, True), (14, False)])
def test_mount_wait(board, tmp_path, mount_after, ready):
    # The switch looks for the stick once a second for ten seconds, after a
    # first second's pause (board time; --fast makes it pass ten times faster).
    board.usb_insert(mount_after=mount_after)
    board.nvram_set(0x13B, 0xD5)
    app_image(board.path / "usb" / "NPX7710_OS.img", tmp_path, "OS")
    out = boot_text(board)
    expect_lines(out, ["Attempting to mount file system on USB flash drive; this can take up to 10 seconds."])
    if ready:
        expect_lines(out, ["USB mounted and ready!", "Booting image 'NPX7710_OS.img' from USB stick."])
    else:
        expect_lines(out, [".........." + "USB mount timed out", "Booting image '1'"])
        assert "from USB stick" not in out
