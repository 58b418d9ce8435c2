"""ValidateSignals(W) through the shared library (ctypes) on MDF fixtures and
on databases built from them, result files parsed with python's json and
compared as whole documents: the MDF case succeeds only with every alias
matched once, the database case reports missing aliases, plain entries
resolve as record access (OpenDataFile) resolves them, and failures leave no
result file."""
import ctypes
import json
import os
import shutil
import stat
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testlib"))
import mdf as sidecar  # noqa: E402
from libcall import captured, lib  # noqa: E402

P = ctypes.POINTER(ctypes.c_double)
lib.ValidateSignals.argtypes = [ctypes.c_char_p] * 3
lib.ValidateSignalsW.argtypes = [ctypes.c_wchar_p] * 3
lib.CreateDatabase.argtypes = [ctypes.c_char_p] * 2
lib.OpenDataFile.restype = ctypes.c_double
lib.OpenDataFile.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.POINTER(P), ctypes.POINTER(P),
                             ctypes.POINTER(ctypes.c_int)]
lib.CloseDataFile.argtypes = [P, ctypes.c_int]
failures = []
MDF = os.path.join(sidecar.FIXTURES, "network_v400.mf4")
TMP = tempfile.mkdtemp()
RESULT = os.path.join(TMP, "result.json")

ALIASES = [
    {"name_in_script": "speed", "OptionalList": [{"channel_name": "Nope"}, {"channel_name": "EngSpeed"}]},
    {"name": "BrakePressure"},
    {"name_in_script": "wheel", "required": False,
     "OptionalList": [{"channel_name": "WheelSpeedFL", "message_name": "Wheel*", "network_name": "CAN1"}]},
    {"name_in_script": "plain", "OptionalList": [{"channel_name": "NoSeparator"}]},
]
# A database names a group's message after its first channel, here the time
# channel, which in the first group has no "Message | Network" comment.
SPEED = {"name_in_script": "speed", "name": "EngSpeed", "message_name": "EngineData", "network_name": "CAN1"}
RESOLVED = [
    {"name_in_script": "BrakePressure", "name": "BrakePressure", "message_name": "BrakeStatus", "network_name": "CAN2"},
    {"name_in_script": "wheel", "name": "WheelSpeedFL", "message_name": "WheelSpeeds", "network_name": "CAN1",
     "required": "false"},
]
IN_MDF = [SPEED] + RESOLVED + [{"name_in_script": "plain", "name": "NoSeparator", "message_name": "Group0004",
                      "network_name": ""}]
IN_DB = [dict(SPEED, message_name="Group0001", network_name="HS CAN")] + RESOLVED + [{"name_in_script": "plain", "name": "NoSeparator", "message_name": "Group0004",
                     "network_name": "HS CAN"}]
OPTIONAL = {"name_in_script": "opt", "required": False, "OptionalList": [{"channel_name": "Absent"}]}
REQUIRED = {"name_in_script": "req", "OptionalList": [{"channel_name": "Absent"}]}


def validate(data, aliases, result=RESULT, wide=False):
    """(result, parsed result file or None, output); the file is removed."""
    text = aliases if isinstance(aliases, str) else json.dumps({"Channels": aliases}, ensure_ascii=False)
    args = (data, text, result) if wide else tuple(a if a is None else a.encode() for a in (data, text, result))
    code, output = captured(lib.ValidateSignalsW if wide else lib.ValidateSignals, *args)
    document = None
    if os.path.isfile(result):
        with open(result, encoding="utf-8") as f:
            document = json.load(f)
        os.unlink(result)
    return code, document, output


def expect(where, got, code, document, output_part=""):
    if got[:2] != (code, document) or output_part not in got[2]:
        failures.append(f"{where}: {got}, wanted {(code, document)} and {output_part!r} in the output")


def resolves_in_record_access(db, entry):
    values, stamps, count = P(), P(), ctypes.c_int()
    start, _ = captured(lib.OpenDataFile, db.encode(), json.dumps({"Channels": [entry]}).encode(),
                        ctypes.byref(values), ctypes.byref(stamps), ctypes.byref(count))
    if values:
        lib.CloseDataFile(values, 0)
    return start > 0


DB = os.path.join(TMP, "net.db")
captured(lib.CreateDatabase, MDF.encode(), DB.encode())
for copy in ("NET.DB", "net.sqlite"):
    shutil.copy(DB, os.path.join(TMP, copy))
with open(os.path.join(TMP, "notes.txt"), "w") as f:
    f.write("no database\n" * 100)
names = os.path.join(sidecar.FIXTURES, "names_v330.mdf")

