"""The MDF files of the tests: what the fixtures' JSON sidecars (written by an independent MDF library) say, read
by this library's rules, and a strict MDF 3.30 / 4.00 block walker written from the published block layouts.

Where the library's rules differ from the sidecar's reader, expectations are derived from the sidecar: MDF 3 types
7/8 swapped, MDF 3 tables without interpolation take the lower key, range-to-value bounds inclusive, text formulas
and bit-field tables left raw.

read_v3(data, strict) and read_v4(data, strict) follow every link down to the records and return a plain model of
the file; strictly, also each unused field is zero, each block has the size, link count and alignment of its kind,
texts end as the layouts say, and blocks, records and padding tile the file exactly. A violation raises MdfError.
values(group, name) decodes a channel's raw values; physical(channel, raw) converts one."""
import collections
import datetime
import glob
import json
import math
import os
import struct
import sys
import xml.etree.ElementTree as ET

FIXTURES = os.path.join(os.environ.get("VANTREL_FIXTURES") or
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data"), "mdf")
# Times in this library count from 2007-01-01 00:00 UTC.
EPOCH_2007 = 1167609600


# ---- The fixture set ------------------------------------------------------

def fixture_paths():
    """Every fixture that has a sidecar, without the ".json"; exits when there is none, so that a missing fixture
    set never passes as checked."""
    paths = sorted(p[:-5] for p in glob.glob(os.path.join(FIXTURES, "*.json")))
    if not paths:
        print("no fixtures found in " + FIXTURES)
        sys.exit(1)
    return paths


def load(path):
    with open(path + ".json") as f:
        return json.load(f)


def report(paths, failures):
    """Prints the first differences and the count; exits 1 when there are any."""
    for line in failures[:80]:
        print(line)
    print(f"{len(paths)} fixture files, {len(failures)} differences")
    sys.exit(1 if failures else 0)


# ---- Files and groups -----------------------------------------------------

def is_version4(side):
    return side["version"].startswith("4")


def start_offset(side):
    """The measurement start in seconds since this library's epoch."""
    return datetime.datetime.fromisoformat(side["start_time"]).timestamp() - EPOCH_2007


def measured_groups(side):
    """The groups the library reads: all but empty groups without data."""
    return [g for g in side["groups"] if not (g["cycles"] == 0 and g["layout"] == "none")]


def is_compressed(group):
    return "DZ" in group["layout"] or "HL" in group["layout"]


# ---- Channels -------------------------------------------------------------

def is_time(channel, v4):
    return channel["cn_type"] == (2 if v4 else 1)


def is_float(channel, v4):
    return channel["data_type"] in ((4, 5) if v4 else (2, 3, 11, 12, 15, 16))


def is_signed(channel, v4):
    return channel["data_type"] in ((2, 3) if v4 else (1, 10, 14))


def channel_name(channel, v4):
    """MDF 3 names as the file holds them; MDF 4 names trimmed."""
    return channel["name"] if v4 else channel.get("name_raw", channel["name"])


def byte_offset(channel, v4):
    return channel["byte_offset"] if v4 else channel["additional_byte_offset"]


def bit_offset(channel, v4):
    return channel["bit_offset"] if v4 else channel["start_bit"]


def string_slots(channel):
    """A variable-length string channel's record values: offsets of its entries in the signal data, where the
    fixtures' writer lays the texts in equal slots."""
    count = channel["raw"]["count"]
    total = int(channel["signal_data"].split("(")[1].split()[0])
    slot = total // count
    return [i * slot for i in range(count)]


def first_bytes(text):
    """The value of a fixed-length string channel: its first eight bytes as a little-endian unsigned integer."""
    return int.from_bytes((text.encode("latin-1") + b"\0" * 8)[:8], "little")


# ---- Conversions ----------------------------------------------------------

def has_states(conv, v4):
    return conv.get("cc_type") in ((7, 8) if v4 else (11, 12))


def left_raw(conv, v4):
    """Text formulas and bit-field tables are not evaluated."""
    cc = conv.get("cc_type")
    return (v4 and cc in (3, 11)) or (not v4 and cc == 10)


def linear_params(conv, v4):
    """[offset, factor] of a linear conversion, else None."""
    if conv.get("cc_type") != (1 if v4 else 0):
        return None
    return conv.get("vals" if v4 else "params") or None


def lower_key(pairs, x):
    if x < pairs[0][0]:
        return pairs[0][1]
    return [v for k, v in pairs if k <= x][-1]


def range_value(vals, x):
    for i in range(0, len(vals) - 1 - (len(vals) - 1) % 3, 3):
        if vals[i] <= x <= vals[i + 1]:
            return vals[i + 2]
    return vals[-1]


def physical_expectation(channel, group, v4, raw_values=None):
    """The sidecar's physical statistics as this library computes them, or None where the values stay raw. Where
    the rules differ, the samples are recomputed by the library's rule from raw_values (every record, then with
    range and mean) when given, else from the sidecar's raw samples (then without range and mean)."""
    conv = channel.get("conversion") or {}
    cc = conv.get("cc_type")
    if left_raw(conv, v4):
        return None
    want = channel["phys"]
    if not v4 and cc in (7, 8):
        # The other reading of types 7 and 8: the sibling channel of the other type with the same parameters.
        sibling = [c for c in group["channels"] if (c.get("conversion") or {}).get("cc_type") == 15 - cc
                   and c["conversion"].get("params") == conv.get("params")]
        return sibling[0]["phys"]
    if not v4 and cc == 2:
        # Table without interpolation, MDF 3: the lower key's value (the sidecar's reader takes the nearest key).
        rule = lambda x: lower_key(conv["pairs"], x)  # noqa: E731
    elif v4 and cc == 6:
        # Range to value: the first range holding the value, bounds included (the sidecar's reader misses them).
        rule = lambda x: range_value(conv["vals"], x)  # noqa: E731
    else:
        return want
    if raw_values is None:
        raw = channel["raw"]
        return dict(want, **{k: [rule(x) for x in raw[k]] for k in ("first", "last", "probe")},
                    min=None, max=None, mean=None)
    values = [rule(x) for x in raw_values]
    n = len(values)
    return dict(want, first=values[:len(want["first"])], last=values[n - len(want["last"]):],
                probe=[values[i] for i in want["probe_index"]], min=min(values), max=max(values),
                mean=math.fsum(values) / n)


# ---- Statistics -----------------------------------------------------------

def samples(stats, n):
    """(label, record index, wanted value) of each record the statistics of n records name: the first ones, the
    last ones and the probes."""
    for i, want in enumerate(stats.get("first", [])):
        yield f"first[{i}]", i, want
    for i, want in enumerate(stats.get("last", [])):
        yield f"last[{i}]", n - len(stats["last"]) + i, want
    for index, want in zip(stats.get("probe_index", []), stats.get("probe", [])):
        yield f"probe[{index}]", index, want


def text_differences(want, texts):
    """How the texts of every record differ from text statistics: the first and last three, and each text's count."""
    differences = []
    if texts[:3] != want["first"] or texts[-3:] != want["last"]:
        differences.append(f"texts {texts[:3]}..{texts[-3:]} != {want['first']}..{want['last']}")
    counts = dict(collections.Counter(texts))
    if counts != want["distinct"]:
        differences.append(f"text counts {counts} != {want['distinct']}")
    return differences


# ---- The block walker ------------------------------------------------------

class MdfError(Exception):
    pass


def check(condition, message):
    if not condition:
        raise MdfError(message)


def _reader(code):
    return lambda d, o: struct.unpack_from("<" + code, d, o)[0]


u64, f64 = map(_reader, "Qd")


def cut(field):
    return bytes(field).split(b"\0", 1)[0]


def unpack(layout, d, position, what, names=None):
    """The fields of a block part at position, as a tuple or a dict of the given names; MdfError when they lie
    outside the file."""
    check(0 < position and position + struct.calcsize("<" + layout) <= len(d),
          "%s at %d runs past the end of the file (%d bytes)" % (what, position, len(d)))
    fields = struct.unpack_from("<" + layout, d, position)
    return dict(zip(names.split(), fields), position=position) if names else fields


class Ranges:
    """File ranges reached through links; in strict mode they must tile the file."""

    def __init__(self, data):
        self.data, self.ranges = data, {}

    def claim(self, start, size, label):
        check(start + size <= len(self.data), "%s at %d (%d bytes) runs past the end of the file (%d bytes)"
              % (label, start, size, len(self.data)))
        # One block reached twice (an MDF 4 unit TX shared by a CN and its CC) is fine, two at one place are not.
        check(not size or self.ranges.setdefault(start, (size, label)) == (size, label),
              "%s at %d collides with %s" % (label, start, self.ranges.get(start)))

    def check_tiling(self):
        position = 0
        for start in sorted(self.ranges):
            size, label = self.ranges[start]
            check(start == position, "%s at %d, but the previous range ends at %d" % (label, start, position))
            position = start + size
        check(position == len(self.data), "the file has %d bytes, the ranges end at %d" % (len(self.data), position))


V3_KINDS = {0: ("uint", False), 1: ("int", False), 2: ("float", False), 3: ("float", False), 7: ("string", False),
            9: ("uint", True), 10: ("int", True), 11: ("float", True), 12: ("float", True), 13: ("uint", False),
            14: ("int", False), 15: ("float", False), 16: ("float", False)}
V4_KINDS = {0: ("uint", False), 1: ("uint", True), 2: ("int", False), 3: ("int", True), 4: ("float", False),
            5: ("float", True), 6: ("string", False)}


def decode(record, channel):
    """The raw value of a channel in one record."""
    kind, big = channel["kind"], channel["big_endian"]
    byte, bit, bits = channel["byte_offset"], channel["bit_offset"], channel["bit_count"]
    if kind == "float":
        check(bit == 0 and bits in (32, 64), "float channel %s of %d bits at bit %d" % (channel["name"], bits, bit))
        return struct.unpack_from((">" if big else "<") + ("f" if bits == 32 else "d"), record, byte)[0]
    if kind == "string":
        return bytes(record[byte:byte + bits // 8])
    size = (bit + bits + 7) // 8
    chunk = bytes(record[byte:byte + size])
    check(len(chunk) == size, "channel %s reaches past its record" % channel["name"])
    value = (int.from_bytes(chunk, "big" if big else "little") >> bit) & ((1 << bits) - 1)
    return value - (1 << bits) if kind == "int" and value >> (bits - 1) else value


def records(group):
    size = group["record_size"]
    return [group["data"][i * size:(i + 1) * size] for i in range(group["record_count"])]


def values(group, channel_name):
    channel = next(c for c in group["channels"] if c["name"] == channel_name)
    return [decode(r, channel) for r in records(group)]


def physical(channel, raw):
    """A raw value through the channel's conversion (linear or value to text)."""
    conversion = channel["conversion"] or {"type": None}
    if conversion["type"] == "linear":
        return raw * conversion["factor"] + conversion["offset"]
    return conversion["table"].get(float(raw), raw) if conversion["type"] == "text" else raw


def add_channels(d, group, read, first, ranges, strict):
    """Follows the group's channel chain; every channel must end inside the record."""
    while first:
        check(len(group["channels"]) < 70000, "channel chain loops")
        c = read(d, first, ranges, strict)
        check(c["byte_offset"] * 8 + c["bit_offset"] + c["bit_count"] <= group["record_size"] * 8,
              "channel %s ends past its record" % c["name"])
        group["channels"].append(c)
        first = c["next"]


# ---- MDF 3.30 ----------------------------------------------------------------

def read_tx3(d, position, ranges, strict, label):
    block, size = unpack("2sH", d, position, label)
    check(block == b"TX" and size >= 5, "%s at %d is no TX block of 5 bytes or more" % (label, position))
    ranges.claim(position, size, "TX")
    body = bytes(d[position + 4:position + size])
    check(not strict or (body[-1:] == b"\0" and len(cut(body)) == size - 5),
          "TX at %d: size %d does not match its text and one zero" % (position, size))
    return cut(body)


def read_cc3(d, position, ranges, strict):
    cc = unpack("2sHHdd20sHH", d, position, "CC", "block size range_valid min max unit_field cc_type count")
    check(cc["block"] == b"CC", "no CC block at %d" % position)
    cc.update(unit=cut(cc["unit_field"]), type="other")
    check(not strict or (cc["range_valid"], cc["min"], cc["max"], cc["unit_field"][19]) == (0, 0.0, 0.0, 0),
          "CC at %d: a range, or a unit without its zero" % position)
    check(not strict or cc["cc_type"] in (0, 11), "CC at %d has type %d" % (position, cc["cc_type"]))
    if cc["cc_type"] == 0:
        check(not strict or (cc["count"], cc["size"]) == (2, 62), "linear CC at %d: size %d" % (position, cc["size"]))
        cc.update(type="linear", offset=f64(d, position + 46), factor=f64(d, position + 54))
    elif cc["cc_type"] == 11:
        check(cc["size"] == 46 + 40 * cc["count"], "text table CC at %d: size %d" % (position, cc["size"]))
        entries = [unpack("d32s", d, position + 46 + 40 * i, "text table entry") for i in range(cc["count"])]
        check(not strict or all(text[31] == 0 for _, text in entries), "a state text at %d fills its field" % position)
        check(not strict or sorted(v for v, _ in entries) == [v for v, _ in entries], "CC %d out of order" % position)
        cc.update(type="text", table={value: cut(text) for value, text in entries})
    ranges.claim(position, cc["size"], "CC")
    return cc


def read_cn3(d, position, ranges, strict):
    c = unpack("2sHIIIIIH32s128sHHHHdddIIH", d, position, "CN", "block size next cc ce cd comment channel_type "
               "short_name_field description_field start_offset bit_count signal_type range_valid min max rate "
               "long_name_link display additional_byte_offset")
    check(c["block"] == b"CN" and c["size"] == 228, "no CN block at %d" % position)
    ranges.claim(position, 228, "CN")
    check(not strict or (c["ce"], c["cd"], c["comment"], c["display"], c["rate"]) == (0, 0, 0, 0, 0.0),
          "CN at %d: an unused link or the sampling rate is set" % position)
    check(not strict or c["range_valid"] in (0, 1) and (c["range_valid"] or c["min"] == c["max"] == 0.0),
          "CN at %d: range flag %d, range %r" % (position, c["range_valid"], (c["min"], c["max"])))
    c["kind"], c["big_endian"] = V3_KINDS.get(c["signal_type"], ("other", False))
    c.update(short_name=cut(c["short_name_field"]), description=cut(c["description_field"]), unit=b"",
             byte_offset=c["start_offset"] // 8 + c["additional_byte_offset"], bit_offset=c["start_offset"] % 8,
             conversion=read_cc3(d, c["cc"], ranges, strict) if c["cc"] else None)
    if c["conversion"]:
        c["unit"] = c["conversion"]["unit"]
    c["name_bytes"] = read_tx3(d, c["long_name_link"], ranges, strict, "long name") if c["long_name_link"] \
        else c["short_name"]
    c["name"] = c["name_bytes"].decode("latin-1")
    return c


def read_v3(data, strict=True):
    d = memoryview(data)
    ranges = Ranges(d)
    check(len(d) >= 272, "file too short for ID and HD blocks")
    ident, version, program, byte_order, float_format, number, reserved = struct.unpack_from("<8s8s8sHHH34s", d)
    check(ident == b"MDF     " and version.startswith(b"3."), "no MDF 3 identification: %r" % version)
    check(not strict or (version, program, byte_order, float_format, number, reserved) ==
          (b"3.30\0\0\0\0", b"orbk\0\0\0\0", 0, 0, 330, bytes(34)), "ID block fields")
    ranges.claim(0, 64, "ID")
    header = unpack("2sHIIIH10s8s32s32s32s32sQhH32s", d, 64, "HD", "block size first_dg comment program group_count "
                    "date time author_field organisation project_field subject start_ns utc_offset quality timer")
    check(header["block"] == b"HD" and header["size"] == 208, "no HD block at 64")
    ranges.claim(64, 208, "HD")
    for key in ("date", "time", "organisation", "subject"):
        header[key] = cut(header[key])
    header.update(author=cut(header["author_field"]), project=cut(header["project_field"]))
    check(not strict or (header["comment"], header["program"], header["organisation"], header["utc_offset"],
                         header["quality"], header["timer"]) == (0, 0, b"", 0, 0, bytes(32)), "HD fields set")
    groups, dg, seen = [], header["first_dg"], set()
    while dg:
        check(dg not in seen, "data group chain loops at %d" % dg)
        seen.add(dg)
        g = unpack("2sHIIIIHHI", d, dg, "DG", "block size next cg_position trigger data_position cg_count ids reserved")
        check(g["block"] == b"DG" and g["size"] == 28, "no DG block at %d" % dg)
        ranges.claim(dg, 28, "DG")
        check(not strict or (g["trigger"], g["cg_count"], g["ids"], g["reserved"]) == (0, 1, 0, 0), "DG %d fields" % dg)
        g.update(unpack("2sHIIIHHHI", d, g["cg_position"], "CG", "cg_block cg_size next_cg first_cn name_link "
                        "record_id channel_count record_size record_count"), position=dg, channels=[])
        check(g["cg_block"] == b"CG", "no CG block at %d" % g["cg_position"])
        # 3.30 allows a 30-byte CG with a sample reduction link; ours has 26.
        check(g["cg_size"] == 26 or (not strict and g["cg_size"] >= 26), "CG of %d bytes" % g["cg_size"])
        ranges.claim(g["cg_position"], g["cg_size"], "CG")
        check(not strict or (g["next_cg"], g["record_id"]) == (0, 1), "CG: next group or record id")
        g["name"] = read_tx3(d, g["name_link"], ranges, strict, "group name") if g["name_link"] else None
        add_channels(d, g, read_cn3, g["first_cn"], ranges, strict)
        check(g["channel_count"] == len(g["channels"]),
              "CG counts %d channels, its chain holds %d" % (g["channel_count"], len(g["channels"])))
        size = g["record_size"] * g["record_count"]
        ranges.claim(g["data_position"], size, "records")
        g["data"] = bytes(d[g["data_position"]:g["data_position"] + size])
        groups.append(g)
        dg = g["next"]
    check(not strict or header["group_count"] == len(groups), "HD counts %d data groups, the chain holds %d"
          % (header["group_count"], len(groups)))
    if strict:
        ranges.check_tiling()
    return {"version": 3, "header": header, "groups": groups}


# ---- MDF 4.00 ----------------------------------------------------------------

LINK_COUNTS = {b"##HD": 6, b"##FH": 2, b"##MD": 0, b"##TX": 0, b"##DG": 4, b"##CG": 6, b"##CN": 8, b"##EV": 5,
               b"##DT": 0}


def block4(d, position, expected, ranges, strict):
    """Block header at position: (kind, length, links)."""
    kind, reserved, length, link_count = unpack("4s4sQQ", d, position, "block %s" % (expected,))
    check(kind in expected, "block at %d is %r, expected %s" % (position, kind, expected))
    check(24 + 8 * link_count <= length, "block %r at %d: %d links in %d bytes" % (kind, position, link_count, length))
    check(not strict or (position % 8, length % 8, reserved) == (0, 0, bytes(4)),
          "block %r at %d: not aligned, length %d or reserved bytes" % (kind, position, length))
    check(not strict or link_count == LINK_COUNTS.get(kind, link_count), "%r: %d links" % (kind, link_count))
    if kind != b"##DT":
        ranges.claim(position, length, kind.decode())
    return kind, length, list(unpack("%dQ" % link_count, d, position + 24, "links"))


def read_text4(d, position, ranges, strict, kinds=(b"##TX", b"##MD")):
    kind, length, _ = block4(d, position, kinds, ranges, strict)
    body = bytes(d[position + 24:position + length])
    text = cut(body)
    if strict:
        check(len(text) < len(body) and body[len(text):] == bytes(len(body) - len(text)),
              "%r at %d: no zero after the text, or bytes after it" % (kind, position))
        check(length == (len(text) + 25 + 7) // 8 * 8, "%r at %d: length %d for its text" % (kind, position, length))
        if kind == b"##MD":
            ET.fromstring(text)  # raises on malformed XML
    return kind, text


def read_cc4(d, position, ranges, strict):
    _, length, links = block4(d, position, (b"##CC",), ranges, strict)
    cc = unpack("BBHHHdd", d, position + 24 + 8 * len(links), "CC", "cc_type precision flags ref_count val_count "
                "min max")
    check(cc["ref_count"] == len(links) - 4, "CC at %d: %d references, %d links" % (position, cc["ref_count"],
                                                                                   len(links)))
    cc.update(position=position, length=length, link_count=len(links), unit_link=links[1], refs=links[4:], type="other",
              vals=list(unpack("%dd" % cc["val_count"], d, position + 48 + 8 * len(links), "CC values")))
    check(length >= 48 + 8 * (len(links) + cc["val_count"]) and (not strict or length == 48 + 8 * (
        len(links) + cc["val_count"])), "CC at %d: length %d" % (position, length))
    check(not strict or (links[0], links[2], links[3], cc["precision"], cc["flags"], cc["min"], cc["max"]) ==
          (0, 0, 0, 0, 0, 0.0, 0.0), "CC at %d: name, comment, inverse, precision, flags or range" % position)
    check(not strict or cc["cc_type"] in (1, 7), "CC at %d has type %d" % (position, cc["cc_type"]))
    if cc["cc_type"] == 1:
        check(not strict or (cc["val_count"], cc["ref_count"]) == (2, 0), "linear CC at %d: values" % position)
        cc.update(type="linear", offset=cc["vals"][0], factor=cc["vals"][1])
    elif cc["cc_type"] == 7:
        check(cc["ref_count"] == cc["val_count"] + 1, "value-to-text CC at %d: refs and values" % position)
        refs = links[4:4 + cc["val_count"]]
        check(all(refs), "value-to-text CC at %d: missing text" % position)
        cc.update(type="text", table={v: read_text4(d, r, ranges, strict, (b"##TX",))[1]
                                      for v, r in zip(cc["vals"], refs)})
        check(not strict or (links[-1] == 0 and cc["vals"] == sorted(cc["vals"])), "CC %d: default or order" % position)
        expected = position + length  # the texts lie right behind the CC, in the order of the values
        for ref in refs if strict else ():
            check(ref == expected, "state text at %d, expected at %d" % (ref, expected))
            expected += u64(d, ref + 8)
    return cc


def read_cn4(d, position, ranges, strict):
    _, _, links = block4(d, position, (b"##CN",), ranges, strict)
    c = unpack("BBBBIIIIBBHdd32s", d, position + 24 + 8 * len(links), "CN", "channel_type sync_type data_type "
               "bit_offset byte_offset bit_count flags invalidation precision reserved attachments min max limits")
    check(len(links) >= 8 and links[2] != 0, "CN at %d has no name" % position)
    check(not strict or (len(links), links[1], links[3], links[5], c["invalidation"], c["reserved"], c["attachments"],
                         c["limits"]) == (8, 0, 0, 0, 0, 0, 0, bytes(32)), "CN at %d: unused fields set" % position)
    check(not strict or c["flags"] & 4 or c["precision"] == 0, "CN at %d: precision without its flag" % position)
    check(not strict or c["flags"] & 8 or c["min"] == c["max"] == 0.0, "CN at %d: range without its flag" % position)
    c["kind"], c["big_endian"] = V4_KINDS.get(c["data_type"], ("other", False))
    c.update(position=position, next=links[0], unit_link=links[6], comment_link=links[7], conversion=None)
    c["name_bytes"] = read_text4(d, links[2], ranges, strict, (b"##TX",) if strict else (b"##TX", b"##MD"))[1]
    c["name"] = c["name_bytes"].decode("utf-8", "replace")
    c["description"] = read_text4(d, links[7], ranges, strict)[1] if links[7] else b""
    c["unit"] = read_text4(d, links[6], ranges, strict)[1] if links[6] else b""
    c["conversion"] = read_cc4(d, links[4], ranges, strict) if links[4] else None
    return c


def read_xml(d, position, ranges, strict, root):
    _, text = read_text4(d, position, ranges, strict, (b"##MD",))
    element = ET.fromstring(text)
    check(element.tag == root, "MD at %d holds <%s>, expected <%s>" % (position, element.tag, root))
    return text, element


def read_v4(data, strict=True):
    d = memoryview(data)
    ranges = Ranges(d)
    check(len(d) >= 168, "file too short for ID and HD blocks")
    ident, version, program, reserved, number, more_reserved = struct.unpack_from("<8s8s8sIH34s", d)
    check(ident == b"MDF     " and version.startswith(b"4."), "no MDF 4 identification: %r" % version)
    check(not strict or (version, program, reserved, number, more_reserved) == (
        b"4.00\0\0\0\0", b"orbk\0\0\0\0", 0, 400, bytes(34)), "ID block fields")
    ranges.claim(0, 64, "ID")
    _, _, links = block4(d, 64, (b"##HD",), ranges, strict)
    header = {"first_dg": links[0], "file_history": links[1], "first_event": links[4], "comment": links[5],
              "start_ns": u64(d, 64 + 72)}
    check(not strict or (links[2], links[3], bytes(d[144:168])) == (0, 0, bytes(24)), "HD: links, zone or flags set")
    if header["comment"]:
        header["comment_text"], header["comment_xml"] = read_xml(d, header["comment"], ranges, strict, "HDcomment")
    fh = header["file_history"]
    check(fh != 0, "no file history")
    _, _, fh_links = block4(d, fh, (b"##FH",), ranges, strict)
    header["history_ns"] = u64(d, fh + 40)
    check(not strict or (fh_links[0], bytes(d[fh + 48:fh + 56])) == (0, bytes(8)), "FH: next entry, zone or flags")
    header["history_text"], header["history_xml"] = read_xml(d, fh_links[1], ranges, strict, "FHcomment")
    events, ev = [], header["first_event"]
    while ev:
        check(len(events) < 100000, "event chain loops")
        _, _, ev_links = block4(d, ev, (b"##EV",), ranges, strict)
        event = unpack("BBBBB3sIHHqd", d, ev + 24 + 8 * len(ev_links), "EV", "event_type sync_type range_type cause "
                       "flags reserved scope_count attachments creator sync_base sync_factor")
        reserved = event.pop("reserved")
        check(not strict or (ev_links[1], ev_links[2], ev_links[4] != 0, reserved) == (0, 0, True, bytes(3)),
              "EV at %d: parent or range set, no comment, or reserved bytes" % ev)
        event.update(position=ev, name=read_text4(d, ev_links[3], ranges, strict, (b"##TX",))[1])
        if ev_links[4]:
            event["comment"] = read_text4(d, ev_links[4], ranges, strict, (b"##TX",))[1]
        events.append(event)
        ev = ev_links[0]
    groups, dg, seen = [], header["first_dg"], set()
    while dg:
        check(dg not in seen, "data group chain loops at %d" % dg)
        seen.add(dg)
        _, _, dg_links = block4(d, dg, (b"##DG",), ranges, strict)
        id_size, dg_reserved = unpack("B7s", d, dg + 56, "DG")
        check(id_size == 0, "DG at %d: records carry ids" % dg)
        check(not strict or (dg_links[3], dg_reserved) == (0, bytes(7)), "DG at %d: comment or reserved" % dg)
        cg = dg_links[1]
        _, _, cg_links = block4(d, cg, (b"##CG",), ranges, strict)
        g = unpack("QQH6sII", d, cg + 24 + 8 * len(cg_links), "CG", "record_id record_count cg_flags cg_reserved "
                   "record_size inval_bytes")
        g.update(position=dg, cg_position=cg, channels=[])
        check(not strict or (cg_links[0], cg_links[3], cg_links[4], cg_links[5], g["cg_flags"], g["cg_reserved"],
                             g["inval_bytes"], g["record_id"]) == (0, 0, 0, 0, 0, bytes(6), 0, 1), "CG %d fields" % cg)
        g["name"] = read_text4(d, cg_links[2], ranges, strict, (b"##TX",))[1] if cg_links[2] else None
        add_channels(d, g, read_cn4, cg_links[1], ranges, strict)
        dt, size = dg_links[2], g["record_size"] * g["record_count"]
        _, length, _ = block4(d, dt, (b"##DT",), ranges, False)
        check(length == 24 + size, "DT at %d: length %d for %d bytes of records" % (dt, length, size))
        check(not strict or (dt % 8, u64(d, dt + 16), bytes(d[dt + 4:dt + 8])) == (0, 0, bytes(4)), "DT at %d" % dt)
        ranges.claim(dt, length, "DT")
        g.update(data_position=dt + 24, data=bytes(d[dt + 24:dt + length]))
        padding = (8 - length % 8) % 8
        g["padding"] = bytes(d[dt + length:dt + length + padding])
        if strict and padding:
            check(g["padding"] == bytes(padding), "DT at %d: padding is not zero" % dt)
            ranges.claim(dt + length, padding, "padding")
        groups.append(g)
        dg = dg_links[0]
    if strict:
        check(len(d) % 8 == 0, "file length %d is not a multiple of 8" % len(d))
        ranges.check_tiling()
    return {"version": 4, "header": header, "events": events, "groups": groups}

