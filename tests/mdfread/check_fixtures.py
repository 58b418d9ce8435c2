"""Every channel of every MDF fixture as the reader decodes it (mdf_dump)
against its sidecar, written by an independent MDF library: names, units and
comments byte for byte, positions, conversion types, record counts, start
times and every raw number (integers exactly, floats bit for bit). Physical
values, states, strings and linear formulas of the same files are checked in
their databases (tests/dbbuild/check_fixture_databases.py). By this
library's rules: MDF 4 names trimmed, XML comments reduced to their TX
element, conversion types in MDF 3 numbering, compressed data refused.
Usage: check_fixtures.py <mdf_dump>."""
import json
import math
import os
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "testlib"))
import mdf as sidecar  # noqa: E402

# MDF 4 conversion types in the reader's numbering; other types are no rule.
MDF4_TYPES = {0: 65535, 1: 0, 2: 9, 3: 10, 4: 1, 5: 1000, 6: 1001, 7: 1002, 8: 12}
failures = []


def fail(where, text):
    failures.append(f"{where}: {text}")


def same(a, b):
    """Integers exactly, floats bit for bit."""
    if isinstance(a, int) and isinstance(b, int):
        return a == b
    return isinstance(a, float) and not isinstance(b, str) and struct.pack("<d", a) == struct.pack("<d", float(b))


def tx_element(comment):
    end = comment.find("</TX>")
    if end < 0:
        return comment
    return comment[:end].split("<TX>", 1)[-1]


def check_raw(where, stats, raw):
    if stats.get("kind") == "text":
        return
    if stats["count"] != len(raw):
        fail(where, f"{len(raw)} values, sidecar {stats['count']}")
        return
    for label, index, want in sidecar.samples(stats, len(raw)):
        if not same(raw[index], want):
            fail(where, f"{label} {raw[index]!r} != {want!r}")
    finite = [v for v in raw if not (isinstance(v, float) and not math.isfinite(v))]
    if stats.get("min") is not None and finite:
        if not same(min(finite), stats["min"]) or not same(max(finite), stats["max"]):
            fail(where, f"range {min(finite)!r}..{max(finite)!r} != {stats['min']!r}..{stats['max']!r}")
        if abs(math.fsum(finite) / len(finite) - stats["mean"]) > 1e-9 * max(abs(stats["min"]), abs(stats["max"]), 1):
            fail(where, f"mean differs from {stats['mean']!r}")


def check_channel(where, side, ours, v4):
    text = lambda key: bytes.fromhex(ours[key]).decode("utf-8" if v4 else "latin-1")  # noqa: E731
    conv = side.get("conversion")
    want = {"name": sidecar.channel_name(side, v4), "unit": side["unit"], "comment": tx_element(side["comment"]),
            "is_time": sidecar.is_time(side, v4), "bits": side["bit_count"],
            "byte_offset": sidecar.byte_offset(side, v4), "start_bit": sidecar.bit_offset(side, v4),
            "conv_type": -1 if not conv else MDF4_TYPES.get(conv["cc_type"], 65535) if v4 else conv["cc_type"]}
    got = dict(ours, name=text("name"), unit=text("unit"), comment=text("comment"))
    for key, value in want.items():
        if got[key] != value:
            fail(where, f"{key} {got[key]!r}, sidecar {value!r}")
    check_raw(where, side["raw"], ours["raw"])


def check_file(path):
    side, base = sidecar.load(path), os.path.basename(path)
    v4 = sidecar.is_version4(side)
    with tempfile.TemporaryDirectory() as tmp:
        run = subprocess.run([sys.argv[1], path, os.path.join(tmp, "dump.json")], env=dict(os.environ, TZ="UTC"),
                             capture_output=True, text=True)
        if run.returncode != 0:
            return fail(base, f"dump failed: {run.stderr}{run.stdout}")
        with open(os.path.join(tmp, "dump.json")) as f:
            ours = json.load(f)
    if abs(ours["start_time"] - sidecar.start_offset(side)) > 1e-6:
        fail(base, f"start time {ours['start_time']}")
    groups = sidecar.measured_groups(side)
    if len(ours["groups"]) != len(groups):
        return fail(base, f"{len(ours['groups'])} groups, sidecar {len(groups)}")
    for g_side, g_ours in zip(groups, ours["groups"]):
        where = f"{base} group {g_side['index']}"
        records = 0 if sidecar.is_compressed(g_side) else g_side["cycles"]
        if (g_ours["record_count"], g_ours["record_size"]) != (records, g_side["record_bytes"] + g_side["inval_bytes"]):
            fail(where, f"{g_ours['record_count']} records of {g_ours['record_size']} bytes")
        if records == 0 and g_side["cycles"] and "cannot be read" not in run.stdout:
            fail(where, "compressed data refused without a word")
        if len(g_ours["channels"]) != len(g_side["channels"]):
            fail(where, f"{len(g_ours['channels'])} channels, sidecar {len(g_side['channels'])}")
            continue
        for c_side, c_ours in zip(g_side["channels"], g_ours["channels"]):
            if records:
                check_channel(f"{where} {c_side['name']}", c_side, c_ours, v4)
            elif c_ours["raw"] or bytes.fromhex(c_ours["name"]).decode() != c_side["name"]:
                fail(f"{where} {c_side['name']}", "channel of refused data differs")


paths = sidecar.fixture_paths()
for p in paths:
    check_file(p)
sidecar.report(paths, failures)
