"""Hit extraction from databases built of the MDF fixtures, through the exported function, every output checked
by an independent reader: the subset database with python's sqlite3 and numpy (and through record access), MAT
files with scipy.io.loadmat and matdump, MDF 4.00 files with the strict block walker tests/mdfwrite/mdf_walk.py."""
import ctypes
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

import numpy
import scipy.io

sys.path.insert(0, os.path.join(os.environ["VANTREL_SOURCE"], "tests", "testlib"))
import mdf as mdf_walk  # noqa: E402
from libcall import captured  # noqa: E402

lib = ctypes.CDLL(os.environ["VANTREL_LIB"])
lib.CreateDatabaseW.argtypes = lib.OutputHitsToFileW.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p]
lib.OutputHitsToFile.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
lib.GetNextRecord.restype = ctypes.c_double
folder = tempfile.mkdtemp()
DBL_MAX = sys.float_info.max


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


def query(db, sql):
    with sqlite3.connect(db) as connection:
        return connection.execute(sql).fetchall()


def subset(db):
    """Each channel (Channels row order) with its table's times and its column (NULL as NaN)."""
    channels = []
    for name, message, column, *stats in query(db, "SELECT Name, MessageId, MessageChannel, MinVal, MaxVal, AvgVal, "
                                                   "StdDev, NumChanges, DataType, Median, Units FROM Channels WHERE ID > 0 "
                                                   "ORDER BY ID"):
        part = (column - 1) // 500 + 1
        table = "MessageData%04d" % message + ("_%04d" % part if part > 1 else "")
        data = numpy.array(query(db, "SELECT TIME_VAL, Signal%d FROM %s" % (column, table)), dtype=float).reshape(-1, 2)
        channels.append({"name": name, "table": table, "time": data[:, 0], "values": data[:, 1], "stats": stats})
    return channels


def same(a, b):
    return numpy.array_equal(numpy.asarray(a, dtype=float), numpy.asarray(b, dtype=float), equal_nan=True)


def check_statistics(db):
    """Channels statistics against numpy over each channel's points (its non-NULL cells, in these subsets)."""
    for c in subset(db):
        points = c["values"][~numpy.isnan(c["values"])]
        low, high, average, deviation, changes, data_type, median, units = c["stats"]
        assert data_type == 4 and median == 0.0 and units == "", (c["name"], data_type, median, units)
        if len(points) == 0:
            assert (low, high, changes) == (DBL_MAX, -DBL_MAX, 0), (c["name"], c["stats"])
            continue
        assert (low, high) == (points.min(), points.max()), (c["name"], c["stats"])
        assert numpy.isclose(average, points.mean(), rtol=1e-12), (c["name"], average)
        assert numpy.isclose(deviation, points.std(), rtol=1e-9, atol=1e-12), (c["name"], deviation, points.std())
        assert changes == numpy.count_nonzero(numpy.diff(points)), (c["name"], changes)


def check_mat(mat, db, names):
    content = scipy.io.loadmat(mat, uint16_codec="utf-16-le")  # character arrays hold UTF-16 code units
    assert sorted(k for k in content if not k.startswith("__")) == sorted(["header"] + names), (mat, content.keys())
    header = content["header"][0, 0]
    assert header["numchannels"][0, 0] == len(names) and header["startdate"][0] == "2007/1/1", mat
    for c, name in zip(subset(db), names):
        variable = content[name][0, 0]
        assert variable["Channelname"][0] == name, (name, variable["Channelname"])
        signals = variable["signals"][0, 0]
        assert same(variable["time"].ravel(), c["time"]) and same(signals["values"].ravel(), c["values"]), (mat, name)
        assert signals["dimensions"].shape == (1, 1) and signals["dimensions"][0, 0] == 1.0, (mat, name, signals["dimensions"])
        bounds = (c["time"].min(), c["time"].max()) if len(c["time"]) else (DBL_MAX, -DBL_MAX)
        assert (variable["min"][0, 0], variable["max"][0, 0]) == bounds, (mat, name)
    dump = subprocess.run(["matdump", mat], capture_output=True, encoding="latin-1")  # names are Latin-1 bytes
    assert dump.returncode == 0 and all("Name: %s\n" % n in dump.stdout for n in names), (mat, dump.stdout)


