#!/usr/bin/python3
"""Drives the tessella tool as a user would: files in, files out, exit codes, messages, JSON.
Usage: cli_test.py [EMULATOR...] TOOL. Wire formats, keys and tokens are recomputed here independently;
Ed25519 signatures are checked with `cryptography`. Ends with "N passed, M failed"."""
import hashlib, hmac, json, os, stat, subprocess, sys, tempfile, time, traceback  # noqa: E401
from pathlib import Path

from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey, Ed25519PublicKey
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

TOOL = WORK = None
passed = failed = 0
CAP_INVALID, POLICY, SIGNATURE = "capability required or invalid", "policy violation", "signature verification"


def check(name, ok, detail=""):
    global passed, failed
    passed, failed = passed + bool(ok), failed + (not ok)
    if not ok:
        print(f"FAIL {name}" + (f": {detail}" if detail else ""))


def eq(name, got, want):
    check(name, got == want, f"got {got!r}, want {want!r}")


def has(name, obj, want):  # obj holds every key of want, with its value
    eq(name, {k: obj.get(k) for k in want}, want)


def tool(*args, stdin=b"", **kw):
    r = subprocess.run(TOOL + [str(a) for a in args], input=stdin, capture_output=True, cwd=WORK, timeout=120,
                       **kw)
    r.err, r.out = r.stderr.decode("utf-8", "replace"), r.stdout.decode("utf-8", "replace")
    return r


def ok_json(*args, stdin=b""):
    """Runs a command with --json that must succeed and returns its JSON object."""
    r = tool(*args, "--json", stdin=stdin)
    check(f"{args}: exit 0", r.returncode == 0, r.err[:300])
    return json.loads(r.stdout) if r.returncode == 0 else {}


def expect_failure(name, args, message, kind=None, stdin=b"", fields=None):
    """Exit 1 with the message on stderr and nothing on stdout; with --json, the error object with
    the same message, the kind and the given fields."""
    r, rj = tool(*args, stdin=stdin), tool(*args, "--json", stdin=stdin)
    check(name, r.returncode == 1 and message in r.err and r.stdout == b"", f"{r.returncode}: {r.err[:300]}")
    o = json.loads(rj.stdout or "{}")
    check(f"{name} --json", rj.returncode == 1 and message in o.get("error", "") and o.get("kind") == kind
          and all(o.get(k) == v for k, v in (fields or {}).items()), o)


def read(name): return Path(WORK, name).read_bytes()  # noqa: E704
def write(name, data): Path(WORK, name).write_bytes(data)  # noqa: E704
def secret(name, data): write(name, data), os.chmod(Path(WORK, name), 0o600)  # noqa: E704
def mode(name): return stat.S_IMODE(Path(WORK, name).stat().st_mode)  # noqa: E704
def flip(data, at): return data[:at] + bytes([data[at] ^ 1]) + data[at + 1:]  # noqa: E704


def parse_frame(b):
    p, m, n = (int.from_bytes(b[i:j], "big") for i, j in ((128, 130), (130, 132), (132, 136)))
    e = 136 + p + m + n
    return {"version": b[0], "alg": b[1], "hdr2": b[2], "hdr3": b[3], "nonce": b[4:16], "ts": b[16:32],
            "author": b[32:64], "owner": b[64:96], "prev_cid": b[96:128], "pol": b[136:136 + p],
            "meta": b[136 + p:136 + p + m], "ct": b[136 + p + m:e], "tag": b[e:e + 16], "sig": b[e + 16:]}


def parse_token(b):
    def le(i, j): return int.from_bytes(b[i:j], "little")  # noqa: E704
    return {"scope_cid": b[:32].hex(), "rights": le(32, 36), "exp_ts": le(36, 44), "holder_pub": b[44:76].hex(),
            "issuer_pub": b[76:108].hex(), "sig_len": le(108, 116), "size": len(b)}


def hkdf_sha256(salt, ikm, info):
    return hmac.new(hmac.new(salt, ikm, "sha256").digest(), info + b"\x01", "sha256").digest()


def restore(phrase):  # the data key and signing seed of a phrase: BIP-39 seed, then HKDF-SHA-256
    seed = hashlib.pbkdf2_hmac("sha512", phrase.encode(), b"mnemonic", 2048)
    return hkdf_sha256(b"tessella_v1", seed, b"encryption"), hkdf_sha256(b"tessella_v1", seed, b"signing")


def key_of(seed, pub):  # whether pub is the Ed25519 key of seed
    return Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes(
        Encoding.Raw, PublicFormat.Raw) == pub


