#!/usr/bin/env python3
"""Checks what a packager takes from a build: `cmake --install` puts the
images, and their signed copies when the build signs, under
PREFIX/lib/quillmere/ and nothing else anywhere; the signed copies verify
with the build's certificate and with no other.

  package_test.py WORK BUILD [CERT]

WORK is made afresh inside the build tree; CERT is the build's
QUILLMERE_SIGN_CERT when it signs. A build that does not sign has its layout
checked and the signature checks skipped, which the test says and reports
with exit status SKIPPED (77, CTest's skip status for it).
"""
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from signing_test import SCRIPTS, check_verifies, expect, failures  # noqa: E402
sys.path.insert(0, str(SCRIPTS))
import machines  # noqa: E402


SKIPPED = 77
IMAGES = [f"quillmere{arch}.efi" for arch in machines.architectures()]


def main():
    work, build = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    cert = Path(sys.argv[3]).resolve() if len(sys.argv) > 3 else None
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    prefix = work / "prefix"
    result = subprocess.run(["cmake", "--install", str(build), "--prefix", str(prefix)],
                            capture_output=True, text=True, timeout=120)
    if expect(result.returncode == 0, f"cmake --install failed: {result.stderr.strip()}"):
        names = IMAGES + ([f"{name}.signed" for name in IMAGES] if cert else [])
        installed = sorted(str(path.relative_to(prefix)) for path in prefix.rglob("*") if not path.is_dir())
        expect(installed == sorted(f"lib/quillmere/{name}" for name in names), f"installed {installed}")
        for name in names:
            target = prefix / "lib/quillmere" / name
            expect(target.is_file() and target.read_bytes() == (build / name).read_bytes(),
                   f"lib/quillmere/{name} is not build/{name}")
        print("installed:", " ".join(installed))
    if cert:
        other = work / "other-keys"
        subprocess.run([str(SCRIPTS / "make-keys.sh"), str(other)], capture_output=True, check=True, timeout=120)
        for name in IMAGES:
            signed = build / f"{name}.signed"
            before = len(failures)
            check_verifies(signed, cert, [other / "db.crt"])
            if len(failures) == before:
                print(f"{signed.name}: sbverify accepts it with {cert.name}, refuses it with another db.crt")
            else:
                # What the copy holds instead, so that a copy signed by hand
                # with another key is told from a broken signature.
                listed = subprocess.run(["sbverify", "--list", str(signed)], capture_output=True, text=True)
                subjects = [line.split(":", 1)[1].strip() for line in listed.stdout.splitlines()
                            if line.strip().startswith("- subject:")]
                failures.append(f"{signed} is not signed by the build's key {cert}: it carries "
                                + (f"a signature by {', '.join(subjects)} that {cert.name} does not verify"
                                   if subjects else "no signature sbverify can list"))
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        shutil.rmtree(work)
    if not failures and not cert:
        print("SKIPPED: the signature checks; this build does not sign "
              "(configure with QUILLMERE_SIGN_KEY and QUILLMERE_SIGN_CERT)")
        sys.exit(SKIPPED)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
