"""Check that each wheel in a folder is consistent with manylinux_2_17 or an older policy, by auditwheel, and tagged so.

Usage: python scripts/check_wheels.py DIST  (the interpreter of a venv with
the cross group of pyproject.toml, which has auditwheel)
"""

import re
import subprocess
import sys
from pathlib import Path

# The newest glibc a wheel of ours may need: manylinux2014's.
NEWEST = (2, 17)


def policy(wheel: Path) -> tuple:
    shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", str(wheel)],
                           capture_output=True, text=True)
    text = " ".join(shown.stdout.split())
    found = re.search(r'consistent with the following platform tag: "manylinux_(\d+)_(\d+)_', text)
    if shown.returncode != 0 or not found:
        raise SystemExit(f"{wheel.name}: auditwheel show gives no manylinux policy:\n"
                         f"{shown.stdout}{shown.stderr}")
    return int(found.group(1)), int(found.group(2))


def main(folder: str) -> None:
    wheels = sorted(Path(folder).glob("tarvik_safety_control-*-cp3*.whl"))
    if not wheels:
        raise SystemExit(f"no wheels of the module in {folder}")
    failed = False
    for wheel in wheels:
        glibc = policy(wheel)
        tagged = re.search(r"-manylinux_(\d+)_(\d+)_(x86_64|aarch64)\.whl$", wheel.name)
        ok = glibc <= NEWEST and tagged and (int(tagged[1]), int(tagged[2])) == NEWEST
        print(f"{'ok' if ok else 'FAILED'}: {wheel.name}: auditwheel: manylinux_{glibc[0]}_{glibc[1]}")
        failed |= not ok
    if failed:
        raise SystemExit("a wheel needs a newer glibc than 2.17, or is not tagged manylinux_2_17")


if __name__ == "__main__":
    main(sys.argv[1])