def signed(pub, message, sig):  # whether sig is pub's signature of message
    try:
        Ed25519PublicKey.from_public_bytes(pub).verify(sig, message)
        return True
    except InvalidSignature:
        return False


class Party:
    """A key holder made with `keys new`: phrase, data key file, seed file, public key."""

    def __init__(self, name, words=12):
        self.key, self.seed = f"{name}.key", f"{name}.seed"
        obj = ok_json("keys", "new", "--words", words, "--key-out", self.key, "--signing-seed-out", self.seed)
        self.phrase, self.pub_hex = obj.get("phrase", ""), obj.get("public_key", "")
        self.pub = bytes.fromhex(self.pub_hex)


def test_keys():
    a, b = Party("alice"), Party("bob", 24)
    words, (enc, sign) = a.phrase.split(" "), restore(a.phrase)
    eq("keys new: 12 or 24 words, owner-only files with the keys of the phrase, the key of the seed",
       (len(words), len(b.phrase.split(" ")), read(a.key), read(a.seed), mode(a.key), mode(a.seed),
        key_of(sign, a.pub)), (12, 24, enc, sign, 0o600, 0o600, True))
    write("r.key", b"old")  # an existing file is refused, or replaced by an owner-only one with --force
    os.chmod(Path(WORK, "r.key"), 0o644)
    write("target.txt", b"kept")
    os.symlink("target.txt", Path(WORK, "link.key"))
    sloppy = ("  " + "\n".join(w.upper() for w in words) + "  \n").encode()
    restore_to = ["keys", "restore", "--signing-seed-out", "r.seed", "--key-out"]
    for name, args, message in (  # every file is checked before the first is written
            ("existing key", restore_to + ["r.key"], "cannot write r.key: the file exists (--force replaces it)"),
            ("a link, even with --force", restore_to + ["link.key", "--force"], "link.key: it is a symbolic")):
        expect_failure(f"keys: {name}", args, message, stdin=sloppy)
    written = set(os.listdir(WORK)) & {"fresh.txt", "fresh.key", "r.seed"}
    eq("keys: refusals leave every file as it was", (read("r.key"), mode("r.key"), read("target.txt"),
       os.path.islink(Path(WORK, "link.key")), written), (b"old", 0o644, b"kept", True, set()))
    obj = ok_json(*restore_to, "r.key", "--force", stdin=sloppy)
    eq("keys restore --force", (obj.get("public_key"), obj.get("words"), read("r.key"), read("r.seed"),
                                mode("r.key")), (a.pub_hex, 12, enc, sign, 0o600))
    secret("alice.seed.hex", read(a.seed).hex().encode() + b"\n")  # raw bytes or hexadecimal digits
    has("keys public", ok_json("keys", "public", "--signing-seed", "alice.seed.hex"), {"public_key": a.pub_hex})
    eq("keys public: the bare key", tool("keys", "public", "--signing-seed", a.seed).stdout, a.pub_hex.encode() + b"\n")
    write("open.seed", read(a.seed))  # a secret others may read is refused, with the mend
    expect_failure("keys: a secret file readable by others", ["keys", "public", "--signing-seed", "open.seed"],
                   "open.seed: permissions 0644 are too open: a secret file must be readable by its owner only; "
                   "run: chmod 600 open.seed", fields={"about": "open.seed", "mode": "0644"})
    for phrase in ("abandon " * 11 + "abandon", " ".join(words[:-1] + ["tessella"])):  # checksum; no word
        expect_failure(f"keys restore {phrase}", ["keys", "restore"], "invalid frame format: invalid mnemonic",
                       "InvalidFormat", stdin=phrase.encode())
    expect_failure("keys new: secrets never to stdout", ["keys", "new", "--key-out", "-"], "written to files only")


