"""The database the host programs step through, and what they must see.

make_database(path) writes a small measurement database with plain SQL;
expected_records(...) computes the record sequence from the same rows, the
way a host sees it. Once the builder can make a database from an MDF
fixture, make_database is the one place to change."""
import json
import sqlite3
import sys

DBL_MAX = sys.float_info.max
START = 4.0e8

# (message, network, [(signal, SignalType, slope, offset, integer)], rows)
MESSAGES = [
    ("Engine", "HS CAN",
     [("Speed", "Double", 0.5, 10.0, False), ("Rpm", "RawValue", 2.0, 1.0, True)],
     [(START + 0.5, 12.0, 100), (START + 1.0, 13.5, 110), (START + 1.0, 14.0, 120), (START + 2.5, None, 130)]),
    ("Body", "Body CAN",
     [("Door", "State Encoded", 1.0, 0.0, True)],
     [(START + 0.75, 1), (START + 2.0, None), (START + 3.0, 0)]),
]

CHANNEL_LIST = {"Channels": [
    {"name": "Speed", "message_name": "Engine"},
    {"name": "Door"},
    {"name": "Rpm", "network_name": "HS CAN"},
    {"name": "NotThere", "required": False},
]}

SCHEMA = [
    "CREATE TABLE Messages (ID INTEGER PRIMARY KEY, Name TEXT, ArbId TEXT, SignalCount INTEGER, DataTableName TEXT, Network TEXT, MinTime DOUBLE, MaxTime DOUBLE, MinDelta DOUBLE, MaxDelta DOUBLE, MessageCount INTEGER, Rate DOUBLE, MessageChanges INTEGER, DataBytes INTEGER)",
    "CREATE TABLE UnmatchedMessages (ID INTEGER PRIMARY KEY, Name TEXT, ArbId TEXT, Network TEXT, MinTime DOUBLE, MaxTime DOUBLE, MinDelta DOUBLE, MaxDelta DOUBLE, MessageCount INTEGER, Rate DOUBLE)",
    "CREATE TABLE Channels (ID INTEGER PRIMARY KEY, MessageId INTEGER, MessageChannel INTEGER, Name TEXT, SignalType TEXT, MinVal DOUBLE, MaxVal DOUBLE, AvgVal DOUBLE, Median DOUBLE, StdDev DOUBLE, Network TEXT, Units TEXT, DAQRate TEXT, Decimals INTEGER, NumChanges INTEGER, Formula TEXT, Slope DOUBLE, Offset DOUBLE, DataType INTEGER, StartByte INTEGER, BitLength INTEGER, StartBit INTEGER, BigEndian INTEGER, MUXValue INTEGER, Sequence INTEGER, CollectionMask INTEGER)",
    "CREATE TABLE ErrorMessages (TIME_VAL DOUBLE, ArbId TEXT, Description TEXT, ByteData TEXT, Network TEXT)",
    "CREATE TABLE ChannelStates (ChannelId INTEGER, StateText TEXT, NumVal DOUBLE)",
    "CREATE TABLE Network_Statistics (Network TEXT, TotalMessages INTEGER, MatchedMessages INTEGER, UnmatchedMessages INTEGER, ErrorMessages INTEGER, LongMessageParts INTEGER, MinTime DOUBLE, MaxTime DOUBLE, Rate DOUBLE)",
]


def make_database(path):
    db = sqlite3.connect(path)
    for statement in SCHEMA:
        db.execute(statement)
    channel_id = 1
    for message_id, (name, network, signals, rows) in enumerate(MESSAGES, start=1):
        table = "MessageData%04d" % message_id
        columns = "".join(", Signal%d %s" % (k, "INTEGER" if s[4] else "DOUBLE")
                          for k, s in enumerate(signals, start=1))
        db.execute("CREATE TABLE %s (TIME_VAL DOUBLE %s)" % (table, columns))
        db.executemany("INSERT INTO %s VALUES (%s)" % (table, ", ".join("?" * (len(signals) + 1))), rows)
        times = [row[0] for row in rows]
        db.execute("INSERT INTO Messages VALUES (?, ?, '', ?, ?, ?, ?, ?, 0, 0, ?, 0, 0, 8)",
                   (message_id, name, len(signals), table, network, min(times), max(times), len(rows)))
        for k, (signal, kind, slope, offset, integer) in enumerate(signals, start=1):
            db.execute("INSERT INTO Channels VALUES (?, ?, ?, ?, ?, 0, 0, 0, 0, 0, ?, '', '', -1, 0, '', ?, ?, ?, 0, 32, 0, 1, -1, ?, 1)",
                       (channel_id, message_id, k, signal, kind, network, slope, offset, 1 if integer else 4, channel_id))
            channel_id += 1
        db.execute("INSERT INTO Network_Statistics VALUES (?, ?, ?, 0, 0, 0, ?, ?, 0)",
                   (network, len(rows), len(rows), START, max(times)))
    db.execute("INSERT INTO Channels (ID, Name, CollectionMask) VALUES (0, 'Collection Key', 1)")
    db.commit()
    db.close()


def channel_list_json():
    return json.dumps(CHANNEL_LIST)


def _locate(name):
    for m, (_, _, signals, rows) in enumerate(MESSAGES):
        for k, signal in enumerate(signals):
            if signal[0] == name:
                return m, k, signal
    return None


def _value(signal, stored):
    if stored is None:
        return DBL_MAX
    _, kind, slope, offset, _ = signal
    return float(stored) if kind == "Double" else stored * slope + offset


def expected_records():
    """[(time, values, time stamps)]: the open, then every step. Rows are in
    time order here: a step is the time of a row after some table's first
    row; at each record a table shows its last row at or before that time
    (its first row while it has not started), and a table whose last row has
    been stepped to shows no time."""
    located = [_locate(entry["name"]) for entry in CHANNEL_LIST["Channels"]]
    first = min(rows[0][0] for _, _, _, rows in MESSAGES)
    # A table's first row is shown from the open on; it is no step of its own.
    steps = sorted({row[0] for _, _, _, rows in MESSAGES for row in rows[1:] if row[0] > first})
    records = []
    for t in [first] + steps:
        values, stamps = [], []
        for entry in located:
            if entry is None:
                values.append(DBL_MAX)
                stamps.append(DBL_MAX)
                continue
            m, k, signal = entry
            rows = MESSAGES[m][3]
            upto = [i for i, row in enumerate(rows) if row[0] <= t]
            i = upto[-1] if upto else 0
            ended = t != first and i == len(rows) - 1
            values.append(_value(signal, rows[i][k + 1]))
            stamps.append(DBL_MAX if ended else rows[i][0])
        records.append((t, values, stamps))
    return records
