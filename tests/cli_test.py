#!/usr/bin/python3
"""Drives the tessella tool as a user would: files in, files out, exit codes, messages, JSON.

Usage: cli_test.py PATH_TO_TESSELLA

Wire formats are parsed here independently of the tool, key derivations and blind-index tokens
are recomputed with the standard library, and Ed25519 signatures are checked with the
`cryptography` package when it is installed. Ends with the line "N passed, M failed".
"""

import hashlib
import hmac
import json
import os
import stat
import subprocess
import sys
import tempfile
import traceback

try:
    from cryptography.exceptions import InvalidSignature
    from cryptography.hazmat.primitives.asymmetric.ed25519 import (Ed25519PrivateKey,
                                                                   Ed25519PublicKey)
    from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat
    HAVE_CRYPTOGRAPHY = True
except ImportError:  # the signature checks are skipped, everything else runs
    HAVE_CRYPTOGRAPHY = False

TOOL = None
WORK = None
passed = 0
failed = 0

# Texts the library gives its errors.
CAP_INVALID = "capability required or invalid"
POLICY = "policy violation"
AEAD = "aead tag mismatch"
KEY_UNAVAILABLE = "key unavailable"
SIGNATURE = "signature verification failed"


# --- checking -------------------------------------------------------------------------------

def check(name, ok, detail=""):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print(f"FAIL {name}" + (f": {detail}" if detail else ""))
    return ok


def eq(name, got, want):
    return check(name, got == want, f"got {got!r}, want {want!r}")


class Run:
    def __init__(self, args, proc):
        self.args = args
        self.rc = proc.returncode
        self.out = proc.stdout
        self.err = proc.stderr.decode("utf-8", "replace")

    @property
    def text(self):
        return self.out.decode("utf-8", "replace")

    def json(self):
        return json.loads(self.out)

    def __repr__(self):
        return f"{' '.join(self.args)} -> rc {self.rc}, stderr {self.err[:300]!r}"


def tool(*args, stdin=b""):
    args = [str(a) for a in args]
    proc = subprocess.run(TOOL + args, input=stdin, capture_output=True, cwd=WORK, timeout=120)
    return Run(args, proc)


def ok_json(name, *args, stdin=b""):
    """Runs a command with --json that must succeed and returns its JSON object."""
    r = tool(*args, "--json", stdin=stdin)
    if not check(f"{name}: exit 0", r.rc == 0, repr(r)):
        return {}
    try:
        return r.json()
    except ValueError as e:
        check(f"{name}: one JSON object", False, f"{e}: {r.text[:200]!r}")
        return {}


def expect_failure(name, args, message, kind=None, stdin=b""):
    """The command exits 1 with the message on stderr; with --json it also prints the error
    object with the kind."""
    r = tool(*args, stdin=stdin)
    check(f"{name}: exit 1", r.rc == 1, repr(r))
    check(f"{name}: message", message in r.err, f"{message!r} not in {r.err!r}")
    check(f"{name}: nothing on stdout", r.out == b"", repr(r.out[:100]))
    if kind is not None:
        rj = tool(*args, "--json", stdin=stdin)
        check(f"{name} --json: exit 1", rj.rc == 1, repr(rj))
        try:
            obj = rj.json()
            eq(f"{name} --json: error", obj.get("error"), message)
            eq(f"{name} --json: kind", obj.get("kind"), kind)
        except ValueError:
            check(f"{name} --json: JSON error object", False, rj.text)


def expect_usage(name, args, message):
    r = tool(*args)
    check(f"usage {name}: exit 2", r.rc == 2, repr(r))
    check(f"usage {name}: message", message in r.err, f"{message!r} not in {r.err!r}")
    check(f"usage {name}: help shown", "Usage:" in r.err, r.err[:200])


# --- files, formats and independent computations --------------------------------------------

def path(name):
    return os.path.join(WORK, name)


