"""Has the tessella tool seal frames, record events and issue capability tokens from random
inputs, and rebuilds each with independent implementations (Python's cryptography package for
AEAD and Ed25519, hmac for the event nonce, the b3sum tool for BLAKE3), byte for byte.

Usage: crosscheck.py SEED [EMULATOR...] TOOL"""
import hashlib
import hmac
import json
import random
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM, ChaCha20Poly1305
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

passed = failed = 0
TOOL = WORK = RNG = None
KINDS = {"transfer": "OwnershipTransfer", "read": "ReadEvent", "grant": "LicenseGrant"}


def check(ok, what):
    global passed, failed
    passed, failed = passed + bool(ok), failed + (not ok)
    if not ok:
        print(f"FAIL: {what}")


def tool(*args, **files):
    """Runs the tool in WORK with the given files written first; returns the file it wrote and the
    identifier it reported."""
    for name, data in files.items():
        Path(WORK, name).write_bytes(data)
        Path(WORK, name).chmod(0o600)  # keys and seeds must be readable by their owner only
    r = subprocess.run(TOOL + [str(a) for a in args] + ["--out", "out.bin", "--json"], check=True, cwd=WORK,
                       capture_output=True)
    return Path(WORK, "out.bin").read_bytes(), bytes.fromhex(json.loads(r.stdout).get("cid", ""))


def b3(data):
    Path(WORK, "b3.bin").write_bytes(data)
    return bytes.fromhex(subprocess.run(["b3sum", "--no-names", "b3.bin"], check=True, capture_output=True,
                                        text=True, cwd=WORK).stdout.strip())


def public_key(seed):
    return Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes(Encoding.Raw, PublicFormat.Raw)


def expected_frame(alg, hdr2, hdr3, nonce, ts, seed, owner, prev, pol, meta, pt, key):
    aad = (bytes([1, alg, hdr2, hdr3]) + nonce + ts + public_key(seed) + owner + prev +
           struct.pack(">HHI", len(pol), len(meta), len(pt)) + pol + meta)
    signed = aad + (AESGCM(key) if alg == 1 else ChaCha20Poly1305(key)).encrypt(nonce, pt, aad)
    return signed + Ed25519PrivateKey.from_private_bytes(seed).sign(signed)


def check_frames():
    for alg in (1, 2):
        for size in (0, 1, 15, 1000, 70000):
            seed, key, ts, owner, prev = (RNG.randbytes(n) for n in (32, 32, 16, 32, 32))
            pol, meta, pt, hdr2, hdr3 = RNG.randbytes(RNG.randrange(40)), RNG.randbytes(RNG.randrange(300)), \
                RNG.randbytes(size), RNG.randrange(256), RNG.randrange(256)
            wire, cid = tool("seal", "--alg", "aes" if alg == 1 else "chacha", "--key", "k", "--signing-seed", "s",
                        "--in", "pt", "--pol-file", "pol", "--meta-file", "meta", "--ts",
                        ts.hex(), "--owner", owner.hex(), "--prev", prev.hex(), "--hdr2", hdr2, "--hdr3", hdr3,
                        k=key, s=seed, pt=pt, pol=pol, meta=meta)
            # The library draws the nonce; the rebuilt frame uses the one the frame carries, so a
            # frame sealed under any other nonce than its own field fails the comparison.
            want = expected_frame(alg, hdr2, hdr3, wire[4:16], ts, seed, owner, prev, pol, meta, pt, key)
            check(wire == want, f"frame alg {alg}, {size} bytes: wire bytes")
            check(b3(wire) == cid, f"frame alg {alg}, {size} bytes: content identifier")


def check_events():
    for alg in (1, 2):
        for kind, name in KINDS.items():
            seed, key, owner, prev, scope, peer = (RNG.randbytes(32) for _ in range(6))
            rights, exp = RNG.getrandbits(32), 2**64 - 1 if kind == "transfer" else RNG.getrandbits(64)
            wire, cid = tool("event", "--kind", kind, "--alg", "aes" if alg == 1 else "chacha", "--key", "k",
                        "--signing-seed", "s", "--owner", owner.hex(), "--prev", prev.hex(), "--scope", scope.hex(),
                        "--peer", peer.hex(), "--rights", hex(rights), "--exp", exp, k=key, s=seed)
            doc = json.dumps({"event": name, "scope_cid": scope.hex(), "rights": rights, "exp_ts": exp,
                              "peer_pub": peer.hex(), "require_cap": False}, sort_keys=True,
                             separators=(",", ":")).encode()
            zero_aad = (bytes([1, alg, 1, 0]) + bytes(28) + public_key(seed) + owner + prev +
                        struct.pack(">HHI", 5, len(doc), 0) + b"event" + doc)
            nonce = hmac.new(key, b"tessella event nonce v1" + zero_aad, hashlib.sha256).digest()[:12]
            check(wire[4:16] == nonce, f"event {name}, alg {alg}: derived nonce")
            check(wire == expected_frame(alg, 1, 0, nonce, bytes(16), seed, owner, prev, b"event", doc, b"", key),
                  f"event {name}, alg {alg}: wire bytes")
            check(b3(wire) == cid, f"event {name}, alg {alg}: content identifier")


def check_tokens():
    for i in range(4):
        seed, holder, scope = (RNG.randbytes(32) for _ in range(3))
        rights, exp = RNG.getrandbits(32), RNG.getrandbits(64)
        token, _ = tool("cap", "issue", "--issuer-seed", "s", "--rights", hex(rights), "--exp", exp, "--holder",
                     holder.hex(), "--scope", scope.hex(), s=seed)
        signed = scope + struct.pack("<IQ", rights, exp) + holder + public_key(seed)
        check(token == signed + struct.pack("<Q", 64) + Ed25519PrivateKey.from_private_bytes(seed).sign(signed),
              f"token {i}")


def main():
    global TOOL, WORK, RNG
    RNG = random.Random(int(sys.argv[1]))
    TOOL = sys.argv[2:-1] + [str(Path(sys.argv[-1]).resolve())]  # an emulator (qemu for arm64) may come first
    with tempfile.TemporaryDirectory(prefix="tessella-crosscheck-") as WORK:
        check_frames()
        check_events()
        check_tokens()
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