def check_mdf(mf4, db, event_names):
    """One data group per record table, in table order; one event per hit, at its marker; started "now"."""
    channels = subset(db)
    model = mdf_walk.read_v4(open(mf4, "rb").read(), strict=True)
    assert abs(model["header"]["start_ns"] / 1e9 - time.time()) < 600, (mf4, model["header"]["start_ns"])
    tables = sorted({c["table"] for c in channels}, key=lambda t: (t[11:15], t))
    assert len(model["groups"]) == len(tables), (mf4, len(model["groups"]), tables)
    for group, table in zip(model["groups"], tables):
        mine = [c for c in channels if c["table"] == table]
        assert [c["name"] for c in group["channels"]] == ["time"] + [c["name"] for c in mine], (mf4, table)
        assert same(mdf_walk.values(group, "time"), mine[0]["time"]), (mf4, table)
        for c in mine:
            assert same(mdf_walk.values(group, c["name"]), c["values"]), (mf4, c["name"])
    assert [e["name"].decode() for e in model["events"]] == event_names, (mf4, model["events"])
    assert [(e["comment"].decode(), e["sync_base"]) for e in model["events"]] == [
        (text, int(start * 1e6)) for text, start in query(db, "SELECT Description, StartTime FROM Markers")], mf4
    return model


def read_back(db, names):
    """Every record of the channels through record access (OpenDataFile, GetNextRecord)."""
    values, times, count = ctypes.POINTER(ctypes.c_double)(), ctypes.POINTER(ctypes.c_double)(), ctypes.c_int()
    lib.OpenDataFile(db.encode(), json.dumps({"Channels": [{"name": n} for n in names]}).encode(),
                     ctypes.byref(values), ctypes.byref(times), ctypes.byref(count))
    rows = [values[:count.value]]
    while lib.GetNextRecord(values, 0) != DBL_MAX:
        rows.append(values[:count.value])
    lib.CloseDataFile(values, 0)
    return numpy.array(rows)


# Two databases, A, A, B, A: a channel found under other names in each, a channel whose group has no records,
# a group of 2.5-7.5 s only.
a, b = build("multirate.db", "multirate_v400.mf4"), build("conversions.db", "conversions_v400.mf4")
channels = [
    {"name_in_script": "Speed", "OptionalList": [{"channel_name": "sine_20ms_late", "message_name": "Group0005"},
                                                 {"channel_name": "lin_u16", "message_name": "Group0001"}]},
    {"name_in_script": "State", "OptionalList": [{"channel_name": "counter_1s"}, {"channel_name": "vtab_u8"}]},
    {"name": "empty_value", "required": False}]
hit_list = [(a, [(2.0, 3.0), (7.4, 9.0)]), (b, [(0.1, 0.2, 0.5)]), (a, [(0, 0.5)])]
db = extract(channels, hit_list, "s.db")
check_statistics(db)
for output in ("s.mat", "S.MAT"):
    check_mat(extract(channels, hit_list, output), os.path.join(folder, output[0] + ".db"), ["Speed", "State", "empty_value"])
model = check_mdf(extract(channels, hit_list, "s.mf4"), db, ["Subset File 1 (2 - 3)", "Subset File 1 (7.4 - 9)",
                                                               "Subset File 2 (0.1 - 0.2)", "Subset File 3 (0 - 0.5)"])
assert model["groups"][0]["channels"][1]["description"] == b"*Group0005 | ", "Speed's description"
start = query(a, "SELECT MIN(MinTime) FROM Network_Statistics WHERE MinTime > 0")[0][0]
assert query(db, "SELECT AbsoluteTime FROM Markers")[0][0] == start + 2.0, "Markers.AbsoluteTime"

# Two channels of one subset table whose sources start at 0 s and 2.5 s: the cells before the later one's first
# point are NULL, NaN in the MAT and MDF files.
nulls = [{"name_in_script": n, "OptionalList": [{"channel_name": c}]} for n, c in (("P", "sine_20ms_late"), ("Q", "counter_1s"))]
nulls_list = [(a, [(0, 1), (2, 3)])]
nulls_db = extract(nulls, nulls_list, "nulls.db")
assert numpy.isnan(subset(nulls_db)[0]["values"]).sum() == 2, subset(nulls_db)[0]["values"]
check_mat(extract(nulls, nulls_list, "nulls.mat"), nulls_db, ["P", "Q"])
check_mdf(extract(nulls, nulls_list, "nulls.mf4"), nulls_db, ["Subset File 1 (0 - 1)", "Subset File 1 (2 - 3)"])

