"""mdf_files_test.py <mdf_tool>: the MDF writers driven through mdf_tool by call lists made here. Their files are
walked block by block by tests/testlib/mdf.py, itself checked against fixtures of another writer and corruptions,
and read back through the project's reader (the database builder, checked with sqlite3); each guard shows as the
writer's failure flag with one diagnostic line, and nothing of a refused group is written."""
import calendar
import functools
import json
import math
import os
import sqlite3
import stat
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testlib"))
import mdf as mw  # noqa: E402
from libcall import lib  # noqa: E402 (it sets TZ=UTC: the reader takes MDF 3 header dates as local time)

TOOL = None
START, START_NS = [2021, 3, 5, 14, 7, 9], calendar.timegm((2021, 3, 5, 14, 7, 9)) * 10 ** 9
ENV = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}  # the tool has its sanitizers
# MDF 3 and MDF 4 type codes of the writer's data types, little- and big-endian (3.30: 9 to 12 big-endian).
TYPES = {0: ((0, 9), (0, 1)), 1: ((1, 10), (2, 3)), 3: ((2, 11), (4, 5)), 4: ((3, 12), (4, 5)), 7: ((0, 0), (6, 6)),
         2: ((0, 0), (0, 1)), 9: ((0, 0), (0, 1))}
FIELDS = "name unit description type byte bits bit big factor offset precision min max time".split()
BYTE = dict(name="b", type=0, bits=8)


def run(version, calls, full=False, unbuffered=False):
    """mdf_tool's exit status for the calls, the file's bytes and what it printed. full: written to a node of the
    full device made in the run's folder, never the machine's own (None where only root may make one)."""
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "calls.json"), "w") as f:  # bytes as \u00XX escapes: one byte each in jsonxx
            json.dump(dict(version=version, unbuffered=unbuffered, calls=calls), f, default=lambda b: b.decode("l1"))
        out = os.path.join(folder, "out.mdf")
        if full:
            try:
                os.mknod(out, stat.S_IFCHR | 0o600, os.makedev(1, 7))
            except PermissionError:
                return None
        result = subprocess.run([TOOL, f.name, out], capture_output=True, env=ENV)
        with open(out, "rb") as written:  # the device reads as zeros without end
            return result.returncode, b"" if full else written.read(), result.stdout.decode("latin-1")


def header(groups, project="", vehicle="", author="", start=START, markers=()):
    return [["marker", *m] for m in markers] + [["header", project, vehicle, author, groups, start], ["file"]]


def describe(channel):
    return [channel.get(f) for f in FIELDS] + [channel.get("states", [])]


def group(size, count, name, channels, records=(), last=False, finish=True, declared=None):
    return ([["prepare", size, count, len(channels) if declared is None else declared, name]] +
            [["channel", describe(d), 1] for d in channels] + [["flush", last]] +
            [["record", r.hex()] for r in records] + [["finish"]] * finish)


def one(count, last=False, finish=False):
    return group(1, count, None, [BYTE], last=last, finish=finish)


def database(data):
    """The measurement database the project's reader and builder make of an MDF file: {name: (stored values,
    row of Channels)}."""
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "file.mdf"), "wb") as f:
            f.write(data)
        assert lib.CreateDatabase(f.name.encode(), (f.name + ".db").encode()) == 1
        with sqlite3.connect(f.name + ".db") as db:
            return {row[0]: (db.execute("SELECT TIME_VAL, Signal%d FROM MessageData%04d" % (row[2], row[1])).fetchall(),
                             row[3:], db.execute("SELECT NumVal, StateText FROM ChannelStates WHERE ChannelId = ?",
                                                 (row[-1],)).fetchall())
                    for row in db.execute("SELECT Name, MessageId, MessageChannel, Units, Slope, Offset, ID FROM "
                                          "Channels WHERE ID").fetchall()}


def f32(value):
    return struct.unpack("<f", struct.pack("<f", value))[0]


