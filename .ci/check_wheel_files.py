"""Fails when a wheel lacks a file of the source package or one of the native modules."""

import os
import sys
import zipfile

NATIVE = ("korvo/reporter/campaign.", "korvo/reporter/scribe.")


def package_files(src):
    for folder, dirs, files in os.walk(os.path.join(src, "korvo")):
        dirs[:] = [d for d in dirs if d != "__pycache__"]
        for name in files:
            yield os.path.relpath(os.path.join(folder, name), src).replace(os.sep, "/")


def main(src, wheels):
    expected = set(package_files(src))
    failed = False
    for wheel in wheels:
        names = set(zipfile.ZipFile(wheel).namelist())
        missing = sorted(expected - names)
        missing += [m + "*.so" for m in NATIVE if not any(n.startswith(m) and n.endswith(".so") for n in names)]
        if missing:
            failed = True
            print("%s lacks: %s" % (os.path.basename(wheel), ", ".join(missing)))
    if not wheels:
        print("no wheels given")
        failed = True
    if not failed:
        print("wheels: %d hold every file of the source package" % len(wheels))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2:]))
