"""Rebuilds tessella's sealed frames, event frames and capability tokens with independent
implementations (Python's cryptography package for AEAD and Ed25519, hmac for the event nonce,
the b3sum tool for BLAKE3) and compares them byte for byte.

Usage: crosscheck.py SEED EMITTER-COMMAND..."""
import hashlib
import hmac
import json
import struct
import subprocess
import sys
import tempfile

from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
from cryptography.hazmat.primitives.ciphers.aead import AESGCM, ChaCha20Poly1305
from cryptography.hazmat.primitives.serialization import Encoding, PublicFormat

passed = 0
failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print(f"FAIL: {what}")


def b3(data: bytes) -> bytes:
    with tempfile.NamedTemporaryFile() as f:
        f.write(data)
        f.flush()
        out = subprocess.run(["b3sum", "--no-names", f.name], check=True, capture_output=True,
                             text=True).stdout.strip()
    return bytes.fromhex(out)


def associated_data(version, alg, hdr2, hdr3, nonce, ts, author, owner, prev, pol, meta, n):
    return (bytes([version, alg, hdr2, hdr3]) + nonce + ts + author + owner + prev +
            struct.pack(">HHI", len(pol), len(meta), n) + pol + meta)


def aead(alg, key):
    return AESGCM(key) if alg == 1 else ChaCha20Poly1305(key)


def public_key(seed: bytes) -> bytes:
    return Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes(
        Encoding.Raw, PublicFormat.Raw)


def expected_frame(alg, hdr2, hdr3, nonce, ts, author, owner, prev, pol, meta, pt, key, seed):
    aad = associated_data(1, alg, hdr2, hdr3, nonce, ts, author, owner, prev, pol, meta, len(pt))
    ct_tag = aead(alg, key).encrypt(nonce, pt, aad)
    signed = aad + ct_tag
    return signed + Ed25519PrivateKey.from_private_bytes(seed).sign(signed)


def check_frames(frames):
    for i, f in enumerate(frames):
        h = {k: bytes.fromhex(v) for k, v in f.items() if isinstance(v, str)}
        what = f"frame {i} (alg {f['alg']}, {len(h['plaintext'])} bytes)"
        check(public_key(h["seed"]) == h["author"], what + ": author is the signer's key")
        wire = expected_frame(f["alg"], f["hdr2"], f["hdr3"], h["nonce"], h["ts"], h["author"],
                              h["owner"], h["prev_cid"], h["pol"], h["meta"], h["plaintext"],
                              h["key"], h["seed"])
        check(wire == h["wire"], what + ": wire bytes")
        check(b3(h["wire"]) == h["cid"], what + ": content identifier")


def check_events(events):
    names = ["OwnershipTransfer", "ReadEvent", "LicenseGrant"]
    for i, e in enumerate(events):
        h = {k: bytes.fromhex(v) for k, v in e.items() if isinstance(v, str)}
        what = f"event {i} ({names[e['kind']]}, alg {e['alg']})"
        doc = json.dumps({"event": names[e["kind"]], "scope_cid": e["scope_cid"],
                          "rights": e["rights"], "exp_ts": e["exp_ts"], "peer_pub": e["peer_pub"],
                          "require_cap": False}, sort_keys=True, separators=(",", ":")).encode()
        zero_aad = associated_data(1, e["alg"], 1, 0, bytes(12), bytes(16), h["author"],
                                   h["owner"], h["prev_cid"], b"event", doc, 0)
        nonce = hmac.new(h["key"], b"tessella event nonce v1" + zero_aad,
                         hashlib.sha256).digest()[:12]
        wire = expected_frame(e["alg"], 1, 0, nonce, bytes(16), h["author"], h["owner"],
                              h["prev_cid"], b"event", doc, b"", h["key"], h["seed"])
        check(h["wire"][4:16] == nonce, what + ": derived nonce")
        check(wire == h["wire"], what + ": wire bytes")
        check(b3(h["wire"]) == h["cid"], what + ": content identifier")


def check_tokens(tokens):
    for i, t in enumerate(tokens):
        h = {k: bytes.fromhex(v) for k, v in t.items() if isinstance(v, str)}
        signed = (h["scope_cid"] + struct.pack("<IQ", t["rights"], t["exp_ts"]) + h["holder_pub"] +
                  h["issuer_pub"])
        sig = Ed25519PrivateKey.from_private_bytes(h["issuer_seed"]).sign(signed)
        check(h["token"] == signed + struct.pack("<Q", 64) + sig, f"token {i}")


def main():
    seed, command = sys.argv[1], sys.argv[2:]
    data = json.loads(subprocess.run(command + [seed], check=True, capture_output=True,
                                     text=True).stdout)
    check_frames(data["frames"])
    check_events(data["events"])
    check_tokens(data["tokens"])
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0


if __name__ == "__main__":
    sys.exit(main())
