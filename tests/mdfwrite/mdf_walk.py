"""A small MDF 3.30 / 4.00 block walker written from the published block
layouts, independent of the writer under test.

read_v3(data, strict) and read_v4(data, strict) follow every link from the
identification block down to the records and return a plain model of the
file. With strict=True they also demand what the writer promises: each field
it leaves unused is zero, each block has the size and link count its kind
has, MDF 4 blocks lie on 8-byte boundaries, TX and MD texts end as the
layouts say, and the blocks, record data and padding tile the file exactly,
so the file holds nothing its links do not declare and declares nothing it
does not hold. Any violation raises MdfError.
"""

import struct
import xml.etree.ElementTree as ET


class MdfError(Exception):
    pass


def check(condition, message):
    if not condition:
        raise MdfError(message)


def u8(d, o):
    return d[o]


def u16(d, o):
    return struct.unpack_from("<H", d, o)[0]


def i16(d, o):
    return struct.unpack_from("<h", d, o)[0]


def u32(d, o):
    return struct.unpack_from("<I", d, o)[0]


def u64(d, o):
    return struct.unpack_from("<Q", d, o)[0]


def i64(d, o):
    return struct.unpack_from("<q", d, o)[0]


def f64(d, o):
    return struct.unpack_from("<d", d, o)[0]


def field_text(d, o, n):
    return bytes(d[o:o + n]).split(b"\0", 1)[0]


class Ranges:
    """File ranges reached through links; in strict mode they must tile the file."""

    def __init__(self, data):
        self.data = data
        self.ranges = {}

    def claim(self, start, size, label):
        check(start + size <= len(self.data),
              "%s at %d (%d bytes) runs past the end of the file (%d bytes)" % (label, start, size, len(self.data)))
        if size == 0:
            return
        if start in self.ranges:
            # The same block reached twice (an MDF 4 unit TX shared by a CN
            # and its CC) is fine; two different things at one place are not.
            check(self.ranges[start] == (size, label),
                  "%s at %d collides with %s" % (label, start, self.ranges[start]))
            return
        self.ranges[start] = (size, label)

    def check_tiling(self):
        position = 0
        for start in sorted(self.ranges):
            size, label = self.ranges[start]
            check(start == position, "%s at %d, but the previous range ends at %d" % (label, start, position))
            position = start + size
        check(position == len(self.data),
              "the file has %d bytes, the linked ranges end at %d" % (len(self.data), position))


# ---- value decoding ----------------------------------------------------------

V3_KINDS = {0: ("uint", False), 1: ("int", False), 2: ("float", False), 3: ("float", False),
            7: ("string", False), 9: ("uint", True), 10: ("int", True), 11: ("float", True),
            12: ("float", True), 13: ("uint", False), 14: ("int", False), 15: ("float", False),
            16: ("float", False)}
V4_KINDS = {0: ("uint", False), 1: ("uint", True), 2: ("int", False), 3: ("int", True),
            4: ("float", False), 5: ("float", True), 6: ("string", False)}