def channel(group_model, name):
    return next(c for c in group_model["channels"] if c["name"] == name)


# The golden files: groups of (name, record size, records, channels as (description, raw value in record i)):
# several groups, a unit-only channel, a 3-state channel, a channel at byte 2 bit 3, a long name.
GOLDEN = [
    (b"Engine 10ms", 15, 5, [
        (dict(time=64), lambda i: i * 0.01),
        (dict(name="speed", type=0, byte=8, bits=16, factor=0.25, offset=-10.0, unit="rpm", precision=2, min=0.0,
              max=8000.0, description="Engine speed | HS CAN"), lambda i: 1000 + 4 * i),
        (dict(name="gear", type=0, byte=10, bits=8, states=[[0, "Park"], [1, "Reverse"], [2, "Drive"]],
              description="Gear lever"), lambda i: i % 3),
        (dict(name="coolant", type=3, byte=11, bits=32, unit="degC"), lambda i: f32(80.5 + i))]),
    (None, 14, 3, [
        (dict(time=32, byte=4), lambda i: f32(0.5 * i)),
        (dict(name="be_word", type=0, byte=0, bits=16, big=True), lambda i: 0x1234 + i),
        (dict(name="nibble", type=0, byte=2, bit=3, bits=4), lambda i: (i + 5) & 0xF),
        (dict(name="a_channel_name_longer_than_31_characters", type=1, byte=8, bits=32, description="signed 32-bit"),
         lambda i: -100000 + i),
        (dict(name="halved", type=1, byte=12, bits=16, factor=-0.5), lambda i: -300 + 7 * i)]),
    (b"Last", 17, 4, [  # written through WriteValue; text states win in 3.30, the linear formula in 4.00
        (dict(time=64), lambda i: 1.0 + i), (dict(name="square", type=4, byte=8, bits=64), lambda i: i * i - 0.5),
        (dict(name="both", type=0, byte=16, bits=8, factor=2.0, offset=1.0, states=[[1, "one"], [3, "three"]]),
         lambda i: i)])]


@functools.lru_cache()
def golden(version):
    markers = [("Subset File 1 (10 - 12.5)", "/data/a.db", 0.0), ("Marker <2> & 'q'", "", 1.5)] * (version == 4)
    a, b, c = [[d for d, _ in g[3]] for g in GOLDEN]
    calls = header(3, "Proj & <Co>", 'Car "V1"', "Ann's", markers=markers) + group(15, 5, b"Engine 10ms", a, [
        struct.pack("<dHBf", i * 0.01, 1000 + 4 * i, i % 3, 80.5 + i) for i in range(5)]) + group(14, 3, None, b, [
            struct.pack(">HBB", 0x1234 + i, 0x85 | (i + 5) << 3, 0xAA) +
            struct.pack("<fih", 0.5 * i, -100000 + i, -300 + 7 * i) for i in range(3)])
    calls += group(17, 4, b"Last", c, last=True, finish=False)
    for i in range(4):
        calls += [["value", 1.0 + i, 64], ["value", i * i - 0.5, 0], ["record", "%02x" % i]]
    status, data, output = run(version, calls + [["finish"]])
    assert (status, output) == (0, ""), (status, output)
    return data


