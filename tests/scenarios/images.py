"""Building test images with imagetool, and application archives like the
demo board's, for scenario tests."""

from __future__ import annotations

import gzip
import io
import os
import subprocess
import tarfile
from pathlib import Path

# The demo board's own programs, so tests run exactly what the demo runs.
DEMO_SOURCES = Path(__file__).resolve().parents[2] / "tools" / "boardsim" / "demo"
DEMO_APP = (DEMO_SOURCES / "mp.elf.strip").read_text()
DIAG_APP = (DEMO_SOURCES / "mpdiag.elf.strip").read_text()


def imagetool() -> str:
    path = os.environ.get("IMAGETOOL")
    if not path:
        raise RuntimeError("IMAGETOOL is not set: run the tests through ctest")
    return path


def demo_dir() -> Path:
    path = os.environ.get("DEMO_DIR")
    if not path:
        raise RuntimeError("DEMO_DIR is not set: run the tests through ctest")
    return Path(path)


def tgz(files: dict[str, str | bytes]) -> bytes:
    """A gzip-compressed tar archive of {path: content}; scripts are executable."""
    raw = io.BytesIO()
    with tarfile.open(fileobj=raw, mode="w") as tar:
        for name, content in sorted(files.items()):
            data = content.encode() if isinstance(content, str) else content
            info = tarfile.TarInfo(name)
            info.size = len(data)
            info.mode = 0o755
            tar.addfile(info, io.BytesIO(data))
    return gzip.compress(raw.getvalue(), mtime=0)


def app_archive(slot: int | str, env: str | None = None, install: bool = True) -> bytes:
    """An application archive like the demo's; `env` replaces its env-setup."""
    files = {"home/bin/mp.elf.strip": DEMO_APP}
    if install:
        files["home/bin/install.sh"] = "#!/bin/sh\necho 'Demo install script ran'\n"
        files["home/bin/env-setup"] = env if env is not None else (
            f"DEMO_IMAGE {slot}\nDEMO_VERSION 1.0.0.{slot}\nDEMO_GREETING hello-{slot}\n")
    return tgz(files)


def diags_archive() -> bytes:
    return tgz({"mpdiag.elf.strip": DIAG_APP})


def create(out: Path, components: list[dict], tmp: Path) -> Path:
    """imagetool create: each component is {type, payload (bytes), and
    optionally version, header, alt_type, records [(tag, hex)]}."""
    args = [imagetool(), "create", "-o", str(out)]
    for i, c in enumerate(components):
        payload = tmp / f"{out.name}.payload{i}"
        payload.write_bytes(c["payload"])
        args += ["--type", str(c["type"])]
        if "version" in c:
            args += ["--version", c["version"]]
        if "header" in c:
            args += ["--header", str(c["header"])]
        if "alt_type" in c:
            args += ["--alt-type", str(c["alt_type"])]
        for tag, hexdata in c.get("records", []):
            args += ["--record", f"{tag}:{hexdata}"]
        args += ["--payload", str(payload)]
    subprocess.run(args, check=True, capture_output=True)
    return out


def corrupt(path: Path, offset: int = -1) -> None:
    """Flips one bit of a byte of the file (by default the last one)."""
    data = bytearray(path.read_bytes())
    data[offset] ^= 0x01
    path.write_bytes(bytes(data))


def keys_dir() -> Path:
    return Path(os.environ["TEST_KEYS"])


def openssl_sign(payload: bytes, private_key: Path, tmp: Path) -> bytes:
    """RSA PKCS #1 v1.5 signature over the SHA-256 of payload, made by OpenSSL."""
    data = tmp / "to-sign.bin"
    data.write_bytes(payload)
    return subprocess.run(["openssl", "dgst", "-sha256", "-sign", str(private_key), str(data)],
                          check=True, capture_output=True).stdout


def signature_record(signature: bytes) -> tuple[int, str]:
    """A tag-3 record (for create's records) holding the signature."""
    return (3, (len(signature).to_bytes(2, "big") + signature).hex())
