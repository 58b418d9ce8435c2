"""What a built measurement database must hold whatever it was built from:
every statistic of every Channels row recomputed from the stored column with
python's exact arithmetic (NULL, a NaN, and infinities count as 0); and what
the statistics list of the same file must say: the figures of the Channels
rows, the first values and the first times of minimum and maximum in the
stored rows (JSON null for a non-finite number).

Usage as a program: db_checks.py <database> [<statistics list>]  (exit 1 on a
difference)."""
import json
import math
import sqlite3
import statistics
import sys

DBL_MAX = sys.float_info.max


def table_of(message_id, signal):
    part = (signal - 1) // 500 + 1
    return f"MessageData{message_id:04d}" + ("" if part == 1 else f"_{part:04d}")


def column(conn, message_id, signal):
    return [r[0] for r in conn.execute(f"SELECT Signal{signal} FROM {table_of(message_id, signal)} ORDER BY rowid")]


def check_statistics(conn, where=""):
    failures = []
    counts = dict(conn.execute("SELECT ID, MessageCount FROM Messages"))
    for cid, mid, k, name, mn, mx, avg, median, std in conn.execute(
            "SELECT ID, MessageId, MessageChannel, Name, MinVal, MaxVal, AvgVal, Median, StdDev FROM Channels "
            "WHERE ID > 0 ORDER BY ID").fetchall():
        tag, stored, n = f"{where} channel {cid} ({name})", column(conn, mid, k), counts[mid]
        if len(stored) != n:
            failures.append(f"{tag}: {len(stored)} rows, MessageCount {n}")
            continue
        values = [float(v) if v is not None and math.isfinite(v) else 0.0 for v in stored]
        want = (DBL_MAX, -DBL_MAX, 0.0, 0.0)
        if n:
            lo, hi = min(values), max(values)
            want = (lo, hi, lo if lo == hi else statistics.mean(values), 0.0 if hi <= lo else statistics.pstdev(values))
        scale = max(abs(want[0]), abs(want[1]), 1.0) if n else 1.0
        if (mn, mx) != want[:2]:
            failures.append(f"{tag}: range {mn}..{mx}, python {want[0]}..{want[1]}")
        # A constant's average is the constant itself, not a sum divided.
        exact = want[0] == want[1]
        if not (avg == want[2] if exact else abs(avg - want[2]) <= 1e-12 * scale) or avg != median:
            failures.append(f"{tag}: average {avg} / median {median}, python {want[2]}")
        if not abs(std - want[3]) <= 1e-5 * want[3] + 1e-12 * scale:
            failures.append(f"{tag}: standard deviation {std}, python {want[3]}")
    return failures


def check_list(conn, listed, where=""):
    failures, start = [], conn.execute("SELECT MIN(MinTime) FROM Network_Statistics").fetchone()[0]
    rows = conn.execute("SELECT Channels.Name, MinVal, MaxVal, AvgVal, StdDev, MessageCount, Slope, Offset, "
                        "Messages.MinTime, Messages.MaxTime, MessageId, MessageChannel FROM Channels JOIN Messages "
                        "ON MessageId = Messages.ID WHERE Channels.ID > 0 ORDER BY Channels.ID").fetchall()
    if len(rows) != len(listed):
        failures.append(f"{where}: {len(listed)} listed, {len(rows)} channels")
    for entry, row in zip(listed, rows):
        stored = [float(v) if v is not None and math.isfinite(v) else 0.0 for v in column(conn, *row[10:])]
        times = [t - start for t, in conn.execute(f"SELECT TIME_VAL FROM MessageData{row[10]:04d} ORDER BY rowid")]
        want = dict(name=row[0], min=row[1], max=row[2], avg=row[3], std_dev=row[4], num_records=row[5],
                    min_time=row[8] - start, max_time=row[9] - start, first_value=(stored or [0.0])[0],
                    time_at_min=times[stored.index(row[1])] if stored else DBL_MAX,
                    time_at_max=times[stored.index(row[2])] if stored else -DBL_MAX)
        want.update({k: v for k, v, neutral in (("slope", row[6], 1.0), ("offset", row[7], 0.0)) if v != neutral})
        for key, value in want.items():
            got = entry.get(key)
            if not (got == value or (got is None and not math.isfinite(value)) or
                    (got is not None and "time" in key and abs(got - value) <= 1e-6)):
                failures.append(f"{where} {entry['name']}: {key} {got!r}, Channels row {value!r}")
        if set(entry) - set(want) - {"message_name", "network_name", "unit"}:
            failures.append(f"{where} {entry['name']}: keys {sorted(entry)}")
    return failures


if __name__ == "__main__":
    connection = sqlite3.connect(f"file:{sys.argv[1]}?mode=ro", uri=True)
    found = check_statistics(connection, sys.argv[1])
    if len(sys.argv) > 2 and sys.argv[2]:
        with open(sys.argv[2], encoding="utf-8") as f:
            found += check_list(connection, json.load(f)["Channels"], sys.argv[2])
    print("\n".join(found + [f"{len(found)} statistics differences"]))
    sys.exit(1 if found else 0)
