"""Hit extraction from databases built of the MDF fixtures, through the
exported function, with every output checked by an independent reader: the
subset database with python's sqlite3 and numpy, MAT files with
scipy.io.loadmat and matdump, MDF 4.00 files with the strict block walker
tests/mdfwrite/mdf_walk.py."""
import ctypes
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile

import numpy
import scipy.io

sys.path.insert(0, os.path.join(os.environ["VANTREL_SOURCE"], "tests", "testlib"))
import mdf as mdf_walk  # noqa: E402

lib = ctypes.CDLL(os.environ["VANTREL_LIB"])
lib.CreateDatabaseW.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p]
lib.OutputHitsToFileW.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p]
folder = tempfile.mkdtemp()
failures = []
DBL_MAX = sys.float_info.max


def check(condition, what):
    if not condition:
        failures.append(what)


def build(name, fixture):
    path = os.path.join(folder, name)
    assert lib.CreateDatabaseW(os.path.join(os.environ["VANTREL_FIXTURES"], "mdf", fixture), path) == 1
    return path


def extract(channels, hit_list, output):
    path = os.path.join(folder, output)
    hits = [{"FilenameAndPath": db, "Hits": [dict(zip(("StartTime", "EndTime", "Spacing"), h)) for h in hs]}
            for db, hs in hit_list]
    assert lib.OutputHitsToFileW(json.dumps({"Channels": channels, "HitList": hits}), path) == 0, output
    return path


def subset(db):
    """Each channel (Channels row order) with its table's times and its column (NULL as NaN)."""
    with sqlite3.connect(db) as connection:
        rows = connection.execute("SELECT Name, MessageId, MessageChannel, MinVal, MaxVal, AvgVal, StdDev, "
                                  "NumChanges, DataType, Median FROM Channels ORDER BY ID").fetchall()
        channels = []
        for name, message, column, *stats in rows:
            part = (column - 1) // 500 + 1
            table = "MessageData%04d" % message + ("_%04d" % part if part > 1 else "")
            data = connection.execute("SELECT TIME_VAL, Signal%d FROM %s" % (column, table)).fetchall()
            data = numpy.array(data, dtype=float).reshape(-1, 2)
            channels.append({"name": name, "table": table, "time": data[:, 0], "values": data[:, 1], "stats": stats})
        markers = connection.execute("SELECT Description, StartTime, AbsoluteTime FROM Markers").fetchall()
        return channels, markers


def same(a, b):
    return numpy.array_equal(numpy.asarray(a, dtype=float).ravel(), numpy.asarray(b, dtype=float).ravel(),
                             equal_nan=True)


def check_statistics(db):
    """Channels statistics against numpy over each channel's points (its
    non-NULL cells: every row of these subsets is a point of each channel
    that has one)."""
    for c in subset(db)[0]:
        points = c["values"][~numpy.isnan(c["values"])]
        low, high, average, deviation, changes, data_type, median = c["stats"]
        check(data_type == 4 and median == 0.0, "%s: DataType %s, Median %s" % (c["name"], data_type, median))
        if len(points) == 0:
            check((low, high, changes) == (DBL_MAX, -DBL_MAX, 0), "%s without points: %s" % (c["name"], c["stats"]))
            continue
        check((low, high) == (points.min(), points.max()), "%s: bounds %s" % (c["name"], c["stats"]))
        check(numpy.isclose(average, points.mean(), rtol=1e-12), "%s: average %r" % (c["name"], average))
        check(numpy.isclose(deviation, points.std(), rtol=1e-9, atol=1e-12),
              "%s: StdDev %r, numpy %r" % (c["name"], deviation, points.std()))
        check(changes == numpy.count_nonzero(numpy.diff(points)), "%s: NumChanges %s" % (c["name"], changes))


def check_mat(mat, db, names):
    channels, markers = subset(db)
    content = scipy.io.loadmat(mat)
    check(sorted(k for k in content if not k.startswith("__")) == sorted(["header"] + names), "%s: %s" % (mat, content.keys()))
    header = content["header"][0, 0]
    check(header["numchannels"][0, 0] == len(names) and header["startdate"][0] == "2007/1/1", "%s: header" % mat)
    for c, name in zip(channels, names):
        variable = content[name][0, 0]
        times = c["time"]
        bounds = (times.min(), times.max()) if len(times) else (DBL_MAX, -DBL_MAX)
        check(variable["Channelname"][0] == name, "%s: Channelname %s" % (name, variable["Channelname"]))
        check(same(variable["time"], times) and same(variable["signals"][0, 0]["values"], c["values"]),
              "%s: %s rows differ from the subset" % (mat, name))
        check((variable["min"][0, 0], variable["max"][0, 0]) == bounds, "%s: min/max" % name)
    dump = subprocess.run(["matdump", mat], capture_output=True, text=True)
    check(dump.returncode == 0 and all("Name: %s\n" % n in dump.stdout for n in names), "matdump %s" % mat)


