"""An independent model of what an export of a measurement database holds, read with python's sqlite3, and
the checks of every output against it: MDF files through the strict block walker tests/mdfwrite/mdf_walk.py
(and the databases CreateDatabase made back from them), CSV with python's csv, MAT with scipy and matdump.
The model follows the export rules: the channels of the collection (all when it holds none), messages ordered
by their first Sequence, channels by Sequence; physical ("Double") values as stored; every value written at
its stored width unless it is physical or only makes sense scaled (states with a scaling, multiplexed),
which are written as scaled doubles. That width must hold the stored value: an integer description of a
physical value is a fault, never a value to cut.
usage: export_model.py (<database> <output base> <rate ms> <formats>)... prints each output that differs."""
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testlib"))
import mdf as mdf_walk  # noqa: E402

DBL_MAX = sys.float_info.max
CSV, MDF3, MAT, MDF4 = 1, 2, 4, 0x100
MISSING = object()  # the value of a message that has no record to give


def latin1(text):
    """Texts of MDF 3.30, CSV and MAT: what Latin-1 cannot hold is a '?'."""
    return "".join(ch if ord(ch) < 256 else "?" for ch in text)


class Channel:
    def __init__(self, message, row, has_states):
        (self.id, self.index, self.name, self.signal_type, slope, offset, sequence, mask, data_type, bits, mux,
         self.units, self.daq_rate) = row
        self.message = message
        self.slope = 1.0 if slope is None else slope
        self.offset = 0.0 if offset is None else offset
        self.sequence, self.mask = sequence or 0, mask or 0
        self.data_type = 3 if data_type is None else data_type
        self.physical = self.signal_type == "Double"
        self.states = has_states and self.signal_type in (None, "State Encoded", "Text")
        hybrid = self.states and (self.slope != 1.0 or self.offset != 0.0)
        self.scaled_double = not self.physical and (hybrid or mux not in (None, -1, -2))
        self.is_float = self.physical or self.data_type in (3, 4)
        self.big_integer = not self.is_float and self.data_type < 3 and (32 if bits is None else bits) > 32
        # The MDF record's (walker kind, bits).
        if self.physical or self.scaled_double or self.data_type >= 4:
            self.kind = "float", 64
        elif self.data_type == 3:
            self.kind = "float", 32
        else:
            size = next(b for b in (8, 16, 32, 64) if (32 if bits is None else bits) <= b or b == 64)
            self.kind = "uint" if self.data_type == 0 else "int", size

    def raw(self, stored):
        """The value the MDF record must hold for a stored column value."""
        (kind, bits), stored = self.kind, None if stored is MISSING else stored
        if kind != "float":
            value = self.integer(stored) & ((1 << bits) - 1)
            value = value - (1 << bits) if kind == "int" and value >> (bits - 1) else value
            assert bits == 64 or value == self.integer(stored), (self.name, stored, "does not fit", self.kind)
            return value
        if stored is None:
            return math.inf if bits == 32 else DBL_MAX
        if bits == 32:
            return struct.unpack("<f", struct.pack("<f", stored))[0] if abs(stored) < 3.4e38 else math.copysign(math.inf, stored)
        return stored * self.slope + self.offset if self.scaled_double else float(stored)

    def integer(self, stored):
        """An integer channel's stored value (NULL: 0); a fraction would be cut."""
        assert stored is None or stored == int(stored), (self.name, stored, "is described as an integer")
        return int(stored or 0)

    def stored_integer(self, stored):
        bits = self.integer(stored) & (2**64 - 1)
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


