"""CSV and MAT export of the fixture databases through a C++ host linked to
the shared library (ExportDbData), checked against the model of
export_model.py, python's csv, scipy.io.loadmat and matdump; cancelling at
every report, refused and failing outputs, and a host locale with a decimal
comma.

usage: export_csv_mat_test.py <export_host program>
"""
import os
import resource
import signal
import subprocess
import sys
import tempfile
import unittest

import export_mdf_test as base
import export_model as em

HOST = None
CSV, MDF3, MAT, MDF4 = 1, 2, 4, 0x100


def host(db, out, formats, rate_ms=0, cancel_at=0, settings="", env=None, limit=None):
    """Runs the host in the output's folder; returns its report lines."""
    folder = os.path.dirname(out)
    with open(os.path.join(folder, "kvxexport.cfg"), "w") as f:
        f.write(settings)

    def prepare():
        if limit is not None:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    run = subprocess.run([HOST, db, out, str(cancel_at), hex(formats), str(rate_ms)], cwd=folder,
                         capture_output=True, text=True, preexec_fn=prepare,
                         env=dict(base.HOST_ENV, **(env or {})))
    assert run.returncode == 0, run.stdout + run.stderr
    return run.stdout.splitlines()


def comma_locale(folder):
    """Environment of a German locale made with localedef (decimal comma)."""
    target = os.path.join(folder, "de_DE.UTF-8")
    subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", target], capture_output=True)
    # glibc keeps a locale path it loads: no leak of the library's.
    return ({"LOCPATH": folder, "LC_ALL": "de_DE.UTF-8", "ASAN_OPTIONS": "detect_leaks=0"}
            if os.path.isdir(target) else None)


class Fixtures(unittest.TestCase):
    NAMES = ["types_v400.mf4", "conversions_v400.mf4", "multirate_v400.mf4", "names_v400.mf4",
             "wide600_v400.mf4", "bigrecord1100_v330.mdf"]

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dbs = {name: base.build(cls.tmp.name, name) for name in cls.NAMES}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def export(self, name, rate_ms=0, settings="", env=None):
        out = os.path.join(tempfile.mkdtemp(dir=self.tmp.name), "out")
        reports = host(self.dbs[name], out, CSV | MAT, rate_ms, settings=settings, env=env)
        self.assertEqual([r for r in reports if r.startswith(("0 ", "-1"))], ["0 Writing ASCII file",
                                                                             "0 Writing MAT file"])
        em.check_file("csv", self.dbs[name], out + " Log File.csv", rate_ms)
        em.check_file("mat", self.dbs[name], out + ".mat", rate_ms)
        dump = subprocess.run(["matdump", out + ".mat"], capture_output=True, text=True)
        self.assertEqual(dump.returncode, 0, dump.stderr)
        return out

    def test_recorded_times(self):
        for name in self.NAMES:
            with self.subTest(name=name):
                self.export(name)
        for settings in ("GroupMessages=0\nWriteUnits=1\n", "WriteDuplicates=3\nWriteStateText=0\n"):
            with self.subTest(settings=settings):
                self.export("names_v400.mf4", settings=settings)
                self.export("conversions_v400.mf4", settings=settings)

    def test_grids(self):
        for name, rate in (("multirate_v400.mf4", 10), ("conversions_v400.mf4", 7), ("wide600_v400.mf4", 50)):
            with self.subTest(name=name):
                self.export(name, rate)
        self.export("multirate_v400.mf4", 5, "ForceRateGap=0.05\nWriteDuplicates=2\n")

    def test_numbers_ignore_the_hosts_decimal_comma(self):
        env = comma_locale(self.tmp.name)
        if env is None:
            self.skipTest("localedef cannot make de_DE")
        self.export("conversions_v400.mf4", env=env)
        self.export("multirate_v400.mf4", 10, "ForceRateGap=0.05\n", env=env)

    def test_cancel_at_every_title_and_first_percent(self):
        db = self.dbs["multirate_v400.mf4"]
        out = os.path.join(tempfile.mkdtemp(dir=self.tmp.name), "out")
        reports = host(db, out, CSV | MAT | MDF3 | MDF4)
        files = ["out Log File.csv", "out.mat", "out.dat", "out.mf4"]
        titles = [i for i, r in enumerate(reports) if r.startswith("0 ")]
        self.assertEqual(len(titles), 4)
        for n, title in enumerate(titles):
            firsts = [title] + [i for i in range(title + 1, len(reports)) if reports[i] not in ("100",)][:1]
            for cancel in firsts:
                with self.subTest(cancel=reports[cancel]):
                    out = os.path.join(tempfile.mkdtemp(dir=self.tmp.name), "out")
                    host(db, out, CSV | MAT | MDF3 | MDF4, cancel_at=cancel + 1)
                    left = sorted(f for f in os.listdir(os.path.dirname(out)) if f != "kvxexport.cfg")
                    self.assertEqual(left, sorted(files[:n]))
        # A grid cancelled while its matrix is filled keeps the MAT header alone.
        out = os.path.join(tempfile.mkdtemp(dir=self.tmp.name), "out")
        reports = host(db, out, MAT, rate_ms=10)
        host(db, out, MAT, rate_ms=10, cancel_at=[i for i, r in enumerate(reports) if r != "100"][1] + 1)
        self.assertEqual(sorted(os.listdir(os.path.dirname(out))), ["kvxexport.cfg", "out.mat"])
        self.assertEqual(os.path.getsize(out + ".mat"), 128)

    def test_outputs_that_are_refused_or_fail(self):
        db = self.dbs["multirate_v400.mf4"]
        folder = tempfile.mkdtemp(dir=self.tmp.name)
        out = os.path.join(folder, "out")
        with open(out + " Log File.csv", "w") as f:
            f.write("my table\n")
        reports = host(db, out, CSV | MAT)
        self.assertIn("-1 The export file %s Log File.csv was not written: it would replace another file" % out,
                      reports)
        with open(out + " Log File.csv") as f:
            self.assertEqual(f.read(), "my table\n")
        em.check_file("mat", db, out + ".mat", 0)
        # Writes that fail midway leave nothing behind.
        for formats, rate in ((CSV, 0), (MAT, 0), (MAT, 5)):
            with self.subTest(formats=formats, rate=rate):
                folder = tempfile.mkdtemp(dir=self.tmp.name)
                reports = host(db, os.path.join(folder, "out"), formats, rate, limit=50000)
                self.assertTrue(any(r.startswith("-1 The export file") for r in reports), reports)
                self.assertEqual(os.listdir(folder), ["kvxexport.cfg"])


if __name__ == "__main__":
    HOST = sys.argv.pop(1)
    base.HOST = HOST
    unittest.main()
