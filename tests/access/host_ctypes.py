"""A Python host through ctypes with the wide forms: opens a measurement
database, steps to the end, checks every record against the rows written
into it, and closes."""
import ctypes
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import host_database  # noqa: E402

lib = ctypes.CDLL(os.environ["VANTREL_LIB"])
P = ctypes.POINTER(ctypes.c_double)
lib.OpenDataFileW.restype = ctypes.c_double
lib.OpenDataFileW.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p, ctypes.POINTER(P), ctypes.POINTER(P),
                              ctypes.POINTER(ctypes.c_int)]
lib.GetNumChannelsW.argtypes = [ctypes.c_wchar_p]
for name in ("SetCursorsToStart", "GetNextRecord", "GetNextChangedRecord", "GetNextValidRecord"):
    getattr(lib, name).restype = ctypes.c_double
    getattr(lib, name).argtypes = [P, ctypes.c_int]
for name in ("JumpAfterTimestamp", "JumpBeforeTimestamp"):
    getattr(lib, name).restype = ctypes.c_double
    getattr(lib, name).argtypes = [P, ctypes.c_int, ctypes.c_double]
lib.SetActiveMask.argtypes = [P, ctypes.c_int, ctypes.c_char_p]
lib.GetMeasurementTimeBounds.argtypes = [P, ctypes.c_int, P, P]
lib.CloseDataFile.argtypes = [P, ctypes.c_int]

with tempfile.TemporaryDirectory() as folder:
    database = os.path.join(folder, "ctypes host.db")
    host_database.make_database(database)
    listing = host_database.channel_list_json()
    assert lib.GetNumChannelsW(listing) == 4

    values, stamps, count = P(), P(), ctypes.c_int(-1)
    start = lib.OpenDataFileW(database, listing, ctypes.byref(values), ctypes.byref(stamps), ctypes.byref(count))
    assert start == host_database.START, start
    assert count.value == 4 and bool(values) and bool(stamps)
    low, high = ctypes.c_double(), ctypes.c_double()
    assert lib.GetMeasurementTimeBounds(values, 0, ctypes.byref(low), ctypes.byref(high)) == 1
    assert (low.value, high.value) == (host_database.START, host_database.START + 3.0)

    def seen(t):
        return t, [values[i] for i in range(count.value)], [stamps[i] for i in range(count.value)]

    records = [seen(lib.SetCursorsToStart(values, 0))]
    while True:
        t = lib.GetNextRecord(values, 0)
        if t == host_database.DBL_MAX:
            break
        records.append(seen(t))
    expected = host_database.expected_records()
    assert records == expected, (records, expected)

    # Relative time: a jump below the start takes its time from the start.
    t = lib.JumpAfterTimestamp(values, 0, 0.9)
    assert t == 1.0, t
    assert stamps[0] == 1.0 and values[0] == 14.0, (stamps[0], values[0])
    assert lib.GetNextRecord(values, 0) == 2.0
    assert lib.SetActiveMask(values, 0, b"01") == 0
    assert lib.CloseDataFile(values, 0) == 1
    assert lib.CloseDataFile(values, 0) == 0
    print("%d records checked" % len(records))