class GoldenFiles(unittest.TestCase):
    def test_blocks_channels_and_values(self):
        models = {3: mw.read_v3(golden(3)), 4: mw.read_v4(golden(4))}
        for version, model in models.items():
            for g, (name, size, count, channels) in zip(model["groups"], GOLDEN):
                self.assertEqual((g["name"], g["record_size"], g["record_count"]), (name, size, count))
                self.assertEqual([c["name"] for c in g["channels"]], [d.get("name", "time") for d, _ in channels])
                for c, (d, raw) in zip(g["channels"], channels):
                    self.check_channel(version, g, c, d, [raw(i) for i in range(count)])
        engine, last = models[3]["groups"][0], models[4]["groups"][2]
        self.assertEqual([mw.physical(channel(engine, "gear"), r) for r in mw.values(engine, "gear")],
                         [b"Park", b"Reverse", b"Drive", b"Park", b"Reverse"])
        self.assertEqual([mw.physical(channel(last, "both"), r) for r in mw.values(last, "both")], [1.0, 3.0, 5.0, 7.0])

    def check_channel(self, version, g, c, d, raw):
        where, data_type = (version, c["name"]), {64: 4, 32: 3}.get(d.get("time"), d.get("type"))
        self.assertEqual((c["byte_offset"], c["bit_offset"], c["bit_count"], c["description"], c["min"], c["max"]),
                         (d.get("byte", 0), d.get("bit", 0), d.get("bits", d.get("time")),
                          d.get("description", "").encode(), d.get("min", 0.0), d.get("max", 0.0)), where)
        self.assertEqual((c["signal_type" if version == 3 else "data_type"], mw.values(g, c["name"])),
                         (TYPES[data_type][version - 3][d.get("big", 0)], raw), where)
        unit, conversion = d.get("unit", "s" if "time" in d else "").encode(), c["conversion"] or {}
        if "states" in d and (version == 3 or "factor" not in d):
            self.assertEqual(conversion["table"], {float(v): t.encode() for v, t in d["states"]}, where)
        elif "factor" in d or (unit and version == 3):  # 3.30 keeps a unit in a conversion
            self.assertEqual((conversion["type"], conversion["offset"], conversion["factor"]),
                             ("linear", d.get("offset", 0.0), d.get("factor", 1.0)), where)
        else:
            self.assertIsNone(c["conversion"], where)
        if version == 3:
            self.assertEqual((c["channel_type"], c["range_valid"], c["start_offset"], c["unit"]),
                             ("time" in d, "min" in d, 8 * d.get("byte", 0) + d.get("bit", 0),
                              (unit or b"-") if conversion else b""), where)
            self.assertEqual((c["short_name"], c["long_name_link"] > 0), (c["name"][:31].encode(), len(c["name"]) > 31))
        else:
            flags = 4 * ("precision" in d) + 8 * ("min" in d)
            self.assertEqual((c["channel_type"], c["sync_type"], c["unit"], c["unit_link"] != 0, c["flags"]),
                             (2 * ("time" in d), "time" in d, unit, bool(unit), flags), where)
            self.assertEqual((c["precision"], conversion.get("unit_link", c["unit_link"])),
                             (d.get("precision", 0), c["unit_link"]), where)

    def test_headers_markers_and_padding(self):
        v3, v4 = mw.read_v3(golden(3)), mw.read_v4(golden(4))
        self.assertEqual([v3["header"][k] for k in ("first_dg", "group_count", "date", "time", "author", "project",
                                                     "subject", "start_ns")],
                         [272, 3, b"05:03:2021", b"14:07:09", b"Ann's", b"Proj & <Co>", b'Car "V1"', START_NS])
        first = v3["groups"][0]  # a named group has its TX (name + 5 bytes) right behind its DG
        self.assertEqual((first["position"], first["cg_position"]), (272, 272 + 28 + len(b"Engine 10ms") + 5))
        self.assertEqual((v4["header"]["start_ns"], v4["header"]["comment"]), (START_NS, 168))
        self.assertEqual([g["padding"] for g in v4["groups"]], [bytes(5), bytes(6), bytes(4)])
        self.assertEqual({e.get("name"): e.text for e in v4["header"]["comment_xml"].find("common_properties")},
                         {"PROJECT": "Proj & <Co>", "VEHICLE": 'Car "V1"', "AUTHOR": "Ann's"})
        self.assertEqual([(e.tag, e.text) for e in v4["header"]["history_xml"]],
                         [("TX", "created"), ("tool_id", "Orbisk Lens"), ("tool_vendor", "Norvane Instrument Works"),
                          ("tool_version", "3.6")])
        self.assertGreater(v4["header"]["history_ns"], START_NS)
        self.assertEqual([(e["name"], e["comment"], e["sync_base"], e["event_type"], e["sync_type"], e["range_type"],
                           e["cause"], e["sync_factor"]) for e in v4["events"]],
                         [(b"Subset File 1 (10 - 12.5)", b"/data/a.db", 0, 6, 1, 1, 3, 1e-6),
                          (b"Marker <2> & 'q'", b"", 1500000, 6, 1, 1, 3, 1e-6)])

    def test_the_project_reader_reads_them_back(self):
        for version in (3, 4):
            seen = database(golden(version))
            for _, _, count, channels in GOLDEN:
                for d, raw in channels[1:]:
                    (stored, (unit, slope, offset, _), states), where = seen[d["name"]], (version, d["name"])
                    linear = version == 4 or "states" not in d  # else the states win
                    factor, shift = (d.get("factor", 1.0), d.get("offset", 0.0)) if linear else (1.0, 0.0)
                    units = d.get("unit") or "-" * (version == 3 and ("factor" in d or "states" in d))  # 3.30: "-"
                    # TIME_VAL: the start, 2021-03-05 14:07:09 UTC in seconds since 2007, plus the time
                    self.assertEqual(([round(t - 447343629.0, 6) for t, _ in stored], [v for _, v in stored]),
                                     ([round(channels[0][1](i), 6) for i in range(count)],
                                      [raw(i) * factor + shift for i in range(count)]), where)
                    kept = [] if linear and "factor" in d else [(float(v), t) for v, t in d.get("states", [])]
                    self.assertEqual((unit, slope, offset, states), (units, factor, shift, kept), where)


