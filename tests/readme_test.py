"""Checks that the README's C++ and C quick starts are the example programs, byte for byte, so
that the code a reader copies is the code that the example tests build and run.
Usage: readme_test.py README EXAMPLES_DIR"""
import difflib
import pathlib
import re
import sys


def main() -> int:
    readme = pathlib.Path(sys.argv[1]).read_text()
    examples = pathlib.Path(sys.argv[2])
    failures = 0
    for lang, name in (("cpp", "seal_grant_open.cpp"), ("c", "seal_grant_open.c")):
        blocks = re.findall(rf"^```{lang}\n(.*?)^```$", readme, re.S | re.M)
        program = (examples / name).read_text()
        if program in blocks:
            continue
        failures += 1
        print(f"no ```{lang} block of the README is examples/{name}")
        if blocks:
            sys.stdout.writelines(difflib.unified_diff(blocks[0].splitlines(True),
                                                       program.splitlines(True), "README", name))
    print(f"{2 - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
