#!/usr/bin/python3
"""The instruction-count gate: runs bench/instr_gate.cpp's driver under valgrind's callgrind,
which counts the instructions of each operation and of each primitive step of its floor (the
cheaper of OpenSSL and libsodium per step), and fails when an operation executes more than
MARGINS[op] times its floor's instructions. Instruction counts do not depend on the machine's
load, so the gate cannot be fooled by a busy machine the way timings are.

  bench/instr_gate.py --driver build/default/tests/tessella_instr_gate
  bench/instr_gate.py --driver ... --keep DIR      keep callgrind's output in DIR
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
import tempfile

# Operation -> (largest allowed tessella / floor instruction ratio, why tessella may exceed its
# floor by that much). The ratios measured are in docs/performance.md; each margin leaves room
# above them for compiler and library updates, and none is wide enough to hide one more pass
# over a 4 KiB payload or one more primitive call.
MARGINS = {
    "c:seal_bytes": (1.05, "header writing, argument checks and the owned frame's allocation"),
    "c:seal_bytes_into": (1.05, "header writing and argument checks"),
    "seal_bytes_into": (1.05, "header writing and argument checks"),
    "c:open_bytes": (1.35, "parse and policy read; at 64 B the AEAD is 2k instructions"),
    "c:open_bytes_into": (1.35, "parse and policy read; at 64 B the AEAD is 2k instructions"),
    "open_bytes_into": (1.35, "parse and policy read; at 64 B the AEAD is 2k instructions"),
    "c:open_bytes+cap": (1.05, "parse, policy read and token decoding beside a verification"),
    "c:verify_bytes": (1.05, "parse and the byte checks of the author key"),
    "c:seal_event": (1.10, "the event document, its associated data and the frame's copies"),
    "c:blind_index": (1.40, "a copy of the HMAC template context per call instead of a fresh one"),
}


def run(driver, valgrind, out_dir):
    cmd = [valgrind, "--tool=callgrind", "--instr-atstart=no", "--dump-line=no",
           "--callgrind-out-file=" + os.path.join(out_dir, "cg.out"), driver]
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
    args = ap.parse_args()

    out_dir = args.keep or tempfile.mkdtemp(prefix="instr_gate.")
    os.makedirs(out_dir, exist_ok=True)
    try:
        manifest = run(args.driver, args.valgrind, out_dir)
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
        margin = MARGINS.get(op)
        if margin is None:
            failures.append("%s: no margin committed" % op)
            continue
        ok = ratio <= margin[0]
        if not ok:
            failures.append("%s %s %s: %.3f x its floor, above the margin %.2f (%s)" % (
                op, alg, size, ratio, margin[0], margin[1]))
        rows.append((op, alg, size, "%d" % (counts[mine] // runs), "%d" % (floor // runs),
                     "%.3f" % ratio, "%.2f" % margin[0], "ok" if ok else "FAIL"))

    hdr = ("operation", "algorithm", "size", "tessella Ir", "floor Ir", "ratio", "margin", "")
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
