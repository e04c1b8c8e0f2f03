"""imagetool from the command line: exit statuses, --help, the JSON form of
info, and images checked against an independent reading of the format
(Python's struct and zlib here, not the C++ readers).

The binary under test comes from the IMAGETOOL environment variable.
"""
import re
import json
import os
import struct
import subprocess
import zlib

import pytest

IMAGETOOL = os.path.abspath(os.environ.get("IMAGETOOL", "build/host/bin/imagetool"))

TYPES = {"app": 0x014C4144, "uboot": 0x024C4144, "kernel": 0x034C4144, "rfs": 0x044C4144,
         "dft": 0x054C4144, "diags": 0x064C4144, "velta": 0x084C4144}


def run(*args, cwd=None):
    return subprocess.run([IMAGETOOL, *map(str, args)], capture_output=True, cwd=cwd)


def image_crc(data):
    # The image CRC is the complement of the usual CRC-32 of bytes 4..end.
    return zlib.crc32(data[4:]) ^ 0xFFFFFFFF


def component(version, magic, ident, payload, records=b"", crc=None):
    """Lays out one component by hand."""
    if version == 1:
        body = struct.pack(">III", len(payload), magic, ident) + payload
    elif version == 2:
        body = struct.pack(">IIIHH", len(payload), magic | 0x80000000, ident, 0, 24) + \
            b"\0" * 4 + payload
    else:
        hl = 24 + len(records)
        body = struct.pack(">III", hl - 16 + len(payload), magic, ident) + b"HDR3" + \
            struct.pack(">HH", 0, hl) + records + payload
    data = b"\0\0\0\0" + body
    return struct.pack(">I", image_crc(data) if crc is None else crc) + data[4:]


def record(tag, body):
    return struct.pack(">HH", tag, 4 + len(body)) + body


def sig_record(sig):
    return record(3, struct.pack(">H", len(sig)) + sig)


def parse(data):
    """An independent walk of an image file: list of dicts."""
    out, off = [], 0
    while len(data) - off >= 24:
        crc, ln, magic, ident, w16 = struct.unpack_from(">IIIII", data, off)
        if w16 == 0x48445233:
            hl = struct.unpack_from(">H", data, off + 22)[0]
            total, version = ln + 16, 3
        elif magic & 0x80000000:
            hl = struct.unpack_from(">H", data, off + 18)[0]
            total, version = hl + ln, 2
        else:
            hl, total, version = 16, ln + 16, 1
        assert 16 <= hl <= total <= len(data) - off
        comp = data[off:off + total]
        recs, r = [], 24
        while version == 3 and r < hl:
            tag, rl = struct.unpack_from(">HH", comp, r)
            assert 4 <= rl and r + rl <= hl
            recs.append((tag, comp[r + 4:r + rl]))
            r += rl
        out.append(dict(offset=off, version=version, type=magic & 0x7FFFFFFF, id=ident,
                        header_length=hl, payload=comp[hl:], records=recs,
                        crc_ok=crc == image_crc(comp)))
        off += total
    return out


@pytest.fixture
def files(tmp_path):
    (tmp_path / "p1").write_bytes(bytes(range(256)) * 5)
    (tmp_path / "p2").write_bytes(os.urandom(3000))
    (tmp_path / "empty").write_bytes(b"")
    (tmp_path / "hdr3").write_bytes(b"HDR3" + b"\0" * 20)
    return tmp_path


# ---- exit statuses ------------------------------------------------------------

GOOD = component(3, TYPES["kernel"], 0x01000000, b"k" * 100)
BAD_CRC = component(3, TYPES["kernel"], 0x01000000, b"k" * 100, crc=0x12345678)
ZERO_V2 = struct.pack(">IIIHH", 0, 0, TYPES["dft"] | 0x80000000, 0, 0) + b"\0" * 12