def write(name, data):
    with open(path(name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode())
    return name


def read(name):
    with open(path(name), "rb") as f:
        return f.read()


def parse_frame(b):
    p = int.from_bytes(b[128:130], "big")
    m = int.from_bytes(b[130:132], "big")
    n = int.from_bytes(b[132:136], "big")
    e = 136 + p + m + n
    return {
        "version": b[0], "alg": b[1], "hdr2": b[2], "hdr3": b[3],
        "nonce": b[4:16], "ts": b[16:32], "author": b[32:64], "owner": b[64:96],
        "prev_cid": b[96:128], "pol": b[136:136 + p], "meta": b[136 + p:136 + p + m],
        "ct": b[136 + p + m:e], "tag": b[e:e + 16], "sig": b[e + 16:e + 80], "size": e + 80,
    }


def parse_token(b):
    return {
        "scope_cid": b[0:32], "rights": int.from_bytes(b[32:36], "little"),
        "exp_ts": int.from_bytes(b[36:44], "little"), "holder_pub": b[44:76],
        "issuer_pub": b[76:108], "sig_len": int.from_bytes(b[108:116], "little"),
        "signature": b[116:180],
    }


def hkdf_sha256(salt, ikm, info):
    prk = hmac.new(salt, ikm, "sha256").digest()
    return hmac.new(prk, info + b"\x01", "sha256").digest()


def restore(phrase):
    """The data key and signing seed of a phrase: BIP-39 seed, then HKDF-SHA-256."""
    seed = hashlib.pbkdf2_hmac("sha512", phrase.encode(), b"mnemonic", 2048)
    return (hkdf_sha256(b"tessella_v1", seed, b"encryption"),
            hkdf_sha256(b"tessella_v1", seed, b"signing"))


def public_key(seed):
    key = Ed25519PrivateKey.from_private_bytes(seed).public_key()
    return key.public_bytes(Encoding.Raw, PublicFormat.Raw)


def signature_holds(pub, message, sig):
    try:
        Ed25519PublicKey.from_public_bytes(pub).verify(sig, message)
        return True
    except InvalidSignature:
        return False


def flip(data, offset):
    b = bytearray(data)
    b[offset] ^= 0x01
    return bytes(b)


# --- scenarios --------------------------------------------------------------------------------

class Party:
    """A key holder made with `keys new`: phrase, data key file, seed file, public key."""

    def __init__(self, name, words=12):
        obj = ok_json(f"keys new {name}", "keys", "new", "--words", words,
                      "--key-out", f"{name}.key", "--signing-seed-out", f"{name}.seed")
        self.name = name
        self.phrase = obj.get("phrase", "")
        self.pub_hex = obj.get("public_key", "")
        self.key = f"{name}.key"
        self.seed = f"{name}.seed"


def test_keys():
    a = Party("alice")
    words = a.phrase.split(" ")
    eq("keys new: 12 words", len(words), 12)
    eq("keys new: key file 32 bytes", len(read(a.key)), 32)
    eq("keys new: seed file 32 bytes", len(read(a.seed)), 32)
    for f in (a.key, a.seed):
        eq(f"keys new: {f} owner-only", stat.S_IMODE(os.stat(path(f)).st_mode), 0o600)
    enc, sign = restore(a.phrase)
    eq("keys new: data key derived from the phrase", read(a.key), enc)
    eq("keys new: signing seed derived from the phrase", read(a.seed), sign)
    if HAVE_CRYPTOGRAPHY:
        eq("keys new: public key of the seed", a.pub_hex, public_key(sign).hex())

    b = Party("bob", 24)
    eq("keys new --words 24: 24 words", len(b.phrase.split(" ")), 24)
    check("keys new: two phrases differ", a.phrase != b.phrase)

    # Restore from standard input, with sloppy white space and capitals.
    sloppy = "  " + "\n".join(w.upper() for w in words) + "  \n"
    obj = ok_json("keys restore", "keys", "restore", "--key-out", "r.key",
                  "--signing-seed-out", "r.seed", stdin=sloppy.encode())
    eq("keys restore: public key", obj.get("public_key"), a.pub_hex)
    eq("keys restore: words", obj.get("words"), 12)
    eq("keys restore: data key", read("r.key"), read(a.key))
    eq("keys restore: signing seed", read("r.seed"), read(a.seed))

    write("phrase.txt", a.phrase + "\n")
    obj = ok_json("keys restore --phrase-file", "keys", "restore", "--phrase-file", "phrase.txt")
    eq("keys restore --phrase-file: public key", obj.get("public_key"), a.pub_hex)

    r = tool("keys", "new", "--phrase-out", "p2.txt", "--signing-seed-out", "p2.seed")
    check("keys new --phrase-out: exit 0", r.rc == 0, repr(r))
    phrase2 = read("p2.txt").decode().strip()
    check("keys new --phrase-out: phrase not printed", phrase2 not in r.text, r.text)
    eq("keys new --phrase-out: owner-only", stat.S_IMODE(os.stat(path("p2.txt")).st_mode), 0o600)
    eq("keys new --phrase-out: seed from the written phrase", read("p2.seed"), restore(phrase2)[1])

    obj = ok_json("keys public", "keys", "public", "--signing-seed", a.seed)
    eq("keys public", obj.get("public_key"), a.pub_hex)
    write("alice.seed.hex", read(a.seed).hex() + "\n")
    obj = ok_json("keys public (hex seed file)", "keys", "public", "--signing-seed", "alice.seed.hex")
    eq("keys public: hex seed file reads as the same seed", obj.get("public_key"), a.pub_hex)

    r = tool("keys", "new")
    check("keys new (text): phrase line", r.rc == 0 and "phrase:" in r.text and "public_key:" in r.text,
          repr(r))

    # A phrase whose checksum no longer holds: the last word replaced by another list word.
    bad = " ".join(words[:-1] + ["zoo" if words[-1] != "zoo" else "abandon"])
    expect_failure("keys restore: bad checksum", ["keys", "restore"],
                   "invalid frame format: invalid mnemonic", "InvalidFormat", stdin=bad.encode())
    expect_failure("keys restore: not a word", ["keys", "restore"],
                   "invalid frame format: invalid mnemonic", "InvalidFormat",
                   stdin=(" ".join(words[:-1]) + " tessella").encode())
    expect_failure("keys restore: empty", ["keys", "restore"], "invalid mnemonic", stdin=b"")
    write("short.seed", b"\x01" * 31)
    expect_failure("keys public: 31-byte seed", ["keys", "public", "--signing-seed", "short.seed"],
                   "a signing seed is 32 bytes")
    expect_failure("keys public: missing file", ["keys", "public", "--signing-seed", "nope.seed"],
                   "cannot read nope.seed")
    expect_failure("keys new: secrets never to stdout",
                   ["keys", "new", "--key-out", "-"], "written to files only")


def test_round_trip(alg):
    """seal -> cap issue -> open -> verify -> inspect through files, with every field checked."""
    author, holder, stranger = Party(f"author-{alg}"), Party(f"holder-{alg}"), Party(f"stranger-{alg}")
    payload = bytes(range(256)) + b"\x00payload\xff"
    write("payload.bin", payload)
    nonce = "0102030405060708090a0b0c"
    ts = "00" * 8 + "0000000069560a00"
    frame_file = f"rt-{alg}.frame"
    sealed = ok_json(f"seal {alg}", "seal", "--alg", alg, "--key", author.key, "--signing-seed",
                     author.seed, "--in", "payload.bin", "--out", frame_file, "--require-cap",
                     "--allowed-ops", "READ_RAW", "--nonce", nonce, "--ts", ts, "--pol", "v1")
    frame = read(frame_file)
    f = parse_frame(frame)
    want_alg = 1 if alg == "aes" else 2
    eq(f"seal {alg}: frame length", len(frame), f["size"])
    eq(f"seal {alg}: size in JSON", sealed.get("size"), len(frame))
    eq(f"seal {alg}: version", f["version"], 1)
    eq(f"seal {alg}: alg byte", f["alg"], want_alg)
    eq(f"seal {alg}: alg in JSON", sealed.get("alg"), {1: "aes-256-gcm", 2: "chacha20-poly1305"}[want_alg])
    eq(f"seal {alg}: nonce", f["nonce"].hex(), nonce)
    eq(f"seal {alg}: nonce in JSON", sealed.get("nonce"), nonce)
    eq(f"seal {alg}: ts", f["ts"].hex(), ts)
    eq(f"seal {alg}: author is the signer", f["author"].hex(), author.pub_hex)
    eq(f"seal {alg}: owner defaults to the author", f["owner"].hex(), author.pub_hex)
    eq(f"seal {alg}: prev_cid defaults to zeros", f["prev_cid"], bytes(32))
    eq(f"seal {alg}: pol", f["pol"], b"v1")
    eq(f"seal {alg}: policy in meta", json.loads(f["meta"]), {"require_cap": True, "allowed_ops": 2})
    eq(f"seal {alg}: ct length", len(f["ct"]), len(payload))
    check(f"seal {alg}: ct is not the payload", f["ct"] != payload)
    eq(f"seal {alg}: lengths in JSON", (sealed.get("pol_len"), sealed.get("meta_len"), sealed.get("ct_len")),
       (2, len(f["meta"]), len(payload)))
    eq(f"seal {alg}: policy in JSON", sealed.get("policy"), {"require_cap": True, "allowed_ops": 2})
    if HAVE_CRYPTOGRAPHY:
        check(f"seal {alg}: Ed25519 signature over the frame",
              signature_holds(f["author"], frame[:-64], f["sig"]))
    cid = sealed.get("cid", "")
    eq(f"seal {alg}: cid is 64 hex digits", len(bytes.fromhex(cid)), 32)

    # The same inputs with the same nonce give the same frame; a fresh nonce another one.
    r = tool("seal", "--alg", alg, "--key", author.key, "--signing-seed", author.seed, "--in", "payload.bin",
             "--out", "again.frame", "--require-cap", "--allowed-ops", "READ_RAW", "--nonce", nonce,
             "--ts", ts, "--pol", "v1")
    check(f"seal {alg}: same nonce, same frame", r.rc == 0 and read("again.frame") == frame, repr(r))
    r = tool("seal", "--alg", alg, "--key", author.key, "--signing-seed", author.seed, "--in", "payload.bin",
             "--out", "fresh.frame")
    check(f"seal {alg}: random nonce by default",
          r.rc == 0 and parse_frame(read("fresh.frame"))["nonce"].hex() != nonce, repr(r))

    token_file = f"rt-{alg}.cap"
    issued = ok_json(f"cap issue {alg}", "cap", "issue", "--issuer-seed", author.seed, "--frame", frame_file,
                     "--rights", "READ_FEATURES | READ_RAW", "--exp", 2000, "--holder", holder.pub_hex,
                     "--out", token_file)
    token = read(token_file)
    t = parse_token(token)
    eq(f"cap issue {alg}: 180 bytes", len(token), 180)
    eq(f"cap issue {alg}: scope is the frame's cid", t["scope_cid"].hex(), cid)
    eq(f"cap issue {alg}: rights", t["rights"], 3)
    eq(f"cap issue {alg}: exp_ts", t["exp_ts"], 2000)
    eq(f"cap issue {alg}: holder", t["holder_pub"].hex(), holder.pub_hex)
    eq(f"cap issue {alg}: issuer", t["issuer_pub"].hex(), author.pub_hex)
    eq(f"cap issue {alg}: signature length word", t["sig_len"], 64)
    eq(f"cap issue {alg}: JSON scope", issued.get("scope_cid"), cid)
    eq(f"cap issue {alg}: JSON rights", issued.get("rights", {}).get("display"), "READ_FEATURES | READ_RAW")
    eq(f"cap issue {alg}: JSON rights bits", issued.get("rights", {}).get("bits"), 3)
    eq(f"cap issue {alg}: JSON exp", issued.get("exp_ts"), 2000)
    eq(f"cap issue {alg}: JSON signature", issued.get("signature"), t["signature"].hex())
    if HAVE_CRYPTOGRAPHY:
        check(f"cap issue {alg}: issuer signature over the first 108 bytes",
              signature_holds(t["issuer_pub"], token[:108], t["signature"]))
    r = tool("cap", "issue", "--issuer-seed", author.seed, "--scope", cid, "--rights", "3", "--exp", 2000,
             "--holder", holder.pub_hex, "--out", "same.cap")
    check(f"cap issue {alg}: --scope gives the same token as --frame",
          r.rc == 0 and read("same.cap") == token, repr(r))

    opened = ok_json(f"open {alg}", "open", "--key", author.key, "--in", frame_file, "--cap", token_file,
                     "--presenter", holder.pub_hex, "--now", 1999, "--out", "plain.bin")
    eq(f"open {alg}: payload", read("plain.bin"), payload)
    eq(f"open {alg}: JSON size", opened.get("plaintext_size"), len(payload))
    eq(f"open {alg}: JSON cid", opened.get("cid"), cid)
    r = tool("open", "--key", author.key, "--in", frame_file, "--cap", token_file, "--presenter",
             holder.pub_hex, "--now", 2000, "--out", "-")
    check(f"open {alg}: --now equal to exp still opens, payload on stdout", r.rc == 0 and r.out == payload,
          repr(r))
    r = tool("open", "--key", author.key, "--in", frame_file, "--cap", token_file, "--presenter",
             holder.pub_hex, "--out", "-")
    check(f"open {alg}: without --now expiry is not checked", r.rc == 0 and r.out == payload, repr(r))

    v = ok_json(f"verify {alg}", "verify", "--in", frame_file, "--expect-author", author.pub_hex)
    eq(f"verify {alg}: valid", v.get("valid"), True)
    eq(f"verify {alg}: reason", v.get("reason"), None)
    eq(f"verify {alg}: cid", v.get("cid"), cid)
    eq(f"verify {alg}: author", v.get("author"), author.pub_hex)
    eq(f"verify {alg}: author expected", v.get("author_expected"), True)
    r = tool("verify", "--in", frame_file, "--expect-author", holder.pub_hex)
    check(f"verify {alg}: another expected author exits 1",
          r.rc == 1 and "not the expected key" in r.err, repr(r))

    i = ok_json(f"inspect frame {alg}", "inspect", frame_file)
    want = {
        "type": "frame", "file_size": len(frame), "frame_size": len(frame), "trailing_bytes": 0,
        "version": 1, "alg": want_alg, "hdr2": 0, "hdr3": 0, "nonce": nonce, "ts": ts,
        "author": f["author"].hex(), "owner": f["owner"].hex(), "prev_cid": "00" * 32,
        "pol_len": 2, "pol": b"v1".hex(), "pol_text": "v1", "meta_len": len(f["meta"]),
        "meta": f["meta"].hex(), "meta_text": f["meta"].decode(), "ct_len": len(payload),
        "ct": f["ct"].hex(), "tag": f["tag"].hex(), "sig": f["sig"].hex(), "cid": cid,
    }
    for key, value in want.items():
        eq(f"inspect frame {alg}: {key}", i.get(key), value)
    eq(f"inspect frame {alg}: policy", i.get("policy"), {"require_cap": True, "allowed_ops": 2})
    eq(f"inspect frame {alg}: signature", i.get("signature"), {"valid": True, "reason": None})

    i = ok_json(f"inspect token {alg}", "inspect", token_file, "--now", 2001)
    for key, value in {"type": "capability token", "size": 180, "scope_cid": cid, "exp_ts": 2000,
                       "expired": True, "holder_pub": holder.pub_hex, "issuer_pub": author.pub_hex,
                       "signature_length": 64, "signature": t["signature"].hex()}.items():
        eq(f"inspect token {alg}: {key}", i.get(key), value)
    eq(f"inspect token {alg}: rights", (i.get("rights", {}).get("display"), i.get("rights", {}).get("bits")),
       ("READ_FEATURES | READ_RAW", 3))
    eq(f"inspect token {alg}: signature check", i.get("signature_check"), {"valid": True, "reason": None})
    eq(f"inspect token {alg}: not expired at exp", ok_json("inspect token", "inspect", token_file, "--now",
                                                          2000).get("expired"), False)
    r = tool("inspect", token_file)
    check(f"inspect token {alg}: text form", r.rc == 0 and "READ_FEATURES | READ_RAW" in r.text
          and "exp_ts:" in r.text and "expired" not in r.text, r.text)
    return author, holder, stranger, frame_file, token_file, cid


def test_failures(author, holder, stranger, frame_file, token_file, cid):
    """Every refusal of the open path, and the other failures, by exit code and message."""
    frame = read(frame_file)
    f = parse_frame(frame)
    ct_at = 136 + len(f["pol"]) + len(f["meta"])
    write("tampered.frame", flip(frame, ct_at))
    write("sigflip.frame", flip(frame, len(frame) - 1))
    token = read(token_file)
    write("badsig.cap", flip(token, 150))
    write("short.cap", token[:179])
    write("wrong.key", b"\x42" * 32)
    write("short.key", b"\x42" * 16)
    write("garbage.frame", b"\x01\x02" * 50)
    write("badalg.frame", bytes([1, 9]) + frame[2:])
    # A frame with no policy, which opens with the data key alone.
    r = tool("seal", "--key", author.key, "--signing-seed", author.seed, "--in", "payload.bin", "--out",
             "plain.frame", "--meta", "just text")
    check("seal without policy", r.rc == 0, repr(r))
    plain = read("plain.frame")
    write("plain-tampered.frame", flip(plain, 140))

    def issue(name, *extra, rights="READ_FEATURES | READ_RAW", exp=2000, holder_pub=None, scope=None):
        args = ["cap", "issue", "--issuer-seed", author.seed, "--rights", rights, "--exp", exp,
                "--holder", holder_pub or holder.pub_hex, "--out", name]
        args += ["--scope", scope] if scope else ["--frame", frame_file]
        r = tool(*args, *extra)
        check(f"issue {name}", r.rc == 0, repr(r))
        return name

    narrow = issue("narrow.cap", rights="READ_FEATURES")
    other_scope = issue("other.cap", scope="ab" * 32)
    wrong_issuer = issue("wrongissuer.cap", "--issuer-pub", stranger.pub_hex)

    def open_args(frame_name=frame_file, key=author.key, cap=token_file, presenter=holder.pub_hex, now=1000):
        args = ["open", "--key", key, "--in", frame_name, "--out", "out.bin"]
        if cap:
            args += ["--cap", cap]
        if presenter:
            args += ["--presenter", presenter]
        if now is not None:
            args += ["--now", now]
        return args

    cases = [
        ("no token", open_args(cap=None), CAP_INVALID, "CapabilityInvalid"),
        ("no presenter", open_args(presenter=None), CAP_INVALID, "CapabilityInvalid"),
        ("wrong holder", open_args(presenter=stranger.pub_hex), CAP_INVALID, "CapabilityInvalid"),
        ("expired", open_args(now=2001), CAP_INVALID, "CapabilityInvalid"),
        ("truncated token", open_args(cap="short.cap"), CAP_INVALID, "CapabilityInvalid"),
        ("missing right", open_args(cap=narrow), POLICY, "PolicyViolation"),
        ("token for another frame", open_args(cap=other_scope), POLICY, "PolicyViolation"),
        ("tampered byte", open_args(frame_name="tampered.frame"), POLICY, "PolicyViolation"),
        ("altered signature", open_args(frame_name="sigflip.frame"), POLICY, "PolicyViolation"),
        ("bad token signature", open_args(cap="badsig.cap"), SIGNATURE, "SignatureInvalid"),
        ("issuer key not the signer", open_args(cap=wrong_issuer), SIGNATURE, "SignatureInvalid"),
        ("wrong key", open_args(key="wrong.key"), AEAD, "AeadTagMismatch"),
        ("short key", open_args(key="short.key"), KEY_UNAVAILABLE, "KeyUnavailable"),
        ("tampered byte, no policy", open_args(frame_name="plain-tampered.frame", cap=None), AEAD,
         "AeadTagMismatch"),
        ("wrong key, no policy", open_args(frame_name="plain.frame", key="wrong.key"), AEAD,
         "AeadTagMismatch"),
        ("not a frame", open_args(frame_name="garbage.frame"), "invalid frame format: too short",
         "InvalidFormat"),
        ("unknown alg", open_args(frame_name="badalg.frame"), "invalid frame format: alg", "InvalidFormat"),
        ("seal with a short key", ["seal", "--key", "short.key", "--signing-seed", author.seed, "--in",
                                   "payload.bin", "--out", "x.frame"], KEY_UNAVAILABLE, "KeyUnavailable"),
        ("verify garbage", ["verify", "--in", "garbage.frame"], "invalid frame format: too short",
         "InvalidFormat"),
        ("inspect garbage", ["inspect", "garbage.frame"], "invalid frame format: too short", None),
        ("missing input", ["verify", "--in", "missing.frame"], "cannot read missing.frame", None),
        ("a key given as text is a file name", open_args(key="42" * 32), "cannot read " + "42" * 32, None),
        ("stdin twice",
         ["seal", "--key", "-", "--signing-seed", author.seed, "--in", "-", "--out", "x.frame"],
         "standard input can feed only one option", None),
    ]
    for name, args, message, kind in cases:
        expect_failure(name, args, message, kind)
    check("no plaintext left by refusals", not os.path.exists(path("out.bin")))

    # The wrong token with the wrong key: the capability is judged before the key is tried.
    expect_failure("wrong holder and wrong key", open_args(key="wrong.key", presenter=stranger.pub_hex),
                   CAP_INVALID)
    # A frame without a policy opens whatever token and presenter come with it.
    r = tool(*open_args(frame_name="plain.frame", cap="badsig.cap", presenter=stranger.pub_hex, now=99999))
    check("no policy: token not looked at", r.rc == 0 and read("out.bin") == read("payload.bin"), repr(r))
    os.remove(path("out.bin"))

    # verify reports an altered frame and exits 1.
    for name, frame_name in (("tampered byte", "tampered.frame"), ("altered signature", "sigflip.frame")):
        r = tool("verify", "--in", frame_name, "--json")
        check(f"verify {name}: exit 1", r.rc == 1, repr(r))
        check(f"verify {name}: message", SIGNATURE in r.err, r.err)
        obj = r.json() if r.out else {}
        eq(f"verify {name}: valid", obj.get("valid"), False)
        eq(f"verify {name}: reason", obj.get("reason"), "signature")
        check(f"verify {name}: cid changed", obj.get("cid") not in (None, cid), obj.get("cid"))
    # A frame sealed under another author field does not verify under it.
    r = tool("seal", "--key", author.key, "--signing-seed", author.seed, "--in", "payload.bin", "--out",
             "other-author.frame", "--author", holder.pub_hex)
    check("seal --author", r.rc == 0, repr(r))
    eq("seal --author: field written", parse_frame(read("other-author.frame"))["author"].hex(),
       holder.pub_hex)
    r = tool("verify", "--in", "other-author.frame")
    check("verify: other author field exits 1", r.rc == 1 and "valid:  no" in r.text, repr(r) + r.text)

    # Trailing bytes are ignored by the parser and by the identifier.
    write("trailing.frame", frame + b"xyz")
    v = ok_json("verify trailing", "verify", "--in", "trailing.frame")
    eq("verify trailing: same cid", v.get("cid"), cid)
    r = tool(*open_args(frame_name="trailing.frame"))
    check("open trailing: the token still names the frame", r.rc == 0, repr(r))
    os.remove(path("out.bin"))
    i = ok_json("inspect trailing", "inspect", "trailing.frame")
    eq("inspect trailing: trailing bytes", i.get("trailing_bytes"), 3)
    eq("inspect trailing: cid", i.get("cid"), cid)

    i = ok_json("inspect tampered", "inspect", "tampered.frame")
    eq("inspect tampered: signature", i.get("signature"), {"valid": False, "reason": "signature"})
    i = ok_json("inspect bad token", "inspect", "badsig.cap")
    eq("inspect bad token: signature check", i.get("signature_check"), {"valid": False, "reason": SIGNATURE})
    write("zeros.cap", bytes(180))
    expect_failure("inspect 180 zero bytes", ["inspect", "zeros.cap"], "not a capability token")


def test_seal_options(author):
    prev = "cd" * 32
    owner = "ef" * 32
    write("meta.json", '{"require_cap":false,"note":"x"}')
    obj = ok_json("seal options", "seal", "--alg", "AES", "--key", author.key, "--signing-seed", author.seed,
                  "--in", "-", "--out", "opts.frame", "--owner", owner, "--prev", prev, "--hdr2", 7,
                  "--hdr3", 255, "--meta-file", "meta.json", "--pol-file", "meta.json", stdin=b"from stdin")
    f = parse_frame(read("opts.frame"))
    eq("seal options: alg", f["alg"], 1)
    eq("seal options: owner", f["owner"].hex(), owner)
    eq("seal options: prev_cid", f["prev_cid"].hex(), prev)
    eq("seal options: header bytes", (f["hdr2"], f["hdr3"]), (7, 255))
    eq("seal options: meta from file", f["meta"], read("meta.json"))
    eq("seal options: pol from file", f["pol"], read("meta.json"))
    eq("seal options: payload from stdin", len(f["ct"]), len(b"from stdin"))
    eq("seal options: policy", obj.get("policy"), {"require_cap": False, "allowed_ops": 0})
    r = tool("open", "--key", author.key, "--in", "opts.frame", "--out", "-")
    check("seal options: opens", r.rc == 0 and r.out == b"from stdin", repr(r))

    # The policy the library reads is shown as it will be enforced, not as it was meant.
    cases = [
        ('{"require_cap":"true"}', False, 0),
        ('{"require_cap":false,"require_cap":true}', True, 0),
        ('{"require_cap":true,"allowed_ops":4294967297}', True, 1),
        ('{"require_cap":true,"allowed_ops":1.0}', True, 0),
        ('[1,2]', False, 0),
    ]
    for meta, require, ops in cases:
        obj = ok_json(f"seal --meta {meta}", "seal", "--key", author.key, "--signing-seed",
                      author.seed, "--in", "payload.bin", "--out", "m.frame", "--meta", meta)
        eq(f"seal --meta {meta}: policy", obj.get("policy"), {"require_cap": require, "allowed_ops": ops})
        eq(f"seal --meta {meta}: inspect policy", ok_json("inspect", "inspect", "m.frame").get("policy"),
           {"require_cap": require, "allowed_ops": ops})

    # A key file may hold 64 hexadecimal digits instead of 32 bytes.
    write("author.key.hex", read(author.key).hex().upper() + "\n")
    r = tool("open", "--key", "author.key.hex", "--in", "opts.frame", "--out", "-")
    check("hex key file", r.rc == 0 and r.out == b"from stdin", repr(r))


def rights_forms(bits):
    names = ["READ_FEATURES", "READ_RAW", "TRANSFER_OWNERSHIP", "LICENSE_GRANT", "COMPUTE_USE"]
    named = [n for k, n in enumerate(names) if bits >> k & 1]
    unnamed = bits & ~0x1f
    display = " | ".join(named + ([hex(unnamed)] if unnamed else []))
    return {
        "bits": bits, "display": display, "diagnostic": display or "0x0", "names": named,
        "unnamed": hex(unnamed), "binary": bin(bits),
        "octal": "0" + format(bits, "o") if bits else "0", "hex": hex(bits),
        "hex_upper": "0X" + format(bits, "X"),
    }


def test_rights():
    cases = [
        ("READ_RAW | COMPUTE_USE", 18),
        (" READ_RAW|COMPUTE_USE ", 18),
        ("COMPUTE_USE | READ_FEATURES", 17),
        ("18", 18),
        ("0x12", 18),
        ("0", 0),
        ("", 0),
        ("0x0", 0),
        ("3", 3),
        ("64", 64),
        ("97", 97),
        ("0x100", 256),
        ("READ_RAW | READ_RAW", 2),
        ("0xFFFFFFFF", 0xFFFFFFFF),
        ("4294967295", 0xFFFFFFFF),
    ]
    for text, bits in cases:
        eq(f"rights {text!r}", ok_json(f"rights {text!r}", "rights", text), rights_forms(bits))
    eq("rights all bits display", rights_forms(0xFFFFFFFF)["display"],
       "READ_FEATURES | READ_RAW | TRANSFER_OWNERSHIP | LICENSE_GRANT | COMPUTE_USE | 0xffffffe0")
    r = tool("rights", "READ_FEATURES|0x40")
    check("rights text form", r.rc == 0 and "display:    READ_FEATURES | 0x40" in r.text
          and "hex:        0x41" in r.text and "binary:     0b1000001" in r.text, r.text)
    r = tool("rights", "0")
    check("rights text form of empty", r.rc == 0 and "display:    (empty)" in r.text
          and "diagnostic: 0x0" in r.text, r.text)
    errors = [
        ("READ_RAW|", "empty flag"),
        ("|", "empty flag"),
        ("READ_RAW||COMPUTE_USE", "empty flag"),
        ("read_raw", "unknown right name"),
        ("READ_RAW_", "unknown right name"),
        ("0X10", "unknown right name"),
        ("0x", "invalid hexadecimal flag"),
        ("0xg", "invalid hexadecimal flag"),
        ("0x100000000", "invalid hexadecimal flag"),
        ("4294967296", "above 4294967295"),
    ]
    for text, message in errors:
        expect_failure(f"rights {text!r}", ["rights", text], message)


def event_document(kind, exp, peer, rights, scope):
    return json.dumps({"event": kind, "exp_ts": exp, "peer_pub": peer, "require_cap": False,
                       "rights": rights, "scope_cid": scope}, separators=(",", ":"), sort_keys=True)


def test_events(author, holder, frame_file, cid):
    cases = [
        ("grant", "LicenseGrant", "READ_RAW | COMPUTE_USE", 18, 1767229200),
        ("read", "ReadEvent", "READ_FEATURES", 1, 0),
        ("transfer", "OwnershipTransfer", "0x80000000", 0x80000000, 2**64 - 1),
        ("LicenseGrant", "LicenseGrant", "0", 0, 5),
    ]
    for kind, name, rights, bits, exp in cases:
        out = f"event-{kind}.frame"
        obj = ok_json(f"event {kind}", "event", "--kind", kind, "--key", author.key, "--signing-seed",
                      author.seed, "--frame", frame_file, "--rights", rights, "--exp", exp, "--peer",
                      holder.pub_hex, "--prev", cid, "--out", out)
        frame = read(out)
        f = parse_frame(frame)
        doc = event_document(name, exp, holder.pub_hex, bits, cid)
        eq(f"event {kind}: document", f["meta"].decode(), doc)
        eq(f"event {kind}: JSON document", obj.get("document"), json.loads(doc))
        eq(f"event {kind}: JSON event", obj.get("event"), name)
        eq(f"event {kind}: pol", f["pol"], b"event")
        eq(f"event {kind}: header", (f["version"], f["alg"], f["hdr2"], f["hdr3"]), (1, 2, 1, 0))
        eq(f"event {kind}: ts", f["ts"], bytes(16))
        eq(f"event {kind}: empty payload", len(f["ct"]), 0)
        eq(f"event {kind}: author", f["author"].hex(), author.pub_hex)
        eq(f"event {kind}: prev_cid", f["prev_cid"].hex(), cid)
        eq(f"event {kind}: size", obj.get("size"), len(frame))
        v = ok_json(f"verify event {kind}", "verify", "--in", out)
        eq(f"event {kind}: verifies", (v.get("valid"), v.get("cid")), (True, obj.get("cid")))
        r = tool("open", "--key", author.key, "--in", out, "--out", "-")
        check(f"event {kind}: opens with the key alone, empty payload", r.rc == 0 and r.out == b"", repr(r))
        eq(f"event {kind}: inspect names the event", ok_json("inspect", "inspect", out).get("event"), name)
        r = tool("event", "--kind", kind, "--key", author.key, "--signing-seed", author.seed, "--scope", cid,
                 "--rights", rights, "--exp", exp, "--peer", holder.pub_hex, "--prev", cid,
                 "--out", "again.frame")
        check(f"event {kind}: deterministic", r.rc == 0 and read("again.frame") == frame, repr(r))
    expect_failure("event with a short key",
                   ["event", "--kind", "read", "--key", "short.key", "--signing-seed", author.seed,
                    "--scope", cid, "--peer", holder.pub_hex, "--out", "x.frame"],
                   KEY_UNAVAILABLE, "KeyUnavailable")


def test_blind_index(author):
    key = read(author.key)
    cases = [("invoice-2024", b"invoice-2024"), ("", b""), ("Revenue", b"Revenue"), (" revenue", b" revenue")]
    for term, raw in cases:
        obj = ok_json(f"blind-index {term!r}", "blind-index", "--key", author.key, "--term", term)
        eq(f"blind-index {term!r}: token", obj.get("token"), hmac.new(key, raw, "sha256").hexdigest())
        eq(f"blind-index {term!r}: term_len", obj.get("term_len"), len(raw))
    write("term.bin", b"\x00\xff binary")
    obj = ok_json("blind-index --term-file", "blind-index", "--key", author.key, "--term-file", "term.bin")
    eq("blind-index --term-file: token", obj.get("token"),
       hmac.new(key, b"\x00\xff binary", "sha256").hexdigest())
    check("blind-index --term-file: binary term not printed as text", "term" not in obj, obj)
    write("index.key", b"k" * 100)
    obj = ok_json("blind-index long key", "blind-index", "--key", "index.key", "--term-file", "-",
                  stdin=b"abc")
    eq("blind-index long key: token", obj.get("token"), hmac.new(b"k" * 100, b"abc", "sha256").hexdigest())


def test_demo():
    runs = {}
    for args in (("--seed", "1"), ("--seed", "1"), ("--seed", "2"), (), ()):
        r = tool("demo", *args)
        check(f"demo {args}: exit 0", r.rc == 0, repr(r) + r.text[-500:])
        runs.setdefault(args, []).append(r.out)
    eq("demo --seed 1 twice: identical", runs[("--seed", "1")][0], runs[("--seed", "1")][1])
    check("demo --seed 2 differs from --seed 1", runs[("--seed", "2")][0] != runs[("--seed", "1")][0])
    check("demo without a seed differs between runs", runs[()][0] != runs[()][1])
    text = runs[("--seed", "1")][0].decode()
    for needle in ("Recovery phrase", CAP_INVALID, POLICY, AEAD, "LicenseGrant", "Every step behaved"):
        check(f"demo text shows {needle!r}", needle in text)

    d = ok_json("demo --seed 1 --json", "demo", "--seed", "1")
    eq("demo json: ok", (d.get("ok"), d.get("problems")), (True, []))
    eq("demo json repeatable", ok_json("demo --seed 1 --json", "demo", "--seed", "1"), d)
    s = d.get("steps", {})
    phrase = s.get("phrase", {}).get("phrase", "")
    check("demo json: phrase in text output", phrase != "" and phrase in text)
    enc, sign = restore(phrase)
    eq("demo: data key restored from the phrase", s["phrase"]["data_key"], enc.hex())
    eq("demo: signing seed restored from the phrase", s["phrase"]["signing_seed"], sign.hex())
    author = bytes.fromhex(s["phrase"]["author_pub"])
    frame = bytes.fromhex(s["seal"]["frame"])
    f = parse_frame(frame)
    eq("demo: frame author", f["author"], author)
    eq("demo: frame nonce", f["nonce"].hex(), s["seal"]["nonce"])
    eq("demo: frame meta", f["meta"].decode(), s["seal"]["meta"])
    eq("demo: policy", json.loads(f["meta"]), {"require_cap": True, "allowed_ops": 2})
    eq("demo: ct", f["ct"].hex(), s["seal"]["ct"])
    eq("demo: tag", f["tag"].hex(), s["seal"]["tag"])
    token = bytes.fromhex(s["grant"]["token"])
    t = parse_token(token)
    eq("demo: token scope", t["scope_cid"].hex(), s["seal"]["cid"])
    eq("demo: token rights", t["rights"], 3)
    eq("demo: token expiry", t["exp_ts"], s["parties"]["now"] + 3600)
    eq("demo: token holder", t["holder_pub"].hex(), s["parties"]["holder_pub"])
    eq("demo: token issuer", t["issuer_pub"], author)
    eq("demo: opened", s["open"]["plaintext"], s["seal"]["payload"])
    refusals = {k: v.get("kind") for k, v in s["refusals"].items()}
    eq("demo: refusals", refusals, {
        "no_token": "CapabilityInvalid", "wrong_holder": "CapabilityInvalid", "expired": "CapabilityInvalid",
        "missing_right": "PolicyViolation", "tampered": "PolicyViolation",
        "tampered_own_token": "AeadTagMismatch"})
    eq("demo: verified", (s["verify"]["valid"], s["verify"]["cid"], s["verify"]["tampered_valid"]),
       (True, s["seal"]["cid"], False))
    doc = s["event"]["document"]
    eq("demo: event document", doc, json.loads(event_document(
        "LicenseGrant", t["exp_ts"], t["holder_pub"].hex(), 3, s["seal"]["cid"])))
    ev = parse_frame(bytes.fromhex(s["event"]["frame"]))
    eq("demo: event follows the frame", ev["prev_cid"].hex(), s["seal"]["cid"])
    eq("demo: event verified and opened", (s["event"]["valid"], s["event"]["opens"]), (True, True))
    index_key = hkdf_sha256(b"", enc, b"blind index")
    eq("demo: blind-index token", s["blind_index"]["token"],
       hmac.new(index_key, b"revenue", "sha256").hexdigest())
    eq("demo: other case differs", s["blind_index"]["other_case_token"],
       hmac.new(index_key, b"Revenue", "sha256").hexdigest())
    if HAVE_CRYPTOGRAPHY:
        eq("demo: author key of the seed", author, public_key(sign))
        check("demo: frame signature", signature_holds(author, frame[:-64], f["sig"]))
        check("demo: token signature", signature_holds(author, token[:108], t["signature"]))
        check("demo: event signature",
              signature_holds(author, bytes.fromhex(s["event"]["frame"])[:-64], ev["sig"]))
    d2 = ok_json("demo --seed 2 --json", "demo", "--seed", "2")
    check("demo --seed 2: other keys", d2.get("steps", {}).get("phrase", {}).get("phrase") != phrase)


def test_usage(author, holder, frame_file):
    h = holder.pub_hex
    seal = ["seal", "--key", author.key, "--signing-seed", author.seed, "--in", "payload.bin",
            "--out", "x"]
    issue = ["cap", "issue", "--issuer-seed", author.seed, "--holder", h, "--out", "x"]
    cases = [
        ("no command", [], "A subcommand is required"),
        ("unknown command", ["frobnicate"], "unknown command: frobnicate"),
        ("unknown keys command", ["keys", "frobnicate"], "unknown command: frobnicate"),
        ("keys without subcommand", ["keys"], "A subcommand is required"),
        ("cap without subcommand", ["cap"], "A subcommand is required"),
        ("missing --key", ["seal", "--signing-seed", author.seed, "--in", "payload.bin", "--out", "x"],
         "--key"),
        ("unknown option", ["verify", "--in", frame_file, "--frobnicate"], "--frobnicate"),
        ("bad presenter hex",
         ["open", "--key", author.key, "--in", frame_file, "--out", "x", "--presenter", "xyz"],
         "--presenter"),
        ("short nonce", seal + ["--nonce", "0102"], "24 hexadecimal digits"),
        ("bad rights", issue + ["--frame", frame_file, "--rights", "READ_RAW|", "--exp", 1], "empty flag"),
        ("negative exp", issue + ["--frame", frame_file, "--rights", "1", "--exp", "-1"],
         "expected a number"),
        ("exp too large",
         issue + ["--frame", frame_file, "--rights", "1", "--exp", "18446744073709551616"],
         "expected a number"),
        ("no scope", issue + ["--rights", "1", "--exp", 1], "--scope or --frame"),
        ("scope and frame",
         issue + ["--rights", "1", "--exp", 1, "--frame", frame_file, "--scope", "00" * 32], "excludes"),
        ("words 13", ["keys", "new", "--words", "13"], "--words"),
        ("meta with policy flag", seal + ["--meta", "m", "--require-cap"], "excludes"),
        ("allowed-ops alone", seal + ["--allowed-ops", "READ_RAW"], "--require-cap"),
        ("bad alg", seal + ["--alg", "des"], "aes|chacha"),
        ("hdr2 out of range", seal + ["--hdr2", "256"], "--hdr2"),
        ("json with data on stdout",
         ["open", "--key", author.key, "--in", frame_file, "--out", "-", "--json"], "give --out a file"),
        ("bad event kind",
         ["event", "--kind", "sale", "--key", author.key, "--signing-seed", author.seed,
          "--scope", "00" * 32, "--peer", h, "--out", "x"], "transfer|read|grant"),
        ("no term", ["blind-index", "--key", author.key], "--term or --term-file"),
        ("inspect without file", ["inspect"], "FILE"),
        ("demo seed not a number", ["demo", "--seed", "one"], "expected a number"),
    ]
    for name, args, message in cases:
        expect_usage(name, args, message)
    check("usage errors write nothing", not os.path.exists(path("x")))

    commands = [[], ["demo"], ["keys"], ["keys", "new"], ["keys", "restore"], ["keys", "public"], ["seal"],
                ["open"], ["verify"], ["cap"], ["cap", "issue"], ["rights"], ["event"], ["blind-index"],
                ["inspect"]]
    for cmd in commands:
        r = tool(*cmd, "--help")
        name = " ".join(cmd) or "(top)"
        check(f"--help {name}: exit 0", r.rc == 0, repr(r))
        check(f"--help {name}: usage and example", "Usage:" in r.text and "Example:" in r.text, r.text[:300])
        check(f"--help {name}: example runs the command",
              ("tessella " + " ".join(cmd)).strip() in r.text.split("Example:")[-1], r.text[-300:])
    # Secrets are named by files only.
    for cmd, option in ((["seal"], "--key FILE"), (["seal"], "--signing-seed FILE"), (["open"], "--key FILE"),
                        (["cap", "issue"], "--issuer-seed FILE"), (["event"], "--signing-seed FILE"),
                        (["blind-index"], "--key FILE"), (["keys", "restore"], "--phrase-file FILE")):
        check(f"{' '.join(cmd)} {option}", option in tool(*cmd, "--help").text)
    if os.path.exists("/dev/full"):
        with open("/dev/full", "wb") as full:
            proc = subprocess.run(TOOL + ["verify", "--in", frame_file], stdout=full,
                                  stderr=subprocess.PIPE, cwd=WORK, timeout=60)
        check("output that cannot be written: exit 1",
              proc.returncode == 1 and b"cannot write standard output" in proc.stderr, proc)
    r = tool("--version")
    check("--version", r.rc == 0 and r.text.strip() != "", repr(r))


def main():
    global TOOL, WORK
    if len(sys.argv) < 2:
        print("usage: cli_test.py [EMULATOR...] PATH_TO_TESSELLA", file=sys.stderr)
        return 2
    # An emulator (qemu-aarch64 for a cross build) may stand before the tool.
    TOOL = sys.argv[1:-1] + [os.path.abspath(sys.argv[-1])]
    if not HAVE_CRYPTOGRAPHY:
        print("note: python3 'cryptography' not installed; Ed25519 signature checks skipped")
    with tempfile.TemporaryDirectory(prefix="tessella-cli-") as work:
        WORK = work
        # The round trip makes the parties and files that the later tests share.
        try:
            test_keys()
        except Exception:
            check("test_keys raised", False, traceback.format_exc())
        shared = None
        for alg in ("chacha", "aes"):
            try:
                shared = test_round_trip(alg)
            except Exception:
                check(f"round trip {alg} raised", False, traceback.format_exc())
        if shared:
            author, holder, stranger, frame_file, token_file, cid = shared
            for name, fn, args in (
                    ("failures", test_failures, shared),
                    ("seal options", test_seal_options, (author,)),
                    ("events", test_events, (author, holder, frame_file, cid)),
                    ("blind index", test_blind_index, (author,)),
                    ("usage", test_usage, (author, holder, frame_file))):
                try:
                    fn(*args)
                except Exception:
                    check(f"{name} raised", False, traceback.format_exc())
        for name, fn in (("rights", test_rights), ("demo", test_demo)):
            try:
                fn()
            except Exception:
                check(f"{name} raised", False, traceback.format_exc())
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
