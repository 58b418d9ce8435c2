"""Record access and validation through the shared library: the README's
example program (C, narrow forms) and ctypes (wide forms) on its sample against
the sidecar; OpenDataFile(W) on the lists, files and hostile databases the
random model never makes; ValidateSignals' result files parsed as JSON; what
the readers leave beside a database the host switched to WAL mode.

check_access.py <step_records program>"""
import ast
import atexit
import ctypes
import json
import os
import pwd
import shutil
import sqlite3
import stat
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testlib"))
import mdf as sidecar  # noqa: E402
from libcall import captured, captured_cut_short, lib  # noqa: E402

DBL_MAX = sys.float_info.max
P = ctypes.POINTER(ctypes.c_double)
for name in ("OpenDataFile", "OpenDataFileW", "SetCursorsToStart", "GetNextRecord", "JumpAfterTimestamp"):
    getattr(lib, name).restype = ctypes.c_double
TMP = tempfile.mkdtemp()
atexit.register(shutil.rmtree, TMP, True)  # also when a check fails on the way
failures = []


def expect(where, got, wanted):
    if got != wanted:
        failures.append(f"{where}: {got!r}\n  wanted {wanted!r}")


# The README's example program (a C host: narrow forms) on its bundled sample,
# and the same road through ctypes (wide forms), checked against the sidecar.
NETWORK = os.path.join(sidecar.FIXTURES, "network_v400.mf4")
SIDE = sidecar.load(NETWORK)
CHANNELS, START = {c["name"]: c for g in SIDE["groups"] for c in g["channels"]}, sidecar.start_offset(SIDE)
WANTED = ["BrakePressed", "BrakePressure"]
HOST_LIST = json.dumps({"Channels": [{"name": n, "required": False} for n in WANTED]})
database = os.path.join(TMP, "ctypes host.db")
values, stamps, count, low, high = P(), P(), ctypes.c_int(), ctypes.c_double(), ctypes.c_double()
expect("CreateDatabaseW", lib.CreateDatabaseW(NETWORK, database), 1)
start = lib.OpenDataFileW(database, HOST_LIST, ctypes.byref(values), ctypes.byref(stamps), ctypes.byref(count))
records = [(lib.SetCursorsToStart(values, 0), values[:2], stamps[:2])]
while (t := lib.GetNextRecord(values, 0)) != DBL_MAX:
    records.append((t, values[:2], stamps[:2]))
expect("ctypes host: count, bounds, close",
       (count.value, lib.GetNumChannelsW(HOST_LIST), lib.GetMeasurementTimeBounds(values, 0, ctypes.byref(low),
        ctypes.byref(high)), low.value, round(high.value - start, 6), lib.CloseDataFile(values, 0)),
       (2, 2, 1, START, round(max(c.get("last_time", 0) for c in CHANNELS.values()), 6), 1))
times = [t for t, _, _ in records]
expect("ctypes host: start, rising times, end",
       (start, all(a < b for a, b in zip(times, times[1:])), round(times[-1] - start, 6)),
       (START, True, round(max(CHANNELS[n]["last_time"] for n in WANTED), 6)))
for i, name in enumerate(WANTED):
    # Each record of the channel's message shows up as a new time stamp, the
    # last one as DBL_MAX (its message has ended) at the time of its step.
    samples, previous = [], None
    for t, v, s in records:
        if s[i] != previous and previous != DBL_MAX:
            samples.append((round((s[i] if s[i] != DBL_MAX else t) - start, 6), v[i]))
        previous = s[i]
    side = CHANNELS[name]
    expect(f"ctypes host: {name}", (len(samples), samples[0][0], samples[-1][0],
                                    [v for _, v in samples[:3] + samples[-3:]],
                                    [samples[k][1] for k in side["raw"]["probe_index"]]),
           (side["samples"], round(side["first_time"], 6), round(side["last_time"], 6),
            side["raw"]["first"] + side["raw"]["last"], side["raw"]["probe"]))
