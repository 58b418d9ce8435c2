"""Every channel of every MDF fixture decodes to what its sidecar (written by
an independent MDF library) says: integers exactly, floats bit for bit,
converted values within 1e-9 relative. Usage: check_fixtures.py <mdf_dump>.

Where this library follows its own rules the expectation is derived from the
sidecar by those rules: MDF 3 types 7/8 swapped, MDF 4 names trimmed, XML
comments reduced to their TX element, text formulas and bit-field tables left
raw, text states given as numbers standing for the table's texts, values
of string channels read as the integer of their first bytes, compressed data
refused."""
import datetime
import glob
import json
import math
import os
import struct
import subprocess
import sys
import tempfile

DUMP = sys.argv[1]
FIXTURES = os.path.join(os.environ.get("VANTREL_FIXTURES", "/work/shared/fixtures"), "mdf")
EPOCH_2007 = 1167609600
failures = []


def fail(where, text):
    failures.append(f"{where}: {text}")


def same_float(a, b):
    return struct.pack("<d", float(a)) == struct.pack("<d", float(b))


def close(a, b, rel=1e-9):
    if isinstance(a, str) or isinstance(b, str):
        return str(a).lower() == str(b).lower()
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b or abs(a - b) <= rel * max(abs(a), abs(b), 1e-300)


def exact(a, b):
    if isinstance(a, int) and isinstance(b, int):
        return a == b
    if isinstance(a, str) or isinstance(b, str):
        return False
    return same_float(a, b)


def check_numeric(where, stats, values, equal):
    if stats.get("count") != len(values):
        fail(where, f"count {len(values)} != {stats.get('count')}")
        return
    if not values:
        return
    n = len(values)
    for i, want in enumerate(stats.get("first", [])):
        if not equal(values[i], want):
            fail(where, f"first[{i}] {values[i]!r} != {want!r}")
    for i, want in enumerate(stats.get("last", [])):
        k = n - len(stats["last"]) + i
        if not equal(values[k], want):
            fail(where, f"last[{i}] {values[k]!r} != {want!r}")
    for index, want in zip(stats.get("probe_index", []), stats.get("probe", [])):
        if not equal(values[index], want):
            fail(where, f"probe[{index}] {values[index]!r} != {want!r}")
    finite = [v for v in values if not (isinstance(v, float) and not math.isfinite(v))]
    if "min" in stats and finite:
        if not equal(min(finite), stats["min"]) or not equal(max(finite), stats["max"]):
            fail(where, f"range {min(finite)!r}..{max(finite)!r} != {stats['min']!r}..{stats['max']!r}")
        mean = math.fsum(finite) / len(finite)
        scale = max(abs(stats["min"]), abs(stats["max"]), 1.0)
        if abs(mean - stats["mean"]) > 1e-9 * scale:
            fail(where, f"mean {mean!r} != {stats['mean']!r}")


def text_of_tx_element(comment):
    close_at = comment.find("</TX>")
    if close_at < 0:
        return comment
    text = comment[:close_at]
    open_at = text.find("<TX>")
    return text if open_at < 0 else text[open_at + 4:]


def decode(hex_text, encoding):
    return bytes.fromhex(hex_text).decode(encoding)


def expected_start(sidecar):
    when = datetime.datetime.fromisoformat(sidecar["start_time"])
    return when.timestamp() - EPOCH_2007


def check_strings(where, side, ours, version4):
    stats = side["raw"]
    texts = stats["first"] + stats["last"]
    raws = ours["raw"][:3] + ours["raw"][-3:]
    if not version4:
        # MDF 3 string type: no numeric raw value, decoded as 0.0.
        if ours["code"] != 7 or any(v != 0.0 for v in ours["phys"]):
            fail(where, "MDF 3 string channel should decode as 0.0")
        return
    if side["cn_type"] == 1:
        # Variable-length: the record holds the offset of the entry in the
        # signal data, where this writer lays the texts in equal slots.
        total = int(side["signal_data"].split("(")[1].split()[0])
        slot = total // stats["count"]
        if ours["raw"] != [i * slot for i in range(stats["count"])]:
            fail(where, f"signal data offsets {ours['raw'][:3]}... are not the slots of {slot} bytes")
        return
    for raw, text in zip(raws, texts):
        want = int.from_bytes((text.encode("latin-1") + b"\0" * 8)[:8], "little")
        if raw != want:
            fail(where, f"first bytes of {text!r}: {raw} != {want}")


