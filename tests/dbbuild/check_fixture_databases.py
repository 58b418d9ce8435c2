"""The builder and the channel lists on every MDF fixture, through the shared
library (ctypes), against the sidecar an independent MDF library wrote: the
database's schema, messages, records (raw integers, physical values, text
states), Channels rows, network statistics and statistics (db_checks); the
lists (parsed with python's json) against the sidecar's names and the same
database's figures; names beyond ASCII as UTF-8 through both forms under the
C and the C.UTF-8 locale. Then what both do with the user's files: targets,
signal selections, lists that cannot be written."""
import ctypes
import json
import locale
import math
import os
import sqlite3
import stat
import struct
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "testlib"))
import db_checks  # noqa: E402
import mdf as sidecar  # noqa: E402
from libcall import captured, captured_cut_short, lib  # noqa: E402
from mdf import is_float, is_time  # noqa: E402

for name in ("CreateDatabase", "GetChannels", "GetChannelStatistics", "CreateDatabaseForSignals"):
    getattr(lib, name).argtypes = [ctypes.c_char_p] * (3 if "Signals" in name else 2)
    getattr(lib, name + "W").argtypes = [ctypes.c_wchar_p] * (3 if "Signals" in name else 2)
FIXTURES = os.path.abspath(sidecar.FIXTURES)
failures = []


def fail(where, text):
    failures.append(f"{where}: {text}")


def rows(db, sql):
    return sqlite3.connect(db).execute(sql).fetchall()


# ---- The database and the lists of each fixture ------------------------------------

def as_int64(v):
    return (int(v) + 2**63) % 2**64 - 2**63


def close(a, b):
    if a is None or b is None or isinstance(b, str):
        return a is None and (b is None or b == "nan")
    return a == b or abs(a - b) <= 1e-9 * max(abs(a), abs(b))


def check_samples(where, stats, values, equal):
    """The sidecar's samples, range and mean of a column (None: no number)."""
    for _, index, want in sidecar.samples(stats, len(values)):
        if not equal(values[index], want):
            fail(where, f"record {index}: {values[index]!r} != {want!r}")
    numeric = [v for v in values if v is not None]
    if stats.get("min") is not None and numeric and not (
            equal(min(numeric), stats["min"]) and equal(max(numeric), stats["max"]) and
            close(math.fsum(numeric) / len(numeric), stats["mean"])):
        fail(where, f"range {min(numeric)!r}..{max(numeric)!r} or mean differ from {stats}")


def check_values(where, channel, group, kind, v4, stored, states):
    raw, phys = channel["raw"], channel.get("phys", {})
    if raw.get("kind") == "text":  # MDF 3: no number; MDF 4: signal data offsets or the first bytes
        want = [0] * len(stored) if not v4 else sidecar.string_slots(channel) if channel["cn_type"] == 1 else \
            {i: as_int64(sidecar.first_bytes(t)) for _, i, t in sidecar.samples(raw, len(stored))}
        if (stored if isinstance(want, list) else {i: stored[i] for i in want}) != want:
            fail(where, "string values differ")
    elif kind == "RawValue":
        integers = not is_float(channel, v4)
        wrapped = dict(raw, **{k: [as_int64(x) for x in raw[k]] for k in ("first", "last", "probe")}, min=None)
        check_samples(where, wrapped if integers else raw, stored,
                      lambda a, b: a == b and isinstance(a, int) == integers)
    elif kind == "State Encoded" and phys.get("kind") == "text":
        for line in sidecar.text_differences(phys, [states.get(v, "") for v in stored]):
            fail(where, line)
    elif kind == "State Encoded":
        # A nested numeric default: where the number stands for a text state
        # the sidecar gives NaN, this library the state's key.
        marked = [None if v in states else v for v in stored]
        if marked.count(None) != phys["nonfinite"]:
            fail(where, "number of text states differs")
        check_samples(where, dict(phys, min=None), marked, close)
    else:
        expected = sidecar.physical_expectation(channel, group, v4)
        check_samples(where, expected or raw, stored, close if expected else lambda a, b: a == b)


def message_of(group, number):
    """(name, network): the first channel's comment split at " | ", else the
    group's placeholder on "HS CAN"."""
    comment = group["channels"][0]["comment"]
    return tuple(comment.split(" | ", 1)) if " | " in comment else (f"Group{number:04d}", "HS CAN")