def types_group(last):
    """Every data type, little- and big-endian (codes in TYPES)."""
    kinds = [(t, big) for t in TYPES for big in (0, 1)]
    return group(112, 0, b"types", [dict(name="t%d%s" % (t, "b" * big), type=t, byte=8 * k, big=big, bits={
        3: 32, 4: 64}.get(t, 16)) for k, (t, big) in enumerate(kinds)], last=last)


def check_types(test, model, version):
    types = next(g for g in model["groups"] if g["name"] == b"types")
    test.assertEqual([c["signal_type" if version == 3 else "data_type"] for c in types["channels"]],
                     [TYPES[t][version - 3][big] for t in TYPES for big in (0, 1)])


class EdgeFiles(unittest.TestCase):
    def test_v3_limits(self):
        calls = header(3, "p" * 40, None, "a" * 32) + group(8200, 2, "g" * 70000, [
            dict(time=8), dict(name="bit_at_8191_7", type=0, byte=8191, bit=7, bits=1),
            dict(name="word_at_8192", type=0, byte=8192, bits=16),
            dict(name="word_at_8198", type=1, byte=8198, bit=8, bits=16)], [
                struct.pack("<d8183sB", 0.1 * i, b"", 0x80 if i else 0x7F) + struct.pack("<H4xh", 0xBEEF + i, -2 - i)
                for i in range(2)])
        calls += group(16, 1, "caps", [  # texts and tables capped at what 16-bit sizes hold; 99 channels declared
            dict(time=64), dict(name="many_states", type=0, byte=8, bits=16, unit="u" * 25, description="d" * 200,
                                states=[[v, "state %d" % v + "x" * 40] for v in range(1700)]),
            dict(name="name_of_exactly_31_characters__", type=0, byte=10, bits=8, min=5.0, max=1.0),  # an empty range
            dict(name="name_of_exactly_32_characters___", type=0, byte=11, bits=8, factor="nan"),
            dict(name="n" * 70000, type=0, byte=12, bits=32)], [struct.pack("<dHBBI", 2.0, 1234, 31, 32, 0xDEADBEEF)],
            declared=99) + types_group(True)
        status, data, output = run(3, calls)
        self.assertEqual((status, output), (0, ""))
        model = mw.read_v3(data)
        check_types(self, model, 3)
        self.assertEqual([model["header"][k] for k in ("author_field", "project_field", "subject")],
                         [b"a" * 32, b"p" * 32, b""])
        far, caps = model["groups"][:2]
        self.assertEqual([(c["start_offset"], c["additional_byte_offset"]) for c in far["channels"]],
                         [(0, 0), (65535, 0), (0, 8192), (0, 8198)])  # offsets past 8191 go to the additional one
        self.assertEqual([mw.values(far, c["name"]) for c in far["channels"][1:]], [[0, 1], [0xBEEF, 0xBEF0], [-2, -3]])
        many, exact, longer, huge = caps["channels"][1:]
        self.assertEqual((len(far["name"]), many["conversion"]["count"], many["conversion"]["table"][0.0]),
                         (65530, 1637, b"state 0" + b"x" * 24))
        self.assertEqual((many["unit"], many["description_field"]), (b"u" * 19, b"d" * 127 + b"\0"))
        self.assertEqual((exact["long_name_link"], exact["short_name"], exact["range_valid"]), (
            0, exact["name"].encode(), 0))
        self.assertEqual(longer["short_name_field"], longer["name"][:31].encode() + b"\0")
        self.assertTrue(math.isnan(longer["conversion"]["factor"]) and longer["unit"] == b"-")  # NaN is no identity
        self.assertEqual((huge["name_bytes"], mw.values(caps, huge["name"])), (b"n" * 65530, [0xDEADBEEF]))
        seen = database(data)  # the project's reader finds the same
        self.assertEqual([[v for _, v in seen[name][0]] for name in ("bit_at_8191_7", "word_at_8192", "word_at_8198",
                                                                    "n" * 65530)], [[0, 1], [0xBEEF, 0xBEF0], [-2, -3],
                                                                                    [0xDEADBEEF]])

    def test_v4_limits(self):
        calls = header(7, b"a\x01z \xe9t\xc3\xa9", "<tag attr=\"x\">&&'", None, markers=[
            (None, "nan", "nan"), ("infinite", "inf", "inf"), ("negative", "-2.5", -2.5), ("far", "1e300", 1e300),
            ("", "", 0.0000015), ("", "", "-inf"), ("", "", -1e300)])
        calls += group(12, 3, "padded", [dict(time=0), dict(name="value", type=4, byte=4, bits=64, precision=-5)],
                       [struct.pack("<fd", 0.25 * i, -1.5 * i) for i in range(3)])
        calls += group(100, 100, "dropped", [dict(time=64)])[:2]  # prepared, never flushed: never written
        calls += group(8, 0, None, [dict(time=1)]) + types_group(False) + group(8, 2, "fitted", [
            dict(time=32), dict(name="moved", type=4, byte=4, bits=64, precision=3, min=-1.0, max=1.0),
            dict(name="text", type=7, byte=6, bits=16, big=True),
            dict(name="many", type=0, byte=4, bits=16, states=[[v, "s"] for v in range(65536)])],
            [struct.pack("<d", 3.0 + i) for i in range(2)])
        calls += group(5, 3, "unfinished", [dict(name="counter", type=0, bits=16)],  # padded by the next group
                       [struct.pack("<H3x", 7 + i) for i in range(3)], finish=False)
        calls += group(3, 5, "last", [dict(name="counter", type=0, bits=16), dict(name="flag", type=0, byte=2, bits=1)],
                       [struct.pack("<HB", 100 + i, i & 1) for i in range(5)], last=True)
        status, data, output = run(4, calls)
        self.assertEqual((status, output), (0, "offset moved 4 0\n"))  # the caller's description follows the move
        model = mw.read_v4(data)
        check_types(self, model, 4)
        padded, empty, _, fitted, unfinished, last = model["groups"]
        value, moved, many = channel(padded, "value"), channel(fitted, "moved"), channel(fitted, "many")["conversion"]
        self.assertEqual([g["name"] for g in model["groups"]], [b"padded", None, b"types", b"fitted", b"unfinished",
                                                                b"last"])
        self.assertEqual([(len(g["data"]), g["padding"]) for g in (padded, empty, unfinished, last)],
                         [(36, bytes(4)), (0, b""), (15, bytes(1)), (15, bytes(1))])
        self.assertEqual((empty["position"], padded["channels"][0]["bit_count"], empty["channels"][0]["bit_count"]),
                         (padded["data_position"] + 40, 32, 64))
        self.assertEqual((value["flags"], value["precision"], mw.values(padded, "value")), (0, 0, [0.0, -1.5, -3.0]))
        self.assertEqual((moved["byte_offset"], moved["flags"], moved["precision"], moved["min"], moved["max"],
                          mw.values(fitted, "moved"), channel(fitted, "text")["data_type"]), (0, 12, 3, -1.0, 1.0,
                                                                                              [3.0, 4.0], 6))
        self.assertEqual((many["ref_count"], many["val_count"], many["link_count"]), (65535, 65534, 65539))
        self.assertEqual((mw.values(unfinished, "counter"), mw.values(last, "counter"), mw.values(last, "flag")),
                         ([7, 8, 9], [100, 101, 102, 103, 104], [0, 1, 0, 1, 0]))
        self.assertEqual({e.get("name"): e.text for e in model["header"]["comment_xml"].find("common_properties")},
                         {"PROJECT": "a\ufffdz \u00e9t\u00e9", "VEHICLE": '<tag attr="x">&&\''})
        self.assertEqual([(e["name"], e["sync_base"]) for e in model["events"]], [(b"", 0), (b"infinite", 0), (
            b"negative", -2500000), (b"far", 2 ** 63 - 1), (b"", 1), (b"", 0), (b"", -2 ** 63)])

    def test_files_without_groups_link_to_none(self):
        v3, v4 = mw.read_v3(run(3, header(0, start=None))[1]), mw.read_v4(run(4, header(0, start=None))[1])
        self.assertEqual((v3["header"]["first_dg"], v3["header"]["group_count"], v3["groups"], v4["header"]["first_dg"],
                          v4["header"]["first_event"], v4["groups"]), (0, 0, [], 0, 0, []))
        self.assertEqual(v4["header"]["comment_text"],
                         b"<HDcomment>\n<TX /><common_properties></common_properties>\n</HDcomment>")


