#!/usr/bin/python3
"""Drives the tessella tool as a user would: files in, files out, exit codes, messages, JSON.
Usage: cli_test.py [EMULATOR...] TOOL. Wire formats, keys and tokens are recomputed here independently;
Ed25519 signatures are checked with `cryptography`. Ends with "N passed, M failed"."""
import hashlib, hmac, json, os, stat, subprocess, sys, tempfile, traceback  # noqa: E401
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
    r.err = r.stderr.decode("utf-8", "replace")
    return r


def ok_json(*args, stdin=b""):
    """Runs a command with --json that must succeed and returns its JSON object."""
    r = tool(*args, "--json", stdin=stdin)
    check(f"{args}: exit 0", r.returncode == 0, r.err[:300])
    return json.loads(r.stdout) if r.returncode == 0 else {}


def expect_failure(name, args, message, kind=None, stdin=b""):
    """Exit 1 with the message on stderr and nothing on stdout; with --json, the error object."""
    r, rj = tool(*args, stdin=stdin), tool(*args, "--json", stdin=stdin)
    check(name, r.returncode == 1 and message in r.err and r.stdout == b"", f"{r.returncode}: {r.err[:300]}")
    o = json.loads(rj.stdout or "{}")
    check(f"{name} --json", rj.returncode == 1 and message in o.get("error", "") and o.get("kind") == kind, o)


def read(name): return Path(WORK, name).read_bytes()  # noqa: E704
def write(name, data): Path(WORK, name).write_bytes(data)  # noqa: E704
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
    write("alice.seed.hex", read(a.seed).hex().encode() + b"\n")  # raw bytes or hexadecimal digits
    has("keys public", ok_json("keys", "public", "--signing-seed", "alice.seed.hex"), {"public_key": a.pub_hex})
    for phrase in ("abandon " * 11 + "abandon", " ".join(words[:-1] + ["tessella"])):  # checksum; no word
        expect_failure(f"keys restore {phrase}", ["keys", "restore"], "invalid frame format: invalid mnemonic",
                       "InvalidFormat", stdin=phrase.encode())
    expect_failure("keys new: secrets never to stdout", ["keys", "new", "--key-out", "-"], "written to files only")


def test_round_trip(alg):
    """seal -> cap issue -> open -> verify -> inspect through files, checked field by field."""
    author, holder, nonce, ts = Party(f"a-{alg}"), Party(f"h-{alg}"), "0102030405060708090a0b0c", "00" * 15 + "2a"
    payload, frame_file, token_file = bytes(range(256)) * 2, f"{alg}.frame", f"{alg}.cap"
    alg_byte = 1 if alg == "aes" else 2
    write("payload.bin", payload)
    write("pol.txt", b"v1")
    seal = ["seal", "--alg", alg, "--key", author.key, "--signing-seed", author.seed, "--in", "payload.bin"]
    pinned = ["--require-cap", "--allowed-ops", "READ_RAW", "--nonce", nonce, "--ts", ts, "--pol-file", "pol.txt",
              "--owner", holder.pub_hex, "--prev", "cd" * 32, "--hdr2", 7, "--hdr3", 255]
    sealed, policy = ok_json(*seal, *pinned, "--out", frame_file), {"require_cap": True, "allowed_ops": 2}
    frame, cid = read(frame_file), sealed.get("cid", "")
    f = parse_frame(frame)
    has(f"seal {alg}", dict(f, policy=json.loads(f["meta"]), ct=(len(f["ct"]), f["ct"] == payload)), {
        "version": 1, "alg": alg_byte, "hdr2": 7, "hdr3": 255, "nonce": bytes.fromhex(nonce), "pol": b"v1",
        "ts": bytes.fromhex(ts), "author": author.pub, "owner": holder.pub, "prev_cid": bytes.fromhex("cd" * 32),
        "policy": policy, "ct": (len(payload), False)})
    r, r2 = tool(*seal, *pinned, "--out", "again.frame"), tool(*seal, "--out", "fresh.frame")
    check(f"seal {alg}: signed; one nonce, one frame; a random nonce by default",
          signed(author.pub, frame[:-64], f["sig"]) and r.returncode == r2.returncode == 0
          and read("again.frame") == frame and parse_frame(read("fresh.frame"))["nonce"] != f["nonce"])

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

    opening = ["open", "--in", frame_file, "--cap", token_file, "--presenter", holder.pub_hex]
    if alg == "aes":  # the second run replaces a readable payload file
        write("plain.bin", b"old")
        os.chmod(Path(WORK, "plain.bin"), 0o644)
    obj = ok_json(*opening, "--key", author.key, "--now", 1999, "--out", "plain.bin")
    eq(f"open {alg}: owner-only payload", (read("plain.bin"), mode("plain.bin"), obj.get("plaintext_size"),
                                           obj.get("cid")), (payload, 0o600, len(payload), cid))
    write("hex.key", b" " + read(author.key).hex().upper().encode() + b"\n")  # 64 hexadecimal digits
    for extra in (["--key", author.key, "--now", 2000], ["--key", "hex.key"]):  # at the expiry; no clock
        r = tool(*opening, "--out", "-", *extra)
        check(f"open {alg} {extra}: payload on stdout", r.returncode == 0 and r.stdout == payload, r.err)
    has(f"verify {alg}", ok_json("verify", "--in", frame_file, "--expect-author", author.pub_hex),
        {"valid": True, "reason": None, "cid": cid, "author": author.pub_hex, "author_expected": True})
    r = tool("verify", "--in", frame_file, "--expect-author", holder.pub_hex)
    check(f"verify {alg}: another expected author exits 1", r.returncode == 1 and "not the expected key" in r.err)
    has(f"inspect frame {alg}", ok_json("inspect", frame_file), {
        "type": "frame", "frame_size": len(frame), "trailing_bytes": 0, "alg": alg_byte, "nonce": nonce, "ts": ts,
        "author": author.pub_hex, "owner": holder.pub_hex, "pol_text": "v1", "meta": f["meta"].hex(), "cid": cid,
        "ct": f["ct"].hex(), "tag": f["tag"].hex(), "sig": f["sig"].hex(), "policy": policy,
        "signature": {"valid": True, "reason": None}})
    i = ok_json("inspect", token_file, "--now", 2001)
    has(f"inspect token {alg}", dict(i, rights=i.get("rights", {}).get("display")), dict(
        want, type="capability token", expired=True, rights="READ_FEATURES | READ_RAW",
        signature=token[116:].hex(), signature_check={"valid": True, "reason": None}))
    return author, holder, frame_file, token_file, cid


