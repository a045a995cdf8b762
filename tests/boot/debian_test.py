#!/usr/bin/env python3
"""Builds the Debian package as a packager does, `dpkg-buildpackage -b -us
-uc`, in a copy of the source tree (a package build leaves its files in the
tree it runs in), and checks what it made: one package, quillmere-efi,
holding an image for every architecture the build knows under
/usr/lib/quillmere/ and the same bytes as BUILD's images, with its copyright
file and changelog and nothing else; lintian reports no error.

  debian_test.py WORK SOURCE BUILD ARCH...

WORK is made afresh; ARCH are the build's architectures (x64, aa64, ...).
"""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from expect import expect, failures  # noqa: E402


def main():
    work, source, build = (Path(argument).resolve() for argument in sys.argv[1:4])
    architectures = sys.argv[4:]
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    tree = work / "quillmere"
    shutil.copytree(source, tree, symlinks=True,
                    ignore=shutil.ignore_patterns("build*", ".git", ".cache", "obj-*"))
    log = work / "dpkg-buildpackage.log"
    with open(log, "w") as output:
        result = subprocess.run(["dpkg-buildpackage", "-b", "-us", "-uc"], cwd=tree, stdout=output,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, timeout=900)
    if not expect(result.returncode == 0, f"dpkg-buildpackage failed with status {result.returncode}; its last "
                  f"lines: {log.read_text().splitlines()[-5:]} (all of it in {log})"):
        return
    packages = sorted(path.name for path in work.glob("*.deb"))
    if not expect(len(packages) == 1 and re.fullmatch(r"quillmere-efi_[^_]+_all\.deb", packages[0]),
                  f"dpkg-buildpackage made {packages}, want one quillmere-efi_VERSION_all.deb"):
        return
    package = work / packages[0]

    listing = subprocess.run(["dpkg", "-c", str(package)], capture_output=True, text=True, check=True).stdout
    files = sorted(line.split()[-1].removeprefix(".") for line in listing.splitlines() if not line.startswith("d"))
    images = [f"/usr/lib/quillmere/quillmere{arch}.efi" for arch in architectures]
    documents = ["/usr/share/doc/quillmere-efi/changelog.gz", "/usr/share/doc/quillmere-efi/copyright"]
    expect(files == sorted(images + documents), f"the package holds {files}, want {sorted(images + documents)}")
    contents = work / "contents"
    subprocess.run(["dpkg-deb", "-x", str(package), str(contents)], check=True)
    for image in images:
        path = contents / image.lstrip("/")
        expect(path.is_file() and path.read_bytes() == (build / Path(image).name).read_bytes(),
               f"{image} in the package is not the build's {Path(image).name}")
    fields = subprocess.run(["dpkg-deb", "-f", str(package), "Package", "Architecture"], capture_output=True,
                            text=True, check=True).stdout.split("\n")
    expect(fields[:2] == ["Package: quillmere-efi", "Architecture: all"], f"the package's fields: {fields[:2]}")

    changes = sorted(work.glob("*.changes"))
    # lintian keeps its unpacked copies under TMPDIR: in WORK, not /tmp.
    lint = subprocess.run(["lintian", "--fail-on", "error", *map(str, changes or [package])], capture_output=True,
                          text=True, timeout=300, env=dict(os.environ, TMPDIR=str(work)))
    errors = [line for line in lint.stdout.splitlines() if line.startswith("E:")]
    expect(lint.returncode == 0 and not errors, f"lintian (status {lint.returncode}) reports {errors or lint.stderr.strip()}")
    if not failures:
        shutil.rmtree(work)
        print(f"{package.name}: " + ", ".join(images) + "; lintian: no error"
              + (f" ({len(lint.stdout.splitlines())} other tags)" if lint.stdout.strip() else ""))


if __name__ == "__main__":
    main()
    for failure in failures:
        print("FAIL:", failure)
    sys.exit(1 if failures else 0)