def check_message(where, conn, v4, group, mid, cid, start):
    channels = [c for c in group["channels"] if not is_time(c, v4)]
    time = [c for c in group["channels"] if is_time(c, v4)][0]["raw"]
    name, network = message_of(group, mid)
    row = conn.execute("SELECT Name, ArbId, SignalCount, DataTableName, Network, MinDelta, MaxDelta, MessageCount, "
                       "Rate, MessageChanges, DataBytes, MinTime, MaxTime FROM Messages WHERE ID = ?", (mid,))
    row = row.fetchone()
    if row is None or row[:11] != (name, "", len(channels), f"MessageData{mid:04d}", network, 0.0, 0.0,
                                   group["cycles"], 0.0, 0, 8):
        fail(where, f"message row {row}")
        return cid + len(channels)
    times = dict(time, **{k: [start + x for x in time[k]] for k in ("first", "last", "probe")},
                 min=start + time["min"], max=start + time["max"], mean=start + time["mean"])
    tvals = [r[0] for r in conn.execute(f"SELECT TIME_VAL FROM MessageData{mid:04d} ORDER BY rowid")]
    check_samples(where + " TIME_VAL", times, tvals, lambda a, b: abs(a - b) <= 1e-6)
    if len(tvals) != group["cycles"] or abs(row[11] - times["min"]) > 1e-6 or abs(row[12] - times["max"]) > 1e-6:
        fail(where, f"{len(tvals)} rows, MinTime/MaxTime {row[11:]}")
    kinds = ["RawValue" if not c.get("conversion") else "State Encoded" if sidecar.has_states(c["conversion"], v4)
             else "Double" for c in channels]
    for first in range(1, max(len(channels), 1) + 1, 500):  # the record tables' schema, 500 signals a part
        table = db_checks.table_of(mid, first)
        want = f"CREATE TABLE {table} (TIME_VAL DOUBLE " + "".join(
            f", Signal{k} {'DOUBLE' if is_float(channels[k - 1], v4) or kinds[k - 1] == 'Double' else 'INTEGER'}"
            for k in range(first, min(first + 499, len(channels)) + 1)) + ")"
        if conn.execute("SELECT sql FROM sqlite_master WHERE name = ?", (table,)).fetchone() != (want,):
            fail(where, f"the schema of {table} is not {want[:80]}...")
    for k, (channel, kind) in enumerate(zip(channels, kinds), 1):
        cid, w = cid + 1, f"{where} {channel['name']}"
        # A text table with a nested scaling gives doubles beside its states.
        scaled = kind == "State Encoded" and any(isinstance(r, dict) and r["cc_type"] == 1 and r["vals"] != [0.0, 1.0]
                                                 for r in channel["conversion"].get("refs", []))
        data_type = (3 if channel["bit_count"] == 32 else 4) if is_float(channel, v4) or scaled else \
            int(sidecar.is_signed(channel, v4))
        params = sidecar.linear_params(channel.get("conversion") or {}, v4) or [0.0, 1.0]
        row = conn.execute("SELECT * FROM Channels WHERE ID = ?", (cid,)).fetchone() or (None,) * 26
        if row != (cid, mid, k, sidecar.channel_name(channel, v4), kind, *row[5:10], network, channel["unit"], "", -1,
                   0, "", params[1], params[0], data_type, sidecar.byte_offset(channel, v4), channel["bit_count"], 0,
                   1, -1, cid, 1):
            fail(w, f"channel row {row}")
            continue
        states = {v: t for t, v in conn.execute("SELECT StateText, NumVal FROM ChannelStates WHERE ChannelId = ?",
                                                (cid,))}
        if (kind == "State Encoded") != bool(states):
            fail(w, f"states {states}")
        check_values(w, channel, group, kind, v4, db_checks.column(conn, mid, k), states)
    return cid


def expected_entries(side, statistics):
    """(group, name keys) of every listed channel, in file order."""
    v4, number, entries = sidecar.is_version4(side), 0, []
    for group in sidecar.measured_groups(side):
        data = [c for c in group["channels"] if not is_time(c, v4)]
        number += 1 if data else 0
        for c in data:
            entry = {"name": sidecar.channel_name(c, v4)}
            unit = c["unit"] or (c.get("conversion") or {}).get("unit", "")
            if " | " in c["comment"]:
                entry["message_name"], entry["network_name"] = c["comment"].split(" | ", 1)
            elif statistics:
                entry["message_name"] = f"Group{number:04d}"
            if statistics and unit not in ("", "-"):
                entry["unit"] = unit
            entries.append((group, entry))
    return entries


