#!/usr/bin/python3
"""Line and branch coverage of the library per source folder, from a build
made with -DVANTREL_COVERAGE=ON after its tests ran:

    cmake -S . -B build/cov -DVANTREL_TESTS=ON -DVANTREL_COVERAGE=ON -DVANTREL_FUZZ_SECONDS=0
    cmake --build build/cov -j && ctest --test-dir build/cov -j4
    /usr/bin/python3 tests/coverage.py build/cov

Counts come from gcov's JSON output for the objects of src/ only; a line or
branch reached by any test program counts once."""
import collections
import glob
import gzip
import json
import os
import subprocess
import sys
import tempfile


def main(build):
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    src = os.path.join(source, "src") + os.sep
    notes = glob.glob(os.path.join(os.path.abspath(build), "CMakeFiles", "vantrel_*.dir", "**", "*.gcno"), recursive=True)
    if not notes:
        sys.exit("no coverage notes under " + build + ": build with -DVANTREL_COVERAGE=ON and run the tests")
    lines = collections.defaultdict(dict)     # file -> line -> reached
    branches = collections.defaultdict(dict)  # file -> (line, index) -> reached
    with tempfile.TemporaryDirectory() as out:
        subprocess.run(["gcov", "--json-format", "--branch-probabilities"] + notes, cwd=out,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
        for name in glob.glob(os.path.join(out, "*.gcov.json.gz")):
            with gzip.open(name, "rt") as f:
                data = json.load(f)
            for entry in data["files"]:
                path = os.path.normpath(os.path.join(data.get("current_working_directory", ""), entry["file"]))
                if not path.startswith(src):
                    continue
                for line in entry["lines"]:
                    n = line["line_number"]
                    lines[path][n] = lines[path].get(n, False) or line["count"] > 0
                    for k, branch in enumerate(line.get("branches", [])):
                        key = (n, k)
                        branches[path][key] = branches[path].get(key, False) or branch["count"] > 0
    folders = collections.defaultdict(lambda: [0, 0, 0, 0])
    for path in set(lines) | set(branches):
        folder = os.path.relpath(path, src).split(os.sep)[0]
        figures = folders[folder]
        figures[0] += sum(lines[path].values())
        figures[1] += len(lines[path])
        figures[2] += sum(branches[path].values())
        figures[3] += len(branches[path])
    print(f"{'folder':10} {'lines':>17} {'branches':>17}")
    total = [0, 0, 0, 0]
    for folder in sorted(folders):
        f = folders[folder]
        total = [a + b for a, b in zip(total, f)]
        print(f"{folder:10} {f[0]:6}/{f[1]:<6} {100.0 * f[0] / max(f[1], 1):5.1f}% "
              f"{f[2]:6}/{f[3]:<6} {100.0 * f[2] / max(f[3], 1):5.1f}%")
    print(f"{'all':10} {total[0]:6}/{total[1]:<6} {100.0 * total[0] / max(total[1], 1):5.1f}% "
          f"{total[2]:6}/{total[3]:<6} {100.0 * total[2] / max(total[3], 1):5.1f}%")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "build/cov")