# The start, then each step's time and the values held, as ctypes saw them.
run = subprocess.run([sys.argv[1], NETWORK, os.path.join(TMP, "sample.db")] + WANTED, capture_output=True, text=True)
expect("README example", (run.returncode, run.stdout.splitlines()),
       (0, ["measurement start %.3f" % START] +
        ["%.3f" % t + "".join(" -" if x == DBL_MAX else " %g" % x for x in v) for t, v, _ in records]))


DB = os.path.join(TMP, "net.db")
expect("CreateDatabase", captured(lib.CreateDatabase, NETWORK.encode(), DB.encode())[0], 1)


def open_data(db, listing, wide=False):
    """OpenDataFile(W)'s result and output (@: the database, #: the list); all
    three outputs are cleared on a failure."""
    values, stamps, count = P(ctypes.c_double()), P(ctypes.c_double()), ctypes.c_int(7)
    args = (db, listing) if wide else (os.fsencode(db), os.fsencode(listing))
    result, output = captured(lib.OpenDataFileW if wide else lib.OpenDataFile, *args, ctypes.byref(values),
                              ctypes.byref(stamps), ctypes.byref(count))
    if result > 0:
        lib.CloseDataFile(values, 0)
    elif values or stamps or count.value:
        output += "outputs not cleared\n"
    return round(result, 6), output.replace(db, "@").replace(listing, "#")


A = '{"Channels": [{"name": "EngSpeed"}]}'
OPTIONAL_A = '{"Channels": [{"name": "EngSpeed", "required": false}]}'
FIRST = round(START + CHANNELS["EngSpeed"]["first_time"], 6)  # of the channel's records
NOT_FOUND, INVALID = "Channel EngSpeed was not found in file @\n", "Invalid database @\n"
UNREADABLE = "The records of MessageData0001 in @ cannot be read\n" + INVALID
TOO_FEW = "File does not have enough signals for script #\n"
RECURSION = " AS WITH RECURSIVE r(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM r) "
DAMAGE = ("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 5000) "
          "INSERT INTO Channels (ID, MessageId, MessageChannel, Name) SELECT i + 100, 1, 1, 'C' || i FROM n")
FIFO, TEXT, MISSING = (os.path.join(TMP, name) for name in ("fifo", "text.db", "missing.db"))
os.mkfifo(FIFO)
with open(TEXT, "w") as f:
    f.write("x" * 300)