def listing(function, mdf, out):
    result, output = captured(function, mdf, out)
    if result != 1:
        fail(mdf, f"{function.__name__} gave {result}: {output}")
        return [], output
    with open(out, encoding="utf-8") as f:
        return json.load(f)["Channels"], output


def check_lists(base, path, out, conn, side, forms):
    names, output = listing(forms.GetChannels, forms.arg(path), forms.arg(out))
    if names != [e for _, e in expected_entries(side, False)]:
        fail(base, f"names {names[:3]}...")
    if "left out" in output or "ends after" in output:  # names only: no group's records are read
        fail(base, f"the names list read records: {output!r}")
    listed, output = listing(forms.GetChannelStatistics, forms.arg(path), forms.arg(out))
    if "stored only in part" in output:  # said when a database is built, not by the lists
        fail(base, f"the statistics list names channels stored in part: {output!r}")
    readable = [e for g, e in expected_entries(side, True) if not sidecar.is_compressed(g)]
    if [{k: v for k, v in entry.items() if k in e} for entry, e in zip(listed, readable)] != readable or \
            len(listed) != len(readable):
        return fail(base, f"statistics list names {[e.get('name') for e in listed][:5]}...")
    if len(readable) < len(expected_entries(side, True)) and "is left out: its records cannot be read" not in output:
        fail(base, f"compressed groups left out without a word: {output!r}")
    for line in db_checks.check_list(conn, listed, base) if conn else []:  # figures checked against the sidecar
        fail(base, line)


class Narrow:
    CreateDatabase, GetChannels, GetChannelStatistics = lib.CreateDatabase, lib.GetChannels, lib.GetChannelStatistics
    arg = str.encode


class Wide:
    CreateDatabase, GetChannels, GetChannelStatistics = lib.CreateDatabaseW, lib.GetChannelsW, lib.GetChannelStatisticsW
    arg = str


def check_file(path, tmp, forms=Narrow):
    side, base = sidecar.load(path), os.path.basename(path) + f" ({locale.setlocale(locale.LC_ALL)})"
    v4, start, groups = sidecar.is_version4(side), sidecar.start_offset(side), sidecar.measured_groups(side)
    db = os.path.join(tmp, os.path.basename(path) + ".db")
    result, output = captured(forms.CreateDatabase, forms.arg(path), forms.arg(db))
    if any(sidecar.is_compressed(g) for g in groups):
        if result != 0 or "cannot be read" not in output or "was not built" not in output or os.path.exists(db):
            fail(base, f"compressed data must fail the build clearly ({result}, {output!r}, {os.listdir(tmp)})")
        return check_lists(base, path, db + ".json", None, side, forms)
    if result != 1:
        return fail(base, f"build failed: {output}")
    partial = [f"Channel {sidecar.channel_name(c, v4)} of channel group {n} is stored only in part: "
               for n, g in enumerate(groups, 1) for c in g["channels"]
               if c["bit_count"] > 64 or v4 and c["cn_type"] == 1]
    lines = output.splitlines()
    if len(lines) != len(partial) or any(not line.startswith(want) for line, want in zip(lines, partial)):
        fail(base, f"lines other than one per string or variable-length channel: {output!r}")
    conn = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
    if conn.execute("PRAGMA journal_mode").fetchone() != ("delete",):
        fail(base, "journal mode")
    if conn.execute("SELECT COUNT(*) FROM Messages").fetchone()[0] != len(groups):
        fail(base, "message count differs from the group count")
    cid, networks = 0, {}
    for number, group in enumerate(groups, 1):
        cid = check_message(f"{base} group {group['index']}", conn, v4, group, number, cid, start)
        last = start + [c for c in group["channels"] if is_time(c, v4)][0]["raw"]["max"]
        total, latest = networks.get(message_of(group, number)[1], (0, -math.inf))
        networks[message_of(group, number)[1]] = (total + group["cycles"], max(latest, last))
    if conn.execute("SELECT COUNT(*) FROM Channels").fetchone()[0] != cid + 1:
        fail(base, "Channels holds other rows than the signals and the collection key")
    stats = {row[0]: row[1:] for row in conn.execute("SELECT * FROM Network_Statistics")}
    if stats.keys() != networks.keys() or any(
            stats[n][:5] != (total, total, 0, 0, 0) or abs(stats[n][5] - start) > 1e-6 or
            abs(stats[n][6] - last) > 1e-6 or abs(stats[n][7] - total / (last - start)) > 1e-6 * stats[n][7]
            for n, (total, last) in networks.items()):
        fail(base, f"network statistics {stats}")
    for line in db_checks.check_statistics(conn, base):
        fail(base, line)
    check_lists(base, path, db + ".json", conn, side, forms)