def test_failures(author, holder, frame_file, token_file, cid):
    """Representative refusals by exit code, message and kind; altered, policy-free and padded frames."""
    frame, token, payload = read(frame_file), read(token_file), b"from stdin"
    for name, data in (("tampered.frame", flip(frame, len(frame) - 81)),  # the last ciphertext byte
                       ("sigflip.frame", flip(frame, len(frame) - 1)), ("badsig.cap", flip(token, 150)),
                       ("wrong.key", b"\x42" * 32), ("short.key", b"\x42" * 16), ("garbage.frame", b"\x01" * 99),
                       ("short.seed", b"\x01" * 31), ("zeros.cap", bytes(180)), ("trailing.frame", frame + b"xyz"),
                       ("meta.txt", b"just text"), ("author.seed.hex", read(author.seed).hex().encode())):
        write(name, data)
    seal = ["seal", "--signing-seed", author.seed, "--in", "payload.bin", "--out", "x.frame"]

    def opening(frame_name=frame_file, key=author.key, cap=token_file, now=1000, out="out.bin"):
        return ["open", "--key", key, "--in", frame_name, "--out", out, "--now", now, "--cap", cap,
                "--presenter", holder.pub_hex]

    for name, args, message, kind in [
            ("expired", opening(now=2001), CAP_INVALID, "CapabilityInvalid"),
            ("tampered", opening(frame_name="tampered.frame"), POLICY, "PolicyViolation"),
            ("bad token signature", opening(cap="badsig.cap"), SIGNATURE, "SignatureInvalid"),
            ("wrong key", opening(key="wrong.key"), "aead tag mismatch", "AeadTagMismatch"),
            ("short key", opening(key="short.key"), "key unavailable", "KeyUnavailable"),
            ("31-byte seed", ["keys", "public", "--signing-seed", "short.seed"], "32 bytes (or 64 hexadecimal "
             "digits), not 31 bytes", None),
            ("not a frame", ["verify", "--in", "garbage.frame"], "frame format: too short", "InvalidFormat"),
            ("180 zero bytes", ["inspect", "zeros.cap"], "180 bytes, but not a capability token", None),
            ("payload into a link", opening(out="link.key"), "link.key: it is a symbolic link", None)]:
        expect_failure(name, args, message, kind)
    check("nothing written by refusals", not {"out.bin", "x.frame"} & set(os.listdir(WORK))
          and read("target.txt") == b"kept")

    for name in ("tampered.frame", "sigflip.frame"):
        r = tool("verify", "--in", name, "--json")
        obj = json.loads(r.stdout or "{}")
        check(f"verify {name}: exit 1, reported", r.returncode == 1 and SIGNATURE in r.err and obj.get("valid")
              is False and obj.get("reason") == "signature" and obj.get("cid") not in (None, cid), obj)
    r = tool(*opening(frame_name="trailing.frame"))  # trailing bytes are not part of the frame
    eq("trailing bytes: opens, same cid, counted", (r.returncode, r.returncode or read("out.bin"),
                                                    ok_json("verify", "--in", "trailing.frame").get("cid"),
                                                    ok_json("inspect", "trailing.frame").get("trailing_bytes")),
       (0, read("payload.bin"), cid, 3))
    # key (hex.key of the round trip) and seed as hex digits, payload from stdin, another author
    obj = ok_json(*seal[:2], "author.seed.hex", "--key", "hex.key", "--in", "-", "--out", "nopol.frame",
                  "--meta-file", "meta.txt", "--author", holder.pub_hex, stdin=payload)
    f, r = parse_frame(read("nopol.frame")), tool("verify", "--in", "nopol.frame")
    check("seal --author, stdin: signed by the seed, does not verify", r.returncode == 1 and SIGNATURE in r.err
          and f["author"] == holder.pub and f["ct"] != b"" and signed(author.pub, read("nopol.frame")[:-64], f["sig"]))


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
        r = tool("open", "--key", author.key, "--in", "event.frame", "--out", "-")
        check(f"event {kind}: the document, verifies, opens to nothing, --frame gives --scope's event",
              obj.get("document", {}).get("event") == name and r.returncode == again.returncode == 0 and
              r.stdout == b"" and read("again.frame") == read("event.frame") and
              ok_json("verify", "--in", "event.frame").get("valid") is True, r.err)


