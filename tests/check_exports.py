"""Checks the shared library's exported symbols against the committed list, exactly: the C ABI by
name, the C++ API demangled. A symbol added or lost is a deliberate change to that list.
Usage: check_exports.py NM LIB LIST"""
import subprocess
import sys


def main() -> int:
    nm, lib, listed = sys.argv[1], sys.argv[2], sys.argv[3]
    out = subprocess.run([nm, "-D", "--defined-only", lib], check=True, capture_output=True,
                         text=True).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    demangled = subprocess.run(["c++filt"], input="\n".join(names), check=True,
                               capture_output=True, text=True).stdout.splitlines()
    exported = set(demangled)
    expected = {line.rstrip("\n") for line in open(listed) if line.strip()}
    failures = 0
    for name in sorted(expected - exported):
        print(f"missing: {name}")
        failures += 1
    for name in sorted(exported - expected):
        print(f"exported but not in {listed}: {name}")
        failures += 1
    print(f"{len(exported & expected)} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