# ---- What the builder and the lists do with the user's files -------------------------

def fixture(name):
    return os.path.join(FIXTURES, name).encode()


def build(mdf, db, selection=None):
    return captured(lib.CreateDatabase, mdf, db) if selection is None else \
        captured(lib.CreateDatabaseForSignals, mdf, selection, db)


def complete(db):
    """A database left behind is complete: statistics rows and the CollectionMask column."""
    return os.path.exists(db) and rows(db, "SELECT (SELECT COUNT(*) FROM Network_Statistics) > 0 AND (SELECT "
                                       "COUNT(*) FROM sqlite_master WHERE sql LIKE '%CollectionMask%') = 1") == [(1,)]


def check_selections():
    """Only groups holding a selected channel become messages, named after
    that channel's comment."""
    mdf = fixture("network_v400.mf4")
    layout = ("SELECT Name || '|' || Network || '|' || (SELECT group_concat(Name) FROM Channels WHERE MessageId = "
              "Messages.ID) FROM Messages")
    entry = lambda *keys: dict(zip(("name", "message_name", "network_name"), keys))  # noqa: E731
    json.dump({"Channels": [entry("EngTemp", "EngineData", "CAN1")]}, open("s.json", "w"))
    build(mdf, b"s.db")
    everything = [r[0] for r in rows("s.db", layout)]
    for selection, want in [
            ([entry("EngSpeed", "EngineData", "CAN1")] + [entry("WheelSpeedFR", "WheelSpeeds", "CAN1")] * 2,
             ["EngineData|CAN1|EngSpeed", "WheelSpeeds|CAN1|WheelSpeedFR"]),
            (b"s.json", ["EngineData|CAN1|EngTemp"]), ([], everything), (None, everything),
            # A group's default name stands for a channel whose comment names
            # no message; the group keeps its number.
            ([entry("NoSeparator", "Group0004"), entry("NoSeparator", "Group0009", "")],
             ["Group0004|HS CAN|NoSeparator"])]:
        text = json.dumps({"Channels": selection}).encode() if isinstance(selection, list) else selection
        if build(mdf, b"s.db", text)[0] != 1 or [r[0] for r in rows("s.db", layout)] != want:
            fail("selection", selection)
    wide = captured(lib.CreateDatabaseForSignalsW, mdf.decode(), '{"Channels": [{"name": "AliveCounter", '
                    '"message_name": "BrakeStatus", "network_name": "CAN2"}]}', "s.db")[0]
    if wide != 1 or rows("s.db", layout) != [("BrakeStatus|CAN2|AliveCounter",)]:
        fail("selection", "CreateDatabaseForSignalsW")
    # The MDF 3 fixture holds the name in Latin-1; the selection is UTF-8 or
    # holds JSON escapes (as json.dumps writes by default).
    for text in ('{"Channels": [{"name": "\u00dcbersetzung"}]}'.encode(),
                 b'{"Channels": [{"name": "\\u00dcbersetzung"}]}'):
        if build(fixture("names_v330.mdf"), b"s.db", text)[0] != 1 or \
                rows("s.db", "SELECT Name FROM Channels WHERE ID > 0") != [("\u00dcbersetzung",)]:
            fail("selection", text)