OPENS = [  # (channel list, SQL run on a copy of DB, result, output[, the database instead])
    # No usable entry; a required flag that is no boolean; a NUL is a
    # character of the name; a start of 0 in the statistics counts not.
    ('{"Channels": [{"message_name": "M"}, {"name": 5}, 7]}', "", -3, "Invalid JSON file #\n"),
    ("/no/such/list.json", "", -3, "Could not open file #\nInvalid JSON file #\n"),
    (FIFO, "", -3, "Invalid JSON file #\n"),
    ('{"Channels": [{"name": "EngSpeed"}, {"name": "gone", "required": "no"}]}', "", 0,
     "Channel gone was not found in file @\n" + TOO_FEW),
    ('{"Channels": [{"name": "gone", "required": false}]}', "", 0, "Channel gone was not found in file @\n"),
    ('{"Channels": [{"name": "EngSpeed\\u0000", "required": false}]}', "", 0, NOT_FOUND),
    (A, "UPDATE Network_Statistics SET MinTime = 0", FIRST, ""),
    # Files that are no measurement database.
    (A, "", 0, INVALID + TOO_FEW, TEXT),
    (OPTIONAL_A, "", 0, INVALID, TEXT),
    (A, "", 0, "", MISSING),
    (A, "", 0, "", "file:" + MISSING + "?mode=rwc"),
    (A, "", 0, "", FIFO),
    # Hostile schemas fail at once instead of recursing without end or
    # reading numbers no builder writes; damage is found while reading.
    (OPTIONAL_A, "ALTER TABLE Channels RENAME TO C; CREATE VIEW Channels" + RECURSION + "SELECT C.* FROM C, r", 0,
     INVALID),
    (OPTIONAL_A, "ALTER TABLE MessageData0001 RENAME TO D; CREATE VIEW MessageData0001" + RECURSION +
     "SELECT D.* FROM D, r", 0, UNREADABLE),
    (OPTIONAL_A, "UPDATE Channels SET MessageChannel = 7 WHERE ID = 1", 0, UNREADABLE),
    (OPTIONAL_A, "UPDATE Channels SET MessageChannel = -2147483648 WHERE ID = 1", 0, NOT_FOUND),
    (OPTIONAL_A, "UPDATE Channels SET MessageChannel = 4294967297 WHERE ID = 1", 0, NOT_FOUND),
    (A, "DROP TABLE Network_Statistics; CREATE VIEW Network_Statistics" + RECURSION +
     "SELECT 1.0 AS MinTime, 2.0 AS MaxTime FROM r", FIRST, ""),
    (OPTIONAL_A, DAMAGE, 0, INVALID),
]
for listing, sql, result, output, *database in OPENS:
    path = database[0] if database else shutil.copy(DB, os.path.join(TMP, "copy.db"))
    if not database:
        db = sqlite3.connect(path)
        db.executescript(sql)
        db.close()
    if sql == DAMAGE:  # over the third page from the end
        with open(path, "r+b") as f:
            f.seek(-3 * 4096, os.SEEK_END)
            f.write(b"\xff" * 4096)
    for wide in (False, True):
        expect(f"OpenDataFile{'W' * wide} {listing} {sql} {database}", open_data(path, listing, wide), (result, output))

# A narrow path is the file's bytes; in a wide one U+DC80..U+DCFF stand for
# the bytes 0x80..0xFF, and a path with no byte form names no file.
named = [shutil.copy(DB, os.path.join(TMP, "d\udcff.db")), os.path.join(TMP, "l\udce9.json")]
with open(named[1], "w") as f:
    f.write(A)
expect("paths", [open_data(*named), open_data(*named, wide=True)], [(START, "")] * 2)
expect("no byte form; no file made", (open_data(os.path.join(TMP, "d\ud800.db"), A, True), os.path.exists(MISSING)),
       ((0, f"Path {TMP}/d\ufffd.db cannot be named exactly in the current locale\n"), False))

# Null texts or outputs give the failure results.
out = (ctypes.byref(values), ctypes.byref(stamps), ctypes.byref(count))
expect("null arguments", [captured(lib.OpenDataFile, *args)[0] for args in (
    (DB.encode(), A.encode(), None, out[1], out[2]), (DB.encode(), A.encode(), out[0], out[1], None),
    (None, A.encode(), *out), (DB.encode(), None, *out))] + [
    lib.OpenDataFileW(None, None, None, None, None), lib.GetNumChannels(None), lib.GetNumChannelsW(None),
    lib.GetMeasurementTimeBounds(None, 0, None, None)], [0, 0, 0, -3, 0, 0, 0, 0])

# Two handles of one database step on their own; a closed handle is gone.
handles = []
for _ in range(2):
    captured(lib.OpenDataFile, DB.encode(), A.encode(), *out)
    handles.append(P(values.contents))
second = [lib.GetNextRecord(handles[1], 0) for _ in range(3)]
expect("independent handles", [lib.GetNextRecord(handles[0], 0) for _ in range(3)], second)
expect("closing", [lib.CloseDataFile(handles[1], 0), captured(lib.CloseDataFile, handles[1], 0),
                   lib.GetNextRecord(handles[1], 0), lib.JumpAfterTimestamp(handles[1], 0, ctypes.c_double(1)),
                   lib.CloseDataFile(handles[0], 0)], [1, (0, "Could not find data file!\n"), DBL_MAX, DBL_MAX, 1])