EXIT_CASES = [
    # (name, args, files to write {name: bytes}, expected status)
    ("no verb", [], {}, 2),
    ("unknown verb", ["frobnicate"], {}, 2),
    ("create ok", ["create", "-o", "out", "--type", "kernel", "--payload", "p1"], {}, 0),
    ("create unknown type", ["create", "-o", "out", "--type", "bogus", "--payload", "p1"], {}, 2),
    ("create bad version", ["create", "-o", "out", "--type", "app", "--version", "1.2.3",
                            "--payload", "p1"], {}, 2),
    ("create header 4", ["create", "-o", "out", "--type", "app", "--header", "4",
                         "--payload", "p1"], {}, 2),
    ("create no type", ["create", "-o", "out", "--payload", "p1"], {}, 2),
    ("create no payload", ["create", "-o", "out", "--type", "app"], {}, 2),
    ("create no output", ["create", "--type", "app", "--payload", "p1"], {}, 2),
    ("create bad record", ["create", "-o", "out", "--type", "app", "--record", "3:xyz",
                           "--payload", "p1"], {}, 2),
    ("create missing payload file", ["create", "-o", "out", "--type", "app",
                                     "--payload", "nope"], {}, 1),
    ("create records on version 1", ["create", "-o", "out", "--type", "app", "--header", "1",
                                     "--alt-type", "diags", "--payload", "p1"], {}, 1),
    ("create version 1 payload starting HDR3", ["create", "-o", "out", "--type", "app",
                                                "--header", "1", "--payload", "hdr3"], {}, 1),
    ("create last component shorter than 24 bytes", ["create", "-o", "out", "--type", "app",
                                                     "--header", "1", "--payload", "empty"], {}, 1),
    ("create short component before a longer one", ["create", "-o", "out", "--type", "app",
                                                    "--header", "1", "--payload", "empty",
                                                    "--type", "app", "--payload", "p1"], {}, 0),
    ("info good", ["info", "img"], {"img": GOOD}, 0),
    ("info bad crc", ["info", "img"], {"img": GOOD + BAD_CRC}, 1),
    ("info truncated", ["info", "img"], {"img": GOOD[:-1]}, 1),
    ("info fewer than 24 bytes", ["info", "img"], {"img": GOOD[:23]}, 1),
    ("info empty file", ["info", "img"], {"img": b""}, 1),
    ("info header plus payload 0", ["info", "img"], {"img": GOOD + ZERO_V2 + GOOD}, 1),
    ("info missing file", ["info", "nope"], {}, 1),
    ("info no file", ["info"], {}, 2),
    ("info two files", ["info", "a", "b"], {}, 2),
    ("info unknown option", ["info", "img", "--yaml"], {"img": GOOD}, 2),
    ("extract ok", ["extract", "img", "--type", "kernel", "-o", "x"], {"img": GOOD}, 0),
    ("extract absent type", ["extract", "img", "--type", "rfs", "-o", "x"], {"img": GOOD}, 1),
    ("extract bad crc", ["extract", "img", "--type", "kernel", "-o", "x"], {"img": BAD_CRC}, 1),
    ("extract no type", ["extract", "img"], {"img": GOOD}, 2),
    ("sign no key", ["sign", "img"], {"img": GOOD}, 2),
    ("digest missing file", ["digest", "nope"], {}, 1),
    ("attach no signature", ["attach", "img"], {"img": GOOD}, 2),
    ("verify no key", ["verify", "img"], {"img": GOOD}, 2),
]


@pytest.mark.parametrize("name,args,content,status", EXIT_CASES, ids=[c[0] for c in EXIT_CASES])
def test_exit_status(files, name, args, content, status):
    for fname, data in content.items():
        (files / fname).write_bytes(data)
    r = run(*args, cwd=files)
    assert r.returncode == status, r.stderr.decode()
    if status != 0:
        assert r.stderr, "a failure must say why on standard error"
        if name.startswith("create"):
            assert not (files / "out").exists(), "a failed create must not leave an image"
    if name == "extract bad crc":
        assert not (files / "x").exists()
    assert sorted(p.name for p in files.iterdir() if p.name.startswith("out.")) == []


def test_create_over_its_own_payload_and_failed_create_keeps_old_image(files):
    p1 = (files / "p1").read_bytes()
    r = run("create", "-o", "p1", "--type", "app", "--payload", "p1", cwd=files)
    assert r.returncode == 0, r.stderr.decode()
    (c,) = parse((files / "p1").read_bytes())
    assert c["payload"] == p1 and c["crc_ok"]
    before = (files / "p1").read_bytes()
    r = run("create", "-o", "p1", "--type", "app", "--payload", "nope", cwd=files)
    assert r.returncode == 1
    assert (files / "p1").read_bytes() == before


@pytest.mark.parametrize("verb", ["create", "info", "extract", "sign", "digest", "attach",
                                  "verify"])
def test_help(verb):
    r = run(verb, "--help")
    assert r.returncode == 0
    assert r.stdout.startswith(b"usage: imagetool " + verb.encode())
    assert r.stderr == b""