def check_text_defaults():
    """The text tables of two fixtures (rules in their README): AmbTemp and VehSpd hold physical values beside
    their states and are described as doubles; a raw value of Level in no range reads as no state; default state
    numbers past the channel's type."""
    mdf = fixture("textdefaults_v410.mf4")
    build(mdf, b"t.db")
    described = rows("t.db", "SELECT Name, SignalType, DataType FROM Channels WHERE ID > 0 ORDER BY ID")
    if described != [("AmbTemp", "State Encoded", 4), ("VehSpd", "State Encoded", 4), ("Level", "State Encoded", 0)]:
        fail("textdefaults", f"described as {described}")
    group = sidecar.read_v4(open(mdf, "rb").read(), strict=False)["groups"][0]
    ranges = {"low": (10, 11), "mid": (12, 13), "high": (20, 25), "top": (30, 31)}
    states = dict(rows("t.db", "SELECT NumVal, StateText FROM ChannelStates WHERE ChannelId = 3"))
    for raw, stored in zip(sidecar.values(group, "Level"), db_checks.column(sqlite3.connect("t.db"), 1, 3)):
        if states.get(stored) != next((text for text, (low, high) in ranges.items() if low <= raw <= high), None):
            fail("textdefaults Level", f"raw {raw} reads as {stored} ({states.get(stored)})")
    # Tables whose default's number lies past the channel's type (all but Door's) are described as doubles,
    # which hold it; every raw value reads as its key's text, else as the default text (the fixture's README).
    mdf = fixture("statekeys_v410.mf4")
    build(mdf, b"k.db")
    tables = {"Switch": ({0: "Off", 1: "On", 255: "SNA"}, "Unknown"),
              "Gear": ({-1: "Reverse", 0: "Neutral", 127: "Fault"}, "Forward"),
              "Mode": ({0: "Init", 65535: "SNA"}, "Running"), "Door": ({0: "Closed", 1: "Open"}, "Ajar")}
    want = [(name, "State Encoded", 0 if name == "Door" else 4) for name in tables]
    if rows("k.db", "SELECT Name, SignalType, DataType FROM Channels WHERE ID > 0 ORDER BY ID") != want:
        fail("statekeys", "described as " + str(rows("k.db", "SELECT Name, DataType FROM Channels")))
    group = sidecar.read_v4(open(mdf, "rb").read(), strict=False)["groups"][0]
    built = sqlite3.connect("k.db")
    for k, (name, (keys, default)) in enumerate(tables.items(), 1):
        states = dict(built.execute(f"SELECT NumVal, StateText FROM ChannelStates WHERE ChannelId = {k}"))
        stored = db_checks.column(built, 1, k)
        raws = sidecar.values(group, name)
        if len(set(raws)) < 3 or [states.get(v) for v in stored] != [keys.get(raw, default) for raw in raws]:
            fail(f"statekeys {name}", f"raw {raws} stored as {stored}")


def check_half_floats():
    """Half floats stored as the fixture's README lists them (a DOUBLE column keeps no -0.0), with the statistics and
    the statistics list that follow; the complex channel as the integer of its bits, with its line."""
    mdf = fixture("halffloat_v410.mf4")
    result, output = build(mdf, b"h.db")
    conn = sqlite3.connect("h.db")
    complex_bits = sidecar.values(sidecar.read_v4(open(mdf, "rb").read(), strict=False)["groups"][0], "Cplx")
    want = [("Half", 4, [-2.0 + 0.5 * k for k in range(17)] + [65504.0, 2.0 ** -24, 0.3330078125]),
            ("HalfBE", 4, [-0.25 * k for k in range(20)]), ("Cplx", 0, [as_int64(v) for v in complex_bits]),
            ("Count", 0, list(range(20)))]
    got = [(name, kind, db_checks.column(conn, 1, k)) for k, name, kind in conn.execute(
        "SELECT MessageChannel, Name, DataType FROM Channels WHERE ID > 0 ORDER BY ID").fetchall()]
    line = "Channel Cplx of channel group 1 is stored only in part: its data type 15 is not decoded (the integer of its " \
           "leading bits is stored)\n"
    if (result, output, got) != (1, line, want):
        fail("halffloat", f"{result} {output!r} {got}")
    listed, _ = listing(lib.GetChannelStatistics, mdf, b"h.json")
    for difference in db_checks.check_statistics(conn, "halffloat") + db_checks.check_list(conn, listed, "halffloat"):
        fail("halffloat", difference)


def device_node(name, minor):
    """A node of the memory device (1, minor) in the test's folder, never the machine's own: a refusal that
    regressed replaces no device of the host. None without the right to make one (not root)."""
    try:
        os.mknod(name, stat.S_IFCHR | 0o600, os.makedev(1, minor))
    except PermissionError:
        return None
    return name


