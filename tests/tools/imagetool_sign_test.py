"""imagetool sign, digest, attach and verify from the command line.

Signatures are checked independently of the tool: Python's `cryptography`
verifies what `sign` and `attach` wrote, signs the images that `verify` is
given, and the `openssl` command signs digests for the two-step flows. The
image bytes are read with the independent walker of imagetool_test.py.
"""
import hashlib
import os
import struct
import subprocess
from pathlib import Path

import pytest
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

from imagetool_test import TYPES, component, image_crc, parse, record, run, sig_record

KEYS = Path(os.environ.get("TEST_KEYS", Path(__file__).resolve().parents[2] / "keys" / "test"))
# 451-character keys with e = 3 and e = 1 written as 00 00 03 and 00 00 01
# (tests/vectors/README.md).
CRAFTED = Path(__file__).resolve().parents[1] / "vectors" / "keys"
PROD, PROD_PUB = KEYS / "production_key.pem", KEYS / "production_key.pub.pem"
DEV, DEV_PUB = KEYS / "development_key.pem", KEYS / "development_key.pub.pem"


def private(path):
    return serialization.load_pem_private_key(Path(path).read_bytes(), password=None)


def rsa_sign(key_path, data, algorithm=None):
    return private(key_path).sign(data, padding.PKCS1v15(), algorithm or hashes.SHA256())


def signature_ok(pub_path, signature, payload):
    key = serialization.load_pem_public_key(Path(pub_path).read_bytes())
    try:
        key.verify(signature, payload, padding.PKCS1v15(), hashes.SHA256())
        return True
    except InvalidSignature:
        return False


def signatures(comp):
    return [body[2:2 + struct.unpack(">H", body[:2])[0]] for tag, body in comp["records"] if tag == 3]


@pytest.fixture
def work(tmp_path):
    # A 1024-bit key: its signatures have the wrong length for the test keys.
    short = rsa.generate_private_key(public_exponent=65537, key_size=1024)
    (tmp_path / "short.pem").write_bytes(short.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    (tmp_path / "short.pub.pem").write_bytes(short.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    return tmp_path


ALT_RFS = record(6, struct.pack(">I", TYPES["diags"])) + record(4, b"\x01\x02\x03")
MIXED = (component(3, TYPES["kernel"], 0x01000002, os.urandom(3000)) +
         component(1, TYPES["uboot"], 7, b"u" * 300) +
         component(3, TYPES["rfs"], 0x01000003, os.urandom(5000), records=ALT_RFS) +
         b"tail")


# ---- round trips: every way of signing, checked by verify and by cryptography ------

def flow_sign(work, img, index):
    return run("sign", img, "--key", PROD, "--component", index, cwd=work)


def flow_digest_binary(work, img, index):
    r = run("digest", img, "--component", index, "--binary", "-o", "d.bin", cwd=work)
    assert r.returncode == 0, r.stderr.decode()
    subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", PROD, "-pkeyopt", "digest:sha256",
                    "-in", "d.bin", "-out", "s.bin"], cwd=work, check=True)
    return run("attach", img, "--component", index, "--signature", "s.bin", "--key", PROD_PUB, cwd=work)


def flow_digestinfo(work, img, index):
    r = run("digest", img, "--component", index, "--digestinfo", "-o", "d.der", cwd=work)
    assert r.returncode == 0, r.stderr.decode()
    subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", PROD, "-in", "d.der", "-out", "s.bin"],
                   cwd=work, check=True)
    return run("attach", img, "--component", index, "--signature", "s.bin", "--key", PROD_PUB, cwd=work)


def flow_openssl_dgst(work, img, index):
    comp = parse((work / img).read_bytes())[index]
    (work / "payload").write_bytes(comp["payload"])
    subprocess.run(["openssl", "dgst", "-sha256", "-sign", PROD, "-out", "s.bin", "payload"],
                   cwd=work, check=True)
    return run("attach", img, "--component", index, "--signature", "s.bin", "--key", PROD_PUB, cwd=work)


@pytest.mark.parametrize("flow", [flow_sign, flow_digest_binary, flow_digestinfo, flow_openssl_dgst],
                         ids=lambda f: f.__name__)
