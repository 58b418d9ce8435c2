"""An independent model of what an export of a measurement database holds,
read with python's sqlite3, and the checks of every output against it: MDF
files through the strict block walker of tests/mdfwrite/mdf_walk.py, CSV with
python's csv, MAT with scipy.io.loadmat and matdump, and databases made back
from the MDF files (a round trip through CreateDatabase).

The model follows the export rules: the channels of the collection (all when
it holds none), messages ordered by their first Sequence, channels by
Sequence; physical ("Double") values as stored; every value written at its
stored width unless it is physical or only makes sense scaled (states with a
scaling, multiplexed), which are written as scaled doubles.

usage: export_model.py (<database> <output base> <rate ms> <formats>)...
Prints one line for each output that differs from the model.
"""
import collections
import csv
import datetime
import glob
import math
import os
import sqlite3
import struct
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "mdfwrite"))
import mdf_walk  # noqa: E402

DBL_MAX = sys.float_info.max
EPOCH_2007 = 1167609600
CSV, MDF3, MAT, MDF4 = 1, 2, 4, 0x100
# The value of a message that has no record to give: no value at all.
MISSING = object()


def latin1(text):
    """Texts of MDF 3.30, CSV and MAT: what Latin-1 cannot hold is a '?'."""
    return "".join(ch if ord(ch) < 256 else "?" for ch in text)


class Channel:
    def __init__(self, message, index, row, has_states):
        (self.id, _, self.name, self.signal_type, slope, offset, sequence, mask, data_type, bits, mux,
         self.units) = row
        self.message, self.index = message, index
        self.slope = 1.0 if slope is None else slope
        self.offset = 0.0 if offset is None else offset
        self.sequence = sequence or 0
        self.mask = mask or 0
        self.data_type = 3 if data_type is None else data_type
        self.bits = 32 if bits is None else bits
        self.mux = -1 if mux is None else mux
        self.physical = self.signal_type == "Double"
        self.states = has_states and self.signal_type in (None, "State Encoded", "Text")
        hybrid = self.states and (self.slope != 1.0 or self.offset != 0.0)
        self.scaled_double = not self.physical and (hybrid or self.mux not in (-1, -2))
        self.is_float = self.physical or self.data_type in (3, 4)
        # ('double'|'float'|'int', bits, signed) of the MDF record.
        if self.physical or self.scaled_double or self.data_type >= 4:
            self.kind = "double", 64, True
        elif self.data_type == 3:
            self.kind = "float", 32, True
        else:
            self.kind = "int", next(b for b in (8, 16, 32, 64) if self.bits <= b or b == 64), self.data_type != 0

    def raw(self, stored):
        """The value the MDF record must hold for a stored column value."""
        kind, bits, signed = self.kind
        stored = None if stored is MISSING else stored
        if kind == "int":
            value = int(stored or 0) & ((1 << bits) - 1)
            return value - (1 << bits) if signed and value >> (bits - 1) else value
        if stored is None:
            return math.inf if kind == "float" else DBL_MAX
        if kind == "float":
            return struct.unpack("<f", struct.pack("<f", stored))[0] if abs(stored) < 3.4e38 else math.copysign(math.inf, stored)
        return stored * self.slope + self.offset if self.scaled_double else float(stored)

    def stored_integer(self, stored):
        """An integer column's 64 bits, unsigned for DataType 0."""
        bits = int(stored or 0) & (2**64 - 1)
        return bits if self.data_type == 0 else bits - (bits >> 63) * 2**64

    def stored_value(self, stored):
        """A stored value as CSV and MAT read it."""
        if self.is_float:
            return DBL_MAX if stored is None else float(stored)
        return float(self.stored_integer(stored))

    def export_value(self, stored):
        """The value CSV and MAT export; a missing one stays DBL_MAX, unscaled."""
        v = DBL_MAX if stored is MISSING else self.stored_value(stored)
        if v == DBL_MAX and (stored is MISSING or self.is_float):
            return DBL_MAX
        return v if self.physical or (self.slope == 1.0 and self.offset == 0.0) else v * self.slope + self.offset

    def physical_value(self, stored):
        if stored is None:
            return None
        return stored if self.physical else stored * self.slope + self.offset