def lower_key(pairs, x):
    if x < pairs[0][0]:
        return pairs[0][1]
    return [v for k, v in pairs if k <= x][-1]


def range_value(vals, x):
    for i in range(0, len(vals) - 1 - (len(vals) - 1) % 3, 3):
        if vals[i] <= x <= vals[i + 1]:
            return vals[i + 2]
    return vals[-1]


def derived_stats(raw, rule, stats):
    """The sidecar's statistics with values recomputed from its own raw values
    and conversion table by this library's rule."""
    values = [rule(x) for x in raw]
    n = len(values)
    return {"first": values[:len(stats["first"])], "last": values[n - len(stats["last"]):],
            "probe": [values[i] for i in stats["probe_index"]], "min": min(values), "max": max(values),
            "mean": math.fsum(values) / n}


def check_channel(where, side, ours, group_side, version4):
    enc = "utf-8" if version4 else "latin-1"
    name = decode(ours["name"], enc)
    want_name = side["name"] if version4 else side.get("name_raw", side["name"])
    if name != want_name:
        fail(where, f"name {name!r} != {want_name!r}")
    if decode(ours["unit"], enc) != side["unit"]:
        fail(where, f"unit {decode(ours['unit'], enc)!r} != {side['unit']!r}")
    if decode(ours["comment"], enc) != text_of_tx_element(side["comment"]):
        fail(where, f"comment {decode(ours['comment'], enc)!r} != {side['comment']!r}")
    is_time = side["cn_type"] == (2 if version4 else 1)
    if ours["is_time"] != is_time:
        fail(where, "time flag differs")
    if ours["bits"] != side["bit_count"]:
        fail(where, "bit count differs")
    want_offset = side["byte_offset"] if version4 else side["additional_byte_offset"]
    want_bit = side["bit_offset"] if version4 else side["start_bit"]
    if ours["byte_offset"] != want_offset or ours["start_bit"] != want_bit:
        fail(where, "position differs")

    raw, phys = ours["raw"], ours["phys"]
    if side.get("raw", {}).get("kind") == "text":
        check_strings(where, side, ours, version4)
        return
    check_numeric(where + " raw", side["raw"], raw, exact)

    conv = side.get("conversion") or {}
    cc = conv.get("cc_type")
    states = {k: decode(v, enc) for k, v in ours["states"]}
    formula = (version4 and cc == 3) or (not version4 and cc == 10)
    bitfield = version4 and cc == 11
    if "phys" not in side or formula or bitfield:
        # No conversion, or one this library leaves raw.
        for i, (r, p) in enumerate(zip(raw, phys)):
            if not same_float(float(r), p):
                fail(where, f"value {i}: physical {p!r} != raw {r!r}")
                break
        if (formula or bitfield) and states:
            fail(where, "unsupported conversion should have no states")
        return
    want = side["phys"]
    if not version4 and cc in (7, 8):
        # Known difference: the other reading of types 7 and 8.
        sibling = [c for c in group_side["channels"]
                   if (c.get("conversion") or {}).get("cc_type") == 15 - cc
                   and c["conversion"].get("params") == conv.get("params")]
        want = sibling[0]["phys"]
    if not version4 and cc == 2:
        # Table without interpolation, MDF 3: the lower key's value (the
        # sidecar's reader takes the nearest key).
        want = dict(want, **derived_stats(raw, lambda x: lower_key(conv["pairs"], x), want))
    if version4 and cc == 6:
        # Range to value: the first range holding the value, bounds included
        # (the sidecar's reader misses values at the bounds).
        want = dict(want, **derived_stats(raw, lambda x: range_value(conv["vals"], x), want))
    if want.get("kind") == "text":
        texts = [states.get(v, "") for v in phys]
        if texts[:3] != want["first"] or texts[-3:] != want["last"]:
            fail(where, f"texts {texts[:3]}..{texts[-3:]} != {want['first']}..{want['last']}")
        counts = {}
        for t in texts:
            counts[t] = counts.get(t, 0) + 1
        if counts != want["distinct"]:
            fail(where, f"text counts {counts} != {want['distinct']}")
        return
    if "nonfinite" in want:
        # Known difference: the sidecar gives NaN where the value stands for
        # a text state; here it is the state's number.
        marked = ["nan" if v in states else v for v in phys]
        if sum(1 for v in marked if v == "nan") != want["nonfinite"]:
            fail(where, "number of text states differs")
        for i, w in enumerate(want["first"]):
            if not close(marked[i], w):
                fail(where, f"first[{i}] {marked[i]!r} != {w!r}")
        numeric = [v for v in marked if v != "nan"]
        check_numeric(where + " phys", {"count": len(numeric), "min": want["min"], "max": want["max"],
                                        "mean": want["mean"]}, numeric, close)
        return
    check_numeric(where + " phys", want, phys, close)
    if cc in (0, 1) and conv.get("params", conv.get("vals")) and (cc == 0 or version4):
        params = conv.get("params", conv.get("vals"))
        if not ours["linear"] or not close(ours["offset"], params[0]) or not close(ours["slope"], params[1]):
            fail(where, "linear formula differs")