def test_round_trip(work, flow):
    (work / "img").write_bytes(MIXED)
    before = parse(MIXED)
    for index in (0, 2):
        r = flow(work, "img", index)
        assert r.returncode == 0, r.stderr.decode()
    data = (work / "img").read_bytes()
    after = parse(data)
    assert data.endswith(b"tail") and len(after) == 3
    assert data[after[1]["offset"]:after[2]["offset"]] == MIXED[before[1]["offset"]:before[2]["offset"]]
    for b, a in zip(before, after):
        assert a["crc_ok"] and a["payload"] == b["payload"] and (a["type"], a["id"]) == (b["type"], b["id"])
    for index in (0, 2):
        sigs = signatures(after[index])
        assert len(sigs) == 1 and len(sigs[0]) == 256
        assert signature_ok(PROD_PUB, sigs[0], after[index]["payload"])
        # The other records keep their order and sit before the signature.
        assert after[index]["records"][:-1] == before[index]["records"]
        assert after[index]["records"][-1][0] == 3
    r = run("verify", "img", "--key", PROD_PUB, "--component", 0, "--component", 2, cwd=work)
    assert r.returncode == 0, r.stdout.decode() + r.stderr.decode()
    assert r.stdout.decode().count("verified with %s" % PROD_PUB) == 2


def test_sign_without_selection_signs_every_version_3_component(work):
    (work / "img").write_bytes(MIXED)
    r = run("sign", "img", "--key", DEV, "-o", "out", cwd=work)
    assert r.returncode == 0, r.stderr.decode()
    assert (work / "img").read_bytes() == MIXED  # -o leaves the input alone
    comps = parse((work / "out").read_bytes())
    assert [len(signatures(c)) for c in comps] == [1, 0, 1]
    r = run("verify", "out", "--key", PROD_PUB, "--key", DEV_PUB, cwd=work)
    assert r.returncode == 1  # the version-1 component cannot be signed
    lines = r.stdout.decode().splitlines()
    assert lines[0] == "component 0 (KERNEL): verified with %s" % DEV_PUB
    assert lines[1].startswith("component 1 (UBOOT): FAILED: no HDR3 header")
    assert lines[2] == "component 2 (RFS): verified with %s" % DEV_PUB


# ---- verify: one verdict per kind of fault ---------------------------------------

PAYLOAD = b"signed payload " * 100


def v3(records=b"", payload=PAYLOAD, crc=None):
    return component(3, TYPES["kernel"], 1, payload, records=records, crc=crc)


def good_sig(key=PROD, data=PAYLOAD):
    return rsa_sign(key, data)


VERIFY_CASES = [
    # (name, image, keys, exit status, expected text in the line)
    ("production signature", lambda: v3(sig_record(good_sig())), [PROD_PUB], 0,
     "verified with %s" % PROD_PUB),
    ("second key verifies", lambda: v3(sig_record(good_sig(DEV))), [PROD_PUB, DEV_PUB], 0,
     "verified with %s" % DEV_PUB),
    ("wrong key", lambda: v3(sig_record(good_sig(DEV))), [PROD_PUB], 1, "wrong key"),
    ("tampered payload, CRC fixed up", lambda: v3(sig_record(good_sig()), payload=PAYLOAD[:-1] + b"X"),
     [PROD_PUB], 1, "digest mismatch: the signature was made with %s" % PROD_PUB),
    ("signature over SHA-1", lambda: v3(sig_record(rsa_sign(PROD, PAYLOAD, hashes.SHA1()))),
     [PROD_PUB], 1, "digest mismatch"),
    ("truncated signature", lambda: v3(sig_record(good_sig()[:-1])), [PROD_PUB], 1,
     "wrong length: the signature is 255 bytes, the key needs 256 bytes"),
    ("no signature record", lambda: v3(record(4, b"xy")), [PROD_PUB], 1, "no signature record"),
    ("version 1", lambda: component(1, TYPES["kernel"], 1, PAYLOAD), [PROD_PUB], 1,
     "no HDR3 header: a version-1 header"),
    ("version 2", lambda: component(2, TYPES["kernel"], 1, PAYLOAD), [PROD_PUB], 1,
     "no HDR3 header: a version-2 header"),
    ("last of two records good", lambda: v3(sig_record(good_sig(DEV)) + sig_record(good_sig())),
     [PROD_PUB], 0, "verified"),
    ("last of two records bad", lambda: v3(sig_record(good_sig()) + sig_record(good_sig(DEV))),
     [PROD_PUB], 1, "wrong key"),
    ("bad CRC", lambda: v3(sig_record(good_sig()), crc=0x1234), [PROD_PUB], 1, "CRC does not match"),
    ("signature runs past its record",
     lambda: v3(record(3, struct.pack(">H", 300) + good_sig()[:200])), [PROD_PUB], 1,
     "signature record is malformed"),
]