def test_round_trip(alg):
    """seal -> cap issue -> open -> verify -> inspect through files, checked field by field."""
    author, holder, ts = Party(f"a-{alg}"), Party(f"h-{alg}"), "00" * 15 + "2a"
    payload, frame_file, token_file = bytes(range(256)) * 2, f"{alg}.frame", f"{alg}.cap"
    alg_byte = 1 if alg == "aes" else 2
    write("payload.bin", payload)
    write("pol.txt", b"v1")
    seal = ["seal", "--alg", alg, "--key", author.key, "--signing-seed", author.seed, "--in", "payload.bin"]
    pinned = ["--require-cap", "--allowed-ops", "READ_RAW", "--ts", ts, "--pol-file", "pol.txt",
              "--owner", holder.pub_hex, "--prev", "cd" * 32, "--hdr2", 7, "--hdr3", 255]
    sealed, policy = ok_json(*seal, *pinned, "--out", frame_file), {"require_cap": True, "allowed_ops": 2}
    frame, cid = read(frame_file), sealed.get("cid", "")
    f = parse_frame(frame)
    nonce = f["nonce"].hex()
    has(f"seal {alg}", dict(f, policy=json.loads(f["meta"]), ct=(len(f["ct"]), f["ct"] == payload)), {
        "version": 1, "alg": alg_byte, "hdr2": 7, "hdr3": 255, "nonce": bytes.fromhex(sealed.get("nonce", "")), "pol": b"v1",
        "ts": bytes.fromhex(ts), "author": author.pub, "owner": holder.pub, "prev_cid": bytes.fromhex("cd" * 32),
        "policy": policy, "ct": (len(payload), False)})
    r, r2 = tool(*seal, *pinned, "--out", "again.frame"), tool(*seal, *pinned, "--nonce", nonce, "--out", "same.frame")
    check(f"seal {alg}: signed; a fresh nonce for every frame; --nonce reproduces a frame",
          signed(author.pub, frame[:-64], f["sig"]) and r.returncode == r2.returncode == 0
          and parse_frame(read("again.frame"))["nonce"] != f["nonce"] and read("same.frame") == frame)

    issue = ["cap", "issue", "--issuer-seed", author.seed, "--rights", "READ_FEATURES | READ_RAW", "--exp", 2000,
             "--holder", holder.pub_hex]
    issued, token = ok_json(*issue, "--frame", frame_file, "--out", token_file), read(token_file)
    want = {"scope_cid": cid, "rights": 3, "exp_ts": 2000, "holder_pub": holder.pub_hex,
            "issuer_pub": author.pub_hex}
    eq(f"cap issue {alg}", parse_token(token), dict(want, sig_len=64, size=180))
    has(f"cap issue {alg}: JSON", dict(issued, rights=issued.get("rights", {}).get("bits")),
        dict(want, signature=token[116:].hex()))
    r = tool(*issue, "--scope", cid, "--out", "same.cap")
    check(f"cap issue {alg}: signed; --scope gives the token of --frame", signed(author.pub, token[:108], token[116:])
          and r.returncode == 0 and read("same.cap") == token)

    # The frame's owner is the holder; the author issued the token, so it is trusted by name.
    opening = ["open", frame_file, "--cap", token_file, "--presenter", holder.pub_hex, "--trust-issuer", author.pub_hex]
    if alg == "aes":  # the second run replaces a readable payload file
        write("plain.bin", b"old")
        os.chmod(Path(WORK, "plain.bin"), 0o644)
    obj = ok_json(*opening, "--key", author.key, "--now", 1999, "--out", "plain.bin")
    eq(f"open {alg}: owner-only payload", (read("plain.bin"), mode("plain.bin"), obj.get("plaintext_size"),
                                           obj.get("cid")), (payload, 0o600, len(payload), cid))
    secret("hex.key", b" " + read(author.key).hex().upper().encode() + b"\n")  # 64 hexadecimal digits
    for extra in (["--key", author.key, "--now", 2000], ["--key", "hex.key", "--skip-expiry"]):  # at the expiry
        r = tool(*opening, "--out", "-", *extra)
        check(f"open {alg} {extra}: payload on stdout", r.returncode == 0 and r.stdout == payload, r.err)
    has(f"verify {alg}", ok_json("verify", "--in", frame_file, "--expect-author", author.pub_hex),
        {"valid": True, "reason": None, "cid": cid, "author": author.pub_hex, "author_expected": True,
         "checked": "author"})
    has(f"verify {alg} --intact-only says so", ok_json("verify", frame_file, "--intact-only"),
        {"valid": True, "checked": "intact-only"})
    r = tool("verify", frame_file, "--expect-author", holder.pub_hex)
    check(f"verify {alg}: another expected author exits 1", r.returncode == 1 and
          f"{frame_file}: signed by {author.pub_hex}, not by the expected author {holder.pub_hex}" in r.err, r.err)
    has(f"inspect frame {alg}", ok_json("inspect", frame_file), {
        "type": "frame", "frame_size": len(frame), "trailing_bytes": 0, "alg": alg_byte, "nonce": nonce, "ts": ts,
        "author": author.pub_hex, "owner": holder.pub_hex, "pol_text": "v1", "meta": f["meta"].hex(), "cid": cid,
        "ct": None, "ct_len": len(payload), "ct_preview": f"{f['ct'][:16].hex()}..{f['ct'][-8:].hex()} (512 bytes)",
        "tag": f["tag"].hex(), "sig": f["sig"].hex(), "policy": policy, "signature": {"valid": True, "reason": None}})
    has(f"inspect --full {alg}", ok_json("inspect", frame_file, "--full"), {"ct": f["ct"].hex(), "ct_preview": None})
    i = ok_json("inspect", token_file, "--now", "1970-01-01T00:33:21Z")
    has(f"inspect token {alg}", dict(i, rights=i.get("rights", {}).get("display")), dict(
        want, type="capability token", expired=True, rights="READ_FEATURES | READ_RAW", exp="1970-01-01T00:33:20Z",
        signature=token[116:].hex(), signature_check={"valid": True, "reason": None}))
    return author, holder, frame_file, token_file, cid