def check_refusals():
    """The database goes beside the MDF file with only the file name's
    extension replaced, unless named. Unusable selections, the MDF file or
    the selection as target, and targets that are no measurement database
    fail before anything is touched; a failed build leaves an earlier
    database alone."""
    network, types = fixture("network_v400.mf4"), fixture("types_v410.mf4")
    data = open(types, "rb").read()
    os.mkdir("rev2.5")
    for mdf, target, db in ((b"rev2.5/run1.mf4", None, b"rev2.5/run1.db"), (b"rev2.5/run", b"", b"rev2.5/run.db"),
                            (b".x.mf4", None, b".x.db"), (b".hidden", None, b".hidden.db"),
                            (b"run.mf4", b"out.db", b"out.db")):
        open(mdf, "wb").write(data)
        if build(mdf, target)[0] != 1 or not complete(db):
            fail("target", f"{mdf} {target}")
    if captured(lib.CreateDatabaseW, "rev2.5/run1.mf4", None)[0] != 1 or build(types, b"n" * 250 + b".db")[0] != 1:
        fail("target", "the wide form or a name at the file system's limit")
    os.link("run.mf4", "hard.link")
    open("named.db", "wb").write(data)
    open("text.db", "w").write("not a database")
    rows("other.db", "CREATE TABLE t (x)")
    os.mkfifo("fifo.db")
    null = device_node(b"null.db", 3)
    files, before = sorted(os.listdir()), {name: open(name, "rb").read() for name in ("out.db", "named.db", "text.db")}
    for mdf, db, selection, diagnostic in [
            (b"run.mf4", b"run.mf4", None, "would replace the MDF file it is built from"),
            (b"run.mf4", os.getcwd().encode() + b"/./run.mf4", None, "would replace the MDF file it is built from"),
            (b"hard.link", b"run.mf4", None, "would replace the MDF file it is built from"),
            (b"named.db", None, None, "would replace the MDF file it is built from"),
            (types, b"s.json", b"s.json", "would replace the signal selection"),
            (types, b"text.db", None, "is not a measurement database"),
            (types, b"other.db", None, "is not a measurement database"),
            (types, b"fifo.db", None, "not a regular file"), *[(types, null, None, "not a regular file")] * bool(null),
            (types, b"none/out.db", None, "SQLITE_CANTOPEN error from: none/out.db"),
            (fixture("long1m_v410_transposed.mf4"), b"out.db", None, "The database out.db was not built"),
            (b"missing.mf4", b"out.db", None, "Could not open MDF file!\nmissing.mf4\n"),
            (b"fifo.db", b"out.db", None, "Could not open MDF file!\nfifo.db\n"),  # never waited for
            (None, b"out.db", None, "Could not open MDF file!\n\n"),
            (network, b"out.db", b"missing.json", "Could not open file missing.json"),
            (network, b"out.db", b"", "Could not open file"),
            (network, b"out.db", b"fifo.db", "Invalid JSON file fifo.db"),
            (network, b"out.db", b'{"Channel": []}', "Invalid JSON file"),
            (network, b"out.db", b'{"Channels": [{"name": "Rpm"}', "Invalid JSON file"),
            (network, b"out.db", b'{"Channels": {"name": "Rpm"}}', "Invalid JSON file"),
            (network, b"out.db", b'{"Channels": [{"message_name": "EngineData"}]}', 'needs a "name"'),
            (network, b"out.db", b'{"Channels": ["Rpm"]}', 'needs a "name"'),
            (network, b"out.db", b'{"Channels": [{"name": "EngSpeed", "network_name": 5}]}', 'needs a "name"'),
            (network, b"out.db", b'{"Channels": [{"name": "Nothing"}]}', "No channel of the signal selection"),
            (network, b"out.db", b'{"Channels": [{"name": "EngSpeed\\u0000XYZ", "message_name": "EngineData", '
                                 b'"network_name": "CAN1"}]}', "No channel of the signal selection"),
            (network, b"out.db", b'{"Channels": [{"name": "NoSeparator", "message_name": "Group0004", "network_name": '
                                 b'"HS CAN"}]}', "No channel of the signal selection")]:
        result, output = build(mdf, db, selection)
        if result != 0 or diagnostic not in output:
            fail(f"{mdf} to {db} with {selection}", f"{result}: {output}")
    if "cannot be named exactly" not in captured(lib.CreateDatabaseW, "run.mf4", "\ud800.db")[1]:
        fail("target", "a wide path without a byte form")
    if sorted(os.listdir()) != files or any(open(name, "rb").read() != kept for name, kept in before.items()) or \
            captured(lib.CreateDatabaseW, None, None)[0] != 0 or (null and not stat.S_ISCHR(os.stat(null).st_mode)):
        fail("refusals", f"files changed: {sorted(os.listdir())}")


