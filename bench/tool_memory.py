#!/usr/bin/python3
"""Memory of the tessella tool on large payloads: seals, opens and verifies payloads of the given
sizes (default 64 MiB and 1 GiB) with each tool given, and prints a Markdown table of wall time,
throughput and peak memory. Not a test: it writes a few GiB and takes a minute or two.

Peak anonymous memory is RssAnon sampled from /proc/PID/status every millisecond while the tool
runs (the pages of mapped files are RssFile, which the kernel may drop and read again); peak
resident memory is VmHWM, the kernel's own high-water mark of the whole process (file pages
included), as last read before the process ended. (ru_maxrss from wait4 is not used: after fork
and exec it carries the high-water mark of the forking Python process.) The script itself never
holds a payload in memory.

Usage: tool_memory.py [--sizes 64M,1G] [--dir DIR] NAME=TOOL [NAME=TOOL ...]
  e.g. tool_memory.py before=/tmp/old/tessella after=build/default/tools/tessella/tessella"""
import argparse
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path


def size_of(text):
    units = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    return int(text[:-1]) * units[text[-1]] if text[-1] in units else int(text)


def run(args, cwd):
    """Runs a command; returns (wall seconds, peak RssAnon in KiB sampled, last VmHWM in KiB)."""
    start = time.perf_counter()
    proc = subprocess.Popen(args, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    peak_anon, hwm, status = 0, 0, Path(f"/proc/{proc.pid}/status")
    while True:
        pid, code, _ = os.wait4(proc.pid, os.WNOHANG)
        if pid:
            break
        try:
            for line in status.read_text().splitlines():
                if line.startswith("RssAnon:"):
                    peak_anon = max(peak_anon, int(line.split()[1]))
                elif line.startswith("VmHWM:"):
                    hwm = max(hwm, int(line.split()[1]))
        except (FileNotFoundError, ProcessLookupError, ValueError):
            pass
        time.sleep(0.001)
    wall = time.perf_counter() - start
    err = proc.stderr.read().decode()
    if os.waitstatus_to_exitcode(code) != 0:
        raise SystemExit(f"{' '.join(args)} failed: {err}")
    return wall, peak_anon, hwm


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--sizes", default="64M,1G")
    ap.add_argument("--dir", default=None, help="where the payloads go (default: a temporary folder)")
    ap.add_argument("tools", nargs="+", metavar="NAME=TOOL")
    opts = ap.parse_args()
    work = Path(tempfile.mkdtemp(prefix="tessella-mem-", dir=opts.dir))
    rows = []
    try:
        for spec in opts.tools:
            name, tool = spec.split("=", 1)
            tool = str(Path(tool).resolve())
            help_text = subprocess.run([tool, "verify", "--help"], capture_output=True, text=True).stdout
            # The tool since the trust defaults asks whose signature is expected.
            verify_extra = ["--intact-only"] if "--intact-only" in help_text else []
            subprocess.run([tool, "keys", "new", "--key-out", "k", "--signing-seed-out", "s", "--force"], cwd=work,
                           check=True, capture_output=True)
            for text in opts.sizes.split(","):
                n = size_of(text)
                with open(work / "payload", "wb") as f:  # random bytes, written in 16 MiB pieces
                    for done in range(0, n, 16 << 20):
                        f.write(os.urandom(min(16 << 20, n - done)))
                jobs = [("seal", [tool, "seal", "--in", "payload", "--out", "frame", "--key", "k", "--signing-seed",
                                  "s"]),
                        ("open", [tool, "open", "--in", "frame", "--out", "plain", "--key", "k"]),
                        ("verify", [tool, "verify", "--in", "frame", *verify_extra])]
                for op, args in jobs:
                    wall, anon, hwm = run(args, work)
                    rows.append((name, text, op, wall, n / wall / (1 << 20), anon / 1024, hwm / 1024))
                    print(f"{name} {text} {op}: {wall:.2f} s, RssAnon peak {anon / 1024:.1f} MiB, "
                          f"VmHWM {hwm / 1024:.1f} MiB", flush=True)
                if subprocess.run(["cmp", "-s", "plain", "payload"], cwd=work).returncode != 0:
                    raise SystemExit("the opened payload differs")
                for f in ("payload", "frame", "plain"):
                    (work / f).unlink()
    finally:
        shutil.rmtree(work)
    print("\n| tool | payload | command | wall time | throughput | peak RssAnon | peak resident (VmHWM) |")
    print("|---|---|---|---:|---:|---:|---:|")
    for name, text, op, wall, mbps, anon, hwm in rows:
        print(f"| {name} | {text}iB | {op} | {wall:.2f} s | {mbps:.0f} MiB/s | {anon:.1f} MiB | {hwm:.1f} MiB |")


if __name__ == "__main__":
    main()
