"""Checks of a built measurement database that need nothing but the database:
every statistic of every Channels row recomputed from the stored column with
python's exact arithmetic, and the layout of the record tables.

Usage as a program: db_checks.py stats <database>  (exit 1 on a difference)."""
import math
import sqlite3
import statistics
import sys

DBL_MAX = sys.float_info.max
PER_PART = 500


def table_of(message_id, signal):
    part = (signal - 1) // PER_PART + 1
    return f"MessageData{message_id:04d}" if part == 1 else f"MessageData{message_id:04d}_{part:04d}"


def column(conn, message_id, signal):
    table = table_of(message_id, signal)
    return [r[0] for r in conn.execute(f"SELECT Signal{signal} FROM {table} ORDER BY rowid")]


def as_statistic(v):
    """A stored value as the statistics count it: NULL (a NaN) and infinities as 0."""
    if v is None:
        return 0.0
    v = float(v)
    return v if math.isfinite(v) else 0.0


def near(a, b, tol):
    return a == b or abs(a - b) <= tol


def check_statistics(conn, where=""):
    failures = []
    counts = dict(conn.execute("SELECT ID, MessageCount FROM Messages"))
    rows = conn.execute("SELECT ID, MessageId, MessageChannel, Name, MinVal, MaxVal, AvgVal, Median, StdDev "
                        "FROM Channels WHERE ID > 0 ORDER BY ID").fetchall()
    for cid, mid, k, name, mn, mx, avg, median, std in rows:
        tag = f"{where} channel {cid} ({name})"
        stored = column(conn, mid, k)
        n = counts[mid]
        if len(stored) != n:
            failures.append(f"{tag}: {len(stored)} rows, MessageCount {n}")
            continue
        values = [as_statistic(v) for v in stored]
        if n == 0:
            want = (DBL_MAX, -DBL_MAX, 0.0, 0.0)
        else:
            lo, hi = min(values), max(values)
            want_avg = lo if lo == hi else statistics.mean(values)
            want_std = 0.0 if hi <= lo else statistics.pstdev(values)
            want = (lo, hi, want_avg, want_std)
        scale = max(abs(want[0]), abs(want[1]), 1.0) if n else 1.0
        if (mn, mx) != want[:2]:
            failures.append(f"{tag}: range {mn}..{mx}, python {want[0]}..{want[1]}")
        if not near(avg, want[2], 1e-12 * scale) or avg != median:
            failures.append(f"{tag}: average {avg} / median {median}, python {want[2]}")
        if not near(std, want[3], 1e-5 * want[3] + 1e-12 * scale):
            failures.append(f"{tag}: standard deviation {std}, python {want[3]}")
    return failures


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] != "stats":
        print("usage: db_checks.py stats <database>")
        sys.exit(2)
    connection = sqlite3.connect(f"file:{sys.argv[2]}?mode=ro", uri=True)
    found = check_statistics(connection, sys.argv[2])
    for line in found:
        print(line)
    print(f"{len(found)} statistics differences")
    sys.exit(1 if found else 0)