@pytest.mark.parametrize("name,image,keys,status,text", VERIFY_CASES, ids=[c[0] for c in VERIFY_CASES])
def test_verify_verdicts(work, name, image, keys, status, text):
    (work / "img").write_bytes(image())
    args = ["verify", "img"]
    for k in keys:
        args += ["--key", k]
    r = run(*args, cwd=work)
    out = r.stdout.decode()
    assert r.returncode == status, out + r.stderr.decode()
    assert out.startswith("component 0 (KERNEL): ") and text in out, out
    assert (status == 0) == (b"FAILED" not in r.stdout)
    assert (status == 0) == (r.stderr == b"")


def test_verify_wrong_length_names_every_key_size(work):
    (work / "img").write_bytes(v3(sig_record(good_sig()[:128])))
    r = run("verify", "img", "--key", PROD_PUB, "--key", "short.pub.pem", cwd=work)
    assert r.returncode == 1
    assert "wrong key" in r.stdout.decode()  # 128 bytes fits the short key, which does not verify
    (work / "img").write_bytes(v3(sig_record(good_sig()[:100])))
    r = run("verify", "img", "--key", PROD_PUB, "--key", "short.pub.pem", "--key", DEV_PUB, cwd=work)
    assert "the signature is 100 bytes, the keys need 256 or 128 bytes" in r.stdout.decode()


# ---- sign: what it refuses and what it keeps ----------------------------------------

K = ["--key", PROD]
SIGN_REFUSALS = [
    # (name, image, arguments after the file, exit status, text on standard error)
    ("version-1 component named", lambda: MIXED, K + ["--component", "1"], 1, "version-1 header"),
    ("version-1 type named", lambda: MIXED, K + ["--type", "uboot"], 1, "version-1 header"),
    ("absent type", lambda: MIXED, K + ["--type", "dft"], 1, "no component of type dft"),
    ("index out of range", lambda: MIXED, K + ["--component", "3"], 1, "no component 3"),
    ("no version-3 component", lambda: component(1, TYPES["app"], 0, b"a" * 40), K, 1,
     "no version-3 component"),
    ("bad CRC", lambda: v3(crc=7), K, 1, "CRC does not match"),
    ("zero-length record", lambda: v3(struct.pack(">HH", 4, 0) + b"\0" * 4), K, 1, "malformed"),
    ("impossible lengths", lambda: v3()[:-3], K, 1, "past the end"),
    ("public key given", lambda: MIXED, ["--key", PROD_PUB], 1, "no PEM private key"),
    ("no key", lambda: MIXED, [], 2, "exactly one --key"),
    ("two keys", lambda: MIXED, K + K, 2, "exactly one --key"),
    ("unknown option", lambda: MIXED, K + ["--frob"], 2, "unknown option"),
    ("bad index", lambda: MIXED, K + ["--component", "x"], 2, "not a number"),
]


@pytest.mark.parametrize("name,image,args,status,text", SIGN_REFUSALS, ids=[c[0] for c in SIGN_REFUSALS])
def test_sign_refusals_leave_the_file_alone(work, name, image, args, status, text):
    data = image()
    (work / "img").write_bytes(data)
    r = run("sign", "img", *args, cwd=work)
    assert r.returncode == status
    assert text in r.stderr.decode()
    assert r.stdout == b""
    assert (work / "img").read_bytes() == data
    assert sorted(p.name for p in work.iterdir()) == ["img", "short.pem", "short.pub.pem"]


@pytest.fixture(scope="module")
def e3_keys(tmp_path_factory):
    """A genuine RSA-2048 key pair with the public exponent 3."""
    d = tmp_path_factory.mktemp("e3")
    key = rsa.generate_private_key(public_exponent=3, key_size=2048)
    (d / "e3.pem").write_bytes(key.private_bytes(
        serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8, serialization.NoEncryption()))
    (d / "e3.pub.pem").write_bytes(key.public_key().public_bytes(
        serialization.Encoding.PEM, serialization.PublicFormat.SubjectPublicKeyInfo))
    return d


