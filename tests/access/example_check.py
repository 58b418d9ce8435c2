"""The README's first command ends by running examples/step_records on a
bundled sample; what it prints is checked here against the sample's sidecar,
written by an independent MDF tool: the start, one line per record of the
message at its time, and the values of the first and last records.

example_check.py <step_records program>"""
import datetime
import json
import os
import subprocess
import sys
import tempfile

SAMPLE = os.path.join(os.environ["VANTREL_FIXTURES"], "mdf", "network_v400.mf4")
WANTED = ["BrakePressed", "BrakePressure"]

sidecar = json.load(open(SAMPLE + ".json"))
channels = {c["name"]: c for g in sidecar["groups"] for c in g["channels"] if c["name"] in WANTED}
epoch = datetime.datetime(2007, 1, 1, tzinfo=datetime.timezone.utc)
start = (datetime.datetime.fromisoformat(sidecar["start_time"]) - epoch).total_seconds()

with tempfile.TemporaryDirectory() as folder:
    run = subprocess.run([sys.argv[1], SAMPLE, os.path.join(folder, "sample.db")] + WANTED,
                         capture_output=True, text=True, check=True)
lines = run.stdout.splitlines()
assert lines[0] == "measurement start %.3f" % start, lines[0]
steps = [[float(x) for x in line.split()] for line in lines[1:]]
first = channels[WANTED[0]]
assert len(steps) == first["samples"], len(steps)
assert abs(steps[0][0] - (start + first["first_time"])) < 1e-3 and abs(steps[-1][0] - (start + first["last_time"])) < 1e-3
for i, name in enumerate(WANTED, 1):
    expected = channels[name]["raw"]["first"] + channels[name]["raw"]["last"]
    got = [step[i] for step in steps[:3] + steps[-3:]]
    assert all(abs(a - b) <= 1e-5 * max(1, abs(b)) for a, b in zip(got, expected)), (name, got, expected)
print("%d steps as the sidecar has them" % len(steps))