def check_file(path):
    with open(path + ".json") as f:
        side = json.load(f)
    base = os.path.basename(path)
    version4 = side["version"].startswith("4")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "dump.json")
        env = dict(os.environ, TZ="UTC")
        run = subprocess.run([DUMP, path, out], env=env, capture_output=True, text=True)
        if run.returncode != 0:
            fail(base, f"dump failed: {run.stderr}{run.stdout}")
            return
        with open(out) as f:
            ours = json.load(f)
    if abs(ours["start_time"] - expected_start(side)) > 1e-6:
        fail(base, f"start time {ours['start_time']} != {expected_start(side)}")
    groups = [g for g in side["groups"] if not (g["cycles"] == 0 and g["layout"] == "none")]
    if len(ours["groups"]) != len(groups):
        fail(base, f"{len(ours['groups'])} groups != {len(groups)}")
        return
    for g_side, g_ours in zip(groups, ours["groups"]):
        where = f"{base} group {g_side['index']}"
        compressed = "DZ" in g_side["layout"] or "HL" in g_side["layout"]
        if compressed:
            # Refused clearly: no records, a diagnostic line, never garbage.
            if g_ours["record_count"] != 0 or "cannot be read" not in run.stdout:
                fail(where, "compressed data should be refused with a diagnostic")
        elif g_ours["record_count"] != g_side["cycles"] or not g_ours["all_read"]:
            fail(where, f"records {g_ours['record_count']} != {g_side['cycles']}")
            continue
        if g_ours["record_size"] != g_side["record_bytes"] + g_side["inval_bytes"]:
            fail(where, "record size differs")
        if len(g_ours["channels"]) != len(g_side["channels"]):
            fail(where, f"{len(g_ours['channels'])} channels != {len(g_side['channels'])}")
            continue
        time = [c for c in g_ours["channels"] if c["is_time"]]
        for c_side, c_ours in zip(g_side["channels"], g_ours["channels"]):
            w = f"{where} {c_side['name']}"
            if compressed:
                enc = "utf-8" if version4 else "latin-1"
                if decode(c_ours["name"], enc) != c_side["name"] or c_ours["raw"]:
                    fail(w, "channel of refused data differs")
                continue
            check_channel(w, c_side, c_ours, g_side, version4)
            if time and c_side.get("samples"):
                t = time[0]["phys"]
                if not exact(t[0], c_side["first_time"]) or not exact(t[-1], c_side["last_time"]):
                    fail(w, "first or last time differs")


paths = sorted(p[:-5] for p in glob.glob(os.path.join(FIXTURES, "*.json")))
if not paths:
    print("no fixtures found in " + FIXTURES)
    sys.exit(1)
for p in paths:
    check_file(p)
for line in failures[:80]:
    print(line)
print(f"{len(paths)} fixture files, {len(failures)} differences")
sys.exit(1 if failures else 0)
