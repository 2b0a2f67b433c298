"""Checks the shared library's exported symbols: exactly the committed C ABI list, plus C++
symbols of namespace tessella and nothing else. Usage: check_exports.py NM LIB LIST"""
import subprocess
import sys


def main() -> int:
    nm, lib, listed = sys.argv[1], sys.argv[2], sys.argv[3]
    out = subprocess.run([nm, "-D", "--defined-only", lib], check=True, capture_output=True,
                         text=True).stdout
    names = [line.split()[-1] for line in out.splitlines() if line.strip()]
    c_names = sorted(n for n in names if n.startswith("tessella_"))
    others = [n for n in names if not n.startswith("tessella_")]
    demangled = subprocess.run(["c++filt"], input="\n".join(others), check=True,
                               capture_output=True, text=True).stdout.splitlines() if others else []
    expected = sorted(line.strip() for line in open(listed) if line.strip())

    failures = 0
    for name in sorted(set(expected) - set(c_names)):
        print(f"missing C symbol: {name}")
        failures += 1
    for name in sorted(set(c_names) - set(expected)):
        print(f"C symbol not in {listed}: {name}")
        failures += 1
    for mangled, plain in zip(others, demangled):
        if not mangled.startswith("_Z") or "tessella::" not in plain.split("(")[0]:
            print(f"symbol outside the API: {plain} ({mangled})")
            failures += 1
    print(f"{len(c_names) + len(others) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
