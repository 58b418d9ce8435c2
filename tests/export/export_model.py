"""An independent model of what an export of a measurement database holds,
read with python's sqlite3, and checks of exported MDF files against it
through the strict block walker of tests/mdfwrite/mdf_walk.py.

The model follows the export rules: the channels of the collection (all when
it holds none), messages ordered by their first Sequence, channels by
Sequence; physical ("Double") values as stored; every value written at its
stored width unless it is physical or only makes sense scaled (states with a
scaling, multiplexed), which are written as scaled doubles.
"""
import math
import os
import sqlite3
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testlib"))
import mdf as mdf_walk  # noqa: E402

DBL_MAX = sys.float_info.max
EPOCH_2007 = 1167609600


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

    def kind(self):
        """('double'|'float'|'int', bits, signed)."""
        if self.physical or self.scaled_double or self.data_type >= 4:
            return "double", 64, True
        if self.data_type == 3:
            return "float", 32, True
        size = next(b for b in (8, 16, 32, 64) if self.bits <= b or b == 64)
        return "int", size, self.data_type != 0

    def raw(self, stored):
        """The value the MDF record must hold for a stored column value."""
        kind, bits, signed = self.kind()
        stored = None if stored is MISSING else stored
        if kind == "int":
            value = int(stored or 0) & ((1 << bits) - 1)
            return value - (1 << bits) if signed and value >> (bits - 1) else value
        if stored is None:
            return math.inf if kind == "float" else DBL_MAX
        if kind == "float":
            return struct.unpack("<f", struct.pack("<f", stored))[0] if abs(stored) < 3.4e38 else math.copysign(math.inf, stored)
        return stored * self.slope + self.offset if self.scaled_double else float(stored)

    def physical_value(self, stored):
        if stored is None:
            return None
        return stored if self.physical else stored * self.slope + self.offset