def composed_copies():
    """composed_v410.mf4 and copies patched at the fields the block walker finds: the identifier a logger leaves in
    a file it did not finish, the time channel made a virtual master (channel type 3), and Map's composition link
    led to a channel array (the writer stored Map without its CA block, so the copy appends one: one link, array
    type 0, CN template storage, 2 dimensions of 2 and 3 elements 8 bytes apart) or Frame's to a block head whose
    length runs past the end of the file."""
    data = open(os.path.join(FIXTURES, "composed_v410.mf4"), "rb").read()
    group = sidecar.read_v4(data, strict=False)["groups"][0]
    at = {c["name"]: c["position"] for c in group["channels"]}
    ca = b"##CA" + bytes(4) + struct.pack("<QQQBBHIiIQQ", 64, 1, 0, 0, 0, 2, 0, 8, 0, 2, 3)
    patches = {"composed": [], "unfinished": [(0, b"UnFinMF ")],
               # the channel type is the first field behind the links
               "virtual": [(at["time"] + 24 + 8 * sidecar.u64(data, at["time"] + 16), b"\x03")],
               "array": [(len(data), ca), (at["Map"] + 32, struct.pack("<Q", len(data)))],  # link 1: composition
               "dangling": [(len(data), b"##CN" + bytes(4) + struct.pack("<QQ", 1000, 0)),
                            (at["Frame"] + 32, struct.pack("<Q", len(data)))]}
    for name, changes in patches.items():
        copy = bytearray(data)
        for offset, value in changes:
            copy[offset:offset + len(value)] = value
        open(name + ".mf4", "wb").write(copy)
    return group