def test_failures(author, holder, frame_file, token_file, cid):
    """Each refusal by exit code, message naming the file and the failed check, kind and JSON fields;
    altered, policy-free and padded frames."""
    frame, token, payload = read(frame_file), read(token_file), b"from stdin"
    for name, data in (("tampered.frame", flip(frame, len(frame) - 81)),  # the last ciphertext byte
                       ("sigflip.frame", flip(frame, len(frame) - 1)), ("badsig.cap", flip(token, 150)),
                       ("garbage.frame", b"\x01" * 99), ("short.cap", token[:100]), ("cut.frame", frame[:-10]),
                       ("zeros.cap", bytes(180)), ("trailing.frame", frame + b"xyz"), ("meta.txt", b"just text")):
        write(name, data)
    for name, data in (("wrong.key", b"\x42" * 32), ("short.key", b"\x42" * 16), ("short.seed", b"\x01" * 31),
                       ("author.seed.hex", read(author.seed).hex().encode())):
        secret(name, data)
    with open(Path(WORK, "big.bin"), "wb") as big:  # sparse: 4 GiB that take no disk
        big.truncate(2**32)
    seal = ["seal", "--signing-seed", author.seed, "--in", "payload.bin", "--out", "x.frame"]
    for name, rights, scope in (("narrow.cap", "READ_FEATURES", ["--frame", frame_file]),
                                ("other.cap", "READ_RAW", ["--scope", "00" * 32])):
        tool("cap", "issue", "--issuer-seed", author.seed, "--rights", rights, "--exp", "+1d", "--holder",
             holder.pub_hex, "--out", name, *scope)

    def opening(frame_name=frame_file, key=author.key, cap=token_file, now=1000, out="out.bin", trust=True,
                presenter=holder.pub_hex):
        return (["open", frame_name, "--key", key, "--out", out, "--now", now] + (["--cap", cap] if cap else [])
                + ["--presenter", presenter] + (["--trust-issuer", author.pub_hex] if trust else []))

    tool(*seal[:3], "--key", author.key, "--author", "00" * 32, "--out", "zero.frame", "payload.bin")
    bad_frame = f"the token is for the frame {cid}, and tampered.frame is the frame "
    for name, args, message, kind, fields in [
            ("no token", opening(cap=None), f"{frame_file}: the frame's policy requires a capability token and none "
             "was given", "CapabilityInvalid", {"check": "no_token", "about": frame_file}),
            ("undecodable token", opening(cap="short.cap"), "short.cap: not a capability token: a token is 180 "
             "bytes; the file holds 100 (" + CAP_INVALID, "CapabilityInvalid",
             {"check": "undecodable_token", "expected_length": 180, "found_length": 100}),
            ("expired", opening(now="1970-01-01T00:33:21Z"), f"{token_file}: the token expired at 1970-01-01T00:33:20Z;"
             " the time now is 1970-01-01T00:33:21Z (--now) (" + CAP_INVALID, "CapabilityInvalid",
             {"check": "expired", "exp_ts": 2000, "now_ts": 2001, "library_error": CAP_INVALID}),
            ("expired by the system clock", opening()[:6] + opening()[8:], "time now is 20", "CapabilityInvalid",
             {"check": "expired", "now_from": "system clock"}),
            ("wrong holder", opening(presenter=author.pub_hex), f"{token_file}: the token was issued to holder "
             f"{holder.pub_hex}, not to the presenter {author.pub_hex}", "CapabilityInvalid",
             {"check": "wrong_holder", "holder_pub": holder.pub_hex}),
            ("untrusted issuer", opening(trust=False), f"{token_file}: the token was issued by {author.pub_hex}, "
             f"which is not trusted: trusted are the frame's owner {holder.pub_hex}; if you trust this issuer, add "
             f"--trust-issuer {author.pub_hex} (" + CAP_INVALID, "CapabilityInvalid",
             {"check": "untrusted_issuer", "issuer_pub": author.pub_hex}),
            ("bad issuer signature", opening(cap="badsig.cap"), "badsig.cap: the issuer's signature on the token does "
             "not hold", "SignatureInvalid", {"check": "bad_issuer_signature"}),
            ("another frame's token", opening(cap="other.cap"), "other.cap: the token is for the frame " + "00" * 32,
             "PolicyViolation", {"check": "other_frame", "cid": cid}),
            ("tampered", opening(frame_name="tampered.frame"), bad_frame, "PolicyViolation",
             {"check": "other_frame", "scope_cid": cid}),
            ("missing rights", opening(cap="narrow.cap"), "narrow.cap: the token grants READ_FEATURES; the frame's "
             "policy requires READ_RAW: missing READ_RAW (" + POLICY, "PolicyViolation",
             {"check": "missing_rights", "missing": ["READ_RAW"]}),
            ("wrong key", opening(key="wrong.key"), f"{frame_file}: the data key wrong.key does not open this frame",
             "AeadTagMismatch", {"check": "wrong_key_or_damaged"}),
            ("short key", opening(key="short.key"), "short.key: a data key is 32 bytes (or 64 hexadecimal digits); "
             "the file holds 16 bytes (key unavailable)", "KeyUnavailable", {"expected_length": 32, "found_length": 16}),
            ("31-byte seed", ["keys", "public", "--signing-seed", "short.seed"], "short.seed: a signing seed is 32 "
             "bytes (or 64 hexadecimal digits); the file holds 31 bytes", None, {"found_length": 31}),
            ("not a frame", ["verify", "garbage.frame", "--intact-only"], "garbage.frame: not a frame: a frame is at "
             "least 216 bytes; the file holds 99 (invalid frame format: too short)", "InvalidFormat",
             {"expected_min_length": 216, "found_length": 99}),
            ("cut frame", opening(frame_name="cut.frame"), f"cut.frame: the frame is cut short: its lengths (pol 2, "
             f"meta {len(parse_frame(frame)['meta'])}, ct 512) make {len(frame)} bytes; the file holds {len(frame) - 10}", "InvalidFormat",
             {"expected_length": len(frame), "found_length": len(frame) - 10}),
            ("4 GiB payload", seal[:3] + ["--key", author.key, "big.bin", "--out", "x.frame"], "big.bin: a frame "
             "carries at most 4294967295 bytes of payload; found 4294967296 (invalid frame format: payload too long)",
             "InvalidFormat", {"found_length": 2**32}),
            ("small-order author", ["verify", "zero.frame", "--intact-only"], f"zero.frame: the author field "
             f"{'00' * 32} is not a usable public key", "InvalidFormat", {"check": "author_key"}),
            ("180 zero bytes", ["inspect", "zeros.cap"], "180 bytes, but not a capability token", None, {}),
            ("payload into a link", opening(out="link.key"), "link.key: it is a symbolic link", None,
             {"about": "link.key"})]:
        expect_failure(name, args, message, kind, fields=fields)
    check("nothing written by refusals, no temporary file left", not {"out.bin", "x.frame"} & set(os.listdir(WORK))
          and not [n for n in os.listdir(WORK) if n.startswith(".")] and read("target.txt") == b"kept")

    for name in ("tampered.frame", "sigflip.frame"):
        r = tool("verify", name, "--expect-author", author.pub_hex, "--json")
        obj = json.loads(r.stdout or "{}")
        check(f"verify {name}: exit 1, reported", r.returncode == 1 and f"{name}: the signature does not hold" in r.err
              and SIGNATURE in r.err and obj.get("valid") is False and obj.get("reason") == "signature"
              and obj.get("cid") not in (None, cid), obj)
    r = tool(*opening(frame_name="trailing.frame"))  # trailing bytes are not part of the frame
    eq("trailing bytes: opens, same cid, counted", (r.returncode, r.returncode or read("out.bin"),
                                                    ok_json("verify", "trailing.frame", "--intact-only").get("cid"),
                                                    ok_json("inspect", "trailing.frame").get("trailing_bytes")),
       (0, read("payload.bin"), cid, 3))
    # key (hex.key of the round trip) and seed as hex digits, payload from stdin, another author
    obj = ok_json(*seal[:2], "author.seed.hex", "--key", "hex.key", "--in", "-", "--out", "nopol.frame",
                  "--meta-file", "meta.txt", "--author", holder.pub_hex, stdin=payload)
    f, r = parse_frame(read("nopol.frame")), tool("verify", "nopol.frame", "--intact-only")
    check("seal --author, stdin: signed by the seed, does not verify", r.returncode == 1 and SIGNATURE in r.err
          and f["author"] == holder.pub and f["ct"] != b"" and signed(author.pub, read("nopol.frame")[:-64], f["sig"]))


