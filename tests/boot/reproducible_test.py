#!/usr/bin/env python3
"""Builds the images from two copies of the source tree, at paths of different
lengths and each with its own build tree, and checks that both builds and the
images of the current build tree are the same bytes, with no build path in
them, for every architecture.

  reproducible_test.py SOURCE_DIR BUILD_DIR
"""
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import machines  # noqa: E402

ARCHITECTURES = machines.architectures()


def build_copy(source, root):
    copy = root / "src"
    shutil.copytree(source, copy, ignore=shutil.ignore_patterns("build*", ".git", ".cache"))
    out = root / "out"
    for command in (["cmake", "-S", copy, "-B", out, "-DCMAKE_CXX_COMPILER=clang++", "-DQUILLMERE_IMAGE=ON"],
                    ["cmake", "--build", out, "--target", "quillmere_image"]):
        subprocess.run(command, check=True, stdout=subprocess.DEVNULL)
    return {arch: (out / f"quillmere{arch}.efi").read_bytes() for arch in ARCHITECTURES}


def main():
    source, build = Path(sys.argv[1]).resolve(), Path(sys.argv[2]).resolve()
    with tempfile.TemporaryDirectory(prefix="quillmere-a-") as first, \
            tempfile.TemporaryDirectory(prefix="quillmere-repro-second-") as second:
        roots = [Path(first), Path(second) / "nested"]
        builds = [build_copy(source, root) for root in roots]
        failures = []
        for arch in ARCHITECTURES:
            images = [copy[arch] for copy in builds]
            if images[0] != images[1]:
                differ = [i for i, (a, b) in enumerate(zip(*images)) if a != b]
                failures.append(f"{arch}: two clean builds differ: sizes {len(images[0])} and {len(images[1])}, "
                                f"{len(differ)} bytes differ, first at offset {differ[:1]}")
            built = build / f"quillmere{arch}.efi"
            if built.read_bytes() != images[0]:
                failures.append(f"{built} differs from a clean build")
            # The temp dir names are random, so finding one means a path got in.
            for name in [Path(first).name, Path(second).name, str(source), str(build)]:
                if any(name.encode() in image for image in images):
                    failures.append(f"the {arch} image names the build path {name}")
            if not failures:
                print(f"{arch}: identical images of {len(images[0])} bytes")
    for failure in failures:
        print("FAIL:", failure)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
