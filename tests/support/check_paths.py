"""Every path of the channel list, validation, hit extraction and export
functions names the file its bytes name: a narrow path with the byte 0xFF
reaches exactly that file, the wide path with U+DCFF in its place the same
one (inputs read, outputs replaced: the folder ends up with one file of each
name), and a wide path with a lone surrogate U+D800 fails the call with the
diagnostic and leaves the folder as it was. The hit list's "FilenameAndPath"
holds the database's bytes raw."""
import atexit
import ctypes
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testlib"))
import mdf  # noqa: E402
from libcall import captured, lib  # noqa: E402

os.chdir(tempfile.mkdtemp())  # the names below are relative; no settings file here
atexit.register(shutil.rmtree, os.getcwd(), True)  # also when a check fails on the way
shutil.copy(os.path.join(mdf.FIXTURES, "network_v400.mf4"), b"m\xff.mf4")
assert lib.CreateDatabase(b"m\xff.mf4", b"d\xff.db") == 1
ALIASES = b'{"Channels": [{"name": "EngSpeed"}]'
HITS = b', "HitList": [{"FilenameAndPath": "d%s", "Hits": [{"StartTime": 0.5, "EndTime": 1.5}]}]}'
open(b"a\xff.json", "wb").write(ALIASES + b"}")
open(b"h\xff.json", "wb").write(ALIASES + HITS % b"\xff.db")
for name in ("ExportToMdfForceRate", "ExportToMdfForceRateW"):
    getattr(lib, name).argtypes = [ctypes.c_wchar_p if name[-1] == "W" else ctypes.c_char_p] * 2 + [ctypes.c_double]

# (function, arguments (a name gets a mark before its extension), the JSON
# argument's index, success, failure, the files its calls leave)
CALLS = [
    ("GetChannels", ["m.mf4", "c.json"], None, 1, 0, ["c.json"]),
    ("GetChannelStatistics", ["m.mf4", "s.json"], None, 1, 0, ["s.json"]),
    ("ValidateSignals", ["m.mf4", "a.json", "v.json"], 1, 1, -3, ["v.json"]),
    ("OutputHitsToFile", ["h.json", "o.mat"], 0, 0, -2, ["o.db", "o.mat"]),
    ("OutputHitsToFile", ["h.json", "p.mf4"], 0, 0, -2, ["p.db", "p.mf4"]),
    ("ExportToMdf", ["d.db", "e"], None, 1, 0, ["e.dat"]),
    ("ExportToMdfForceRate", ["d.db", "f", 0.1], None, 1, 0, ["f.dat"]),
]


def named(name, mark, wide=True):
    if not isinstance(name, str):
        return name
    stem, dot, extension = name.partition(".")
    return stem + mark + dot + extension if wide else os.fsencode(stem + mark + dot + extension)


def check(what, result, expected, output, why=""):
    if result != expected or why not in output or made != set(os.listdir(b".")):
        failures.append(f"{what}: {result}, {sorted(os.listdir(b'.'))}\n{output}")


failures = []
made = set(os.listdir(b"."))
for function, args, json_index, success, failure, outputs in CALLS:
    made |= {named(o, "\udcff", False) for o in outputs}
    for wide in (False, True):
        result, output = captured(getattr(lib, function + "W" * wide), *[named(a, "\udcff", wide) for a in args])
        check(function + "W" * wide, result, success, output)
    # Each name in turn without a byte form: a JSON argument then names no
    # file and is no JSON text either.
    for i in (i for i, a in enumerate(args) if isinstance(a, str)):
        result, output = captured(getattr(lib, function + "W"),
                                  *[named(a, "\ud800" if k == i else "\udcff") for k, a in enumerate(args)])
        expected, why = (-3, "Could not open file") if i == json_index else \
            (failure, "cannot be named exactly in the current locale")
        check(f"{function}W with U+D800 in {args[i]}", result, expected, output, why)

# A NUL in a "FilenameAndPath" ends no path early: the text names no file.
result, output = captured(lib.OutputHitsToFile, ALIASES + HITS % b"\\u00ff.db\\u0000", b"n.mat")
check("A NUL in FilenameAndPath", result, -2, output)
print("\n".join(failures) or "ok")
sys.exit(1 if failures else 0)
