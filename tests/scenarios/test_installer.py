"""The image installer, driven as a technician does: an image file on a USB
stick as the boot image (installed with the same-version skip, the slot
asked on the console), then the board's flash, slots, NVRAM and install log
are checked."""

from __future__ import annotations

from pathlib import Path

import pytest

from boardsim_helpers import expect_lines
from images import app_archive, create, openssl_sign, signature_record
from images import keys_dir
from rescue import boot_leaving_rescue

BOOT_IMAGE = "NPX7710_Boot.img"
KERNEL_LIMIT = 0x800000
UBOOT_LIMIT = 0x80000


def signed(comp: dict, tmp: Path, key: str = "production") -> dict:
    """The component with a signature record made by OpenSSL over its payload."""
    sig = openssl_sign(comp["payload"], keys_dir() / f"{key}_key.pem", tmp)
    return {**comp, "records": [signature_record(sig)]}


def kernel(tmp: Path, size: int = 2000, version: str = "4.1.0.0", total: int | None = None) -> dict:
    """A production-signed kernel; with `total`, padded so the whole
    component is exactly that many bytes."""
    comp = signed({"type": "kernel", "version": version, "payload": b"K" * size}, tmp)
    if total is None:
        return comp
    probe = create(tmp / "probe.img", [comp], tmp).stat().st_size
    return kernel(tmp, size + total - probe, version)


def app(tmp: Path, slot_tag: str = "U", version: str = "5.0.0.0") -> dict:
    return signed({"type": "app", "version": version, "payload": app_archive(slot_tag)}, tmp)


def velta(tmp: Path) -> dict:
    return {"type": "velta", "version": "6.0.0.0", "payload": b"velta payload " * 300}


def uboot(payload_size: int) -> dict:
    # A version-2 header of 64 bytes: the whole component is bigger than its payload.
    return {"type": "uboot", "header": 2, "version": "2.0.0.0", "payload": b"U" * payload_size}


def put_on_stick(board, tmp: Path, components: list[dict], name: str = BOOT_IMAGE) -> Path:
    stick = board.usb()
    board.nvram_set(0x13B, 0xD5)  # USB media enabled on this board
    return create(stick / name, components, tmp)


def boot_text(board, answers: str = "", timeout: float = 90) -> str:
    return boot_leaving_rescue(board, answers, timeout)


def installed_log(board) -> str:
    log = board.user / "install.log"
    return log.read_text() if log.exists() else ""


# --- one table row per road of the installer ------------------------------
# name, components (a function of tmp), console answers, lines in order,
# installed? (an install-log entry and a reboot), check(board, tmp, image).

def first_component(data: bytes) -> bytes:
    """The first (version-3) component of an image file: len + 16 bytes."""
    return data[:int.from_bytes(data[4:8], "big") + 16]


def check_kernel_in_flash(board, tmp, image):
    data = first_component(image.read_bytes())
    assert board.flash("kernel", 0, len(data)) == data


def check_nothing_in_kernel(board, tmp, image):
    assert board.flash("kernel", 0, 64) == b"\xff" * 64


def check_uboot_payload_and_header(board, tmp, image):
    data = image.read_bytes()
    header_len = int.from_bytes(data[18:20], "big")
    payload = data[header_len:]
    assert board.flash("uboot", 0, len(payload)) == payload
    assert (board.user / "images" / "uboot-hdr").read_bytes() == data[:header_len]


def check_not_stored_but_booted(board, tmp, image):
    assert not (board.user / "images" / "image1").exists()
    assert not (board.user / "images" / "image2").exists()
    assert board.events("exec")[0]["program"] == "/bin/backtrace"


def check_slot2(board, tmp, image):
    assert (board.user / "images" / "image2").read_bytes() == image.read_bytes()
    assert board.nvram_get(0x100) == b"\x02"
    assert board.nvram_get(0x110, 7) != b"\xff" * 7  # image timestamp of slot 2


def check_velta_then_app_in_slot1(board, tmp, image):
    slot = board.user / "images" / "image1"
    assert slot.exists()
    assert board.nvram_get(0x100) == b"\x01"


