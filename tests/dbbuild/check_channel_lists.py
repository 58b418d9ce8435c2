"""The channel lists of every MDF fixture through the shared library
(ctypes), parsed with python's json: GetChannelsW (names) and
GetChannelStatistics against the sidecar (names beyond ASCII, units,
messages, networks, record counts; time bounds, min, max, mean and first
value recomputed from its samples by this library's rules) and against the
Channels rows CreateDatabase writes for the same file (the same numbers,
standard deviations that python recomputes from the stored columns). Time
channels are never listed; compressed groups are left out of the statistics
with a diagnostic line. The names fixtures give the same bytes through both
forms under the C and the C.UTF-8 locale."""
import ctypes
import json
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
from mdf import is_time  # noqa: E402

for name in ("GetChannels", "GetChannelStatistics", "CreateDatabase"):
    getattr(lib, name).argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    getattr(lib, name + "W").argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p]
failures = []
ROWS = ("SELECT Channels.Name, MinVal, MaxVal, AvgVal, StdDev, MessageCount, Slope, Offset, Messages.MinTime, "
        "Messages.MaxTime FROM Channels JOIN Messages ON MessageId = Messages.ID WHERE Channels.ID > 0 "
        "ORDER BY Channels.ID")


def fail(where, text):
    failures.append(f"{where}: {text}")


def listing(function, mdf, out):
    result, output = captured(function, mdf, out)
    if result != 1:
        fail(mdf, f"{function.__name__} gave {result}: {output}")
        return [], output
    with open(out, encoding="utf-8") as f:
        return json.load(f)["Channels"], output


def expected(side, statistics):
    """(group, channel, name keys) of every listed channel, in file order."""
    v4, number, entries = sidecar.is_version4(side), 0, []
    for group in sidecar.measured_groups(side):
        data = [c for c in group["channels"] if not is_time(c, v4)]
        number += 1 if data else 0
        for c in data:
            entry = {"name": sidecar.channel_name(c, v4)}
            if " | " in c["comment"]:
                entry["message_name"], entry["network_name"] = c["comment"].split(" | ", 1)
            elif statistics:
                entry["message_name"] = f"Group{number:04d}"
            unit = c["unit"] or (c.get("conversion") or {}).get("unit", "")
            if statistics and unit not in ("", "-"):
                entry["unit"] = unit
            entries.append((group, c, entry))
    return entries


def same(a, b, tolerance=0.0):
    """Equal numbers within tolerance; JSON null stands for a non-finite one."""
    if a is None or b is None:
        return a is None and b is not None and not math.isfinite(b)
    return a == b or abs(a - b) <= tolerance


def sidecar_values(group, c, v4):
    """The sidecar's statistics of the values as the list reports them; None
    for texts and text states."""
    conv = c.get("conversion") or {}
    if c["raw"].get("kind") == "text" or sidecar.has_states(conv, v4):
        return None
    stats = (sidecar.physical_expectation(c, group, v4) if conv else None) or c["raw"]
    if not sidecar.is_float(c, v4) and stats is c["raw"]:
        # Raw integers count as signed 64-bit numbers.
        wrapped = [v for v in (stats["min"], stats["max"]) if v is not None and v >= 2**63]
        return dict(stats, first=[float(v - 2**64 if v >= 2**63 else v) for v in stats["first"]],
                    **({"min": None, "max": None, "mean": None} if wrapped else {}))
    return stats


def check_statistics(where, entry, group, c, v4, row, start):
    time = [t for t in group["channels"] if is_time(t, v4)][0]
    times = (sidecar.physical_expectation(time, group, v4) if time.get("conversion") else None) or time["raw"]
    wanted = {"num_records": group["cycles"], "min_time": times["min"], "max_time": times["max"]}
    values = sidecar_values(group, c, v4)
    if values is not None:
        wanted.update(min=values["min"], max=values["max"], avg=values["mean"], first_value=(values["first"] or [0])[0])
    for key, want in wanted.items():
        if want is not None and not same(entry.get(key), want, 1e-9 * abs(want)):
            fail(where, f"{key} {entry.get(key)!r}, sidecar {want!r}")
    database = dict(name=row[0], min=row[1], max=row[2], avg=row[3], std_dev=row[4], num_records=row[5],
                    min_time=row[8] - start, max_time=row[9] - start)
    for key, want in database.items():
        # Absolute times in the database keep fewer digits of a relative time.
        if not same(entry.get(key), want, 1e-6 if "time" in key else 0.0) and entry.get(key) != want:
            fail(where, f"{key} {entry.get(key)!r}, Channels row {want!r}")
    if entry.get("slope", 1.0) != row[6] or entry.get("offset", 0.0) != row[7] or entry.get("slope") == 1.0:
        fail(where, f"slope and offset {entry.get('slope')}, {entry.get('offset')}, Channels row {row[6:8]}")


def check_file(path, tmp):
    side, base = sidecar.load(path), os.path.basename(path)
    v4, out = sidecar.is_version4(side), os.path.join(tmp, base + ".json")
    names, _ = listing(lib.GetChannelsW, path, out)
    if names != [e for _, _, e in expected(side, False)]:
        fail(base, f"names {names[:3]}..., sidecar {[e for _, _, e in expected(side, False)][:3]}...")
    listed, output = listing(lib.GetChannelStatistics, path.encode(), out.encode())
    readable = [(g, c, e) for g, c, e in expected(side, True) if not sidecar.is_compressed(g)]
    if [{k: v for k, v in entry.items() if k in e} for entry, (_, _, e) in zip(listed, readable)] != \
            [e for _, _, e in readable] or len(listed) != len(readable):
        fail(base, f"statistics list names {[e.get('name') for e in listed][:5]}...")
        return
    if len(readable) < len(expected(side, True)) and "is left out: its records cannot be read" not in output:
        fail(base, f"compressed groups left out without a word: {output!r}")
    if not readable:
        return
    db = os.path.join(tmp, base + ".db")
    captured(lib.CreateDatabase, path.encode(), db.encode())
    conn = sqlite3.connect(f"file:{db}?mode=ro", uri=True)
    rows = conn.execute(ROWS).fetchall()
    for line in db_checks.check_statistics(conn, base):
        fail(base, line)
    conn.close()
    for entry, (group, c, _), row in zip(listed, readable, rows):
        check_statistics(f"{base} {entry['name']}", entry, group, c, v4, row, sidecar.start_offset(side))


def check_forms_and_locales(tmp):
    for fixture in ("names_v330.mdf", "names_v400.mf4"):
        mdf, texts = os.path.join(sidecar.FIXTURES, fixture), set()
        for name in ("C", "C.UTF-8"):
            locale.setlocale(locale.LC_ALL, name)
            for n, (function, arg) in enumerate(((lib.GetChannelStatistics, str.encode), (lib.GetChannelStatisticsW, str))):
                out = os.path.join(tmp, f"{fixture}.{name}.{n}.json")
                captured(function, arg(mdf), arg(out))
                with open(out, "rb") as f:
                    texts.add(f.read())
        if len(texts) != 1 or "\u00dcbersetzung".encode() not in texts.pop():
            fail(fixture, "the two forms or the two locales give different lists")


paths = sidecar.fixture_paths()
with tempfile.TemporaryDirectory() as folder:
    for p in paths:
        check_file(p, folder)
    check_forms_and_locales(folder)
sidecar.report(paths, failures)