def huge_links(data, version):
    """A 4.00 group of 65535 x (2^32 - 1) bytes of records links its successor past 4 GiB."""
    dg, size = data.index(b"##DG"), 65535 * (2 ** 32 - 1)
    next_dg, cg, dt = struct.unpack_from("<QQQ", data, dg + 24)
    return (data[dt:dt + 4], struct.unpack_from("<Q", data, dt + 8)[0], next_dg, len(data), struct.unpack_from(
        "<QQ8xI", data, cg + 72)) == (b"##DT", size + 24, (dt + size + 31) // 8 * 8, dt + 24, (1, 2 ** 32 - 1, 65535))


def without_write_time(data):
    """The bytes with the time of writing (a 4.00 FH block's fh_time_ns, the clock's second) zeroed: two runs
    on either side of a second differ there alone."""
    fh = data.find(b"##FH")
    return data if fh < 0 else data[:fh + 40] + bytes(8) + data[fh + 48:]


PREPARE, ONE_BIT = [["prepare", 1, 1, 1, None]], describe(dict(type=0, bits=1))
GUARDS = [  # (versions, calls, exit status (2: the failure flag), what the file holds, options of run)
    # 3.30 links hold 4 GiB: records ending exactly there leave the next group no link, and nothing of it is written
    ((3,), header(2) + one(2 ** 32 - 554), 2, lambda data, _: len(data) == 272),
    ((3,), header(2) + group(2, 0x80000010, None, [BYTE], finish=False), 2, lambda data, _: len(data) == 272),
    ((3,), header(2) + one(2 ** 32 - 555) + [["seek", 2 ** 32 - 1], ["finish"]] + one(1, True), 2,  # the next DG fits,
     lambda data, _: (len(data), struct.unpack_from("<I8xI", data, 276), data[322:326]) == (  # its CG does not
         554, (2 ** 32 - 1, 554), struct.pack("<I", 2 ** 32 - 555))),
    ((3,), header(1) + group(8, 1, None, [dict(name="wide", type=0, byte=4, bits=64)], finish=False), 2, None),
    ((3,), header(1) + [["prepare", 65535, 1, 65535, None], ["channel", ONE_BIT, 65535]], 0, None),
    ((3,), header(1) + [["prepare", 65535, 1, 65535, None], ["channel", ONE_BIT, 65536]], 2, None),
    ((3,), header(0, start=[2021, 3, 5, 14, 7, 69]), 0, lambda data, _: (data[82:100], data[68:72], data[228:236]) == (
        b"05:03:202114:08:09", bytes(4), struct.pack("<Q", 1614953289 * 10 ** 9))),  # the caller's time stays as it is
    ((3,), header(0, start=[1960, 1, 1, 0, 0, 0]), 0,
     lambda data, _: (data[82:92], data[228:236]) == (b"01:01:1960", bytes(8))),
    ((4,), header(2) + group(65535, 2 ** 32 - 1, None, [BYTE], finish=False), 0, huge_links),
    ((4,), header(1) + group(8, 1, None, [dict(name="moved", type=4, byte=4, bits=64),
                                          dict(name="wide", type=0, byte=1, bits=72)], finish=False), 2, None),
    ((4,), header(1) + [["marker", "late", "", 1.0]], 2, None),  # markers come before the header
    ((3, 4), header(1) + one(3, True) + [["record", "07"]] * 3 + [["finish"], ["record", "07"]], 2, None,  # sticky
     dict(full=True)),
    ((3, 4), header(1), 2, None, dict(full=True, unbuffered=True)),  # fails at the write itself
    ((3, 4), header(1) + group(1, 3, None, [BYTE], [b"\1"] * 2, last=True), 2, None),  # a record missing
    ((3, 4), header(2) + group(1, 1, None, [BYTE], [b"\1"] * 2, finish=False) + one(1, True), 2, None),  # one too many
    ((3, 4), [["raw", "78"]] + header(1), 2, lambda data, _: data == b"x"),  # the header starts the stream
    ((3, 4), PREPARE, 2, None), ((3, 4), header(1)[:1] * 2, 2, None), ((3, 4), [["channel", ONE_BIT, 1]], 2, None),
    ((3, 4), header(1) + [["flush", True]], 2, None), ((3,), header(0) + PREPARE, 2, None),
    ((3,), header(2) + one(0, True, True), 2, None), ((4,), header(2) + one(0, True, True), 0, None),  # 3.30 counts
    ((4,), header(0) + one(0, True, True), 0,  # 4.00 takes no count from its header: the group is linked all the same
     lambda data, _: len(mw.read_v4(data, strict=True)["groups"]) == 1),
    ((3, 4), header(2) + one(0, True, True) + PREPARE, 2, None), ((3, 4), header(1) + PREPARE + [["finish"]], 2, None),
    ((3, 4), [["wholefile"]], 2, lambda data, _: data == b""),
    ((3, 4), header(1) + [["prepare", 8, 1, 1, "kept"], ["channel", describe(BYTE), 1]], 0,  # released, never written
     lambda data, version: without_write_time(data) == without_write_time(run(version, header(1))[1])),
    ((3, 4), [["value", -0.15625, w] for w in (32, 64, 0)] + [["value", v, 32] for v in (  # narrowed as IEEE rounds
        "1.7976931348623157e308", repr(3.4028234663852886e38 * (1 + 1e-9)), "nan", "-inf")], 0,
     lambda data, _: repr(struct.unpack("<fddffff", data)) == repr((-0.15625,) * 3 + (math.inf, 3.4028234663852886e38,
                                                                                      math.nan, -math.inf))),
    ((3, 4), [["record", None]], 2, None), ((3, 4), [["nostream"], ["record", "01"]], 2, None)]


class Guards(unittest.TestCase):
    def test_each_guard_sets_the_failure_flag_once(self):
        for versions, calls, status, holds, *options in GUARDS:
            for version in versions:
                ran = run(version, calls, **(options[0] if options else {}))
                if ran is None:
                    continue
                got, data, output = ran
                lines = [line for line in output.splitlines() if not line.startswith("offset")]
                where = (version, str(calls)[:150], output)
                self.assertEqual((got, len(lines)), (status, int(status == 2)), where)  # one diagnostic line
                self.assertLessEqual(set(output.splitlines()) - set(lines), {"offset moved 4 0"}, where)  # none refused
                self.assertTrue(holds is None or holds(data, version), where)


class Walker(unittest.TestCase):
    """The walker reads files of another writer as their sidecars describe them, and rejects each flaw a broken
    writer could leave."""

    def test_fixtures(self):
        for name in ["conversions_v330.mdf", "conversions_v400.mf4", "bitfields_v330.mdf", "bitfields_v400.mf4",
                     "bigrecord1100_v330.mdf", "types_v400.mf4"]:
            with open(os.path.join(mw.FIXTURES, name), "rb") as f:
                model = (mw.read_v3 if name.endswith(".mdf") else mw.read_v4)(f.read(), False)
            expected = mw.load(f.name)
            self.assertEqual(len(model["groups"]), len(expected["groups"]))
            for g, e in zip(model["groups"], expected["groups"]):
                self.assertEqual((g["record_count"], g["record_size"], len(g["channels"])),
                                 (e["cycles"], e["record_bytes"], len(e["channels"])))
                for c, ec in zip(g["channels"], e["channels"]):
                    keys = ("name", "byte_offset", "bit_offset", "bit_count")
                    self.assertEqual([c[k] for k in keys], [ec[k] for k in keys])
                    got = mw.values(g, c["name"])[:3] if c["kind"] != "string" else ()
                    for value, wanted in zip(got, ec.get("raw", {}).get("first", ())):
                        self.assertTrue(math.isclose(value, wanted, rel_tol=1e-6), (name, c["name"], value, wanted))

    def test_flaws(self):
        v3, v4 = golden(3), golden(4)
        first3, first4 = mw.read_v3(v3)["groups"][0], mw.read_v4(v4)["groups"][0]

        def patched(data, offset, layout, value):
            data = bytearray(data)
            struct.pack_into(layout, data, offset, value)
            return bytes(data)
        for read, data in [(mw.read_v3, v3 + b"\0"), (mw.read_v3, v3[:-1]),  # a byte no link declares; records cut
                           (mw.read_v3, patched(v3, first3["cg_position"] + 18, "<H", 5)),  # a channel the chain lacks
                           (mw.read_v3, patched(v3, 80, "<H", 4)),  # a group the chain lacks
                           (mw.read_v3, patched(v3, 272 + 30, "<H", 15)),  # a TX size that misses its zero
                           (mw.read_v4, v4 + bytes(8)),
                           (mw.read_v4, patched(v4, first4["data_position"] - 16, "<Q", 24 + 75 + 8)),  # DT too long
                           (mw.read_v4, patched(v4, first4["cg_position"] + 16, "<Q", 5)),  # a wrong link count
                           (mw.read_v4, patched(v4, first4["data_position"] + 75, "<B", 1)),  # padding not zero
                           (mw.read_v4, v4.replace(b"</common_properties>", b"</xommon_properties>"))]:  # bad XML
            with self.assertRaises((mw.MdfError, mw.ET.ParseError)):
                read(data)


if __name__ == "__main__":
    TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