E3_REFUSED = "has the public exponent 3, which the boot manager refuses: below 65537 or even"
KEY_REFUSALS = [
    # (name, key file, extra arguments, text on standard error)
    ("RSA-1024", lambda w, k: w / "short.pem", [],
     "short.pem is an RSA-1024 key with the public exponent 65537, but the switch accepts only RSA-2048 keys "
     "with the exponent 65537 (--allow-any-key signs all the same)"),
    ("exponent 3", lambda w, k: k / "e3.pem", [], E3_REFUSED),
    ("exponent 3, any key allowed", lambda w, k: k / "e3.pem", ["--allow-any-key"], E3_REFUSED),
]


@pytest.mark.parametrize("name,key,extra,text", KEY_REFUSALS, ids=[c[0] for c in KEY_REFUSALS])
def test_sign_refuses_keys_the_switch_cannot_use(work, e3_keys, name, key, extra, text):
    data = v3()
    (work / "img").write_bytes(data)
    r = run("sign", "img", "--key", key(work, e3_keys), *extra, cwd=work)
    assert r.returncode == 1
    assert text in r.stderr.decode()
    assert r.stdout == b""
    assert (work / "img").read_bytes() == data


def test_sign_with_any_key_allowed_warns_that_the_switch_refuses_it(work):
    (work / "img").write_bytes(v3())
    r = run("sign", "img", "--key", "short.pem", "--allow-any-key", cwd=work)
    assert r.returncode == 0, r.stderr.decode()
    assert r.stderr.decode() == ("imagetool sign: warning: short.pem is an RSA-1024 key with the public exponent "
                                 "65537; the switch will refuse images signed with it\n")
    (c,) = parse((work / "img").read_bytes())
    assert signature_ok(work / "short.pub.pem", signatures(c)[0], PAYLOAD)


VERIFY_KEY_REFUSALS = [
    # (name, public key file, private key that signs the image or None, text on standard error)
    ("exponent 3, genuine signature", lambda k: k / "e3.pub.pem", lambda k: k / "e3.pem", E3_REFUSED),
    ("exponent 3 written as 00 00 03", lambda k: CRAFTED / "rsa2048_e3_padded.pub.pem", None, E3_REFUSED),
    ("exponent 1 written as 00 00 01", lambda k: CRAFTED / "rsa2048_e1_padded.pub.pem", None,
     "has the public exponent 1, which the boot manager refuses"),
]


@pytest.mark.parametrize("verb", ["verify", "attach"])
@pytest.mark.parametrize("name,pub,signer,text", VERIFY_KEY_REFUSALS, ids=[c[0] for c in VERIFY_KEY_REFUSALS])
def test_keys_with_small_exponents_are_refused(work, e3_keys, verb, name, pub, signer, text):
    sig = rsa_sign(signer(e3_keys), PAYLOAD) if signer else b"\x01" * 256
    data = v3(sig_record(sig)) if verb == "verify" else v3()
    (work / "img").write_bytes(data)
    (work / "s.bin").write_bytes(sig)
    extra = ["--signature", "s.bin"] if verb == "attach" else []
    r = run(verb, "img", "--key", pub(e3_keys), *extra, cwd=work)
    assert r.returncode == 1
    assert text in r.stderr.decode()
    assert r.stdout == b""
    assert (work / "img").read_bytes() == data


def test_sign_replaces_old_signatures_and_keeps_header_bytes(work):
    # Two old signature records, a v2 flag in the magic and bytes 20-21 set:
    # signing keeps the word and the bytes and leaves one signature record.
    comp = bytearray(v3(sig_record(b"\x11" * 256) + record(4, b"keep") + sig_record(b"\x22" * 8)))
    comp[8] |= 0x80
    comp[20:22] = b"\xab\xcd"
    struct.pack_into(">I", comp, 0, image_crc(bytes(comp)))
    (work / "img").write_bytes(bytes(comp))
    r = run("sign", "img", "--key", DEV, cwd=work)
    assert r.returncode == 0, r.stderr.decode()
    assert "replaced the old signature" in r.stdout.decode()
    data = (work / "img").read_bytes()
    (c,) = parse(data)
    assert c["crc_ok"] and c["payload"] == PAYLOAD
    assert [t for t, _ in c["records"]] == [4, 3] and c["records"][0][1] == b"keep"
    assert data[8:12] == bytes(comp[8:12]) and data[20:22] == b"\xab\xcd"
    assert signature_ok(DEV_PUB, signatures(c)[0], PAYLOAD)
    # Signing again with another key leaves only the new signature.
    assert run("sign", "img", "--key", PROD, cwd=work).returncode == 0
    assert run("verify", "img", "--key", DEV_PUB, cwd=work).returncode == 1
    assert run("verify", "img", "--key", PROD_PUB, cwd=work).returncode == 0
    assert len(signatures(parse((work / "img").read_bytes())[0])) == 1