def test_mapped(author, holder, *_):
    """A few MiB through mapped files and through standard input and output give the same bytes;
    a refused opening of a mapped frame leaves nothing behind."""
    payload = os.urandom(3 << 20) + b"end"
    write("big.payload", payload)
    sealing = ["seal", "--key", author.key, "--signing-seed", author.seed, "--require-cap", "--out"]
    mapped, piped = tool(*sealing, "m.frame", "big.payload"), tool(*sealing, "-", "-", stdin=payload)
    frames = [read("m.frame"), piped.stdout]
    for i, frame in enumerate(frames):
        write(f"f{i}.frame", frame)
        tool("cap", "issue", "--issuer-seed", author.seed, "--frame", f"f{i}.frame", "--rights", 0, "--exp", "+1h",
             "--holder", holder.pub_hex, "--out", f"f{i}.cap")
    opening = ["open", "--key", author.key, "--presenter", holder.pub_hex]
    outs = [tool(*opening, "f0.frame", "--cap", "f0.cap", "--out", "m.out"),
            tool(*opening, "-", "--cap", "f1.cap", "--out", "-", stdin=frames[1])]
    f0, f1 = parse_frame(frames[0]), parse_frame(frames[1])
    check("mapped and in-memory paths: same layout, both open to the payload, both verify",
          mapped.returncode == piped.returncode == 0 and len(frames[0]) == len(frames[1]) and
          {k: v for k, v in f0.items() if k not in ("nonce", "ct", "tag", "sig")} ==
          {k: v for k, v in f1.items() if k not in ("nonce", "ct", "tag", "sig")} and
          read("m.out") == outs[1].stdout == payload and mode("m.out") == 0o600 and
          all(tool("verify", f"f{i}.frame", "--expect-author", author.pub_hex).returncode == 0 for i in (0, 1)),
          [r.err[:200] for r in (mapped, piped, *outs)])
    write("f0bad.frame", flip(frames[0], len(frames[0]) - 81))
    r = tool(*opening, "f0bad.frame", "--cap", "f0.cap", "--out", "bad.out", "--any-issuer")
    check("a refused mapped opening leaves no output and no temporary file", r.returncode == 1 and
          "wrong_key" not in r.err and not [n for n in os.listdir(WORK) if "bad.out" in n], r.err)
    r = tool(*opening, "f0.frame", "--cap", "f0.cap", "--out", "/dev/null")
    check("open --out /dev/null", r.returncode == 0, r.err)


