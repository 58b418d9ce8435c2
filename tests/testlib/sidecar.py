"""The MDF fixtures and what their JSON sidecars (written by an independent
MDF library) say, read by this library's rules.

Where the library's rules differ from the sidecar's reader, the expectation
is derived from the sidecar: MDF 3 types 7/8 swapped, MDF 3 tables without
interpolation take the lower key, range-to-value bounds inclusive, text
formulas and bit-field tables left raw."""
import datetime
import glob
import json
import math
import os
import sys

FIXTURES = os.path.join(os.environ.get("VANTREL_FIXTURES") or
                        os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data"), "mdf")
# Times in this library count from 2007-01-01 00:00 UTC.
EPOCH_2007 = 1167609600


# ---- The fixture set ------------------------------------------------------

def fixture_paths():
    """Every fixture that has a sidecar, without the ".json"; exits when there
    is none, so that a missing fixture set never passes as checked."""
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
    """A variable-length string channel's record values: offsets of its
    entries in the signal data, where the fixtures' writer lays the texts in
    equal slots."""
    count = channel["raw"]["count"]
    total = int(channel["signal_data"].split("(")[1].split()[0])
    slot = total // count
    return [i * slot for i in range(count)]


def first_bytes(text):
    """The value of a fixed-length string channel: its first eight bytes as a
    little-endian unsigned integer."""
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
    """The sidecar's physical statistics as this library computes them, or
    None where the values stay raw. Where the rules differ, the samples are
    recomputed by the library's rule from raw_values (every record, then
    with range and mean) when given, else from the sidecar's raw samples
    (then without range and mean)."""
    conv = channel.get("conversion") or {}
    cc = conv.get("cc_type")
    if left_raw(conv, v4):
        return None
    want = channel["phys"]
    if not v4 and cc in (7, 8):
        # The other reading of types 7 and 8: the sibling channel of the
        # other type with the same parameters.
        sibling = [c for c in group["channels"] if (c.get("conversion") or {}).get("cc_type") == 15 - cc
                   and c["conversion"].get("params") == conv.get("params")]
        return sibling[0]["phys"]
    if not v4 and cc == 2:
        # Table without interpolation, MDF 3: the lower key's value (the
        # sidecar's reader takes the nearest key).
        rule = lambda x: lower_key(conv["pairs"], x)  # noqa: E731
    elif v4 and cc == 6:
        # Range to value: the first range holding the value, bounds included
        # (the sidecar's reader misses values at the bounds).
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
    """(label, record index, wanted value) of each record the statistics of
    n records name: the first ones, the last ones and the probes."""
    for i, want in enumerate(stats.get("first", [])):
        yield f"first[{i}]", i, want
    for i, want in enumerate(stats.get("last", [])):
        yield f"last[{i}]", n - len(stats["last"]) + i, want
    for index, want in zip(stats.get("probe_index", []), stats.get("probe", [])):
        yield f"probe[{index}]", index, want


def text_differences(want, texts):
    """How the texts of every record differ from text statistics: the first
    and last three, and the count of each text."""
    differences = []
    if texts[:3] != want["first"] or texts[-3:] != want["last"]:
        differences.append(f"texts {texts[:3]}..{texts[-3:]} != {want['first']}..{want['last']}")
    counts = {}
    for t in texts:
        counts[t] = counts.get(t, 0) + 1
    if counts != want["distinct"]:
        differences.append(f"text counts {counts} != {want['distinct']}")
    return differences
