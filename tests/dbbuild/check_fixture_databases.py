"""Builds the measurement database of every MDF fixture through the shared
library (ctypes) and checks it against the fixture's sidecar, written by an
independent MDF library: one message per channel group, row counts equal to
record counts, TIME_VAL = start + t, INTEGER columns holding the raw
integers, DOUBLE columns the physical values, text-state numbers that
ChannelStates turns into the sidecar's texts, the Channels rows, and every
statistic recomputed by python. Names beyond ASCII (Latin-1 in MDF 3, UTF-8
in MDF 4) must arrive as UTF-8 under the C and the C.UTF-8 locale.

Where the reader follows its own rules the expectation is derived from the
sidecar by those rules (MDF 3 types 7/8 swapped, MDF 3 tables without
interpolation take the lower key, range-to-value bounds inclusive, text
formulas and bit-field tables left raw); compressed data is refused: the
build of that file fails with a diagnostic and leaves no database."""
import ctypes
import locale
import math
import os
import sqlite3
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "testlib"))
import db_checks  # noqa: E402
import mdf as sidecar  # noqa: E402
from libcall import captured, lib  # noqa: E402
from mdf import is_float, is_time  # noqa: E402

failures = []

lib.CreateDatabase.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
lib.CreateDatabaseW.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p]


def fail(where, text):
    failures.append(f"{where}: {text}")


def build(mdf, db, wide=False):
    """Runs the build with standard output captured; (result, output)."""
    return captured(lib.CreateDatabaseW, mdf, db) if wide else captured(lib.CreateDatabase, mdf.encode(), db.encode())


# ---- What the sidecar says, by this library's rules ----------------------

def signal_type(channel, v4):
    conv = channel.get("conversion")
    if not conv:
        return "RawValue"
    return "State Encoded" if sidecar.has_states(conv, v4) else "Double"


def data_type(channel, v4):
    if is_float(channel, v4):
        return 3 if channel["bit_count"] == 32 else 4
    return 1 if sidecar.is_signed(channel, v4) else 0


def as_int64(v):
    v = int(v) & (2**64 - 1)
    return v - 2**64 if v >= 2**63 else v


def close(a, b, rel=1e-9):
    if isinstance(b, str):
        return b == "nan" and a is None
    if a is None or b is None:
        return a is b
    return a == b or abs(a - b) <= rel * max(abs(a), abs(b), 1e-300)


def check_samples(where, stats, values, equal):
    for _, index, want in sidecar.samples(stats, len(values)):
        if not equal(values[index], want):
            fail(where, f"record {index}: {values[index]!r} != {want!r}")
    numeric = [v for v in values if v is not None]
    if stats.get("min") is not None and numeric:
        if not equal(min(numeric), stats["min"]) or not equal(max(numeric), stats["max"]):
            fail(where, f"range {min(numeric)!r}..{max(numeric)!r} != {stats['min']!r}..{stats['max']!r}")
        if not close(math.fsum(numeric) / len(numeric), stats["mean"], 1e-9):
            fail(where, f"mean {math.fsum(numeric) / len(numeric)!r} != {stats['mean']!r}")


def check_values(where, channel, group, v4, stored, states):
    kind = signal_type(channel, v4)
    raw = channel["raw"]
    if raw.get("kind") == "text":
        if not v4:
            if any(v != 0 for v in stored):  # MDF 3 strings have no numeric value
                fail(where, "MDF 3 string channel should store 0")
        elif channel["cn_type"] == 1:
            if stored != sidecar.string_slots(channel):
                fail(where, "signal data offsets are not stored as raw integers")
        else:
            for _, i, t in sidecar.samples(raw, len(stored)):
                if stored[i] != as_int64(sidecar.first_bytes(t)):
                    fail(where, f"record {i}: {stored[i]} != first bytes of {t!r}")
        return
    if kind == "RawValue":
        if is_float(channel, v4):
            check_samples(where, raw, stored, lambda a, b: a == b)
        else:
            wrapped = dict(raw, **{k: [as_int64(x) for x in raw[k]] for k in ("first", "last", "probe")},
                           min=None, max=None)
            check_samples(where, wrapped, stored, lambda a, b: isinstance(a, int) and a == b)
        return
    if kind == "State Encoded":
        want = channel["phys"]
        if want.get("kind") == "text":
            for line in sidecar.text_differences(want, [states.get(v, "") for v in stored]):
                fail(where, line)
            return
        # A nested numeric default: the sidecar gives NaN where the number
        # stands for a text state; here it is the state's key.
        marked = [None if v in states else v for v in stored]
        if sum(1 for v in marked if v is None) != want["nonfinite"]:
            fail(where, "number of text states differs")
        check_samples(where, dict(want, min=None), marked, close)
        return
    expected = sidecar.physical_expectation(channel, group, v4)
    if expected is None:
        check_samples(where, raw, stored, lambda a, b: a == b)
    else:
        check_samples(where, expected, stored, close)