class Message:
    def __init__(self, row):
        self.id, self.name, self.network, self.signal_count, self.min_time, self.max_time = row
        self.channels = {}

    def table(self, part=1):
        return "MessageData%04d" % self.id if part == 1 else "MessageData%04d_%04d" % (self.id, part)

    def rows(self, con, indexes):
        """[(time, {index: stored})] in rowid order, parts joined by rowid."""
        parts = {}
        for k in indexes:
            parts.setdefault((k - 1) // 500 + 1, []).append(k)
        base = con.execute("SELECT rowid, TIME_VAL FROM %s ORDER BY rowid" % self.table()).fetchall()
        values = {rowid: {} for rowid, _ in base}
        for part, ks in parts.items():
            cols = ", ".join("Signal%d" % k for k in ks)
            for row in con.execute("SELECT rowid, %s FROM %s" % (cols, self.table(part))):
                values[row[0]].update(zip(ks, row[1:]))
        return [(t, values[rowid]) for rowid, t in base]


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

    def of(self, message):
        return sorted((c for c in self.channels if c.message is message), key=lambda c: c.index)

    def span(self):
        return (min(m.min_time for m in self.exported), max(m.max_time for m in self.exported))

    def points(self, rate_ms):
        start, end = self.span()
        if rate_ms <= 0 or not (math.isfinite(start) and math.isfinite(end) and end > start):
            return 0
        return int((end - start) * 1000.0 / rate_ms)

    def time_base(self):
        return math.floor(min(m.min_time for m in self.messages))

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


def walk(path):
    data = open(path, "rb").read()
    model = mdf_walk.read_v4(data) if data.startswith(b"MDF     4") else mdf_walk.read_v3(data)
    return model


def check_channel_block(cn, channel, version):
    name = cn["name"]
    # MDF 3.30 texts are Latin-1: what it cannot hold is a '?'.
    expected = channel.name if version == 4 else "".join(c if ord(c) < 256 else "?" for c in channel.name)
    assert name == expected, (name, expected)
    kind, bits, signed = channel.kind()
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


def recorded(export, message, channels):
    return [(t, [v.get(c.index) for c in channels])
            for t, v in message.rows(export.con, [c.index for c in channels])]


def check_mdf(db, path, group_messages=True, rate_ms=0, gap=0.0):
    """Walks an exported file strictly and checks it against the model."""
    export = Export(db)
    model = walk(path)
    version = model["version"]
    start_abs = model["header"]["start_ns"] / 1e9 - EPOCH_2007
    assert start_abs == export.time_base(), (start_abs, export.time_base())
    groups = model["groups"]
    if not export.channels:
        assert groups == []
        return model
    if export.points(rate_ms) > 0:
        layout = [(groups[0], export.channels, [(t, [values[c] for c in export.channels])
                                                for t, values in held_records(export, rate_ms, gap)])]
        assert len(groups) == 1
    elif not group_messages:
        layout = [(g, [c], recorded(export, c.message, [c])) for g, c in zip(groups, export.channels)]
        assert len(groups) == len(export.channels)
    else:
        layout = [(g, export.of(m), recorded(export, m, export.of(m))) for g, m in zip(groups, export.exported)]
        assert len(groups) == len(export.exported), (len(groups), len(export.exported))
    for group, channels, rows in layout:
        for cn, channel in zip(group["channels"][1:], channels):
            check_channel_block(cn, channel, version)
        check_records(group, channels, rows, start_abs)
    return model




# ---- CSV and MAT ----------------------------------------------------------------------

# The value of a message that has no record to give: no value at all.
MISSING = object()


def is_float(c):
    return c.physical or c.data_type in (3, 4)


def export_value(c, stored):
    """The value a channel exports for a stored column value."""
    v = DBL_MAX if stored is MISSING else raw_value(c, stored)
    if v == DBL_MAX and (stored is MISSING or is_float(c)):
        return DBL_MAX
    return v if c.physical or (c.slope == 1.0 and c.offset == 0.0) else v * c.slope + c.offset


def raw_value(c, stored):
    if is_float(c):
        return DBL_MAX if stored is None else float(stored)
    bits = int(stored or 0) & (2**64 - 1)
    return float(bits if c.data_type == 0 else bits - (bits >> 63) * 2**64)


def latin1(text):
    return "".join(ch if ord(ch) < 256 else "?" for ch in text)


def csv_cell(export, c, stored, state_text):
    if not is_float(c) and c.data_type < 3 and c.bits > 32 and stored is not MISSING:
        bits = int(stored or 0) & (2**64 - 1)
        return ",%d" % (bits if c.data_type == 0 else bits - (bits >> 63) * 2**64)
    v = export_value(c, stored)
    if state_text and c.states and stored is not MISSING and not (is_float(c) and stored is None):
        text = export.con.execute("SELECT StateText FROM ChannelStates WHERE ChannelId = ? AND NumVal = ? "
                                  "ORDER BY rowid DESC", (c.id, raw_value(c, stored))).fetchone()
        if text is not None:
            return ',"%s|%s"' % (latin1(text[0]).replace('"', '""'), "%.7g" % v)
    if v != v:
        return ",nan"
    if -2147483648.0 <= v <= 2147483647.0 and v == int(v):
        return ",%d" % int(v)
    return ",%.7g" % v


def csv_prefix(t, minimum, relative_first=False):
    import datetime
    ticks = int((t + 12812083200.0) * 1e7)
    when = datetime.datetime(1601, 1, 1) + datetime.timedelta(seconds=ticks // 10**7)
    hour = when.hour % 12 or 12
    clock = "%d:%d:%d %s" % (hour, when.minute, when.second, "AM" if when.hour < 12 else "PM")
    date = "%d/%d/%d" % (when.year, when.month, when.day)
    rel = "%.7f" % (t - minimum)
    return (rel + "," + date + "," + clock) if relative_first else (date + "," + clock + "," + rel)


def csv_event_rows(export, dup=0, state_text=True):
    """The rows of an event-mode CSV export, as text lines."""
    minimum = min(m.min_time for m in export.messages)
    data = {m.id: m.rows(export.con, [c.index for c in export.of(m)]) for m in export.exported}
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
        cells = []
        for c in export.channels:
            m = c.message
            blank = {0: m is not row_message, 1: t < m.min_time, 2: not (m.min_time <= t < m.max_time)}.get(dup, False)
            cells.append("," if blank else csv_cell(export, c, data[m.id][idx[m.id]][1].get(c.index), state_text))
        lines.append(csv_prefix(t, minimum) + "".join(cells))
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


def held_records(export, rate_ms, gap):
    """[(t, {channel: stored value})] of the grid."""
    first = {}
    for m in export.exported:
        for t, values in reversed(m.rows(export.con, [c.index for c in export.of(m)])):
            first[(m.id, t)] = values
    none = {}
    return [(t, {c: first.get((c.message.id, held[c.message.id]), none).get(c.index, MISSING)
                 for c in export.channels})
            for t, held in export.grid(rate_ms, gap)]


def csv_grid_rows(export, rate_ms, gap, dup=0, state_text=True):
    minimum = min(m.min_time for m in export.messages)
    lines, previous = [], None
    for i, (t, values) in enumerate(held_records(export, rate_ms, gap)):
        cells = []
        for c in export.channels:
            m = c.message
            changed = i == 0 or values[c] != previous[c]
            blank = {0: not changed, 1: t < m.min_time, 2: not (m.min_time <= t < m.max_time)}.get(dup, False)
            cells.append("," if blank else csv_cell(export, c, values[c], state_text))
        lines.append(csv_prefix(t, minimum) + "".join(cells))
        previous = values
    return lines


def check_csv(db, path, rate_ms=0, gap=0.0, dup=0, state_text=True, units=False):
    export = Export(db)
    with open(path, encoding="latin-1", newline="") as f:
        text = f.read()
    lines = text.split("\n")
    assert lines[-1] == "", "the file ends with a line end"
    import csv
    heading = next(csv.reader([lines[0]]))
    assert heading[:3] == ["Date", "Time", "Time (abs)"] and len(heading) == 3 + len(export.channels), heading
    for cell, c in zip(heading[3:], export.channels):
        assert cell.startswith(latin1(c.name)), (cell, c.name)
        assert cell.endswith(" (%s)" % latin1(c.units)) == bool(units and c.units), (cell, units)
    if export.points(rate_ms) > 0:
        expected = csv_grid_rows(export, rate_ms, gap, dup, state_text)
    else:
        expected = csv_event_rows(export, dup, state_text)
    got = lines[1:-1]
    assert len(got) == len(expected), (len(got), len(expected))
    for i, (a, b) in enumerate(zip(got, expected)):
        assert a == b, (i, a, b)


def check_mat(db, path, group_messages=True, rate_ms=0, gap=0.0, files=None):
    import numpy
    import scipy.io
    export = Export(db)
    minimum = min(m.min_time for m in export.messages)
    if export.points(rate_ms) > 0:
        parts = [scipy.io.loadmat(p, uint16_codec="utf-16-le") for p in (files or [path])]
        data = numpy.vstack([p["SignalData"] for p in parts])
        names = [str(n[0]) for n in parts[0]["SignalNames"][0]]
        assert names == ["Time", "AbsTime"] + [latin1(c.name) for c in export.channels], names
        grid = held_records(export, rate_ms, gap)
        start, _ = export.span()
        period = rate_ms / 1000.0
        expected_rows = export.points(rate_ms)
        assert data.shape == (expected_rows, len(export.channels) + 2), (data.shape, expected_rows)
        by_time = {t: values for t, values in grid}
        for i in range(expected_rows):
            t = i * period + start
            assert data[i, 0] == t - minimum and data[i, 1] == t, (i, data[i, :2], t)
            if t in by_time:
                want = [export_value(c, by_time[t][c]) for c in export.channels]
                assert list(data[i, 2:]) == want, (i, list(data[i, 2:]), want)
            else:
                assert all(v != v for v in data[i, 2:]), (i, "a skipped point holds no value")
        return
    content = scipy.io.loadmat(path, struct_as_record=True, uint16_codec="utf-16-le")
    variables = [k for k in content if not k.startswith("__")]
    assert variables[0] == "header", variables
    assert len(variables) == len(export.channels) + 1 and len(set(variables)) == len(variables), variables
    order = export.channels if not group_messages else [c for m in export.exported for c in export.of(m)]
    for name, c in zip(variables[1:], order):
        s = content[name][0, 0]
        assert str(s["Channelname"][0]) == name, (name, s["Channelname"])
        rows = c.message.rows(export.con, [c.index])
        times = s["time"].reshape(-1)
        values = s["signals"][0, 0]["values"].reshape(-1)
        assert list(times) == [t - minimum for t, _ in rows], name
        assert list(values) == [export_value(c, v[c.index]) for _, v in rows], name
        low, high = (c_min_max(export, c))
        assert (s["min"][0, 0], s["max"][0, 0]) == (low, high), (name, s["min"], s["max"], low, high)


def c_min_max(export, c):
    low, high = export.con.execute("SELECT MinVal, MaxVal FROM Channels WHERE ID = ?", (c.id,)).fetchone()
    low, high = low or 0.0, high or 0.0
    if c.physical or (c.slope == 1.0 and c.offset == 0.0):
        return low, high
    a, b = low * c.slope + c.offset, high * c.slope + c.offset
    return min(a, b), max(a, b)



def settings_beside(path):
    """The export settings of the settings file in the output's folder."""
    values = {"WriteStateText": "1", "WriteUnits": "0", "WriteDuplicates": "0", "GroupMessages": "1",
              "ForceRateGap": "0"}
    cfg = os.path.join(os.path.dirname(os.path.abspath(path)), "kvxexport.cfg")
    seen = set()
    lines = []
    if os.path.exists(cfg):
        with open(cfg, encoding="latin-1") as f:
            lines = f.read().splitlines()
    for line in lines:
        name, _, value = line.partition("=")
        if name in values and name not in seen:  # the first line of a name wins
            values[name] = value
            seen.add(name)
    return values


def check_file(kind, db, path, rate_ms, files=()):
    """Checks an output with the settings it was written under."""
    settings = settings_beside(path)
    gap = float(settings["ForceRateGap"] or 0)
    version3 = kind == "mdf" and open(path, "rb").read(9) != b"MDF     4"
    if rate_ms and gap < rate_ms / 1000.0 and not version3:
        gap = 0.0
    group = settings["GroupMessages"] != "0"
    if kind == "mdf":
        check_mdf(db, path, group, rate_ms, gap)
    elif kind == "csv":
        check_csv(db, path, rate_ms, gap, int(settings["WriteDuplicates"]), settings["WriteStateText"] != "0",
                  settings["WriteUnits"] != "0")
    else:
        check_mat(db, path, group, rate_ms, gap, [path] + list(files))


if __name__ == "__main__":
    # export_model.py mdf|csv|mat <database> <file> <rate ms> [further MAT files]
    try:
        check_file(sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), sys.argv[5:])
        print("ok")
    except AssertionError as failure:
        print("mismatch:", failure)