# ---- attach ----------------------------------------------------------------------------

ATTACH_CASES = [
    # (name, signature maker, extra arguments, exit status, text on standard error)
    ("good", lambda w: good_sig(), ["--component", "0"], 0, ""),
    ("only version-3 component chosen by default", lambda w: good_sig(), [], 0, ""),
    ("one byte short", lambda w: good_sig()[:-1], [], 1, "is 255 bytes, but signatures of"),
    ("key of another length", lambda w: rsa_sign(w / "short.pem", PAYLOAD), [], 1, "is 128 bytes"),
    ("other key", lambda w: good_sig(DEV), [], 1, "wrong key"),
    ("other data", lambda w: good_sig(data=b"other"), [], 1, "digest mismatch"),
    ("version-1 component", lambda w: good_sig(), ["--component", "1"], 1, "version-1 header"),
    ("no signature file", None, [], 2, "no --signature"),
]


@pytest.mark.parametrize("name,make,extra,status,text", ATTACH_CASES, ids=[c[0] for c in ATTACH_CASES])
def test_attach(work, name, make, extra, status, text):
    data = v3() + component(1, TYPES["uboot"], 0, b"u" * 40)
    (work / "img").write_bytes(data)
    args = ["attach", "img", "--key", PROD_PUB] + extra
    if make:
        (work / "s.bin").write_bytes(make(work))
        args += ["--signature", "s.bin"]
    r = run(*args, cwd=work)
    assert r.returncode == status, r.stderr.decode()
    assert text in r.stderr.decode()
    if status:
        assert (work / "img").read_bytes() == data
    else:
        assert run("verify", "img", "--key", PROD_PUB, "--component", 0, cwd=work).returncode == 0


def test_attach_needs_a_choice_between_several_components(work):
    (work / "img").write_bytes(MIXED)
    (work / "s.bin").write_bytes(good_sig())
    r = run("attach", "img", "--signature", "s.bin", "--key", PROD_PUB, cwd=work)
    assert r.returncode == 2 and b"--component" in r.stderr


# ---- digest ----------------------------------------------------------------------------

def test_digest_text_binary_and_digestinfo(work):
    (work / "img").write_bytes(MIXED)
    comps = parse(MIXED)
    r = run("digest", "img", cwd=work)
    assert r.returncode == 0, r.stderr.decode()
    assert r.stdout.decode() == "0 kernel %s\n2 rfs %s\n" % (
        hashlib.sha256(comps[0]["payload"]).hexdigest(), hashlib.sha256(comps[2]["payload"]).hexdigest())
    r = run("digest", "img", "--type", "rfs", "--binary", cwd=work)
    assert r.returncode == 0 and r.stdout == hashlib.sha256(comps[2]["payload"]).digest()
    r = run("digest", "img", "--component", "0", "--digestinfo", "-o", "di", cwd=work)
    assert r.returncode == 0
    assert (work / "di").read_bytes() == bytes.fromhex("3031300d060960864801650304020105000420") + \
        hashlib.sha256(comps[0]["payload"]).digest()


@pytest.mark.parametrize("args,status", [
    (["--binary"], 2),                          # two components, one digest file
    (["--binary", "--digestinfo", "--component", "0"], 2),
    (["--component", "1"], 1),                  # version 1: nothing to sign
    (["--type", "velta"], 1),
], ids=["binary of two", "both forms", "version 1", "absent type"])
def test_digest_refusals(work, args, status):
    (work / "img").write_bytes(MIXED)
    r = run("digest", "img", *args, cwd=work)
    assert r.returncode == status and r.stderr and r.stdout == b""


def test_main_help_lists_the_signing_verbs():
    r = run("--help")
    assert r.returncode == 0 and b"not available" not in r.stdout
    for verb in (b"sign", b"digest", b"attach", b"verify"):
        assert b"\n  " + verb + b" " in r.stdout