RESULT = os.path.join(TMP, "result.json")
ALIASES = [
    {"name_in_script": "speed", "OptionalList": [{"channel_name": "Nope"}, {"channel_name": "EngSpeed"}]},
    {"name": "BrakePressure"},
    {"name_in_script": "wheel", "required": False,
     "OptionalList": [{"channel_name": "WheelSpeedFL", "message_name": "Wheel*", "network_name": "CAN1"}]},
    {"name_in_script": "plain", "OptionalList": [{"channel_name": "NoSeparator"}]},
]
SPEED = {"name_in_script": "speed", "name": "EngSpeed", "message_name": "EngineData", "network_name": "CAN1"}
RESOLVED = [
    {"name_in_script": "BrakePressure", "name": "BrakePressure", "message_name": "BrakeStatus", "network_name": "CAN2"},
    {"name_in_script": "wheel", "name": "WheelSpeedFL", "message_name": "WheelSpeeds", "network_name": "CAN1",
     "required": "false"},
]
PLAIN = {"name_in_script": "plain", "name": "NoSeparator", "message_name": "Group0004", "network_name": ""}
# A database names a group's message after its first channel (here a time channel without comment).
IN_DB = [dict(SPEED, message_name="Group0001", network_name="HS CAN")] + RESOLVED + [dict(PLAIN, network_name="HS CAN")]
OPTIONAL = {"name_in_script": "opt", "required": False, "OptionalList": [{"channel_name": "Absent"}]}
REQUIRED = {"name_in_script": "req", "OptionalList": [{"channel_name": "Absent"}]}
NAMES = os.path.join(sidecar.FIXTURES, "names_v330.mdf")


def validate(data, aliases, result=RESULT, ascii=False, limit=None):
    """(result, parsed result file or None, output); the file is removed.
    limit: the bytes a file may take during the call."""
    text = aliases if isinstance(aliases, str) else json.dumps({"Channels": aliases}, ensure_ascii=ascii)
    args = [lib.ValidateSignals] + [a if a is None else a.encode() for a in (data, text, result)]
    code, output = captured(*args) if limit is None else captured_cut_short(limit, *args)
    document = None
    if os.path.isfile(result):
        with open(result, encoding="utf-8") as f:
            document = json.load(f)
        os.unlink(result)
    return code, document, output


def validated(where, got, code, document, output_part=""):
    """output_part None: a validation that prints nothing."""
    expect(where, (got[0], got[1], got[2] == "" if output_part is None else output_part in got[2]),
           (code, document, True))


validated("MDF, all resolved", validate(NETWORK, ALIASES), 4, {"Channels": [SPEED] + RESOLVED + [PLAIN]}, None)
# A name written with a JSON escape is the same name, in every list.
NAMES_DB = os.path.join(TMP, "names.db")
expect("CreateDatabase", captured(lib.CreateDatabase, NAMES.encode(), NAMES_DB.encode())[0], 1)
result, output = open_data(NAMES_DB, '{"Channels": [{"name": "\\u00dcbersetzung"}]}')
expect("escaped name in a channel list", (result > 0, output), (True, ""))
HIT_LIST = {"Channels": [{"name": "\u00dcbersetzung"}],  # written as \u00dc by json.dumps
            "HitList": [{"FilenameAndPath": NAMES_DB, "Hits": [{"StartTime": 0, "EndTime": 1e6}]}]}
expect("escaped name in a hit list",
       captured(lib.OutputHitsToFile, json.dumps(HIT_LIST).encode(), os.path.join(TMP, "names hits.db").encode()),
       (0, ""))
for ascii in (False, True):
    validated(f"MDF, Latin-1 name, escaped {ascii}", validate(NAMES, [{"name": "\u00dcbersetzung"}], ascii=ascii), 1,
              {"Channels": [{"name_in_script": "\u00dcbersetzung", "name": "\u00dcbersetzung",
                             "message_name": "Group0001", "network_name": ""}]}, None)
