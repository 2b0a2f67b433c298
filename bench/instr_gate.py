#!/usr/bin/python3
"""The instruction-count gate: runs bench/instr_gate.cpp's driver under valgrind's callgrind,
which counts the instructions of each operation and of each primitive step of its floor (the
cheaper of OpenSSL and libsodium per step), and fails when an operation executes more than
its floor's instructions by more than MARGINS[op] per call. Instruction counts do not depend on the machine's
load, so the gate cannot be fooled by a busy machine the way timings are.

  bench/instr_gate.py --driver build/default/tests/tessella_instr_gate
  bench/instr_gate.py --driver ... --keep DIR      keep callgrind's output in DIR
  bench/instr_gate.py --driver ... --sizes 65536   other payload sizes, to look by hand
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile

# Operation -> (the most instructions per call it may execute beyond its floor, at every size and
# with either cipher; why it executes more than its floor at all). The floor takes, per step, the
# library with fewer instructions under valgrind, which at 4 KiB is libsodium for AES-256-GCM;
# tessella picks OpenSSL there because it is faster in time on CPUs with VAES, and OpenSSL's
# per-call context costs 0.8k to 1.2k instructions more. Measured values (RelWithDebInfo and
# Release) are in docs/performance.md; each margin is about 1.3 x the largest of them.
MARGINS = {
    "c:seal_bytes": (3000, "argument checks, header writes; OpenSSL's AES-GCM context at 4 KiB"),
    "c:seal_bytes_into": (2800, "argument checks, header writes; OpenSSL's AES-GCM context at 4 KiB"),
    "seal_bytes_into": (2700, "header writes; OpenSSL's AES-GCM context at 4 KiB"),
    "c:open_bytes": (2200, "parse, policy read, a new EVP context per call above the switch"),
    "c:open_bytes_into": (2000, "parse, policy read, a new EVP context per call above the switch"),
    "open_bytes_into": (1900, "parse, policy read, a new EVP context per call above the switch"),
    "c:open_bytes+cap": (3800, "as open_bytes, plus token decoding and the key's byte checks"),
    "c:verify_bytes": (400, "parse and the byte checks of the author key"),
    "c:seal_event": (6000, "the event document, and the associated data MACed for the nonce"),
    "c:blind_index": (400, "a copy of the unkeyed HMAC template context per call"),
}


def run(driver, valgrind, out_dir, sizes):
    cmd = [valgrind, "--tool=callgrind", "--instr-atstart=no", "--dump-line=no",
           "--callgrind-out-file=" + os.path.join(out_dir, "cg.out"), driver] + sizes
    res = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if res.returncode != 0:
        sys.stderr.write(res.stderr)
        sys.exit("instr_gate: %s exited with %d" % (driver, res.returncode))
    return res.stdout


def read_counts(out_dir):
    """Measurement name -> instructions (Ir) of all its calls."""
    counts = {}
    for path in glob.glob(os.path.join(out_dir, "cg.out.*")):
        name = total = None
        with open(path) as f:
            for line in f:
                if line.startswith("desc: Trigger: Client Request: "):
                    name = line[len("desc: Trigger: Client Request: "):].strip()
                elif line.startswith("summary: "):
                    total = int(line.split()[1])
                if name is not None and total is not None:
                    break
        if name is not None and total is not None:
            counts[name] = total
    return counts


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--driver", required=True)
    ap.add_argument("--valgrind", default="valgrind")
    ap.add_argument("--keep", help="directory for callgrind's output (kept)")
    ap.add_argument("--sizes", nargs="*", default=[],
                    help="payload sizes instead of the gate's (64 and 4096), to look by hand")
    args = ap.parse_args()

    out_dir = args.keep or tempfile.mkdtemp(prefix="instr_gate.")
    os.makedirs(out_dir, exist_ok=True)
    try:
        manifest = run(args.driver, args.valgrind, out_dir, args.sizes)
        counts = read_counts(out_dir)
    finally:
        if not args.keep:
            shutil.rmtree(out_dir, ignore_errors=True)

    runs = 1
    rows, failures, missing = [], [], []
    for line in manifest.splitlines():
        if line.startswith("# runs "):
            runs = int(line.split()[2])
            continue
        op, alg, size, mine, *steps = line.split()
        floor = 0
        for step in steps:
            variants = step.split("=", 1)[1].split(",")
            have = [counts[v] for v in variants if v in counts]
            missing += [v for v in variants if v not in counts]
            floor += min(have) if have else 0
        if mine not in counts or floor == 0:
            missing.append(mine)
            continue
        ratio = counts[mine] / floor
        extra = (counts[mine] - floor) // runs
        margin = MARGINS.get(op)
        if margin is None:
            failures.append("%s: no margin committed" % op)
            continue
        ok = extra <= margin[0]
        if not ok:
            failures.append("%s %s %s: %d instructions above its floor, margin %d (%s)" % (
                op, alg, size, extra, margin[0], margin[1]))
        rows.append((op, alg, size, "%d" % (counts[mine] // runs), "%d" % (floor // runs),
                     "%d" % extra, "%d" % margin[0], "%.3f" % ratio, "ok" if ok else "FAIL"))

    hdr = ("operation", "algorithm", "size", "tessella Ir", "floor Ir", "extra", "margin", "ratio",
           "")
    widths = [max(len(r[i]) for r in rows + [hdr]) for i in range(len(hdr))]
    print("Instructions per call (callgrind Ir, mean of %d calls after two warm-up calls)" % runs)
    for i, r in enumerate([hdr] + rows):
        print("  ".join(c.ljust(w) if j < 3 else c.rjust(w)
                        for j, (c, w) in enumerate(zip(r, widths))).rstrip())
        if i == 0:
            print("  ".join("-" * w for w in widths))
    if missing:
        failures.append("no count for: " + ", ".join(sorted(set(missing))))
    if failures:
        sys.stderr.write("instr_gate: FAILED\n  " + "\n  ".join(failures) + "\n")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
