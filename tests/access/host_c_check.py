"""Runs the C host program over a measurement database and checks what it
saw against the rows written into that database."""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import host_database  # noqa: E402

host = sys.argv[1]
with tempfile.TemporaryDirectory() as folder:
    database = os.path.join(folder, "host.db")
    host_database.make_database(database)
    listing = os.path.join(folder, "channels.json")
    with open(listing, "w") as f:
        f.write(host_database.channel_list_json())
    run = subprocess.run([host, database, listing], capture_output=True, text=True)
    print(run.stdout, run.stderr)
    assert run.returncode == 0, run.returncode
    lines = run.stdout.splitlines()
    assert lines[0] == "channels 4", lines[0]
    # The absent optional channel is reported, then everything steps.
    assert lines[1] == "Channel NotThere was not found in file %s" % database, lines[1]
    assert float(lines[2].split()[1]) == host_database.START, lines[2]
    assert [float(x) for x in lines[3].split()[1:]] == [host_database.START, host_database.START + 3.0], lines[3]
    records = [line.split() for line in lines[4:-1]]
    expected = host_database.expected_records()
    assert len(records) == len(expected), (records, expected)
    for got, (t, values, stamps) in zip(records, expected):
        numbers = [float(x) for x in got[1:]]
        assert numbers[0] == t, (got, t)
        assert numbers[1::2] == values, (got, values)
        assert numbers[2::2] == stamps, (got, stamps)
    assert records[0][0] == "open" and all(r[0] == "record" for r in records[1:])
    assert lines[-1] == "closed 1", lines[-1]
    print("%d records checked" % len(records))