class Message:
    def __init__(self, row):
        self.id, self.name, self.network, self.signal_count, self.min_time, self.max_time = row
        self.channels = {}
        self.stored = None

    def table(self, part=1):
        return "MessageData%04d" % self.id if part == 1 else "MessageData%04d_%04d" % (self.id, part)

    def records(self, con):
        """[(time, {column index: stored})] of the described columns in rowid order, parts joined by rowid."""
        if self.stored is None:
            parts = {}
            for k in self.channels:
                parts.setdefault((k - 1) // 500 + 1, []).append(k)
            base = con.execute("SELECT rowid, TIME_VAL FROM %s ORDER BY rowid" % self.table()).fetchall()
            values = {rowid: {} for rowid, _ in base}
            for part, ks in parts.items():
                cols = ", ".join("Signal%d" % k for k in ks)
                for row in con.execute("SELECT rowid, %s FROM %s" % (cols, self.table(part))):
                    values[row[0]].update(zip(ks, row[1:]))
            self.stored = [(t, values[rowid]) for rowid, t in base]
        return self.stored


class Export:
    """The channels an export writes, in export order."""

    def __init__(self, db):
        self.con = sqlite3.connect(db)
        self.messages = [Message(r) for r in self.con.execute(
            "SELECT ID, Name, Network, SignalCount, MinTime, MaxTime FROM Messages")]
        states = {r[0] for r in self.con.execute("SELECT DISTINCT ChannelId FROM ChannelStates")}
        for m in self.messages:
            available, part = 0, 1
            while True:
                columns = len(self.con.execute("PRAGMA table_info(%s)" % m.table(part)).fetchall()) - 1
                available += max(columns, 0)
                if columns < 500:
                    break
                part += 1
            m.signal_count = min(m.signal_count or 0, available)
            for row in self.con.execute(
                    "SELECT ID, MessageChannel, Name, SignalType, Slope, Offset, Sequence, CollectionMask, DataType, "
                    "BitLength, MUXValue, Units FROM Channels WHERE MessageId = ? ORDER BY ID", (m.id,)):
                k = row[1]
                if k is not None and 1 <= k <= (m.signal_count or 0) and k not in m.channels:
                    m.channels[k] = Channel(m, k, row, row[0] in states)
        mask_row = self.con.execute("SELECT CollectionMask FROM Channels WHERE ID = 0").fetchone()
        mask = 0xFFFFFFFF if mask_row is None else mask_row[0] & 0xFFFFFFFF

        def first_sequence(m):
            return min([c.sequence for c in m.channels.values() if c.sequence > 0], default=0)

        self.messages.sort(key=first_sequence)
        self.channels = [c for m in self.messages for k, c in sorted(m.channels.items())
                         if c.sequence != 0 and (mask == 0xFFFFFFFF or c.mask & mask)]
        if not self.channels:
            self.channels = [c for m in self.messages for k, c in sorted(m.channels.items())]
            for c in self.channels:
                c.sequence = c.sequence or 1
        self.channels.sort(key=lambda c: c.sequence)
        self.exported = [m for m in self.messages if any(c.message is m for c in self.channels)]
        self.minimum = min(m.min_time for m in self.messages)

    def of(self, message):
        return sorted((c for c in self.channels if c.message is message), key=lambda c: c.index)

    def recorded(self, message, channels):
        """[(time, [stored value per channel])] of the message's records."""
        return [(t, [v.get(c.index) for c in channels]) for t, v in message.records(self.con)]

    def span(self):
        return (min(m.min_time for m in self.exported), max(m.max_time for m in self.exported))

    def points(self, rate_ms):
        start, end = self.span()
        if rate_ms <= 0 or not (math.isfinite(start) and math.isfinite(end) and end > start):
            return 0
        return int((end - start) * 1000.0 / rate_ms)

    def grid(self, rate_ms, gap=0.0):
        """[(t, {message id: record time whose values the point holds})]."""
        start, _ = self.span()
        points = self.points(rate_ms)
        period = rate_ms / 1000.0
        result, i = [], 0
        while i < points:
            t = i * period + start
            held = {}
            for m in self.exported:
                if t < m.min_time:
                    held[m.id] = m.min_time
                elif t >= m.max_time:
                    held[m.id] = m.max_time
                else:
                    held[m.id] = self.con.execute("SELECT MAX(TIME_VAL) FROM %s WHERE TIME_VAL <= ?" % m.table(),
                                                  (t,)).fetchone()[0]
            result.append((t, held))
            if gap > 0:
                nexts = [self.con.execute("SELECT MIN(TIME_VAL) FROM %s WHERE TIME_VAL > ?" % m.table(),
                                          (t,)).fetchone()[0] for m in self.exported]
                nexts = [n for n in nexts if n is not None]
                if nexts and t + gap < min(nexts):
                    skip = int((min(nexts) - t) / period) - 1
                    i += max(skip, 0)
            i += 1
        return result

    def held_records(self, rate_ms, gap):
        """[(t, {channel: stored value})] of the grid; the first record of a time is the one held."""
        first = {}
        for m in self.exported:
            for t, values in reversed(m.records(self.con)):
                first[(m.id, t)] = values
        return [(t, {c: first.get((c.message.id, held[c.message.id]), {}).get(c.index, MISSING)
                     for c in self.channels})
                for t, held in self.grid(rate_ms, gap)]


# ---- MDF ------------------------------------------------------------------------------

def check_channel_block(cn, channel, version):
    name = cn["name"]
    expected = channel.name if version == 4 else latin1(channel.name)
    assert name == expected, (name, expected)
    kind, bits, signed = channel.kind
    walker_kind = "float" if kind != "int" else ("int" if signed else "uint")
    assert (cn["bit_count"], cn["kind"]) == (bits, walker_kind), (name, cn["bit_count"], cn["kind"])
    conversion = cn["conversion"]
    declared = (1.0, 0.0) if channel.physical or channel.scaled_double else (channel.slope, channel.offset)
    if conversion and conversion["type"] == "linear":
        assert (conversion["factor"], conversion["offset"]) == declared, (name, conversion, declared)
    elif not channel.states:
        assert declared == (1.0, 0.0), (name, "scaling not declared")
    description = cn["description"].decode("utf-8" if version == 4 else "latin-1")
    expected = channel.message.name + (" | " + channel.message.network if channel.message.network else "")
    assert description == expected, (name, description, expected)


def check_records(group, channels, rows, start_abs):
    """rows: [(time, [stored value per channel])] the group's records must hold."""
    assert group["record_count"] == len(rows), (group["record_count"], len(rows))
    cns = group["channels"]
    assert cns[0]["name"] == "time" and len(cns) == len(channels) + 1
    for record, (t, values) in zip(mdf_walk.records(group), rows):
        assert abs(start_abs + mdf_walk.decode(record, cns[0]) - t) < 1e-6, (t, start_abs)
        for cn, channel, stored in zip(cns[1:], channels, values):
            got, want = mdf_walk.decode(record, cn), channel.raw(stored)
            assert got == want or (got != got and want != want), (channel.name, t, got, want)


def check_mdf(db, path, group_messages, rate_ms, gap):
    """Walks an exported file strictly and checks it against the model."""
    export = Export(db)
    data = open(path, "rb").read()
    model = mdf_walk.read_v4(data) if data.startswith(b"MDF     4") else mdf_walk.read_v3(data)
    version = model["version"]
    if version == 4 and gap < rate_ms / 1000.0:
        gap = 0.0  # 3.30 takes ForceRateGap as read, 4.00 none below the period
    # Record times count from the header's start, the time base cut to its second.
    start_abs = model["header"]["start_ns"] / 1e9 - EPOCH_2007
    assert start_abs == math.floor(export.minimum), (start_abs, export.minimum)
    groups = model["groups"]
    if not export.channels:
        assert groups == []
        return
    if export.points(rate_ms) > 0:
        layout = [(groups[0], export.channels, [(t, [values[c] for c in export.channels])
                                                for t, values in export.held_records(rate_ms, gap)])]
        assert len(groups) == 1
    elif not group_messages:
        layout = [(g, [c], export.recorded(c.message, [c])) for g, c in zip(groups, export.channels)]
        assert len(groups) == len(export.channels)
    else:
        layout = [(g, export.of(m), export.recorded(m, export.of(m))) for g, m in zip(groups, export.exported)]
        assert len(groups) == len(export.exported), (len(groups), len(export.exported))
    for group, channels, rows in layout:
        for cn, channel in zip(group["channels"][1:], channels):
            check_channel_block(cn, channel, version)
        check_records(group, channels, rows, start_abs)


def check_round_trip(db, back):
    """A database made from an exported MDF file holds the exported values."""
    original, copy = Export(db), Export(back)
    copies = {(m.name, c.name): (m, c) for m in copy.messages for c in m.channels.values()}
    for channel in original.channels:
        m2, c2 = copies[(channel.message.name, channel.name)]
        mine, theirs = channel.message.records(original.con), m2.records(copy.con)
        assert len(mine) == len(theirs), channel.name
        for (t1, v1), (t2, v2) in zip(mine, theirs):
            assert abs(t1 - t2) <= 1e-6, (channel.name, t1, t2)
            p1, p2 = channel.physical_value(v1[channel.index]), c2.physical_value(v2[c2.index])
            # NULLs become 0 in an MDF integer; widths are checked by the walk.
            if channel.kind[0] != "int" and p1 is not None:
                assert p1 == p2 or abs(p1 - p2) <= 1e-6 * max(abs(p1), 1.0), (channel.name, p1, p2)


# ---- CSV ------------------------------------------------------------------------------

def csv_cell(export, c, stored, state_text):
    if not c.is_float and c.data_type < 3 and c.bits > 32 and stored is not MISSING:
        return ",%d" % c.stored_integer(stored)
    v = c.export_value(stored)
    if state_text and c.states and stored is not MISSING and not (c.is_float and stored is None):
        text = export.con.execute("SELECT StateText FROM ChannelStates WHERE ChannelId = ? AND NumVal = ? "
                                  "ORDER BY rowid DESC", (c.id, c.stored_value(stored))).fetchone()
        if text is not None:
            return ',"%s|%s"' % (latin1(text[0]).replace('"', '""'), "%.7g" % v)
    if v != v:
        return ",nan"
    if -2147483648.0 <= v <= 2147483647.0 and v == int(v):
        return ",%d" % int(v)
    return ",%.7g" % v


def csv_row(export, t, cells, blank, dup, state_text):
    """One row: date and time (UTC), time since the first record, the cells;
    blank(message) tells a cell left empty by WriteDuplicates 0."""
    when = datetime.datetime(1601, 1, 1) + datetime.timedelta(seconds=int((t + 12812083200.0) * 1e7) // 10**7)
    clock = "%d:%d:%d %s" % (when.hour % 12 or 12, when.minute, when.second, "AM" if when.hour < 12 else "PM")
    line = "%d/%d/%d,%s,%.7f" % (when.year, when.month, when.day, clock, t - export.minimum)
    for c in export.channels:
        m = c.message
        empty = {0: blank(c), 1: t < m.min_time, 2: not (m.min_time <= t < m.max_time)}.get(dup, False)
        line += "," if empty else csv_cell(export, c, cells(c), state_text)
    return line


def csv_event_rows(export, dup, state_text):
    """The rows at recorded times: messages merged by time, those of one time in ID order."""
    data = {m.id: m.records(export.con) for m in export.exported}
    firsts = []
    for c in export.channels:
        if c.message not in firsts:
            firsts.append(c.message)
    idx = {m.id: 0 for m in firsts}
    done = {m.id: not data[m.id] for m in firsts}

    def now(m):
        return data[m.id][idx[m.id]][0] if data[m.id] else DBL_MAX

    t, row_message = DBL_MAX, None
    for m in firsts:
        if now(m) < t:
            t, row_message = now(m), m
    lines, seen = [], set()
    while t < DBL_MAX:
        lines.append(csv_row(export, t, lambda c: data[c.message.id][idx[c.message.id]][1].get(c.index),
                             lambda c: c.message is not row_message, dup, state_text))
        same = next((m for m in sorted(firsts, key=lambda m: m.id) if m is not row_message and now(m) == t
                     and m.id not in seen and not done[m.id]), None)
        if same:
            seen |= {row_message.id, same.id}
            row_message = same
            continue
        seen = set()
        following = DBL_MAX
        for m in firsts:
            while not done[m.id] and now(m) <= t:
                if idx[m.id] + 1 < len(data[m.id]):
                    idx[m.id] += 1
                else:
                    done[m.id] = True
            if not done[m.id] and now(m) < following:
                following, row_message = now(m), m
        t = following
    return lines


def csv_grid_rows(export, rate_ms, gap, dup, state_text):
    lines, previous = [], None
    for i, (t, values) in enumerate(export.held_records(rate_ms, gap)):
        lines.append(csv_row(export, t, values.get, lambda c: i > 0 and values[c] == previous[c], dup, state_text))
        previous = values
    return lines


def check_csv(db, path, rate_ms, gap, dup, state_text, units):
    export = Export(db)
    with open(path, encoding="latin-1", newline="") as f:
        lines = f.read().split("\n")
    assert lines[-1] == "", "the file ends with a line end"
    # A name that several channels have is joined with its message and network.
    repeats = collections.Counter(latin1(c.name) for c in export.channels)
    names = [latin1(c.name) + ("|%s|%s" % (c.message.name, c.message.network) if repeats[latin1(c.name)] > 1 else "")
             + (" (%s)" % latin1(c.units) if units and c.units else "") for c in export.channels]
    heading = next(csv.reader([lines[0]]))
    assert heading == ["Date", "Time", "Time (abs)"] + names, (heading, names)
    if export.points(rate_ms) > 0:
        expected = csv_grid_rows(export, rate_ms, gap, dup, state_text)
    else:
        expected = csv_event_rows(export, dup, state_text)
    got = lines[1:-1]
    assert len(got) == len(expected), (len(got), len(expected))
    for i, (a, b) in enumerate(zip(got, expected)):
        assert a == b, (i, a, b)


# ---- MAT ------------------------------------------------------------------------------

def check_mat(db, base, group_messages, rate_ms, gap):
    import numpy
    import scipy.io
    export = Export(db)
    files = [base + ".mat"] + sorted(glob.glob(glob.escape(base) + "_[0-9][0-9].mat"))
    for path in files:
        dump = subprocess.run(["matdump", path], capture_output=True)
        assert dump.returncode == 0, ("matdump", path, dump.stderr)
    if export.points(rate_ms) > 0:
        parts = [scipy.io.loadmat(p, uint16_codec="utf-16-le") for p in files]
        data = numpy.vstack([p["SignalData"] for p in parts])
        names = [str(n[0]) for n in parts[0]["SignalNames"][0]]
        assert names == ["Time", "AbsTime"] + [latin1(c.name) for c in export.channels], names
        start, _ = export.span()
        period = rate_ms / 1000.0
        expected_rows = export.points(rate_ms)
        assert data.shape == (expected_rows, len(export.channels) + 2), (data.shape, expected_rows)
        by_time = dict(export.held_records(rate_ms, gap))
        for i in range(expected_rows):
            t = i * period + start
            assert data[i, 0] == t - export.minimum and data[i, 1] == t, (i, data[i, :2], t)
            if t in by_time:
                want = [c.export_value(by_time[t][c]) for c in export.channels]
                assert list(data[i, 2:]) == want, (i, list(data[i, 2:]), want)
            else:
                assert all(v != v for v in data[i, 2:]), (i, "a skipped point holds no value")
        return
    content = scipy.io.loadmat(files[0], struct_as_record=True, uint16_codec="utf-16-le")
    variables = [k for k in content if not k.startswith("__")]
    assert variables[0] == "header", variables
    assert len(variables) == len(export.channels) + 1 and len(set(variables)) == len(variables), variables
    order = export.channels if not group_messages else [c for m in export.exported for c in export.of(m)]
    for name, c in zip(variables[1:], order):
        s = content[name][0, 0]
        assert str(s["Channelname"][0]) == name, (name, s["Channelname"])
        rows = c.message.records(export.con)
        assert list(s["time"].reshape(-1)) == [t - export.minimum for t, _ in rows], name
        assert list(s["signals"][0, 0]["values"].reshape(-1)) == [c.export_value(v[c.index]) for _, v in rows], name
        low, high = export.con.execute("SELECT MinVal, MaxVal FROM Channels WHERE ID = ?", (c.id,)).fetchone()
        low, high = low or 0.0, high or 0.0
        if not (c.physical or (c.slope == 1.0 and c.offset == 0.0)):
            low, high = sorted((low * c.slope + c.offset, high * c.slope + c.offset))
        assert (s["min"][0, 0], s["max"][0, 0]) == (low, high), (name, s["min"], s["max"], low, high)


# ---- The outputs of one export ----------------------------------------------------------

def settings_beside(base):
    """The export settings of the settings file in the output's folder (the first line of a name wins)."""
    values = {"WriteStateText": "1", "WriteUnits": "0", "WriteDuplicates": "0", "GroupMessages": "1",
              "ForceRateGap": "0", "MDF Extension": ".dat"}
    cfg = os.path.join(os.path.dirname(os.path.abspath(base)), "kvxexport.cfg")
    lines = open(cfg, encoding="latin-1").read().splitlines() if os.path.exists(cfg) else []
    seen = set()
    for line in lines:
        name, _, value = line.partition("=")
        if name in values and name not in seen:
            values[name] = value
            seen.add(name)
    return values


def check_outputs(db, base, rate_ms, formats):
    """Yields (output, what differs) for every output of the formats."""
    s = settings_beside(base)
    gap = float(s["ForceRateGap"] or 0)
    below = 0.0 if rate_ms and gap < rate_ms / 1000.0 else gap  # CSV and MAT: no gap below the period
    group = s["GroupMessages"] != "0"
    if formats & MDF3 and s["MDF Extension"].lower() == ".mf4" and not formats & MDF4:
        formats = formats & ~MDF3 | MDF4  # an ".mf4" extension makes the file MDF 4.00
    outputs = [(CSV, base + " Log File.csv", lambda p: check_csv(
                    db, p, rate_ms, below, int(s["WriteDuplicates"]), s["WriteStateText"] != "0", s["WriteUnits"] != "0")),
               (MAT, base + ".mat", lambda p: check_mat(db, base, group, rate_ms, below)),
               (MDF3, base + s["MDF Extension"], lambda p: check_mdf(db, p, group, rate_ms, gap)),
               (MDF4, base + ".mf4", lambda p: check_mdf(db, p, group, rate_ms, gap))]
    for flag, path, check in outputs:
        if formats & flag:
            try:
                check(path)
                if os.path.exists(path + ".db"):
                    check_round_trip(db, path + ".db")
            except Exception as failure:  # what differs, a missing file, or a walker's MdfError
                yield path, repr(failure)


if __name__ == "__main__":
    arguments = sys.argv[1:]
    for i in range(0, len(arguments), 4):
        db, base, rate_ms, formats = arguments[i:i + 4]
        for path, failure in check_outputs(db, base, int(rate_ms), int(formats, 0)):
            print("%r: %s" % (path, failure))