def test_shortened(author, holder, frame_file, token_file, *_):
    """A mapped input that another process cuts short while the tool reads it: the tool names the
    file, exits 1 and leaves neither output nor temporary file (a preloaded mmap does the cutting)."""
    binary = Path(TOOL[-1]).read_bytes()
    if len(TOOL) > 1 or b"__asan_init" in binary or b"__tsan_init" in binary:
        print("skipped test_shortened: the tool runs under an emulator or a sanitizer")
        return
    shim = Path(WORK, "shorten_mapped.so")
    r = subprocess.run(["cc", "-shared", "-fPIC", "-O1", "-o", shim, Path(__file__).with_name("shorten_mapped.c"),
                        "-ldl"], capture_output=True, text=True)
    check("the shortening shim builds", r.returncode == 0, r.stderr)
    payload = os.urandom(1 << 20)
    frame = read(frame_file)
    for name, data, args in (
            ("seal", payload, ["seal", "--key", author.key, "--signing-seed", author.seed, "short.in", "--out", "short.out"]),
            ("open", frame, ["open", "--key", author.key, "--cap", token_file, "--presenter", holder.pub_hex,
                             "--any-issuer", "short.in", "--out", "short.out"]),
            ("verify", frame, ["verify", "short.in", "--intact-only"])):
        write("short.in", data)
        r = tool(*args, env={**os.environ, "LD_PRELOAD": str(shim), "SHORTEN_MAPPED": "short.in"})
        check(f"{name}: an input shortened while mapped is named, and nothing is left behind",
              r.returncode == 1 and r.err == "tessella: cannot read short.in: the file was shortened while it was "
              "being read\n" and not [n for n in os.listdir(WORK) if "short.out" in n], (r.returncode, r.err[:300]))
    write("short.in", payload)
    r = tool("seal", "--key", author.key, "--signing-seed", author.seed, "short.in", "--out", "short.out",
             env={**os.environ, "LD_PRELOAD": str(shim), "SHORTEN_MAPPED": "no-such-name"})
    check("the shim alone changes nothing", r.returncode == 0 and len(read("short.out")) > len(payload), r.err[:300])