validated("MDF, optional alias missing", validate(NETWORK, ALIASES + [OPTIONAL]), 0, None)
validated("MDF, one alias twice and one missing", validate(NETWORK, [{"name": "AliveCounter"}, REQUIRED]), 0, None,
          "Channel req was not found in file")
validated("MDF, one alias in two groups", validate(NAMES.replace("v330.mdf", "v400.mf4"), [{"name": "EngineSpeed"}]),
          0, None)
for path in (DB, shutil.copy(DB, os.path.join(TMP, "NET.DB")), shutil.copy(DB, os.path.join(TMP, "net.sqlite"))):
    validated(f"database {path}", validate(path, ALIASES), 4, {"Channels": IN_DB}, None)
# A name ending in ".db" in any case, or of three characters or fewer, is a
# database even when it is an MDF file; other names are read as MDF first.
home = os.getcwd()
os.chdir(TMP)
for name, code in (("x.dB", -2), ("mdf", -2), ("m.mf", 1)):
    got = validate(shutil.copy(NETWORK, name), [{"name": "EngSpeed", "required": False}])
    expect(f"MDF file named {name}", (got[0], "Invalid database" in got[2]), (code, code == -2))
os.chdir(home)
validated("database, optional alias missing", validate(DB, ALIASES + [OPTIONAL]), 4,
          {"Channels": IN_DB, "MissingChannels": [{"name_in_script": "opt", "required": "false"}]})
validated("database, required alias missing", validate(DB, ALIASES + [REQUIRED]), 0,
          {"Channels": IN_DB, "MissingChannels": [{"name_in_script": "req"}]},
          "File does not have enough signals for script")
for path in (TEXT, MISSING):
    validated(f"no database: {path}", validate(path, [{"name": "EngSpeed", "required": False}, {"name": "x"}]), -2,
              {"Channels": [], "MissingChannels": [{"name_in_script": "EngSpeed", "required": "false"},
                                                   {"name_in_script": "x"}]})
# Alternatives that are no objects offer nothing, an empty one matches none,
# an entry without an OptionalList is plain (its name_in_script ignored), one
# with neither form is skipped; an optional alias found does not make up for
# a required one missing.
validated("alias forms", validate(DB, [
    {"name_in_script": "x", "required": False, "OptionalList": ["no object", {}, {"channel_name": "EngSpeed"}]},
    {"name_in_script": "y", "OptionalList": []},
    {"name_in_script": "z", "name": "BrakePressure"},
    {"OptionalList": [{"channel_name": "EngSpeed"}]}]), 0,
    {"Channels": [dict(IN_DB[0], name_in_script="x", required="false"), IN_DB[1]],
     "MissingChannels": [{"name_in_script": "y"}]})
# A plain entry is checked as record access checks it: a "Group..." message
# filter without a network filter selects the channel in any message. The
# alias form keeps its filters.
for entry, found in (({"name": "NoSeparator", "message_name": "Group0001"}, True),
                     ({"name": "NoSeparator", "message_name": "Group0001", "network_name": "HS CAN"}, False),
                     ({"name": "NoSeparator", "message_name": "Grou"}, False),
                     ({"name": "EngSpeed", "network_name": "HS*"}, True),
                     ({"name": "EngSpeed", "network_name": "CAN1"}, False),
                     ({"name": "AliveCounter", "message_name": "Brake*", "network_name": "CAN?"}, True)):
    expect(f"plain entry {entry}: validation, record access",
           (validate(DB, [entry])[0], open_data(DB, json.dumps({"Channels": [entry]}))[0] > 0), (found, found))
validated("alias form keeps its message filter", validate(DB, [
    {"name_in_script": "n", "OptionalList": [{"channel_name": "NoSeparator", "message_name": "Group0001"}]}]), 0,
    {"Channels": [], "MissingChannels": [{"name_in_script": "n"}]})

# Failures write no result, and a result never replaces an input or a file
# of another kind.
unwritable = os.path.join(TMP, "no folder", "result.json")
validated("unwritable result", validate(NETWORK, ALIASES, unwritable), -3, None,
          f"Could not open output Json file!\n{unwritable}\n")