def decode(record, channel):
    """The raw value of a channel in one record."""
    kind, big = channel["kind"], channel["big_endian"]
    byte, bit, bits = channel["byte_offset"], channel["bit_offset"], channel["bit_count"]
    if kind == "float":
        check(bit == 0 and bits in (32, 64), "float channel %s of %d bits at bit %d" % (channel["name"], bits, bit))
        fmt = (">" if big else "<") + ("f" if bits == 32 else "d")
        return struct.unpack_from(fmt, record, byte)[0]
    if kind == "string":
        return bytes(record[byte:byte + bits // 8])
    size = (bit + bits + 7) // 8
    chunk = bytes(record[byte:byte + size])
    check(len(chunk) == size, "channel %s reaches past its record" % channel["name"])
    value = int.from_bytes(chunk, "big" if big else "little") >> bit
    value &= (1 << bits) - 1
    if kind == "int" and value >> (bits - 1):
        value -= 1 << bits
    return value


def records(group):
    size = group["record_size"]
    data = group["data"]
    return [data[i * size:(i + 1) * size] for i in range(group["record_count"])]


def values(group, channel_name):
    channel = next(c for c in group["channels"] if c["name"] == channel_name)
    return [decode(r, channel) for r in records(group)]


def physical(channel, raw):
    """A raw value through the channel's conversion (linear or value to text)."""
    conversion = channel["conversion"]
    if conversion is None:
        return raw
    if conversion["type"] == "linear":
        return raw * conversion["factor"] + conversion["offset"]
    if conversion["type"] == "text":
        return conversion["table"].get(float(raw), raw)
    return raw


# ---- MDF 3.30 ----------------------------------------------------------------

def read_tx3(d, position, ranges, strict, label):
    check(bytes(d[position:position + 2]) == b"TX", "%s at %d is no TX block" % (label, position))
    size = u16(d, position + 2)
    check(size >= 5, "TX block at %d has size %d" % (position, size))
    ranges.claim(position, size, "TX")
    body = bytes(d[position + 4:position + size])
    text = body.split(b"\0", 1)[0]
    if strict:
        check(body[-1:] == b"\0" and len(text) == size - 5,
              "TX at %d: size %d does not match its text of %d bytes and one zero" % (position, size, len(text)))
    return text


def read_cc3(d, position, ranges, strict):
    check(bytes(d[position:position + 2]) == b"CC", "no CC block at %d" % position)
    size = u16(d, position + 2)
    cc_type = u16(d, position + 42)
    count = u16(d, position + 44)
    conversion = {"position": position, "size": size, "cc_type": cc_type, "count": count,
                  "unit": field_text(d, position + 22, 20), "type": "other"}
    if strict:
        check(u16(d, position + 4) == 0 and f64(d, position + 6) == 0.0 and f64(d, position + 14) == 0.0,
              "CC at %d declares a physical range" % position)
        check(d[position + 41] == 0, "CC unit at %d is not zero-terminated" % position)
        check(cc_type in (0, 11), "CC at %d has type %d" % (position, cc_type))
    if cc_type == 0:
        if strict:
            check(count == 2 and size == 62, "linear CC at %d: %d parameters, size %d" % (position, count, size))
        conversion.update(type="linear", offset=f64(d, position + 46), factor=f64(d, position + 54))
    elif cc_type == 11:
        check(size == 46 + 40 * count, "text table CC at %d: %d entries, size %d" % (position, count, size))
        table = {}
        raw_values = []
        for i in range(count):
            entry = position + 46 + 40 * i
            raw_values.append(f64(d, entry))
            table[f64(d, entry)] = field_text(d, entry + 8, 32)
            if strict:
                check(d[entry + 8 + 31] == 0, "text table entry %d at %d fills its field" % (i, entry))
        if strict:
            check(raw_values == sorted(raw_values), "text table at %d is not ascending" % position)
        conversion.update(type="text", table=table)
    ranges.claim(position, size, "CC")
    return conversion


def read_cn3(d, position, ranges, strict):
    check(bytes(d[position:position + 2]) == b"CN" and u16(d, position + 2) == 228, "no CN block at %d" % position)
    ranges.claim(position, 228, "CN")
    if strict:
        for offset in (12, 16, 20, 222):
            check(u32(d, position + offset) == 0, "CN at %d: unused link at +%d is set" % (position, offset))
        check(f64(d, position + 210) == 0.0, "CN at %d has a sampling rate" % position)
        check(u16(d, position + 192) in (0, 1), "CN at %d: bad range flag" % position)
    start = u16(d, position + 186)
    signal_type = u16(d, position + 190)
    kind, big = V3_KINDS.get(signal_type, ("other", False))
    channel = {
        "position": position,
        "next": u32(d, position + 4),
        "channel_type": u16(d, position + 24),
        "short_name": field_text(d, position + 26, 32),
        "short_name_field": bytes(d[position + 26:position + 58]),
        "description": field_text(d, position + 58, 128),
        "description_field": bytes(d[position + 58:position + 186]),
        "start_offset": start,
        "additional_byte_offset": u16(d, position + 226),
        "byte_offset": start // 8 + u16(d, position + 226),
        "bit_offset": start % 8,
        "bit_count": u16(d, position + 188),
        "signal_type": signal_type,
        "kind": kind,
        "big_endian": big,
        "range_valid": u16(d, position + 192),
        "min": f64(d, position + 194),
        "max": f64(d, position + 202),
        "long_name_link": u32(d, position + 218),
        "conversion": None,
        "unit": b"",
    }
    if strict and not channel["range_valid"]:
        check(channel["min"] == 0.0 and channel["max"] == 0.0, "CN at %d: range without its flag" % position)
    name = channel["short_name"]
    if channel["long_name_link"]:
        name = read_tx3(d, channel["long_name_link"], ranges, strict, "long name")
    channel["name_bytes"] = name
    channel["name"] = name.decode("latin-1")
    conversion_link = u32(d, position + 8)
    if conversion_link:
        channel["conversion"] = read_cc3(d, conversion_link, ranges, strict)
        channel["unit"] = channel["conversion"]["unit"]
    return channel


def read_v3(data, strict=True):
    d = memoryview(data)
    ranges = Ranges(d)
    check(len(d) >= 272, "file too short for ID and HD blocks")
    check(bytes(d[0:8]) == b"MDF     ", "no MDF identification")
    version = bytes(d[8:16])
    check(version.startswith(b"3."), "version %r is no MDF 3" % version)
    if strict:
        check(version == b"3.30\0\0\0\0", "version text %r" % version)
        check(bytes(d[16:24]) == b"orbk\0\0\0\0", "program id %r" % bytes(d[16:24]))
        check(u16(d, 24) == 0 and u16(d, 26) == 0 and u16(d, 28) == 330, "byte order, float format or version")
        check(bytes(d[30:64]) == bytes(34), "ID reserved bytes")
    ranges.claim(0, 64, "ID")
    check(bytes(d[64:66]) == b"HD" and u16(d, 66) == 208, "no HD block at 64")
    ranges.claim(64, 208, "HD")
    header = {
        "first_dg": u32(d, 68),
        "group_count": u16(d, 80),
        "date": field_text(d, 82, 10),
        "time": field_text(d, 92, 8),
        "author": field_text(d, 100, 32),
        "author_field": bytes(d[100:132]),
        "organisation": field_text(d, 132, 32),
        "project": field_text(d, 164, 32),
        "project_field": bytes(d[164:196]),
        "subject": field_text(d, 196, 32),
        "start_ns": u64(d, 228),
        "utc_offset": i16(d, 236),
    }
    if strict:
        check(u32(d, 72) == 0 and u32(d, 76) == 0, "HD comment or program block set")
        check(header["organisation"] == b"" and header["utc_offset"] == 0 and u16(d, 238) == 0,
              "HD organisation, UTC offset or time quality")
        check(bytes(d[240:272]) == bytes(32), "HD timer identification")

    groups = []
    dg = header["first_dg"]
    seen = set()
    while dg:
        check(dg not in seen, "data group chain loops at %d" % dg)
        seen.add(dg)
        check(bytes(d[dg:dg + 2]) == b"DG" and u16(d, dg + 2) == 28, "no DG block at %d" % dg)
        ranges.claim(dg, 28, "DG")
        if strict:
            check(u32(d, dg + 12) == 0 and u16(d, dg + 20) == 1 and u16(d, dg + 22) == 0 and u32(d, dg + 24) == 0,
                  "DG at %d: trigger, channel group count, record ids or reserved" % dg)
        cg = u32(d, dg + 8)
        check(bytes(d[cg:cg + 2]) == b"CG", "no CG block at %d" % cg)
        # 3.30 allows a 30-byte CG with a sample reduction link; ours has 26.
        cg_size = u16(d, cg + 2)
        check(cg_size == 26 or (not strict and cg_size >= 26), "CG at %d has size %d" % (cg, cg_size))
        ranges.claim(cg, cg_size, "CG")
        if strict:
            check(u32(d, cg + 4) == 0 and u16(d, cg + 16) == 1, "CG at %d: next group or record id" % cg)
        group = {
            "position": dg,
            "cg_position": cg,
            "channel_count": u16(d, cg + 18),
            "record_size": u16(d, cg + 20),
            "record_count": u32(d, cg + 22),
            "data_position": u32(d, dg + 16),
            "name": None,
            "channels": [],
        }
        comment = u32(d, cg + 12)
        if comment:
            group["name"] = read_tx3(d, comment, ranges, strict, "group name")
        cn = u32(d, cg + 8)
        while cn:
            check(len(group["channels"]) < 70000, "channel chain loops")
            channel = read_cn3(d, cn, ranges, strict)
            group["channels"].append(channel)
            cn = channel["next"]
        check(group["channel_count"] == len(group["channels"]),
              "CG at %d counts %d channels, its chain holds %d" % (cg, group["channel_count"], len(group["channels"])))
        data_size = group["record_size"] * group["record_count"]
        ranges.claim(group["data_position"], data_size, "records")
        group["data"] = bytes(d[group["data_position"]:group["data_position"] + data_size])
        for channel in group["channels"]:
            end = channel["byte_offset"] * 8 + channel["bit_offset"] + channel["bit_count"]
            check(end <= group["record_size"] * 8, "channel %s ends past its record" % channel["name"])
        groups.append(group)
        dg = u32(d, dg + 4)
    check(header["group_count"] == len(groups) or not strict,
          "HD counts %d data groups, the chain holds %d" % (header["group_count"], len(groups)))
    if strict:
        ranges.check_tiling()
    return {"version": 3, "header": header, "groups": groups}


# ---- MDF 4.00 ----------------------------------------------------------------

LINK_COUNTS = {b"##HD": 6, b"##FH": 2, b"##MD": 0, b"##TX": 0, b"##DG": 4, b"##CG": 6, b"##CN": 8,
               b"##EV": 5, b"##DT": 0}


def block4(d, position, expected, ranges, strict):
    """Block header at position: (length, links)."""
    check(position + 24 <= len(d), "block %s at %d runs past the end" % (expected, position))
    kind = bytes(d[position:position + 4])
    check(kind in expected, "block at %d is %r, expected %s" % (position, kind, expected))
    length = u64(d, position + 8)
    link_count = u64(d, position + 16)
    check(24 + 8 * link_count <= length, "block %r at %d: %d links in %d bytes" % (kind, position, link_count, length))
    if strict:
        check(position % 8 == 0, "block %r at %d is not 8-byte aligned" % (kind, position))
        check(length % 8 == 0, "block %r at %d has length %d" % (kind, position, length))
        check(bytes(d[position + 4:position + 8]) == bytes(4), "block %r at %d: reserved bytes" % (kind, position))
        if kind in LINK_COUNTS:
            check(link_count == LINK_COUNTS[kind],
                  "block %r at %d has %d links" % (kind, position, link_count))
    if kind != b"##DT":
        ranges.claim(position, length, kind.decode())
    links = [u64(d, position + 24 + 8 * i) for i in range(link_count)]
    return kind, length, links


def read_text4(d, position, ranges, strict, kinds=(b"##TX", b"##MD")):
    kind, length, _ = block4(d, position, kinds, ranges, strict)
    body = bytes(d[position + 24:position + length])
    text = body.split(b"\0", 1)[0]
    if strict:
        check(len(text) < len(body), "%r at %d: no zero after the text" % (kind, position))
        check(body[len(text):] == bytes(len(body) - len(text)), "%r at %d: bytes after the text" % (kind, position))
        check(length == (len(text) + 25 + 7) // 8 * 8, "%r at %d: length %d for %d bytes of text"
              % (kind, position, length, len(text)))
    if kind == b"##MD" and strict:
        ET.fromstring(text)  # raises on malformed XML
    return kind, text


def read_cc4(d, position, ranges, strict):
    kind, length, links = block4(d, position, (b"##CC",), ranges, strict)
    data = position + 24 + 8 * len(links)
    cc_type = u8(d, data)
    ref_count = u16(d, data + 4)
    val_count = u16(d, data + 6)
    check(ref_count == len(links) - 4, "CC at %d: %d references, %d links" % (position, ref_count, len(links)))
    check(length >= 24 + 8 * len(links) + 24 + 8 * val_count, "CC at %d: values past its length" % position)
    vals = [f64(d, data + 24 + 8 * i) for i in range(val_count)]
    conversion = {"position": position, "length": length, "link_count": len(links), "cc_type": cc_type,
                  "ref_count": ref_count, "val_count": val_count, "unit_link": links[1], "refs": links[4:],
                  "vals": vals, "type": "other"}
    if strict:
        check(length == 24 + 8 * len(links) + 24 + 8 * val_count, "CC at %d: length %d" % (position, length))
        check(links[0] == 0 and links[2] == 0 and links[3] == 0, "CC at %d: name, comment or inverse set" % position)
        check(u8(d, data + 1) == 0 and u16(d, data + 2) == 0, "CC at %d: precision or flags" % position)
        check(f64(d, data + 8) == 0.0 and f64(d, data + 16) == 0.0, "CC at %d: physical range" % position)
        check(cc_type in (1, 7), "CC at %d has type %d" % (position, cc_type))
    if cc_type == 1:
        if strict:
            check(val_count == 2 and ref_count == 0, "linear CC at %d: %d values" % (position, val_count))
        conversion.update(type="linear", offset=vals[0], factor=vals[1])
    elif cc_type == 7:
        check(ref_count == val_count + 1, "value-to-text CC at %d: %d refs, %d values" % (position, ref_count, val_count))
        table = {}
        for value, ref in zip(vals, links[4:4 + val_count]):
            check(ref != 0, "value-to-text CC at %d: missing text" % position)
            _, text = read_text4(d, ref, ranges, strict, (b"##TX",))
            table[value] = text
        if strict:
            check(links[-1] == 0, "value-to-text CC at %d has a default" % position)
            check(vals == sorted(vals), "value-to-text CC at %d is not ascending" % position)
            # The texts lie right behind the CC, in the order of the values.
            expected = position + length
            for ref in links[4:4 + val_count]:
                check(ref == expected, "state text at %d, expected at %d" % (ref, expected))
                expected += u64(d, ref + 8)
        conversion.update(type="text", table=table)
    return conversion


def read_cn4(d, position, ranges, strict):
    _, _, links = block4(d, position, (b"##CN",), ranges, strict)
    data = position + 24 + 8 * len(links)
    if strict:
        check(len(links) == 8, "CN at %d has %d links" % (position, len(links)))
        for index in (1, 3, 5):
            check(links[index] == 0, "CN at %d: unused link %d is set" % (position, index))
        check(u32(d, data + 16) == 0 and u8(d, data + 21) == 0 and u16(d, data + 22) == 0,
              "CN at %d: invalidation bit, reserved or attachments" % position)
        check(all(f64(d, data + 40 + 8 * i) == 0.0 for i in range(4)), "CN at %d: limits" % position)
    check(links[2] != 0, "CN at %d has no name" % position)
    data_type = u8(d, data + 2)
    kind, big = V4_KINDS.get(data_type, ("other", False))
    channel = {
        "position": position,
        "next": links[0],
        "channel_type": u8(d, data),
        "sync_type": u8(d, data + 1),
        "data_type": data_type,
        "kind": kind,
        "big_endian": big,
        "bit_offset": u8(d, data + 3),
        "byte_offset": u32(d, data + 4),
        "bit_count": u32(d, data + 8),
        "flags": u32(d, data + 12),
        "precision": u8(d, data + 20),
        "min": f64(d, data + 24),
        "max": f64(d, data + 32),
        "unit_link": links[6],
        "comment_link": links[7],
        "conversion": None,
        "unit": b"",
        "description": b"",
    }
    if strict:
        if not channel["flags"] & 4:
            check(channel["precision"] == 0, "CN at %d: precision without its flag" % position)
        if not channel["flags"] & 8:
            check(channel["min"] == 0.0 and channel["max"] == 0.0, "CN at %d: range without its flag" % position)
    _, name = read_text4(d, links[2], ranges, strict, (b"##TX",) if strict else (b"##TX", b"##MD"))
    channel["name_bytes"] = name
    channel["name"] = name.decode("utf-8", "replace")
    if links[7]:
        _, channel["description"] = read_text4(d, links[7], ranges, strict)
    if links[6]:
        _, channel["unit"] = read_text4(d, links[6], ranges, strict)
    if links[4]:
        channel["conversion"] = read_cc4(d, links[4], ranges, strict)
    return channel


def read_xml(d, position, ranges, strict, root):
    kind, text = read_text4(d, position, ranges, strict, (b"##MD",))
    element = ET.fromstring(text)
    check(element.tag == root, "MD at %d holds <%s>, expected <%s>" % (position, element.tag, root))
    return text, element


def read_v4(data, strict=True):
    d = memoryview(data)
    ranges = Ranges(d)
    check(len(d) >= 168, "file too short for ID and HD blocks")
    check(bytes(d[0:8]) == b"MDF     ", "no MDF identification")
    version = bytes(d[8:16])
    check(version.startswith(b"4."), "version %r is no MDF 4" % version)
    if strict:
        check(version == b"4.00\0\0\0\0", "version text %r" % version)
        check(bytes(d[16:24]) == b"orbk\0\0\0\0", "program id %r" % bytes(d[16:24]))
        check(u32(d, 24) == 0 and u16(d, 28) == 400 and bytes(d[30:64]) == bytes(34), "ID fields")
    ranges.claim(0, 64, "ID")
    _, _, links = block4(d, 64, (b"##HD",), ranges, strict)
    header = {"first_dg": links[0], "file_history": links[1], "first_event": links[4], "comment": links[5],
              "start_ns": u64(d, 64 + 72)}
    if strict:
        check(links[2] == 0 and links[3] == 0, "HD: channel hierarchy or attachment set")
        check(bytes(d[64 + 80:64 + 104]) == bytes(24), "HD: time zone, flags, angle or distance set")
    if header["comment"]:
        header["comment_text"], header["comment_xml"] = read_xml(d, header["comment"], ranges, strict, "HDcomment")
    fh = header["file_history"]
    check(fh != 0, "no file history")
    _, _, fh_links = block4(d, fh, (b"##FH",), ranges, strict)
    header["history_ns"] = u64(d, fh + 40)
    if strict:
        check(fh_links[0] == 0 and bytes(d[fh + 48:fh + 56]) == bytes(8), "FH: next entry, zone or flags set")
    header["history_text"], header["history_xml"] = read_xml(d, fh_links[1], ranges, strict, "FHcomment")

    events = []
    ev = header["first_event"]
    while ev:
        check(len(events) < 100000, "event chain loops")
        _, _, ev_links = block4(d, ev, (b"##EV",), ranges, strict)
        data = ev + 24 + 8 * len(ev_links)
        event = {"position": ev, "event_type": u8(d, data), "sync_type": u8(d, data + 1),
                 "range_type": u8(d, data + 2), "cause": u8(d, data + 3), "flags": u8(d, data + 4),
                 "scope_count": u32(d, data + 8), "attachments": u16(d, data + 12),
                 "creator": u16(d, data + 14), "sync_base": i64(d, data + 16), "sync_factor": f64(d, data + 24)}
        if strict:
            check(ev_links[1] == 0 and ev_links[2] == 0, "EV at %d: parent or range set" % ev)
            check(ev_links[4] != 0, "EV at %d has no comment" % ev)
            check(bytes(d[data + 5:data + 8]) == bytes(3), "EV at %d: reserved bytes" % ev)
        _, event["name"] = read_text4(d, ev_links[3], ranges, strict, (b"##TX",))
        if ev_links[4]:
            _, event["comment"] = read_text4(d, ev_links[4], ranges, strict, (b"##TX",))
        events.append(event)
        ev = ev_links[0]

    groups = []
    dg = header["first_dg"]
    seen = set()
    while dg:
        check(dg not in seen, "data group chain loops at %d" % dg)
        seen.add(dg)
        _, _, dg_links = block4(d, dg, (b"##DG",), ranges, strict)
        record_id_size = u8(d, dg + 56)
        check(record_id_size == 0, "DG at %d: records carry ids" % dg)
        if strict:
            check(dg_links[3] == 0 and bytes(d[dg + 57:dg + 64]) == bytes(7), "DG at %d: comment or reserved" % dg)
        cg = dg_links[1]
        _, _, cg_links = block4(d, cg, (b"##CG",), ranges, strict)
        data = cg + 24 + 8 * len(cg_links)
        group = {
            "position": dg,
            "cg_position": cg,
            "record_id": u64(d, data),
            "record_count": u64(d, data + 8),
            "record_size": u32(d, data + 24),
            "inval_bytes": u32(d, data + 28),
            "name": None,
            "channels": [],
        }
        if strict:
            check(cg_links[0] == 0 and cg_links[3] == 0 and cg_links[4] == 0 and cg_links[5] == 0,
                  "CG at %d: next group, source, sample reduction or comment set" % cg)
            check(u16(d, data + 16) == 0 and bytes(d[data + 18:data + 24]) == bytes(6), "CG at %d: flags" % cg)
            check(group["inval_bytes"] == 0 and group["record_id"] == 1, "CG at %d: invalidation or id" % cg)
        if cg_links[2]:
            _, group["name"] = read_text4(d, cg_links[2], ranges, strict, (b"##TX",))
        cn = cg_links[1]
        while cn:
            check(len(group["channels"]) < 70000, "channel chain loops")
            channel = read_cn4(d, cn, ranges, strict)
            group["channels"].append(channel)
            cn = channel["next"]
        for channel in group["channels"]:
            end = channel["byte_offset"] * 8 + channel["bit_offset"] + channel["bit_count"]
            check(end <= group["record_size"] * 8, "channel %s ends past its record" % channel["name"])
        dt = dg_links[2]
        data_size = group["record_size"] * group["record_count"]
        kind, length, _ = block4(d, dt, (b"##DT",), ranges, False)
        check(length == 24 + data_size, "DT at %d: length %d for %d bytes of records" % (dt, length, data_size))
        if strict:
            check(dt % 8 == 0 and u64(d, dt + 16) == 0 and bytes(d[dt + 4:dt + 8]) == bytes(4), "DT header at %d" % dt)
        ranges.claim(dt, length, "DT")
        group["data_position"] = dt + 24
        group["data"] = bytes(d[dt + 24:dt + length])
        check(len(group["data"]) == data_size, "DT at %d: records run past the end of the file" % dt)
        padding = (8 - length % 8) % 8
        group["padding"] = bytes(d[dt + length:dt + length + padding])
        if strict and padding:
            check(group["padding"] == bytes(padding), "DT at %d: padding is not zero" % dt)
            ranges.claim(dt + length, padding, "padding")
        groups.append(group)
        dg = dg_links[0]
    if strict:
        check(len(d) % 8 == 0, "file length %d is not a multiple of 8" % len(d))
        ranges.check_tiling()
    return {"version": 4, "header": header, "events": events, "groups": groups}