def test_times(author, holder, frame_file, *_):
    """--exp and --now: seconds, RFC 3339 date-times, durations from now; a past expiry is warned of."""
    issue = ["cap", "issue", "--issuer-seed", author.seed, "--frame", frame_file, "--rights", 1, "--holder",
             holder.pub_hex, "--out", "t.cap", "--exp"]
    now = int(time.time())
    for text, want in (("1767225600", 1767225600), ("2026-01-01T00:00:00Z", 1767225600),
                       ("2026-01-01t01:30:00.25+01:30", 1767225600), ("2026-01-01 00:00:00z", 1767225600),
                       ("+90d", now + 90 * 86400), ("+1h", now + 3600), ("+2w", now + 14 * 86400)):
        r = tool(*issue, text)
        got = parse_token(read("t.cap"))["exp_ts"] if r.returncode == 0 else None
        check(f"--exp {text}", got is not None and abs(got - want) <= 5 and ("already past" in r.err) == (want < now),
              (got, want, r.err))
    for text in ("tomorrow", "2026-02-30T00:00:00Z", "+5y", "2026-01-01T00:00:00", "-1"):
        r = tool(*issue, text)
        check(f"--exp {text}: usage error naming the option", r.returncode == 2 and "--exp" in r.err
              and f'"{text}" is not a' in r.err, r.err[:200])


def test_rights():
    eq("rights", ok_json("rights", " READ_RAW|COMPUTE_USE|0x80000000 "), {
        "bits": 0x80000012, "display": "READ_RAW | COMPUTE_USE | 0x80000000", "names": ["READ_RAW", "COMPUTE_USE"],
        "diagnostic": "READ_RAW | COMPUTE_USE | 0x80000000", "unnamed": "0x80000000", "binary": bin(0x80000012),
        "octal": "020000000022", "hex": "0x80000012", "hex_upper": "0X80000012"})
    has("rights 0", ok_json("rights", "0"), {"bits": 0, "display": "", "diagnostic": "0x0", "octal": "0"})
    for text, message in (("READ_RAW||COMPUTE_USE", "empty flag"), ("read_raw", "unknown right name"),
                          ("0xg", "invalid hexadecimal flag"), ("4294967296", "above 4294967295")):
        expect_failure(f"rights {text!r}", ["rights", text], message)


def test_events(author, holder, frame_file, token_file, cid):  # the layout: crosscheck.py
    for kind, name in (("grant", "LicenseGrant"), ("read", "ReadEvent"), ("transfer", "OwnershipTransfer")):
        event = ["event", "--kind", kind, "--key", author.key, "--signing-seed", author.seed, "--rights", "0x12",
                 "--exp", 5, "--peer", holder.pub_hex]
        again, obj = tool(*event, "--scope", cid, "--out", "again.frame"), ok_json(*event, "--frame", frame_file,
                                                                                  "--out", "event.frame")
        r = tool("open", "event.frame", "--key", author.key, "--out", "-")
        check(f"event {kind}: the document, verifies, opens to nothing, --frame gives --scope's event",
              obj.get("document", {}).get("event") == name and r.returncode == again.returncode == 0 and
              r.stdout == b"" and read("again.frame") == read("event.frame") and
              ok_json("verify", "event.frame", "--expect-author", author.pub_hex).get("valid") is True, r.err)


def test_blind_index(author, *_):
    write("term.bin", b"\x00\xff binary")
    secret("hex64.key", b"ab" * 32)  # an index key is raw bytes, whatever they look like
    for key, args, term, stdin in (("hex64.key", ["--term-file", "term.bin"], b"\x00\xff binary", b""),
                                   (author.key, [], b"invoice-2024", b"invoice-2024")):
        obj = ok_json("blind-index", "--key", key, *args, stdin=stdin)
        eq(f"blind-index {key} {args}: the token, the term not echoed", obj, {
            "term_len": len(term), "token": hmac.new(read(key), term, "sha256").hexdigest()})
    r = tool("blind-index", "--key", author.key, "--term", "secret-term")
    check("blind-index --term: refused, the term not echoed", r.returncode == 2 and "never from the command line"
          in r.err and "secret-term" not in r.err, r.err[:300])