def check_mdf(mf4, db, event_names):
    channels, markers = subset(db)
    model = mdf_walk.read_v4(open(mf4, "rb").read(), strict=True)
    tables = sorted({c["table"] for c in channels}, key=lambda t: (t[11:15], t))
    check(len(model["groups"]) == len(tables), "%s: %d groups for %d tables" % (mf4, len(model["groups"]), len(tables)))
    for group, table in zip(model["groups"], tables):
        mine = [c for c in channels if c["table"] == table]
        check([c["name"] for c in group["channels"]] == ["time"] + [c["name"] for c in mine], "%s channels" % table)
        check(same(mdf_walk.values(group, "time"), mine[0]["time"]), "%s: times" % table)
        for c in mine:
            check(same(mdf_walk.values(group, c["name"]), c["values"]), "%s: %s values" % (mf4, c["name"]))
    check([e["name"].decode() for e in model["events"]] == event_names, "%s events %s" % (mf4, model["events"]))
    check([(e["comment"].decode(), e["sync_base"]) for e in model["events"]] ==
          [(m[0], int(m[1] * 1e6)) for m in markers], "%s: event comments or times" % mf4)
    return model


# Two databases, A, A, B, A: a channel found under other names in each, a
# channel whose group has no records, a group of 2.5-7.5 s only.
a, b = build("multirate.db", "multirate_v400.mf4"), build("conversions.db", "conversions_v400.mf4")
channels = [
    {"name_in_script": "Speed", "OptionalList": [{"channel_name": "sine_20ms_late", "message_name": "Group0005"},
                                                 {"channel_name": "lin_u16", "message_name": "Group0001"}]},
    {"name_in_script": "State", "OptionalList": [{"channel_name": "counter_1s"}, {"channel_name": "vtab_u8"}]},
    {"name": "empty_value", "required": False}]
hit_list = [(a, [(2.0, 3.0), (7.4, 9.0)]), (b, [(0.1, 0.2, 0.5)]), (a, [(0, 0.5)])]
db = extract(channels, hit_list, "s.db")
check_statistics(db)
names = ["Speed", "State", "empty_value"]
for output in ("s.mat", "S.MAT"):
    check_mat(extract(channels, hit_list, output), db if output == "s.mat" else os.path.join(folder, "S.db"), names)
model = check_mdf(extract(channels, hit_list, "s.mf4"), db, ["Subset File 1 (2 - 3)", "Subset File 1 (7.4 - 9)",
                                                               "Subset File 2 (0.1 - 0.2)", "Subset File 3 (0 - 0.5)"])
check(model["groups"][0]["channels"][1]["description"] == b"*Group0005 | ", "Speed's description")
with sqlite3.connect(a) as source:
    start = source.execute("SELECT MIN(MinTime) FROM Network_Statistics WHERE MinTime > 0").fetchone()[0]
check([m[2] for m in subset(db)[1]][0] == start + 2.0, "Markers.AbsoluteTime")

# Values near 1e9 with a small spread: the standard deviation stays exact.
big = os.path.join(folder, "big.db")
shutil.copy(a, big)
with sqlite3.connect(big) as source:
    message, column = source.execute("SELECT MessageId, MessageChannel FROM Channels WHERE Name = 'counter_1s'").fetchone()
    source.execute("UPDATE MessageData%04d SET Signal%d = 1e9 + Signal%d * 0.125" % (message, column, column))
check_statistics(extract([{"name": "counter_1s"}], [(big, [(0, 10)])], "bigsubset.db"))

# Names that clash once cleaned for MAT, and the reserved name "header".
n = build("names.db", "names_v400.mf4")
clashing = [{"name_in_script": s, "OptionalList": [{"channel_name": c}]}
            for s, c in (("Temp[degC]", "Temp[degC]"), ("Temp_degC_", "EngineSpeed"), ("header", "name with spaces"))]
check_mat(extract(clashing, [(n, [(0, 1)])], "n.mat"), os.path.join(folder, "n.db"),
          ["Temp_degC_", "Temp_degC__2", "header_2"])

# 600 channels: one MDF data group per record table part.
w = build("wide.db", "wide600_v400.mf4")
check_mdf(extract([{"name": "wide600_ch%04d" % i} for i in range(600)], [(w, [(0, 99)])], "w.mf4"),
          os.path.join(folder, "w.db"), ["Subset File 1 (0 - 99)"])

shutil.rmtree(folder)
for failure in failures:
    print("FAIL:", failure)
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