# Nodes made here, never the machine's own: the FIFO, and the full device where root may make one.
FULL = os.path.join(TMP, "full")
try:
    os.mknod(FULL, stat.S_IFCHR | 0o600, os.makedev(1, 7))
except PermissionError:
    FULL = None
for node in filter(None, (FIFO, FULL)):
    validated("result to " + node, validate(DB, ALIASES, node), -3, None, "not a regular file")
    expect(node + " is left as it was", os.path.exists(node) and not os.path.isfile(node), True)
validated("no alias list", validate(NETWORK, '{"Channels": []}'), -3, None, "Invalid JSON file")
# A result the file system takes only in part is no result.
files = sorted(os.listdir(TMP))
validated("result cut short", validate(DB, ALIASES * 40, limit=4096), -3, None, f"Could not write {RESULT}")
expect("result cut short leaves nothing", sorted(os.listdir(TMP)), files)
with open(os.path.join(TMP, "aliases.json"), "w") as f:
    json.dump({"Channels": ALIASES}, f)
for target in (f.name, DB, TEXT):
    before = open(target, "rb").read()
    code = captured(lib.ValidateSignals, DB.encode(), f.name.encode(), target.encode())[0]
    expect(f"a result over {target}", (code, open(target, "rb").read() == before), (-3, True))
for args in ((None, "x", RESULT), (NETWORK, None, RESULT), (NETWORK, '{"Channels": [{"name": "a"}]}', None),
             ("", "x", "")):
    code, output = captured(lib.ValidateSignals, *(a if a is None else a.encode() for a in args))
    expect(f"null or empty texts {args}", (code, bool(output), os.path.exists(RESULT)), (-3, True, False))


# Reading a database the host switched to WAL mode creates no file beside it,
# also for a caller who may not write in its folder (as root: a child that
# runs as nobody). A log with content is part of the data; where SQLite could
# read only by writing (a log without its shared-memory file, a journal to
# roll back) the diagnostic says so.
OUT = os.path.join(TMP, "outputs")
os.mkdir(OUT)
os.chmod(OUT, 0o777)
os.chmod(TMP, 0o755)
NEEDS_WRITING = "The database @ cannot be read without writing to it or beside it\n"
LATER = "PRAGMA wal_autocheckpoint = 0; UPDATE Network_Statistics SET MinTime = MinTime + 1000"
WAL_CASES = [  # (folder, journal mode, SQL of a writer that ends without closing, removed, start, output)
    ("wal", "WAL", None, None, START, ""),
    ("log", "WAL", LATER, None, START + 1000, ""),
    ("log without index", "WAL", LATER, "x.db-shm", 0, NEEDS_WRITING),
    ("journal", "DELETE", "PRAGMA cache_size = 1; BEGIN; CREATE TABLE j(x); INSERT INTO j VALUES(randomblob(300000))",
     None, 0, NEEDS_WRITING),
]
PLAIN_ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
for folder, mode, sql, removed, *_ in WAL_CASES:
    os.mkdir(os.path.join(TMP, folder))
    path = shutil.copy(DB, os.path.join(TMP, folder, "x.db"))
    db = sqlite3.connect(path)
    db.execute(f"PRAGMA journal_mode = {mode}")
    db.close()
    if sql:
        subprocess.run([sys.executable, "-c", "import os, sqlite3, sys\nsqlite3.connect(sys.argv[1], isolation_level="
                        "None).executescript(sys.argv[2])\nos._exit(0)", path, sql], env=PLAIN_ENV, check=True)
    if removed:
        os.unlink(os.path.join(TMP, folder, removed))