def test_demo():
    runs = [tool("demo", "--seed", seed) for seed in (1, 1, 2)]
    check("demo --seed: exit 0, the same run for the same seed only", all(r.returncode == 0 for r in runs)
          and runs[0].stdout == runs[1].stdout != runs[2].stdout, [r.err[-300:] for r in runs])
    d = ok_json("demo", "--seed", 1)
    s, keys = d["steps"], restore(d["steps"]["phrase"]["phrase"])
    eq("demo: JSON ok, keys of the phrase, refusals", (d["ok"], d["problems"], s["phrase"]["data_key"],
       s["phrase"]["signing_seed"], {k: v.get("kind") for k, v in s["refusals"].items()}),
       (True, [], keys[0].hex(), keys[1].hex(), {
           "no_token": "CapabilityInvalid", "wrong_holder": "CapabilityInvalid", "expired": "CapabilityInvalid",
           "missing_right": "PolicyViolation", "tampered": "PolicyViolation", "self_issued": "CapabilityInvalid",
           "tampered_own_token": "AeadTagMismatch"}))


def test_usage(author, holder, frame_file, *_):
    seal = ["seal", "--key", author.key, "--signing-seed", author.seed, "--in", "payload.bin", "--out", "x"]
    issue = ["cap", "issue", "--issuer-seed", author.seed, "--holder", holder.pub_hex, "--out", "x", "--rights", 1]
    for args, message in [([], "A subcommand is required"), (["frobnicate"], "unknown command: frobnicate"),
                          (seal[:1] + seal[3:], "tessella seal: --key"), (["verify", frame_file], "whose signature"),
                          (["open", frame_file, "--key", author.key, "--out", "x", "--now", 5, "--skip-expiry"],
                           "excludes"),
                          (issue + ["--frame", frame_file, "--exp", 2**64], "is not a time"),
                          (issue + ["--exp", 1, "--frame", frame_file, "--scope", "00" * 32], "excludes"),
                          (seal + ["--allowed-ops", 1], "--require"), (seal[:-1] + ["-", "--json"], "give --out a file")]:
        r = tool(*args)
        check(f"usage {args}: exit 2, message, help", r.returncode == 2 and message in r.err and r.err.startswith(
            "tessella") and "Usage: tessella" in r.err,
              r.err[:300])
    check("usage errors write nothing", not os.path.exists(Path(WORK, "x")))
    for cmd in ([], ["seal"], ["inspect"]):
        r = tool(*cmd, "--help")
        usage, example = r.stdout.split(b"Example:", 1) if b"Example:" in r.stdout else (r.stdout, b"")
        check(f"--help {cmd}: exit 0, usage, then an example of the command", r.returncode == 0 and b"Usage:" in
              usage and " ".join(["tessella"] + cmd).encode() in example, r.stdout[-300:] + r.stderr[:300])
    with open("/dev/full", "wb") as full:
        r = subprocess.run(TOOL + ["verify", "--in", frame_file, "--intact-only"], stdout=full, stderr=subprocess.PIPE, cwd=WORK)
    check("unwritable output: exit 1", r.returncode == 1 and b"cannot write standard output" in r.stderr)
    check("--version", tool("--version").stdout.strip() != b"")
    os.mkdir(Path(WORK, "docs"))  # the completions and man page the build installs
    r = tool("generate-docs", "docs")
    bash_file, man = (Path(WORK, "docs", n).read_text() if r.returncode == 0 else "" for n in ("tessella.bash", "tessella.1"))
    check("generate-docs: every command in the man page, their options in the completions, valid bash",
          all(f".SS tessella {c}" in man for c in ("seal", "open", "verify", "cap issue", "keys public", "inspect"))
          and all(o in bash_file for o in ("--trust-issuer", "--intact-only", "--skip-expiry", "--term-file"))
          and "--term " not in bash_file and "generate-docs" not in tool("--help").out
          and subprocess.run(["bash", "-n", Path(WORK, "docs", "tessella.bash")]).returncode == 0, r.err)


def run(fn, *args):
    try:
        return fn(*args)
    except Exception:
        check(f"{fn.__name__} raised", False, traceback.format_exc())


def main():
    global TOOL, WORK
    os.umask(0o022)
    TOOL = sys.argv[1:-1] + [os.path.abspath(sys.argv[-1])]  # an emulator (qemu for arm64) may come first
    with tempfile.TemporaryDirectory(prefix="tessella-cli-") as WORK:
        run(test_keys)
        shared = [run(test_round_trip, alg) for alg in ("chacha", "aes")][-1]
        for fn in (test_failures, test_mapped, test_shortened, test_times, test_events, test_blind_index, test_usage) if shared else ():
            run(fn, *shared)
        run(test_rights)
        run(test_demo)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