class Message:
    def __init__(self, row):
        self.id, self.name, self.network, self.signal_count, self.min_time, self.max_time = row
        self.channels, self.stored = {}, None

    def table(self, part=1):
        return "MessageData%04d" % self.id if part == 1 else "MessageData%04d_%04d" % (self.id, part)

    def records(self, con):
        """[(time, {column: stored})] of the described columns in rowid order, parts joined by rowid."""
        if self.stored is None:
            parts = collections.defaultdict(list)
            for k in self.channels:
                parts[(k - 1) // 500 + 1].append(k)
            base = con.execute("SELECT rowid, TIME_VAL FROM %s ORDER BY rowid" % self.table()).fetchall()
            values = {rowid: {} for rowid, _ in base}
            for part, ks in parts.items():
                for row in con.execute("SELECT rowid, %s FROM %s" % (", ".join("Signal%d" % k for k in ks), self.table(part))):
                    if row[0] in values:  # a row part 1 lacks is no record
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
            part, columns, available = 1, 500, 0
            while columns >= 500:  # a full part may go on in the next
                columns = max(len(self.con.execute("PRAGMA table_info(%s)" % m.table(part)).fetchall()) - 1, 0)
                available, part = available + columns, part + 1
            # A Channels row describes its column (the first in ID order), when the tables hold it.
            for row in self.con.execute(
                    "SELECT ID, MessageChannel, Name, SignalType, Slope, Offset, Sequence, CollectionMask, DataType, "
                    "BitLength, MUXValue, Units, DAQRate FROM Channels WHERE MessageId = ? ORDER BY ID", (m.id,)):
                if row[1] is not None and 1 <= row[1] <= min(m.signal_count or 0, available) and row[1] not in m.channels:
                    m.channels[row[1]] = Channel(m, row, row[0] in states)
        key = self.con.execute("SELECT CollectionMask FROM Channels WHERE ID = 0").fetchone()
        mask = 0xFFFFFFFF if key is None else key[0] & 0xFFFFFFFF
        self.messages.sort(key=lambda m: min([c.sequence for c in m.channels.values() if c.sequence > 0], default=0))
        every = [c for m in self.messages for k, c in sorted(m.channels.items())]
        self.channels = [c for c in every if c.sequence != 0 and (mask == 0xFFFFFFFF or c.mask & mask)]
        if not self.channels:
            self.channels = every
            for c in every:
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
        return min(m.min_time for m in self.exported), max(m.max_time for m in self.exported)

    def points(self, rate_ms):
        start, end = self.span()
        if rate_ms <= 0 or not (math.isfinite(start) and math.isfinite(end) and end > start):
            return 0
        return int((end - start) * 1000.0 / rate_ms)

    def grid(self, rate_ms, gap):
        """[(t, {channel: stored value})]: each point holds the record at or before it (a message's first
        before its first), the first record of a time; a gap without records is skipped."""
        first = {}
        for m in self.exported:
            for t, values in reversed(m.records(self.con)):
                first[(m.id, t)] = values
        start, period, points, i, result = self.span()[0], rate_ms / 1000.0, self.points(rate_ms), 0, []
        while i < points:
            t, held = i * period + start, {}
            for m in self.exported:
                held[m.id] = m.min_time if t < m.min_time else m.max_time if t >= m.max_time else self.con.execute(
                    "SELECT MAX(TIME_VAL) FROM %s WHERE TIME_VAL <= ?" % m.table(), (t,)).fetchone()[0]
            result.append((t, {c: first.get((c.message.id, held[c.message.id]), {}).get(c.index, MISSING)
                               for c in self.channels}))
            nexts = [self.con.execute("SELECT MIN(TIME_VAL) FROM %s WHERE TIME_VAL > ?" % m.table(),
                                      (t,)).fetchone()[0] for m in self.exported] if gap > 0 else []
            nexts = [n for n in nexts if n is not None]
            if nexts and t + gap < min(nexts):
                i += max(int((min(nexts) - t) / period) - 1, 0)
            i += 1
        return result


# ---- MDF --------------------------------------------------------------------------------------------------

def mdf_text(text, version):
    """A text as MDF 4.00 (UTF-8) or 3.30 (Latin-1, '?' beyond) holds it."""
    return (text or "").encode("utf-8") if version == 4 else latin1(text or "").encode("latin-1")


def check_channel_block(export, cn, channel, version):
    name = cn["name"]
    assert name == (channel.name if version == 4 else latin1(channel.name)), (name, channel.name)
    # 3.30 keeps a unit ("-" for none) in the conversion's field of 19 characters, a state text in one of 31.
    conversion = cn["conversion"] or {"type": None}
    unit = mdf_text(channel.units, version) if version == 4 else mdf_text(channel.units, 3)[:19] or b"-"
    assert cn["unit"] == unit or (version == 3 and not cn["conversion"]), (name, cn["unit"], channel.units)
    states = {}
    if channel.states:
        for value, text in export.con.execute("SELECT NumVal, StateText FROM ChannelStates WHERE ChannelId = ? "
                                              "ORDER BY rowid", (channel.id,)):
            key = value * channel.slope + channel.offset if channel.scaled_double else value
            states[key] = mdf_text(text, version)[:None if version == 4 else 31]
    assert conversion.get("table", {}) == states, (name, conversion.get("table"), states)
    assert (cn["kind"], cn["bit_count"]) == channel.kind, (name, cn["kind"], cn["bit_count"], channel.kind)
    declared = (1.0, 0.0) if channel.physical or channel.scaled_double else (channel.slope, channel.offset)
    if cn["conversion"] and cn["conversion"]["type"] == "linear":
        assert (cn["conversion"]["factor"], cn["conversion"]["offset"]) == declared, (name, cn["conversion"], declared)
    elif not channel.states:
        assert declared == (1.0, 0.0), (name, "scaling not declared")
    m = channel.message
    description = cn["description"].decode("utf-8" if version == 4 else "latin-1")
    assert description == m.name + (" | " + m.network if m.network else ""), (name, description)


def check_mdf(export, path, group_messages, rate_ms, gap):
    """Walks an exported file strictly and checks it against the model."""
    data = open(path, "rb").read()
    model = mdf_walk.read_v4(data) if data.startswith(b"MDF     4") else mdf_walk.read_v3(data)
    version, groups = model["version"], model["groups"]
    if version == 4 and gap < rate_ms / 1000.0:
        gap = 0.0  # 3.30 takes ForceRateGap as read, 4.00 none below the period
    # Record times count from the header's start: the time base cut to its second.
    start = model["header"]["start_ns"] / 1e9 - 1167609600
    assert start == math.floor(export.minimum), (start, export.minimum)
    # The header texts: the states of channel 0, values 1 (author), 2 (project) and 3 (vehicle).
    texts = {1: "", 2: "", 3: ""}
    texts.update((int(v), t) for v, t in export.con.execute(
        "SELECT NumVal, StateText FROM ChannelStates WHERE ChannelId = 0 AND NumVal IN (1, 2, 3) ORDER BY rowid"))
    if version == 4:
        properties = {e.get("name"): e.text or "" for e in model["header"]["comment_xml"].iter("e")}
        got = [properties.get(key, "") for key in ("AUTHOR", "PROJECT", "VEHICLE")]
        assert got == [texts[1], texts[2], texts[3]], (got, texts)
    else:
        got = [model["header"][key] for key in ("author", "project", "subject")]
        assert got == [mdf_text(texts[k], 3)[:31] for k in (1, 2, 3)], (got, texts)
    if not export.channels:
        layout = []
    elif export.points(rate_ms) > 0:
        layout = [(export.channels, [(t, [v[c] for c in export.channels]) for t, v in export.grid(rate_ms, gap)])]
    elif not group_messages:
        layout = [([c], export.recorded(c.message, [c])) for c in export.channels]
    else:
        layout = [(export.of(m), export.recorded(m, export.of(m))) for m in export.exported]
    assert len(groups) == len(layout), (len(groups), len(layout))
    for group, (channels, rows) in zip(groups, layout):
        cns = group["channels"]
        assert cns[0]["name"] == "time" and len(cns) == len(channels) + 1
        for cn, channel in zip(cns[1:], channels):
            check_channel_block(export, cn, channel, version)
        # A group is named after its first channel's DAQRate; a grid's has no name.
        daq_rate = None if export.points(rate_ms) > 0 else mdf_text(channels[0].daq_rate, version) or None
        assert group["name"] == daq_rate, (group["name"], daq_rate)
        assert group["record_count"] == len(rows), (group["record_count"], len(rows))
        for record, (t, values) in zip(mdf_walk.records(group), rows):
            assert abs(start + mdf_walk.decode(record, cns[0]) - t) < 1e-6, (t, start)
            for cn, channel, stored in zip(cns[1:], channels, values):
                got, want = mdf_walk.decode(record, cn), channel.raw(stored)
                assert got == want or (got != got and want != want), (channel.name, t, got, want)


def check_round_trip(export, back):
    """The database made from an exported MDF file holds the exported records; NULLs become 0 in an MDF
    integer (the widths are the walk's)."""
    copy = Export(back)
    copies = {(m.name, c.name): c for m in copy.messages for c in m.channels.values()}
    for channel in export.channels:
        c2 = copies[(channel.message.name, channel.name)]
        mine, theirs = channel.message.records(export.con), c2.message.records(copy.con)
        assert len(mine) == len(theirs), channel.name
        for (t1, v1), (t2, v2) in zip(mine, theirs):
            assert abs(t1 - t2) <= 1e-6, (channel.name, t1, t2)
            p1, p2 = v1[channel.index], v2[c2.index]
            if channel.kind[0] == "float" and p1 is not None:
                p1 = p1 if channel.physical else p1 * channel.slope + channel.offset
                p2 = p2 if c2.physical else p2 * c2.slope + c2.offset
                assert p1 == p2 or abs(p1 - p2) <= 1e-6 * max(abs(p1), 1.0), (channel.name, p1, p2)


# ---- CSV --------------------------------------------------------------------------------------------------

def csv_cell(export, c, stored, state_text):
    if c.big_integer and stored is not MISSING:
        return ",%d" % c.stored_integer(stored)
    v = c.export_value(stored)
    if state_text and c.states and stored is not MISSING and not (c.is_float and stored is None):
        text = export.con.execute("SELECT StateText FROM ChannelStates WHERE ChannelId = ? AND NumVal = ? "
                                  "ORDER BY rowid DESC", (c.id, c.stored_value(stored))).fetchone()
        if text is not None:
            return ',"%s|%s"' % (latin1(text[0]).replace('"', '""'), "%.7g" % v)
    if v != v:
        return ",nan"
    return ",%d" % v if -2147483648.0 <= v <= 2147483647.0 and v == int(v) else ",%.7g" % v


def csv_row(export, t, cells, unchanged, dup, state_text):
    """Date and time (UTC), time since the first record, the cells; unchanged(c): blank for WriteDuplicates 0."""
    when = datetime.datetime(1601, 1, 1) + datetime.timedelta(seconds=int((t + 12812083200.0) * 1e7) // 10**7)
    clock = "%d:%d:%d %s" % (when.hour % 12 or 12, when.minute, when.second, "AM" if when.hour < 12 else "PM")
    line = "%d/%d/%d,%s,%.7f" % (when.year, when.month, when.day, clock, t - export.minimum)
    for c in export.channels:
        m = c.message
        blank = {0: unchanged(c), 1: t < m.min_time, 2: not (m.min_time <= t < m.max_time)}.get(dup, False)
        line += "," if blank else csv_cell(export, c, cells(c), state_text)
    return line


def csv_event_rows(export, dup, state_text):
    """The rows at recorded times: messages merged by time, those of one instant in ID order."""
    data = {m.id: m.records(export.con) for m in export.exported}
    firsts = list(dict.fromkeys(c.message for c in export.channels))
    idx = {m.id: 0 for m in firsts}
    done = {m.id: not data[m.id] for m in firsts}

    def now(m):
        return data[m.id][idx[m.id]][0] if data[m.id] else DBL_MAX

    t, row_message = min(((now(m), m) for m in firsts), key=lambda e: e[0], default=(DBL_MAX, None))
    lines, seen = [], set()
    held = {}  # a message's record at its last row: its values until its next row

    def cells(c):
        record = data[c.message.id][idx[c.message.id]] if c.message is row_message else held.get(
            c.message.id, data[c.message.id][idx[c.message.id]] if data[c.message.id] else None)
        return record[1].get(c.index) if record else MISSING
    while t < DBL_MAX:
        lines.append(csv_row(export, t, cells, lambda c: c.message is not row_message, dup, state_text))
        held[row_message.id] = data[row_message.id][idx[row_message.id]]
        same = next((m for m in sorted(firsts, key=lambda m: m.id) if m is not row_message and now(m) == t
                     and m.id not in seen and not done[m.id]), None)
        if same:
            seen |= {row_message.id, same.id}
            row_message = same
            continue
        seen, following = set(), DBL_MAX
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


def check_csv(export, path, rate_ms, gap, dup, state_text, units):
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
        grid = export.grid(rate_ms, gap)
        expected = [csv_row(export, t, v.get, lambda c: i > 0 and v[c] == grid[i - 1][1][c], dup, state_text)
                    for i, (t, v) in enumerate(grid)]
    else:
        expected = csv_event_rows(export, dup, state_text)
    assert len(lines) - 2 == len(expected), (len(lines) - 2, len(expected))
    for i, (got, want) in enumerate(zip(lines[1:], expected)):
        assert got == want, (i, got, want)


# ---- MAT --------------------------------------------------------------------------------------------------

def mat_names(channels):
    """{channel: MAT variable name}: the Latin-1 text of the name, scrubbed and cut to 63 characters; a name
    several channels share is joined with its message and network; then each made unique ("_2", ...)."""
    def scrub(text):
        text = latin1(text).lstrip(" \t")
        return "".join("_" if ch in " -[]/\\\t.,:;?~@#$%^&*()" else ch for ch in text)[:63]
    repeats = collections.Counter(scrub(c.name) for c in channels)
    names = [scrub(c.name) if repeats[scrub(c.name)] == 1 else
             scrub("_".join((c.name, c.message.name, c.message.network or ""))) for c in channels]
    taken, kept = set(names) | {"header"}, set()
    for i, name in enumerate(names):
        if name != "header" and name not in kept:
            kept.add(name)
            continue
        number = 2
        while True:
            suffix = "_%d" % number
            cut = min(len(name), max(63 - len(suffix), 0))
            while 0 < cut < len(name) and 0x80 <= ord(name[cut]) < 0xC0:
                cut -= 1
            if name[:cut] + suffix not in taken:
                names[i] = name[:cut] + suffix
                taken.add(names[i])
                kept.add(names[i])
                break
            number += 1
    return dict(zip(channels, names))


def mat_text(array):
    return "".join(array.reshape(-1).tolist())


def check_mat(export, base, group_messages, rate_ms, gap):
    import numpy
    import scipy.io
    files = [base + ".mat"] + sorted(glob.glob(glob.escape(base) + "_[0-9][0-9].mat"))
    for path in files:
        dump = subprocess.run(["matdump", path], capture_output=True)
        assert dump.returncode == 0, ("matdump", path, dump.stderr)
    if export.points(rate_ms) > 0:
        # One matrix over the files; a point a gap skips holds its times and NaN.
        parts = [scipy.io.loadmat(p, uint16_codec="utf-16-le") for p in files]
        data = numpy.vstack([p["SignalData"] for p in parts])
        names = [str(n[0]) for n in parts[0]["SignalNames"][0]]
        assert names == ["Time", "AbsTime"] + [latin1(c.name) for c in export.channels], names
        start, period, points = export.span()[0], rate_ms / 1000.0, export.points(rate_ms)
        assert data.shape == (points, len(export.channels) + 2), (data.shape, points)
        held = dict(export.grid(rate_ms, gap))
        for i in range(points):
            t = i * period + start
            assert data[i, 0] == t - export.minimum and data[i, 1] == t, (i, data[i, :2], t)
            want = [c.export_value(held[t][c]) if t in held else math.nan for c in export.channels]
            assert numpy.array_equal(data[i, 2:], want, equal_nan=True), (i, list(data[i, 2:]), want)
        return
    content = scipy.io.loadmat(files[0], struct_as_record=True, uint16_codec="utf-16-le")
    variables = [k for k in content if not k.startswith("__")]
    # No variable replaces another: "header" first, then one per channel.
    assert variables[0] == "header" and len(set(variables)) == len(export.channels) + 1, variables
    order = export.channels if not group_messages else [c for m in export.exported for c in export.of(m)]
    names = mat_names(export.channels)
    assert variables[1:] == [names[c] for c in order], (variables[1:], [names[c] for c in order])
    for name, c in zip(variables[1:], order):
        s = content[name][0, 0]
        assert mat_text(s["Channelname"]) == name and mat_text(s["unit"]) == (c.units or ""), (name, s["Channelname"], s["unit"])
        rows = c.message.records(export.con)
        assert list(s["time"].reshape(-1)) == [t - export.minimum for t, _ in rows], name
        assert list(s["signals"][0, 0]["values"].reshape(-1)) == [c.export_value(v[c.index]) for _, v in rows], name
        low, high = export.con.execute("SELECT MinVal, MaxVal FROM Channels WHERE ID = ?", (c.id,)).fetchone()
        low, high = low or 0.0, high or 0.0
        if not (c.physical or (c.slope == 1.0 and c.offset == 0.0)):
            low, high = sorted((low * c.slope + c.offset, high * c.slope + c.offset))
        assert (s["min"][0, 0], s["max"][0, 0]) == (low, high), (name, s["min"], s["max"], low, high)


# ---- The outputs of one export ----------------------------------------------------------------------------

def check_outputs(db, base, rate_ms, formats):
    """Yields (output, what differs) for each output of the formats, under the settings file beside it."""
    s = {"WriteStateText": "1", "WriteUnits": "0", "WriteDuplicates": "0", "GroupMessages": "1", "ForceRateGap": "0",
         "MDF Extension": ".dat"}
    cfg = os.path.join(os.path.dirname(os.path.abspath(base)), "kvxexport.cfg")
    for line in reversed(open(cfg, encoding="latin-1").read().splitlines()):  # the first of a name counts
        name, _, value = line.partition("=")
        s[name] = value
    export, gap, group = Export(db), float(s["ForceRateGap"] or 0), s["GroupMessages"] != "0"
    below = 0.0 if rate_ms and gap < rate_ms / 1000.0 else gap  # CSV and MAT: no gap below the period
    if formats & MDF3 and s["MDF Extension"].lower() == ".mf4" and not formats & MDF4:
        formats = formats & ~MDF3 | MDF4
    outputs = [(CSV, base + " Log File.csv", lambda p: check_csv(
                    export, p, rate_ms, below, int(s["WriteDuplicates"]), s["WriteStateText"] != "0", s["WriteUnits"] != "0")),
               (MAT, base + ".mat", lambda p: check_mat(export, base, group, rate_ms, below)),
               (MDF3, base + s["MDF Extension"], lambda p: check_mdf(export, p, group, rate_ms, gap)),
               (MDF4, base + ".mf4", lambda p: check_mdf(export, p, group, rate_ms, gap))]
    for flag, path, check in outputs:
        if formats & flag:
            try:
                check(path)
                if os.path.exists(path + ".db"):
                    check_round_trip(export, path + ".db")
            except Exception as failure:  # what differs, a missing file, or a walker's MdfError
                yield path, repr(failure)


if __name__ == "__main__":
    arguments = sys.argv[1:]
    for i in range(0, len(arguments), 4):
        for path, failure in check_outputs(arguments[i], arguments[i + 1], int(arguments[i + 2]), int(arguments[i + 3])):
            print("%r: %s" % (path, failure))