# ---- create against an independent reader ------------------------------------------

def test_create_several_components(files):
    r = run("create", "-o", "img",
            "--type", "kernel", "--version", "1.2.3.4", "--payload", "p1",
            "--type", "7", "--header", "1", "--version", "0.0.0.9", "--payload", "p2",
            "--type", "rfs", "--header", "1", "--payload", "empty",
            "--type", "dft", "--header", "2", "--version", "0.1.0.0", "--payload", "empty",
            "--type", "app", "--version", "255.0.1.2", "--alt-type", "diags",
            "--record", "4:00112233", "--record", "3:0002abcd", "--payload", "p2",
            cwd=files)
    assert r.returncode == 0, r.stderr.decode()
    comps = parse((files / "img").read_bytes())
    p1, p2 = (files / "p1").read_bytes(), (files / "p2").read_bytes()
    expected = [
        (3, TYPES["kernel"], 0x01020304, p1, []),
        (1, 0x074C4144, 9, p2, []),
        (1, TYPES["rfs"], 0, b"", []),
        (2, TYPES["dft"], 0x00010000, b"", []),
        (3, TYPES["app"], 0xFF000102, p2,
         [(6, struct.pack(">I", TYPES["diags"])), (4, bytes.fromhex("00112233")),
          (3, bytes.fromhex("0002abcd"))]),
    ]
    assert len(comps) == len(expected)
    for c, (version, typ, ident, payload, recs) in zip(comps, expected):
        assert (c["version"], c["type"], c["id"], c["payload"], c["records"]) == \
            (version, typ, ident, payload, recs)
        assert c["crc_ok"]


# ---- info --json against images laid out by hand ----------------------------------

def test_info_json(files):
    sig_a, sig_b = b"\x11" * 256, b"\x22" * 128
    two_sigs = component(3, TYPES["kernel"], 0x0A0B0C0D, b"K" * 50,
                         records=sig_record(sig_a) + record(4, b"xx") + sig_record(sig_b))
    alt = component(3, TYPES["app"], 1, b"A" * 10, records=record(6, struct.pack(">I", TYPES["diags"])))
    v1 = component(1, 0x7F4C4144, 2, b"U" * 33)
    v2 = component(2, TYPES["dft"], 3, b"D" * 7)
    bad = component(3, TYPES["rfs"], 4, b"R" * 9, crc=0)
    img = two_sigs + alt + v1 + v2 + bad + b"tail"
    (files / "img").write_bytes(img)
    r = run("info", "img", "--json", cwd=files)
    assert r.returncode == 1  # the last component's CRC is bad
    doc = json.loads(r.stdout)
    assert doc["file"] == "img" and doc["size"] == len(img)
    assert doc["valid"] is False and doc["error"] is None and doc["trailing_bytes"] == 4
    comps = doc["components"]
    assert [c["offset"] for c in comps] == [c["offset"] for c in parse(img)]
    keys = {"index", "offset", "type", "type_name", "effective_type", "effective_type_name",
            "magic", "header_version", "header_length", "payload_offset", "payload_length",
            "total_length", "version", "lengths_ok", "crc", "crc_computed", "crc_ok", "records",
            "records_ok", "signed", "signature_length", "error"}
    for c in comps:
        assert keys <= set(c)
    k, a, u, d, b = comps
    assert (k["type_name"], k["header_version"], k["version"]) == ("KERNEL", 3, "10.11.12.13")
    assert k["signed"] and k["signature_length"] == 128  # the last signature counts
    assert [(x["tag"], x["length"]) for x in k["records"]] == [(3, 262), (4, 6), (3, 134)]
    assert k["header_length"] == 24 + 262 + 6 + 134 and k["payload_length"] == 50
    assert (a["type_name"], a["effective_type_name"]) == ("APPLICATION", "DIAGS")
    assert a["effective_type"] == "0x064c4144" and not a["signed"]
    assert (u["type_name"], u["type"], u["header_version"], u["total_length"]) == \
        (None, "0x7f4c4144", 1, 16 + 33)
    assert (d["header_version"], d["magic"], d["type"]) == (2, "0x854c4144", "0x054c4144")
    assert all(c["crc_ok"] for c in (k, a, u, d))
    assert b["crc_ok"] is False and b["crc"] == "0x00000000"
    assert b["crc_computed"] == "0x%08x" % image_crc(bad) and b["error"]