def message_of(group, group_number):
    """(name, network) of a group's message: its first channel's comment
    split at " | ", else the group's placeholder on "HS CAN"."""
    comment = group["channels"][0]["comment"]
    if " | " in comment:
        return tuple(comment.split(" | ", 1))
    return f"Group{group_number:04d}", "HS CAN"


def check_message(where, conn, v4, group, mid, cid, start, group_number):
    channels = [c for c in group["channels"] if not is_time(c, v4)]
    times = [c for c in group["channels"] if is_time(c, v4)]
    msg = conn.execute("SELECT Name, ArbId, SignalCount, DataTableName, Network, MinTime, MaxTime, MinDelta, "
                       "MaxDelta, MessageCount, Rate, MessageChanges, DataBytes FROM Messages WHERE ID = ?",
                       (mid,)).fetchone()
    if msg is None:
        fail(where, f"no message {mid}")
        return cid
    name, arb, count, table, network, tmin, tmax = msg[:7]
    want_name, want_network = message_of(group, group_number)
    if (name, arb, count, table, network) != (want_name, "", len(channels), f"MessageData{mid:04d}", want_network):
        fail(where, f"message row {msg}")
    if msg[7:] != (0.0, 0.0, group["cycles"], 0.0, 0, 8):
        fail(where, f"message counters {msg[7:]}")
    tvals = [r[0] for r in conn.execute(f"SELECT TIME_VAL FROM MessageData{mid:04d} ORDER BY rowid")]
    if len(tvals) != group["cycles"]:
        fail(where, f"{len(tvals)} rows != {group['cycles']} records")
        return cid + len(channels)
    t = times[0]["raw"]
    check_samples(where + " TIME_VAL", dict(t, **{k: [start + x for x in t[k]] for k in ("first", "last", "probe")},
                                            min=start + t["min"], max=start + t["max"], mean=start + t["mean"]),
                  tvals, lambda a, b: abs(a - b) <= 1e-6)
    if abs(tmin - (start + t["min"])) > 1e-6 or abs(tmax - (start + t["max"])) > 1e-6:
        fail(where, f"MinTime/MaxTime {tmin}/{tmax}")

    columns = {r[1]: r[2] for part in range(1, (len(channels) - 1) // 500 + 2)
               for r in conn.execute(f"PRAGMA table_info({db_checks.table_of(mid, (part - 1) * 500 + 1)})")}
    for k, channel in enumerate(channels, 1):
        cid += 1
        w = f"{where} {channel['name']}"
        row = conn.execute("SELECT * FROM Channels WHERE ID = ?", (cid,)).fetchone()
        want_name = sidecar.channel_name(channel, v4)
        kind = signal_type(channel, v4)
        want = (cid, mid, k, want_name, kind)
        if row is None or row[:5] != want:
            fail(w, f"channel row {row[:5] if row else None} != {want}")
            continue
        if (row[10], row[11], row[12], row[13], row[14], row[15]) != (want_network, channel["unit"], "", -1, 0, ""):
            fail(w, f"channel texts {row[10:16]}")
        offset = sidecar.byte_offset(channel, v4)
        if row[18:] != (data_type(channel, v4), offset, channel["bit_count"], 0, 1, -1, cid, 1):
            fail(w, f"channel layout {row[18:]}")
        params = sidecar.linear_params(channel.get("conversion") or {}, v4)
        if (row[16], row[17]) != ((params[1], params[0]) if params else (1.0, 0.0)):
            fail(w, f"slope and offset {row[16:18]}")
        integer = not is_float(channel, v4) and kind != "Double"
        if columns.get(f"Signal{k}") != ("INTEGER" if integer else "DOUBLE"):
            fail(w, f"column type {columns.get(f'Signal{k}')}")
        states = dict((v, t) for t, v in conn.execute("SELECT StateText, NumVal FROM ChannelStates WHERE "
                                                      "ChannelId = ? ORDER BY rowid", (cid,)))
        if (kind == "State Encoded") != bool(states):
            fail(w, f"states {states}")
        check_values(w, channel, group, v4, db_checks.column(conn, mid, k), states)
    return cid


def check_file(path, tmp):
    side = sidecar.load(path)
    base = os.path.basename(path)
    v4 = sidecar.is_version4(side)
    db = os.path.join(tmp, base + ".db")
    result, output = build(path, db)
    groups = sidecar.measured_groups(side)
    if any(sidecar.is_compressed(g) for g in groups):
        if result != 0 or os.path.exists(db) or "cannot be read" not in output or "was not built" not in output:
            fail(base, f"compressed data must fail the build clearly (result {result}, output {output!r})")
        if any(name.startswith(base) for name in os.listdir(tmp)):
            fail(base, f"files left behind: {os.listdir(tmp)}")
        return
    if result != 1:
        fail(base, f"build failed: {output}")
        return
    conn = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
    start = sidecar.start_offset(side)
    if conn.execute("SELECT COUNT(*) FROM Messages").fetchone()[0] != len(groups):
        fail(base, "message count differs from the group count")
    cid = 0
    for number, group in enumerate(groups, 1):
        cid = check_message(f"{base} group {group['index']}", conn, v4, group, number, cid, start, number)
    if conn.execute("SELECT COUNT(*) FROM Channels").fetchone()[0] != cid + 1:
        fail(base, "Channels holds other rows than the signals and the collection key")
    networks = {}
    for number, g in enumerate(groups, 1):
        last = start + [c for c in g["channels"] if is_time(c, v4)][0]["raw"]["max"]
        total, latest = networks.get(message_of(g, number)[1], (0, -math.inf))
        networks[message_of(g, number)[1]] = (total + g["cycles"], max(latest, last))
    stats = {row[0]: row[1:] for row in conn.execute("SELECT * FROM Network_Statistics")}
    for network, (total, last) in networks.items():
        row = stats.get(network)
        if row is None or row[:5] != (total, total, 0, 0, 0) or abs(row[5] - start) > 1e-6 or \
                abs(row[6] - last) > 1e-6 or abs(row[7] - total / (last - start)) > 1e-6 * row[7]:
            fail(base, f"network statistics of {network}: {row}")
    if len(stats) != len(networks):
        fail(base, f"network statistics {stats}")
    for line in db_checks.check_statistics(conn, base):
        fail(base, line)
    conn.close()


def check_non_ascii_names(tmp):
    """Latin-1 MDF 3 names and UTF-8 MDF 4 names arrive as UTF-8, whatever
    the C locale of the host."""
    wanted = {"names_v330.mdf": ["\u00dcbersetzung", "\u00b0C"], "names_v400.mf4": ["\u00dcbersetzung", "\u00b0C",
                                                                                    "m/s\u00b2"]}
    for name in ("C", "C.UTF-8"):
        locale.setlocale(locale.LC_ALL, name)
        for fixture, texts in wanted.items():
            db = os.path.join(tmp, f"{fixture}.{name}.db")
            for wide in (False, True):
                if os.path.exists(db):
                    os.unlink(db)
                result, output = build(os.path.join(sidecar.FIXTURES, fixture), db, wide)
                where = f"{fixture} in locale {name} ({'wide' if wide else 'narrow'})"
                if result != 1:
                    fail(where, f"build failed: {output}")
                    continue
                conn = sqlite3.connect(db)
                conn.text_factory = bytes
                stored = [r[0] for r in conn.execute("SELECT Name FROM Channels UNION ALL SELECT Units FROM Channels")]
                conn.close()
                for text in texts:
                    if text.encode("utf-8") not in stored:
                        fail(where, f"{text!r} is not stored as UTF-8 ({[s for s in stored if s and s[:1] > b'~']})")


paths = sidecar.fixture_paths()
with tempfile.TemporaryDirectory() as tmp:
    for p in paths:
        check_file(p, tmp)
    check_non_ascii_names(tmp)
sidecar.report(paths, failures)
