"""The main road as a host walks it: build a measurement database from an
MDF fixture, open it for a channel list, step to the end and close; once
through the C host program (narrow forms) and once through ctypes (wide
forms). What the host sees is checked against the fixture's sidecar, written
by an independent MDF tool.

host_mainroad.py <C host program>"""
import ctypes
import datetime
import json
import os
import subprocess
import sys
import tempfile

DBL_MAX = sys.float_info.max
FIXTURE = os.path.join(os.environ["VANTREL_FIXTURES"], "mdf", "multirate_v400.mf4")
WANTED = ["counter_10ms", "sine_100ms_offset", "counter_1s"]
CHANNEL_LIST = {"Channels": [{"name": n} for n in WANTED] + [{"name": "not_in_file", "required": False}]}

sidecar = json.load(open(FIXTURE + ".json"))
channels = {c["name"]: c for g in sidecar["groups"] for c in g["channels"]}
epoch = datetime.datetime(2007, 1, 1, tzinfo=datetime.timezone.utc)
START = (datetime.datetime.fromisoformat(sidecar["start_time"]) - epoch).total_seconds()


def check(start, records):
    """records: [(time, values, stamps)], the open first."""
    assert start == START, (start, START)
    times = [t for t, _, _ in records]
    assert all(a < b for a, b in zip(times, times[1:])), "record times must rise"
    last_time = max(channels[n]["last_time"] for n in WANTED)
    assert abs(times[-1] - (START + last_time)) < 1e-6, (times[-1], START + last_time)
    for i, name in enumerate(WANTED):
        expected = channels[name]
        # Each record of the channel's message shows up as a new time stamp;
        # the last one with the stamp DBL_MAX (its message has ended), at the
        # time of the step that reached it.
        samples, previous = [], None
        for t, values, stamps in records:
            if stamps[i] != previous and previous != DBL_MAX:
                samples.append(((stamps[i] if stamps[i] != DBL_MAX else t) - START, values[i]))
            previous = stamps[i]
        assert len(samples) == expected["samples"], (name, len(samples), expected["samples"])
        assert abs(samples[0][0] - expected["first_time"]) < 1e-6, (name, samples[0])
        assert abs(samples[-1][0] - expected["last_time"]) < 1e-6, (name, samples[-1])
        assert [v for _, v in samples[:3]] == expected["raw"]["first"], (name, samples[:3])
        assert [v for _, v in samples[-3:]] == expected["raw"]["last"], (name, samples[-3:])
        probes = dict(zip(expected["raw"]["probe_index"], expected["raw"]["probe"]))
        assert all(samples[k][1] == v for k, v in probes.items()), name
    # The channel the file lacks reads as missing throughout.
    assert all(values[3] == DBL_MAX and stamps[3] == DBL_MAX for _, values, stamps in records)
    return len(records)


def run_c_host(host, folder):
    database = os.path.join(folder, "c host.db")
    listing = os.path.join(folder, "channels.json")
    with open(listing, "w") as f:
        json.dump(CHANNEL_LIST, f)
    run = subprocess.run([host, database, listing, FIXTURE], capture_output=True, text=True)
    assert run.returncode == 0, (run.returncode, run.stdout[-2000:], run.stderr[-2000:])
    lines = run.stdout.splitlines()
    assert lines[0] == "created 1", lines[0]
    assert lines[1] == "channels 4", lines[1]
    start = float(next(line for line in lines if line.startswith("start ")).split()[1])
    records = []
    for line in lines:
        words = line.split()
        if words[0] in ("open", "record"):
            numbers = [float(x) for x in words[1:]]
            records.append((numbers[0], numbers[1::2], numbers[2::2]))
    assert lines[-1] == "closed 1", lines[-1]
    return check(start, records)


def run_ctypes_host(folder):
    lib = ctypes.CDLL(os.environ["VANTREL_LIB"])
    P = ctypes.POINTER(ctypes.c_double)
    lib.CreateDatabaseW.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p]
    lib.OpenDataFileW.restype = ctypes.c_double
    lib.OpenDataFileW.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p, ctypes.POINTER(P), ctypes.POINTER(P),
                                  ctypes.POINTER(ctypes.c_int)]
    lib.SetCursorsToStart.restype = lib.GetNextRecord.restype = ctypes.c_double
    lib.SetCursorsToStart.argtypes = lib.GetNextRecord.argtypes = [P, ctypes.c_int]
    lib.CloseDataFile.argtypes = [P, ctypes.c_int]

    database = os.path.join(folder, "ctypes host.db")
    assert lib.CreateDatabaseW(FIXTURE, database) == 1
    values, stamps, count = P(), P(), ctypes.c_int()
    start = lib.OpenDataFileW(database, json.dumps(CHANNEL_LIST), ctypes.byref(values), ctypes.byref(stamps),
                              ctypes.byref(count))
    assert count.value == 4 and bool(values), (start, count.value)

    def seen(t):
        return t, [values[i] for i in range(4)], [stamps[i] for i in range(4)]

    records = [seen(lib.SetCursorsToStart(values, 0))]
    while True:
        t = lib.GetNextRecord(values, 0)
        if t == DBL_MAX:
            break
        records.append(seen(t))
    assert lib.CloseDataFile(values, 0) == 1
    return check(start, records)


with tempfile.TemporaryDirectory() as folder:
    print("C host: %d records checked" % run_c_host(sys.argv[1], folder))
    print("ctypes host: %d records checked" % run_ctypes_host(folder))