ROADS = [
    ("kernel_at_the_limit",
     lambda t: [kernel(t, total=KERNEL_LIMIT)], "",
     ["Installing Kernel: ", " Image signature verified. ", "100%", "Updating install log. File "
      "/mnt/usb/NPX7710_Boot.img installed from USB"], True, check_kernel_in_flash),
    ("kernel_one_byte_too_big",
     lambda t: [kernel(t, total=KERNEL_LIMIT + 1)], "",
     ["Installing Kernel: ", "KERNEL image is too big for flash (8388609 > 8388608)"], False,
     check_nothing_in_kernel),
    ("boot_loader_limit_is_on_its_payload",
     lambda t: [uboot(UBOOT_LIMIT)], "",
     ["Installing Boot Loader: ", "100%"], True, check_uboot_payload_and_header),
    ("boot_loader_payload_too_big",
     lambda t: [uboot(UBOOT_LIMIT + 1)], "",
     ["UBOOT image is too big for flash (524289 > 524288)"], False, None),
    ("application_answered_with_an_empty_line_is_booted",
     lambda t: [app(t)], "\n",
     ["Installing Application: ", "Install image as image 1 or 2 (hit return to just boot image): ",
      "Booting downloaded image", "Image ready to boot...", "Demo application of image U"],
     None, check_not_stored_but_booted),
    ("application_into_slot_2",
     lambda t: [app(t)], "2\n",
     ["Installing image as image2: ", "100%", "Image2 updated succeeded"], True, check_slot2),
    ("network_application_then_application_asks_once",
     lambda t: [velta(t), app(t)], "1\n",
     ["Installing VELTA application: ", "Install image as image 1 or 2 (q to quit): ",
      "Preparing image for installation: ", "Image1 updated succeeded", "Installing Application: ",
      "Installing image as image1: ", "Image1 updated succeeded"], True,
     check_velta_then_app_in_slot1),
    ("network_application_quit",
     lambda t: [velta(t)], "x\nq\n",
     ["Install image as image 1 or 2 (q to quit): ", "Install image as image 1 or 2 (q to quit): "],
     False, None),
    ("unknown_types_only",
     lambda t: [{"type": 0x7F, "payload": b"?" * 64}, {"type": 0x11, "payload": b"!" * 64}], "",
     ["ERROR: No valid image found"], False, None),
    ("unsigned_kernel_refused",
     lambda t: [{"type": "kernel", "payload": b"K" * 100}], "",
     [" Image rejected as it has no signature"], False, check_nothing_in_kernel),
    ("signed_component_then_unsigned_one",
     # Each component is judged alone: the signed kernel is installed, the
     # unsigned device tree after it is refused and ends the call.
     lambda t: [kernel(t), {"type": "dft", "payload": b"D" * 100}], "",
     [" Image signature verified. ", "Installing Device Tree: ",
      " Image rejected as it has no signature"], False, check_kernel_in_flash),
    ("diagnostics_need_no_signature",
     lambda t: [{"type": "diags", "payload": b"G" * 300}], "",
     ["Installing Diagnostics: ", "done"], True, None),
]


@pytest.mark.parametrize("road", ROADS, ids=[r[0] for r in ROADS])
def test_install_road(board, tmp_path, road):
    name, components, answers, lines, installed, check = road
    image = put_on_stick(board, tmp_path, components(tmp_path))
    out = boot_text(board, answers)
    expect_lines(out, ["Boot image found on USB.", "Extracting images ... Do *NOT* power cycle the switch."]
             + lines)
    if installed is not None:
        assert ("installed from USB" in installed_log(board)) == installed, out
        assert bool(board.events("reboot")) or not installed
    if check:
        check(board, tmp_path, image)


def test_same_version_is_skipped_and_nothing_reboots(board, tmp_path):
    image = put_on_stick(board, tmp_path, [kernel(tmp_path)])
    first = boot_text(board)
    assert "installed from USB" in first
    # The same file again: nothing to install, no reboot loop, the boot goes on.
    (board.user / "images").mkdir(exist_ok=True)
    (board.user / "images" / "usb-boot-installed").unlink()
    board.clear_events()
    second = boot_text(board)
    expect_lines(second, ["Installing Kernel: ", "Image has same version as existing image. Skipping update...",
                      "ERROR: No valid image found", "No valid image found on USB"])
    assert image.read_bytes() == board.flash("kernel", 0, image.stat().st_size)


def test_component_longer_than_the_file_is_refused_before_allocation(board, tmp_path):
    image = put_on_stick(board, tmp_path, [kernel(tmp_path)])
    data = bytearray(image.read_bytes())
    data[4:8] = (0x7FFFFFF0).to_bytes(4, "big")  # len far beyond the file
    image.write_bytes(bytes(data))
    out = boot_text(board)
    expect_lines(out, ["Image component at offset 0 refused: "])
    assert "Failed to allocate" not in out
    assert "installed from USB" not in installed_log(board)


def test_serial_transfer_padding_does_not_fail_a_good_file(board, tmp_path):
    image = put_on_stick(board, tmp_path, [kernel(tmp_path)])
    image.write_bytes(image.read_bytes() + b"\x1a" * 1000)
    out = boot_text(board)
    assert "installed from USB" in installed_log(board), out
    assert "refused" not in out


def test_bad_crc_in_the_second_component_keeps_the_first(board, tmp_path):
    image = put_on_stick(board, tmp_path, [kernel(tmp_path), {"type": "dft", "payload": b"D" * 100}])
    data = bytearray(image.read_bytes())
    data[-1] ^= 1
    image.write_bytes(bytes(data))
    out = boot_text(board)
    expect_lines(out, ["Installing Kernel: ", "Installing Device Tree: ", "Bad crc for DFT: 0x",
                   ", voiding download"])
    assert "installed from USB" not in installed_log(board)
    kernel_part = first_component(bytes(data))
    assert board.flash("kernel", 0, len(kernel_part)) == kernel_part
    assert board.flash("devicetree", 0, 16) == b"\xff" * 16