def check_partial_channels():
    """One line for each channel stored only in part, for a group left out for a virtual time channel and for a
    file that is not finalized; the results and the values stored stay as they were, nothing else is printed."""
    group = composed_copies()
    part = "Channel {} of channel group 1 is stored only in part: {}".format
    frame = part("Frame", "its member channels (a structure) are not read; only the first 64 of its 104 bits are "
                 "stored, as an integer")
    array = part("Map", "of its channel array only the first element is stored")
    unfinished = ["Could not open MDF file!", "unfinished.mf4", 'The MDF file is not finalized (its identifier is '
                  '"UnFinMF "): its writer did not finish it, and such files are not read']
    # A copy whose string (with a conversion) holds 64 bits: decoded no more than the wider one.
    strings = open(fixture("strings_v330.mdf"), "rb").read()
    text = next(c for c in sidecar.read_v3(strings, strict=False)["groups"][0]["channels"]
                if c["name"] == "text_fixed16")
    open("string64.mdf", "wb").write(strings[:text["position"] + 188] + struct.pack("<H", 64) +
                                     strings[text["position"] + 190:])
    # A copy whose Half holds 24 bits, a float width no version defines, and whose Cplx reaches the record's end.
    halves = bytearray(open(fixture("halffloat_v410.mf4"), "rb").read())
    for channel in sidecar.read_v4(bytes(halves), strict=False)["groups"][0]["channels"]:
        bits = {"Half": 24, "Cplx": 72}.get(channel["name"])
        if bits:  # the bit count: 8 bytes after the channel type, which follows the links
            at = channel["position"] + 24 + 8 * sidecar.u64(halves, channel["position"] + 16) + 8
            halves[at:at + 4] = struct.pack("<I", bits)
    open("oddwidth.mf4", "wb").write(halves)
    for mdf, selection, result, lines in [
            (b"composed.mf4", None, 1, [frame]),
            (b"array.mf4", None, 1, [frame, array]),
            (b"array.mf4", b'{"Channels": [{"name": "Speed"}, {"name": "Map"}]}', 1, [array]),
            (b"dangling.mf4", None, 1, [part("Frame", "only the first 64 of its 104 bits are stored, as an integer")]),
            (b"unfinished.mf4", None, 0, unfinished),
            (b"virtual.mf4", None, 0, ["Channel group 1 is left out: it has no time channel (its master channel time "
                                       "is virtual: times computed from the record number are not read)",
                                       "No channel group of the MDF file can be loaded",
                                       "The database p.db was not built"]),
            (fixture("strings_v330.mdf"), None, 1, [part("text_fixed16", "none of its 128 bits is stored (they are "
                                                         "not decoded)")]),
            (b"string64.mdf", None, 1, [part("text_fixed16", "none of its 64 bits is stored (they are not decoded)")]),
            (b"oddwidth.mf4", None, 1, [part("Half", "none of its 24 bits is stored (they are not decoded)"),
                                        part("Cplx", "its data type 15 is not decoded (the integer of its leading "
                                             "bits is stored); only the first 64 of its 72 bits are stored, as an "
                                             "integer")]),
            (fixture("strings_v400.mf4"), None, 1, [
                part("text_vlsd_utf8", "its values are variable-length signal data, stored as their offsets into the "
                     "signal data"),
                part("text_fixed16", "only the first 64 of its 128 bits are stored, as an integer")])]:
        if os.path.exists("p.db"):
            os.unlink("p.db")
        if build(mdf, b"p.db", selection) != (result, "".join(line + "\n" for line in lines)):
            fail(f"{mdf} with {selection}", build(mdf, b"p.db", selection))
    if captured(lib.GetChannels, b"unfinished.mf4", b"p.json") != (0, "".join(line + "\n" for line in unfinished)):
        fail("unfinished.mf4", "the channel list does not say that the file is not finalized")
    build(b"composed.mf4", b"p.db")
    start = next(c["byte_offset"] for c in group["channels"] if c["name"] == "Frame")
    frames = [(as_int64(int.from_bytes(record[start:start + 8], "little")),) for record in sidecar.records(group)]
    if rows("p.db", "SELECT Signal2 FROM MessageData0001") != frames:
        fail("composed.mf4", "Frame is not stored as the integer of its first 8 bytes")


def check_unwritable_lists():
    """A list is 1 only when the whole document reached its file; devices and
    files of another kind are never replaced by a list."""
    mdf = fixture("network_v400.mf4")
    os.mkdir("lists")
    os.mkfifo("list.fifo")
    full = device_node(b"full.json", 7)
    for target, diagnostic in ((b"lists/none/l.json", "Could not open Json file!\nlists/none/l.json\n"),
                               (b"list.fifo", "left untouched"), *[(full, "left untouched")] * bool(full),
                               (mdf, "left untouched")):
        result, output = captured(lib.GetChannels, mdf, target)
        if result != 0 or diagnostic not in output:
            fail(f"list to {target}", output)
    # A regular file that takes only part of the document is removed.
    result, output = captured_cut_short(512, lib.GetChannelStatistics, mdf, b"lists/l.json")
    calls = [(lib.GetChannels, None, b"lists/l.json"), (lib.GetChannelStatistics, mdf, None),
             (lib.GetChannels, b"", b"l"), (lib.GetChannelStatistics, mdf, b""), (lib.GetChannelsW, None, "l"),
             (lib.GetChannelStatisticsW, "", None)]
    refused = [captured(*call) for call in calls]  # each with its diagnostic line, no file
    if result != 0 or "Could not write lists/l.json" not in output or any(r or not o for r, o in refused) or \
            os.listdir("lists") or os.path.exists("l") or (full and not stat.S_ISCHR(os.stat(full).st_mode)):
        fail("lists", f"{result}: {output} {os.listdir('lists')}")


paths = sidecar.fixture_paths()
with tempfile.TemporaryDirectory() as narrow, tempfile.TemporaryDirectory() as wide:
    for p in paths:
        check_file(p, narrow)
    locale.setlocale(locale.LC_ALL, "C.UTF-8")
    for p in paths:
        if "names_" in p or "network_" in p:
            check_file(p, wide, Wide)
    os.chdir(narrow)
    check_selections()
    check_text_defaults()
    check_half_floats()
    check_refusals()
    check_unwritable_lists()
    check_partial_channels()
sidecar.report(paths, failures)