@pytest.mark.parametrize("name,data,reason", [
    ("v3 len below header", lambda: struct.pack(">IIII4sHH", 0, 4, TYPES["app"], 0, b"HDR3", 0, 24)
     + b"\0" * 8, "version-3 length"),
    ("v3 header length 20", lambda: struct.pack(">IIII4sHH", 0, 8, TYPES["app"], 0, b"HDR3", 0, 20)
     + b"\0" * 8, "below 24"),
    ("past the end", lambda: GOOD[:-5], "past the end"),
    ("record past header", lambda: component(3, TYPES["kernel"], 0, b"x" * 8,
                                               records=struct.pack(">HH", 4, 40) + b"\0" * 4),
     "past the header"),
    ("signature past record", lambda: component(3, TYPES["kernel"], 0, b"x" * 8,
                                                  records=record(3, struct.pack(">H", 9) + b"s" * 4)),
     "signature runs past"),
])
def test_info_reports_impossible_lengths(files, name, data, reason):
    (files / "img").write_bytes(data())
    r = run("info", "img", "--json", cwd=files)
    assert r.returncode == 1
    doc = json.loads(r.stdout)
    if doc["components"]:
        assert reason in (doc["components"][-1]["error"] or "")
    else:
        # No first component at all: the file is said not to be an image.
        assert doc["error"].startswith("not an image file") and reason in doc["error"]
    assert doc["valid"] is False


@pytest.mark.parametrize("data", [bytes(range(256)) * 12, b"\x7fELF" + b"\0" * 60, b"short"])
def test_info_says_what_is_not_an_image(files, data):
    (files / "img").write_bytes(data)
    r = run("info", "img", cwd=files)
    assert r.returncode == 1
    assert b"not an image file" in r.stderr
    assert b"component 0" not in r.stdout  # no bogus component described


def test_extract_to_stdout_and_file(files):
    p2 = (files / "p2").read_bytes()
    img = component(2, TYPES["uboot"], 0, b"u" * 64) + component(3, TYPES["app"], 5, p2)
    (files / "img").write_bytes(img)
    r = run("extract", "img", "--type", "app", cwd=files)
    assert r.returncode == 0 and r.stdout == p2
    r = run("extract", "img", "--type", "2", "-o", "u", cwd=files)
    assert r.returncode == 0 and (files / "u").read_bytes() == b"u" * 64
    r = run("extract", "img", "--type", "app", "-o", "img", cwd=files)  # over its own input
    assert r.returncode == 0 and (files / "img").read_bytes() == p2


def test_version_names_the_commit():
    r = run("--version")
    assert r.returncode == 0
    assert re.fullmatch(rb"imagetool \d+\.\d+\.\d+ \(commit [0-9a-f]{12}(-modified)?\)\n", r.stdout) or \
        r.stdout.endswith(b"(commit unknown)\n")


def test_keygen_and_getpub_give_what_the_build_takes(files):
    r = run("keygen", "-o", "k.pem", "--pub", "k.pub.pem", cwd=files)
    assert r.returncode == 0, r.stderr
    assert (files / "k.pem").stat().st_mode & 0o777 == 0o600
    pub = (files / "k.pub.pem").read_bytes()
    assert len(pub) == 451 and pub.startswith(b"-----BEGIN PUBLIC KEY-----\n")
    # OpenSSL agrees on the key: RSA-2048, exponent 65537, the same public half.
    text = subprocess.run(["openssl", "pkey", "-in", str(files / "k.pem"), "-noout", "-text"],
                          capture_output=True, check=True).stdout
    assert b"2048 bit" in text and b"publicExponent: 65537" in text
    again = run("getpub", "k.pem", cwd=files)
    assert again.returncode == 0 and again.stdout == pub and again.stderr == b""
    # A key is never overwritten.
    before = (files / "k.pem").read_bytes()
    r = run("keygen", "-o", "k.pem", cwd=files)
    assert r.returncode == 1 and b"never overwritten" in r.stderr
    assert (files / "k.pem").read_bytes() == before


def test_getpub_warns_about_a_key_the_switch_refuses(files):
    subprocess.run(["openssl", "genrsa", "-out", str(files / "small.pem"), "1024"],
                   capture_output=True, check=True)
    r = run("getpub", "small.pem", cwd=files)
    assert r.returncode == 0 and r.stdout.startswith(b"-----BEGIN PUBLIC KEY-----")
    assert b"the switch will refuse this key" in r.stderr