def test_blind_index(author, *_):
    write("term.bin", b"\x00\xff binary")
    for args, term in ((["--term", "invoice-2024"], b"invoice-2024"), (["--term-file", "term.bin"], b"\x00\xff binary")):
        has(f"blind-index {args}", ok_json("blind-index", "--key", author.key, *args),
            {"token": hmac.new(read(author.key), term, "sha256").hexdigest(), "term_len": len(term)})


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
           "missing_right": "PolicyViolation", "tampered": "PolicyViolation", "tampered_own_token": "AeadTagMismatch"}))


def test_usage(author, holder, frame_file, *_):
    seal = ["seal", "--key", author.key, "--signing-seed", author.seed, "--in", "payload.bin", "--out", "x"]
    issue = ["cap", "issue", "--issuer-seed", author.seed, "--holder", holder.pub_hex, "--out", "x", "--rights", 1]
    for args, message in [([], "A subcommand is required"), (["frobnicate"], "unknown command: frobnicate"),
                          (seal[:1] + seal[3:], "--key"), (seal + ["--nonce", "0102"], "24 hexadecimal digits"),
                          (issue + ["--frame", frame_file, "--exp", 2**64], "expected a number"),
                          (issue + ["--exp", 1, "--frame", frame_file, "--scope", "00" * 32], "excludes"),
                          (seal + ["--allowed-ops", 1], "--require"), (seal[:-1] + ["-", "--json"], "give --out a file")]:
        r = tool(*args)
        check(f"usage {args}: exit 2, message, help", r.returncode == 2 and message in r.err and "Usage:" in r.err,
              r.err[:300])
    check("usage errors write nothing", not os.path.exists(Path(WORK, "x")))
    for cmd in ([], ["seal"], ["inspect"]):
        r = tool(*cmd, "--help")
        usage, example = r.stdout.split(b"Example:", 1) if b"Example:" in r.stdout else (r.stdout, b"")
        check(f"--help {cmd}: exit 0, usage, then an example of the command", r.returncode == 0 and b"Usage:" in
              usage and " ".join(["tessella"] + cmd).encode() in example, r.stdout[-300:] + r.stderr[:300])
    with open("/dev/full", "wb") as full:
        r = subprocess.run(TOOL + ["verify", "--in", frame_file], stdout=full, stderr=subprocess.PIPE, cwd=WORK)
    check("unwritable output: exit 1", r.returncode == 1 and b"cannot write standard output" in r.stderr)
    check("--version", tool("--version").stdout.strip() != b"")


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
        for fn in (test_failures, test_events, test_blind_index, test_usage) if shared else ():
            run(fn, *shared)
        run(test_rights)
        run(test_demo)
    print(f"{passed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