# Values near 1e9 with a small spread: the standard deviation stays exact.
big = shutil.copy(a, os.path.join(folder, "big.db"))
message, column = query(big, "SELECT MessageId, MessageChannel FROM Channels WHERE Name = 'counter_1s'")[0]
query(big, "UPDATE MessageData%04d SET Signal%d = 1e9 + Signal%d * 0.125" % (message, column, column))
check_statistics(extract([{"name": "counter_1s"}], [(big, [(0, 10)])], "bigsubset.db"))

# A database named by bytes that form no UTF-8: raw in a hit list file and as python writes them (os.fsdecode's
# surrogates, escaped by json.dumps): one source, described alike in the Markers rows and the MDF event names.
raw = os.fsencode(folder) + b"/src\xe9\xff.db"
shutil.copy(a, raw)
counter = [{"name": "counter_1s"}]
entry = json.dumps({"FilenameAndPath": os.fsdecode(raw), "Hits": [{"EndTime": 1}]}).encode()
with open(os.path.join(folder, "bytes.json"), "wb") as f:
    f.write(b'{"Channels": %s, "HitList": [%s, %s]}' % (json.dumps(counter).encode(), entry,
                                                       entry.replace(b"\\udce9\\udcff", b"\xe9\xff")))
assert lib.OutputHitsToFile(os.path.join(folder, "bytes.json").encode(), os.path.join(folder, "bytes.mf4").encode()) == 0
descriptions = query(os.path.join(folder, "bytes.db"), "SELECT Description FROM Markers")
assert descriptions == [(raw.decode("latin-1"),)] * 2, descriptions
events = mdf_walk.read_v4(open(os.path.join(folder, "bytes.mf4"), "rb").read(), strict=True)["events"]
assert [e["name"] for e in events] == [b"Subset File 1 (0 - 1)"] * 2, events

# json.dumps writes "caf\u00e9.db", which the parser reads as the byte 0xE9: the path names caf\xc3\xa9.db, unless a
# file has that exact byte (here one of other values).
cafe = shutil.copy(a, os.path.join(folder, "caf\u00e9.db"))
values = subset(extract(counter, [(cafe, [(0, 10)])], "cafe1.db"))[0]["values"]
shutil.copy(big, os.fsencode(folder) + b"/caf\xe9.db")
exact = subset(extract(counter, [(cafe, [(0, 10)])], "cafe2.db"))[0]["values"]
assert len(values) and values.max() < 1e9 <= exact.min(), (values, exact)
# A name that neither form names is reported by the bytes it was listed as, not by their Latin-1 reading.
gone = json.dumps({"Channels": counter,
                   "HitList": [{"FilenameAndPath": folder + "/gone\u00e9.db", "Hits": [{"EndTime": 1}]}]})
result, printed = captured(lib.OutputHitsToFileW, gone, os.path.join(folder, "gone.db"), raw=True)
assert result == -2, (result, printed)
assert b"File does not have enough signals for script %s/gone\xe9.db\n" % os.fsencode(folder) in printed, printed

# Names that clash once cleaned for MAT, the reserved name "header", and a name beyond ASCII: its variable name
# is its Latin-1 bytes and its Channelname its own characters, as the export writes them.
n = build("names.db", "names_v400.mf4")
clashing = [{"name_in_script": s, "OptionalList": [{"channel_name": c}]}
            for s, c in (("Temp[degC]", "Temp[degC]"), ("Temp_degC_", "EngineSpeed"), ("header", "name with spaces"),
                         ("\u00dcbersetzung", "\u00dcbersetzung"))]
check_mat(extract(clashing, [(n, [(0, 1)])], "n.mat"), os.path.join(folder, "n.db"),
          ["Temp_degC_", "Temp_degC__2", "header_2", "\u00dcbersetzung"])

# 600 channels: the subset continues past 500 signals in a second record table, one MDF data group each, and
# record access reads every channel of the subset as the source holds it.
w = build("wide.db", "wide600_v400.mf4")
wide = ["wide600_ch%04d" % i for i in range(600)]
check_mdf(extract([{"name": c} for c in wide], [(w, [(0, 99)])], "w.mf4"), os.path.join(folder, "w.db"),
          ["Subset File 1 (0 - 99)"])
assert same(read_back(os.path.join(folder, "w.db"), wide), numpy.column_stack([c["values"] for c in subset(w)])), "wide"
shutil.rmtree(folder)