def reads(path, tag):
    """OpenDataFile, ValidateSignals and OutputHitsToFile on the database at
    path: the start, the two results, and whether each printed what the case
    expects (output) and nothing else."""
    start, printed = open_data(path, A)
    code, _, validated = validate(path, ALIASES, os.path.join(OUT, tag + ".json"))
    hits = json.dumps({"Channels": [{"name": "EngSpeed"}],
                       "HitList": [{"FilenameAndPath": path, "Hits": [{"StartTime": 0.5, "EndTime": 1.5}]}]})
    result, extracted = captured(lib.OutputHitsToFile, hits.encode(), os.path.join(OUT, tag + ".mat").encode())
    return start, code, result, printed, validated.replace(path, "@"), extracted.replace(path, "@")


def as_reader(call):
    """call() by a caller who may not write in the folders (they are 0555)."""
    if os.geteuid() != 0:
        return call()
    pipe = os.pipe()
    if os.fork() == 0:
        try:
            nobody = pwd.getpwnam("nobody")
            os.setgroups([])
            os.setgid(nobody.pw_gid)
            os.setuid(nobody.pw_uid)
            tempfile.tempdir = OUT
            os.write(pipe[1], repr(call()).encode())
        finally:
            os._exit(0)
    os.close(pipe[1])
    with os.fdopen(pipe[0]) as f:
        text = f.read()
    os.wait()
    return ast.literal_eval(text) if text else "no result"


# Each database is also read through a symbolic link to it from another
# folder, and through a relative link that lies in a linked folder (its ".."
# leads from the folder the link reaches, not from the path as written):
# SQLite uses the side files beside the file it reaches, and a link reads
# exactly as the file's own path.
LINKS = os.path.join(TMP, "links")
INNER = os.path.join(LINKS, "inner")
os.makedirs(INNER)
os.symlink(os.path.join("links", "inner"), os.path.join(TMP, "inner linked"))
for folder, *_ in WAL_CASES:
    os.symlink(os.path.join("..", folder, "x.db"), os.path.join(LINKS, folder + ".db"))
    os.symlink(os.path.join("..", "..", folder, "x.db"), os.path.join(INNER, folder + ".db"))
for who in ("reader", "owner"):  # the reader first, before anything could be left beside the databases
    for folder, _, _, _, start, output in WAL_CASES:
        where = os.path.join(TMP, folder)
        for via, path in (("own path", os.path.join(where, "x.db")), ("link", os.path.join(LINKS, folder + ".db")),
                          ("link in a linked folder", os.path.join(TMP, "inner linked", folder + ".db"))):
            before = [sorted(os.listdir(f)) for f in (where, LINKS, INNER)]
            for changed in (where, LINKS, INNER):
                os.chmod(changed, 0o755 if who == "owner" else 0o555)
            tag = f"{folder}_{via}_{who}".replace(" ", "_")
            got = reads(path, tag) if who == "owner" else as_reader(lambda: reads(path, tag))
            for changed in (where, LINKS, INNER):
                os.chmod(changed, 0o755)
            readable = not output  # hit extraction goes on to say that it wrote nothing
            expect(f"{folder} by its {via}, {who}: start, results, outputs, files",
                   (got[:4], got[4], got[5][:len(output)] if output else got[5],
                    [sorted(os.listdir(f)) for f in (where, LINKS, INNER)]),
                   ((round(start, 6), 4 if readable else -2, 0 if readable else -2, output), output, output, before))
# Nor is such a database replaced: SQLite would apply its log to the new file.
LOG = os.path.join(TMP, "log", "x.db")
kept = {name: open(os.path.join(TMP, "log", name), "rb").read() for name in os.listdir(os.path.join(TMP, "log"))}
expect("a build over a database with a log beside it", (
    captured(lib.CreateDatabase, NETWORK.encode(), LOG.encode()),
    {name: open(os.path.join(TMP, "log", name), "rb").read() for name in os.listdir(os.path.join(TMP, "log"))} == kept),
    ((0, f"The output has a write-ahead log beside it and is left untouched: {LOG}\n"), True))
print("\n".join(failures) + f"\n{len(failures)} failed")
sys.exit(1 if failures else 0)
