"""Every channel of every MDF fixture decodes to what its sidecar (written by
an independent MDF library) says: integers exactly, floats bit for bit,
converted values within 1e-9 relative. Usage: check_fixtures.py <mdf_dump>.

Where this library follows its own rules the expectation is derived from the
sidecar by those rules: MDF 3 types 7/8 swapped, MDF 4 names trimmed, XML
comments reduced to their TX element, text formulas and bit-field tables left
raw, text states given as numbers standing for the table's texts, values
of string channels read as the integer of their first bytes, compressed data
refused."""
import json
import math
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testlib"))
import mdf as sidecar  # noqa: E402

DUMP = sys.argv[1]
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
    for label, index, want in sidecar.samples(stats, len(values)):
        if not equal(values[index], want):
            fail(where, f"{label} {values[index]!r} != {want!r}")
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


def check_strings(where, side, ours, version4):
    if not version4:
        # MDF 3 string type: no numeric raw value, decoded as 0.0.
        if ours["code"] != 7 or any(v != 0.0 for v in ours["phys"]):
            fail(where, "MDF 3 string channel should decode as 0.0")
        return
    if side["cn_type"] == 1:
        # Variable-length: the record holds the offset of the entry in the
        # signal data.
        slots = sidecar.string_slots(side)
        if ours["raw"] != slots:
            fail(where, f"signal data offsets {ours['raw'][:3]}... are not the slots {slots[:3]}...")
        return
    for _, index, text in sidecar.samples(side["raw"], len(ours["raw"])):
        raw, want = ours["raw"][index], sidecar.first_bytes(text)
        if raw != want:
            fail(where, f"first bytes of {text!r}: {raw} != {want}")


def check_channel(where, side, ours, group_side, version4):
    enc = "utf-8" if version4 else "latin-1"
    name = decode(ours["name"], enc)
    want_name = sidecar.channel_name(side, version4)
    if name != want_name:
        fail(where, f"name {name!r} != {want_name!r}")
    if decode(ours["unit"], enc) != side["unit"]:
        fail(where, f"unit {decode(ours['unit'], enc)!r} != {side['unit']!r}")
    if decode(ours["comment"], enc) != text_of_tx_element(side["comment"]):
        fail(where, f"comment {decode(ours['comment'], enc)!r} != {side['comment']!r}")
    if ours["is_time"] != sidecar.is_time(side, version4):
        fail(where, "time flag differs")
    if ours["bits"] != side["bit_count"]:
        fail(where, "bit count differs")
    if ours["byte_offset"] != sidecar.byte_offset(side, version4) or \
            ours["start_bit"] != sidecar.bit_offset(side, version4):
        fail(where, "position differs")

    raw, phys = ours["raw"], ours["phys"]
    if side.get("raw", {}).get("kind") == "text":
        check_strings(where, side, ours, version4)
        return
    check_numeric(where + " raw", side["raw"], raw, exact)

    conv = side.get("conversion") or {}
    states = {k: decode(v, enc) for k, v in ours["states"]}
    unsupported = sidecar.left_raw(conv, version4)
    if "phys" not in side or unsupported:
        # No conversion, or one this library leaves raw.
        for i, (r, p) in enumerate(zip(raw, phys)):
            if not same_float(float(r), p):
                fail(where, f"value {i}: physical {p!r} != raw {r!r}")
                break
        if unsupported and states:
            fail(where, "unsupported conversion should have no states")
        return
    want = sidecar.physical_expectation(side, group_side, version4, raw)
    if want.get("kind") == "text":
        for line in sidecar.text_differences(want, [states.get(v, "") for v in phys]):
            fail(where, line)
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
    params = sidecar.linear_params(conv, version4)
    if params:
        if not ours["linear"] or not close(ours["offset"], params[0]) or not close(ours["slope"], params[1]):
            fail(where, "linear formula differs")


def check_file(path):
    side = sidecar.load(path)
    base = os.path.basename(path)
    version4 = sidecar.is_version4(side)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "dump.json")
        env = dict(os.environ, TZ="UTC")
        run = subprocess.run([DUMP, path, out], env=env, capture_output=True, text=True)
        if run.returncode != 0:
            fail(base, f"dump failed: {run.stderr}{run.stdout}")
            return
        with open(out) as f:
            ours = json.load(f)
    start = sidecar.start_offset(side)
    if abs(ours["start_time"] - start) > 1e-6:
        fail(base, f"start time {ours['start_time']} != {start}")
    groups = sidecar.measured_groups(side)
    if len(ours["groups"]) != len(groups):
        fail(base, f"{len(ours['groups'])} groups != {len(groups)}")
        return
    for g_side, g_ours in zip(groups, ours["groups"]):
        where = f"{base} group {g_side['index']}"
        compressed = sidecar.is_compressed(g_side)
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


paths = sidecar.fixture_paths()
for p in paths:
    check_file(p)
sidecar.report(paths, failures)