expect("MDF, all resolved", validate(MDF, ALIASES), 4, {"Channels": IN_MDF})
expect("MDF, wide form", validate(MDF, ALIASES, wide=True), 4, {"Channels": IN_MDF})
expect("MDF, Latin-1 name", validate(names, [{"name": "\u00dcbersetzung"}]), 1, {"Channels": [
    {"name_in_script": "\u00dcbersetzung", "name": "\u00dcbersetzung", "message_name": "Group0001",
     "network_name": ""}]})
expect("MDF, optional alias missing", validate(MDF, ALIASES + [OPTIONAL]), 0, None)
expect("MDF, one alias twice and one missing", validate(MDF, [{"name": "AliveCounter"}, REQUIRED]), 0, None,
       "Channel req was not found in file")
expect("MDF, one alias in two groups", validate(names.replace("v330.mdf", "v400.mf4"), [{"name": "EngineSpeed"}]),
       0, None)
for db in (DB, os.path.join(TMP, "NET.DB"), os.path.join(TMP, "net.sqlite")):
    got = validate(db, ALIASES)
    expect(f"database {db}", got, 4, {"Channels": IN_DB})
    if got[2] and not db.endswith("sqlite"):
        failures.append(f"{db} is a database, not tried as an MDF file: {got[2]}")
expect("database, optional alias missing", validate(DB, ALIASES + [OPTIONAL]), 4,
       {"Channels": IN_DB, "MissingChannels": [{"name_in_script": "opt", "required": "false"}]})
expect("database, required alias missing", validate(DB, ALIASES + [REQUIRED]), 0,
       {"Channels": IN_DB, "MissingChannels": [{"name_in_script": "req"}]},
       "File does not have enough signals for script")
for path in (os.path.join(TMP, "notes.txt"), os.path.join(TMP, "missing.db")):
    expect(f"no database: {path}", validate(path, [{"name": "EngSpeed", "required": False}, {"name": "x"}]), -2,
           {"Channels": [], "MissingChannels": [{"name_in_script": "EngSpeed", "required": "false"},
                                                {"name_in_script": "x"}]})

# A plain entry is checked as record access checks it; the alias form keeps
# its filters ("Group..." selects no other message there).
for entry, found in (({"name": "NoSeparator", "message_name": "Group0001"}, True),
                     ({"name": "EngSpeed", "network_name": "HS*"}, True),
                     ({"name": "EngSpeed", "network_name": "CAN1"}, False),
                     ({"name": "AliveCounter", "message_name": "Brake*"}, True)):
    code = validate(DB, [entry])[0]
    if code != found or resolves_in_record_access(DB, entry) != found:
        failures.append(f"plain entry {entry}: validation gives {code}, record access or the rule differ")
expect("alias form keeps its message filter", validate(DB, [
    {"name_in_script": "n", "OptionalList": [{"channel_name": "NoSeparator", "message_name": "Group0001"}]}]), 0,
    {"Channels": [], "MissingChannels": [{"name_in_script": "n"}]})

unwritable = os.path.join(TMP, "no folder", "result.json")
expect("unwritable result", validate(MDF, ALIASES, unwritable), -3, None,
       f"Could not open output Json file!\n{unwritable}\n")
expect("full device", validate(DB, ALIASES, "/dev/full"), -3, None, "not a regular file")
if not stat.S_ISCHR(os.stat("/dev/full").st_mode):
    failures.append("/dev/full is no longer the device")
# Inputs and files of another kind are never replaced by a result.
alias_file = os.path.join(TMP, "aliases.json")
with open(alias_file, "w") as f:
    json.dump({"Channels": ALIASES}, f)
foreign = os.path.join(TMP, "notes.txt")
with open(foreign, "w") as f:
    f.write("my notes")
for name, target in (("alias list", alias_file), ("data file", DB), ("foreign file", foreign)):
    before = open(target, "rb").read()
    code = captured(lib.ValidateSignals, DB.encode(), alias_file.encode(), target.encode())[0]
    if code != -3 or open(target, "rb").read() != before:
        failures.append(f"a result over the {name} must give -3 and leave it untouched (got {code})")
expect("no alias list", validate(MDF, '{"Channels": []}'), -3, None, "Invalid JSON file")
for args in ((None, "x", RESULT), (MDF, None, RESULT), (MDF, '{"Channels": [{"name": "a"}]}', None), ("", "x", "")):
    if captured(lib.ValidateSignals, *(a if a is None else a.encode() for a in args))[0] != -3 or \
            os.path.exists(RESULT):
        failures.append(f"null or empty texts {args} must give -3 and no file")
shutil.rmtree(TMP)
for line in failures:
    print(line)
print(f"{len(failures)} failed")
sys.exit(1 if failures else 0)
