"""The Debian package of the host tools: built with CPack from this build,
extracted into a scratch root (dpkg-deb -x, no root needed), and the tools
run from there: --version, every --help, the manual pages (every option a
help text names is in the page), and a demo board booted with the packaged
bootmgr and demo images. Run by CTest with CPACK and CPACK_CONFIG set."""

import gzip
import os
import re
import shutil
import subprocess

import pytest

if not shutil.which("dpkg-deb"):
    pytest.skip("dpkg-deb is missing (Debian package dpkg): the package cannot be unpacked",
                allow_module_level=True)


@pytest.fixture(scope="module")
def root(tmp_path_factory):
    work = tmp_path_factory.mktemp("package")
    cpack = os.environ.get("CPACK", "cpack")
    proc = subprocess.run([cpack, "-G", "DEB", "--config", os.environ["CPACK_CONFIG"], "-B", str(work)],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    (deb,) = work.glob("*.deb")
    info = subprocess.run(["dpkg-deb", "-f", str(deb), "Package", "Depends"], capture_output=True, text=True,
                          check=True).stdout
    assert "Package: bootmgr-host-tools" in info and "bubblewrap" in info
    scratch = work / "root"
    subprocess.run(["dpkg-deb", "-x", str(deb), str(scratch)], check=True)
    return scratch


def run(root, tool, *args, check=True):
    return subprocess.run([str(root / "usr/bin" / tool), *args], capture_output=True, text=True, timeout=120,
                          check=check)


def verbs(root, tool):
    help_text = run(root, tool, "--help").stdout
    section = re.split(r"^verbs:\s*$", help_text, flags=re.I | re.M)[1]
    return re.findall(r"^  ([a-z][a-z0-9-]*)\b", section, re.M)


def man_text(root, tool):
    page = gzip.decompress((root / "usr/share/man/man1" / f"{tool}.1.gz").read_bytes()).decode()
    return page.replace("\\-", "-").replace("\\e", "\\").replace("\\&", "")


@pytest.mark.parametrize("tool", ["imagetool", "boardsim"])
def test_version(root, tool):
    out = run(root, tool, "--version").stdout
    assert re.match(rf"^{tool} \d+\.\d+\.\d+ \(commit ([0-9a-f]+(-modified)?|unknown)\)$", out.strip()), out


@pytest.mark.parametrize("tool", ["imagetool", "boardsim"])
def test_help_and_manual_page(root, tool):
    page = man_text(root, tool)
    assert page.startswith(".\\\"") and f".TH {tool.upper()} 1" in page
    found = verbs(root, tool)
    assert len(found) >= 8, found
    texts = [run(root, tool, "--help").stdout] + [run(root, tool, v, "--help").stdout for v in found]
    for verb in found:
        assert f".SS {verb}\n" in page, f"{verb} has no section in {tool}(1)"
    for text in texts:
        assert text.startswith("usage: ")
        for option in set(re.findall(r"(?<![\w-])(--?[A-Za-z][\w-]*)", text)):
            assert option in page, f"{option} of {tool}'s help is missing from {tool}(1)"


def test_the_manual_pages_render(root):
    if not shutil.which("man"):
        pytest.skip("man is missing")
    for tool in ["imagetool", "boardsim"]:
        out = subprocess.run(["man", "-l", str(root / "usr/share/man/man1" / f"{tool}.1.gz")], capture_output=True,
                             text=True, env={**os.environ, "MANWIDTH": "100", "MAN_KEEP_FORMATTING": ""})
        assert out.returncode == 0 and "SYNOPSIS" in out.stdout and "warning" not in out.stderr, out.stderr


def test_the_packaged_boardsim_boots_the_packaged_demo(root, tmp_path):
    board = tmp_path / "board"
    run(root, "boardsim", "new", str(board), "--demo")
    assert (board / "user/images/image1").read_bytes() == (root / "usr/share/bootmgr/demo/image1.img").read_bytes()
    run(root, "boardsim", "env", str(board), "set", "gdb=off")
    proc = run(root, "boardsim", "boot", str(board), "--max-boots", "1", "--fast", "--timeout", "60", check=False)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Demo application of image 1" in proc.stdout
    info = run(root, "imagetool", "info", str(board / "user/images/image1")).stdout
    assert "APPLICATION" in info
