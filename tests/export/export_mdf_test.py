"""ExportToMdf(W) and ExportToMdfForceRate(W) through ctypes on the shared
library: fixture databases exported to MDF 3.30 and 4.00, walked strictly and
checked against the model of export_model.py, round trips back through
CreateDatabase, settings, the C++ host interface, and failures.

usage: export_mdf_test.py <export_host program>
"""
import ctypes
import os
import resource
import signal
import sqlite3
import subprocess
import sys
import tempfile
import unittest

import export_model as em

HOST = None
# The host program finds its leaks itself (it is built with the sanitizers).
HOST_ENV = dict(os.environ, ASAN_OPTIONS="detect_leaks=1")
FIXTURES = os.path.join(os.environ["VANTREL_FIXTURES"], "mdf")
FIXTURE_NAMES = ["types_v400.mf4", "conversions_v400.mf4", "conversions_v330.mdf", "multirate_v400.mf4",
                 "names_v400.mf4", "wide600_v400.mf4", "bigrecord1100_v330.mdf"]


def library():
    lib = ctypes.CDLL(os.environ["VANTREL_LIB"])
    lib.ExportToMdfForceRateW.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p, ctypes.c_double]
    lib.ExportToMdfW.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p]
    lib.ExportToMdf.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
    lib.CreateDatabaseW.argtypes = [ctypes.c_wchar_p, ctypes.c_wchar_p]
    return lib


def call(db, out, rate=None, cwd=None, settings=None, limit=None, narrow=False):
    """Runs one export in a child process (its own cwd, settings file and
    file size limit); returns (result, standard output)."""
    cwd = cwd or os.path.dirname(out) or "."
    if settings is not None:
        with open(os.path.join(cwd, "kvxexport.cfg"), "w") as f:
            f.write("".join("%s=%s\n" % item for item in settings.items()))
    args = [sys.executable, __file__, "call", db, out, repr(rate), repr(narrow)]

    def prepare():
        if limit is not None:
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))
    done = subprocess.run(args, cwd=cwd, capture_output=True, text=True, preexec_fn=prepare,
                          env=dict(os.environ, TZ="UTC"))
    lines = done.stdout.splitlines()
    assert done.returncode == 0 and lines, done.stdout + done.stderr
    return int(lines[-1]), lines[:-1]


def child(db, out, rate, narrow):
    lib = library()
    if narrow:
        result = lib.ExportToMdf(db.encode(), out.encode())
    elif rate is None:
        result = lib.ExportToMdfW(db, out)
    else:
        result = lib.ExportToMdfForceRateW(db, out, rate)
    sys.stdout.flush()
    print(result)


def build(folder, name):
    db = os.path.join(folder, name + ".db")
    assert library().CreateDatabaseW(os.path.join(FIXTURES, name), db) == 1
    return db


class Fixtures(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory()
        cls.dbs = {name: build(cls.tmp.name, name) for name in FIXTURE_NAMES}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def export(self, name, version, rate=None, settings=None, **check):
        folder = tempfile.mkdtemp(dir=self.tmp.name)
        settings = dict(settings or {})
        if version == 4:
            settings["MDF Extension"] = ".mf4"
        out = os.path.join(folder, "out")
        result, lines = call(self.dbs[name], out, rate, settings=settings)
        self.assertEqual((result, lines), (1, []), name)
        path = out + (".mf4" if version == 4 else ".dat")
        self.assertEqual(sorted(os.listdir(folder)), sorted(["kvxexport.cfg", os.path.basename(path)]))
        em.check_mdf(self.dbs[name], path, **check)
        return path

    def test_every_fixture_in_both_versions_and_round_trip(self):
        for name in FIXTURE_NAMES:
            for version in (3, 4):
                with self.subTest(name=name, version=version):
                    path = self.export(name, version)
                    self.round_trip(self.dbs[name], path)

    def round_trip(self, db, path):
        back = path + ".db"
        self.assertEqual(library().CreateDatabaseW(path, back), 1)
        original, copy = em.Export(db), em.Export(back)
        copies = {(m.name, c.name): (m, c) for m in copy.messages for c in m.channels.values()}
        for channel in original.channels:
            m2, c2 = copies[(channel.message.name, channel.name)]
            mine = channel.message.rows(original.con, [channel.index])
            theirs = m2.rows(copy.con, [c2.index])
            self.assertEqual(len(mine), len(theirs), channel.name)
            for (t1, v1), (t2, v2) in zip(mine, theirs):
                self.assertAlmostEqual(t1, t2, delta=1e-6)
                p1, p2 = channel.physical_value(v1[channel.index]), c2.physical_value(v2[c2.index])
                if channel.kind()[0] == "int" or p1 is None:
                    continue  # NULLs become 0 in an MDF integer; widths are checked by the walk
                self.assertTrue(p1 == p2 or abs(p1 - p2) <= 1e-6 * max(abs(p1), 1.0), (channel.name, p1, p2))

    def test_grids(self):
        for name, rate, gap in (("multirate_v400.mf4", 0.01, 0.0), ("multirate_v400.mf4", 0.005, 0.05),
                                ("bigrecord1100_v330.mdf", 0.5, 0.0), ("types_v400.mf4", 0.05, 0.0)):
            for version in (3, 4):
                with self.subTest(name=name, rate=rate, version=version):
                    settings = {"ForceRateGap": gap} if gap else {}
                    self.export(name, version, rate, settings, rate_ms=int(rate * 1000),
                                gap=gap if version == 3 or gap >= rate else 0.0)
        self.export("multirate_v400.mf4", 3, 0.0005)  # below a millisecond: the recorded times
        with sqlite3.connect(self.dbs["multirate_v400.mf4"]) as con:
            indexes = {r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type = 'index'")}
        self.assertTrue({"MessageIndex%04d" % m for m in range(1, 4)} <= indexes, indexes)

    def test_settings_choose_the_version_and_extension(self):
        db = self.dbs["types_v400.mf4"]
        for extension, produced in ((".MF4", "out.mf4"), (".mdf", "out.mdf")):
            folder = tempfile.mkdtemp(dir=self.tmp.name)
            self.assertEqual(call(db, os.path.join(folder, "out"), settings={"MDF Extension": extension})[0], 1)
            self.assertEqual(sorted(os.listdir(folder)), ["kvxexport.cfg", produced])
            em.check_mdf(db, os.path.join(folder, produced))

    def test_cpp_host_formats_cancel_and_exceptions(self):
        db = self.dbs["multirate_v400.mf4"]
        folder = tempfile.mkdtemp(dir=self.tmp.name)
        out = os.path.join(folder, "out")
        # Without cancelling: both versions, and the callback's sequence.
        run = subprocess.run([HOST, db, out, "0"], capture_output=True, text=True, cwd=folder, env=HOST_ENV)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        reports = run.stdout.splitlines()
        self.assertEqual(reports[0], "0 Writing MDF file")
        self.assertIn("0 Writing MDF4 file", reports)
        self.assertEqual(reports.count("100"), 2)
        em.check_mdf(db, out + ".dat")
        em.check_mdf(db, out + ".mf4")
        titles = [i for i, r in enumerate(reports) if r.startswith("0 ")]
        percents = [i for i, r in enumerate(reports) if r not in ("100",) and not r.startswith("0 ")]
        for cancel_at, kept in ((titles[0], []), (percents[0], []), (titles[1], ["out.dat"])):
            with self.subTest(cancel_at=cancel_at):
                folder = tempfile.mkdtemp(dir=self.tmp.name)
                run = subprocess.run([HOST, db, os.path.join(folder, "out"), str(cancel_at + 1)],
                                     capture_output=True, text=True, env=HOST_ENV)
                self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
                self.assertEqual(sorted(os.listdir(folder)), kept)
        # An output that may not be written is reported; the other is written.
        with open(out + ".dat", "w") as f:
            f.write("notes")
        run = subprocess.run([HOST, db, out, "0"], capture_output=True, text=True, env=HOST_ENV)
        self.assertIn("\n-1 The export file %s.dat was not written: " % out, run.stdout)
        with open(out + ".dat") as f:
            self.assertEqual(f.read(), "notes")
        em.check_mdf(db, out + ".mf4")
        # An SQL failure reaches the host as CppSQLite3Exception.
        bad = os.path.join(folder, "not_a_db")
        with open(bad, "w") as f:
            f.write("no database " * 100)
        run = subprocess.run([HOST, bad, os.path.join(folder, "x"), "0"], capture_output=True, text=True,
                             env=HOST_ENV)
        self.assertEqual((run.returncode, run.stdout.splitlines()[-1]), (0, "caught UNKNOWN_ERROR"))


class Failures(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.folder = self.tmp.name
        self.db = build(self.folder, "multirate_v400.mf4")

    def tearDown(self):
        if os.path.isdir(os.path.join(self.folder, "locked")):
            os.chmod(os.path.join(self.folder, "locked"), 0o700)
        self.tmp.cleanup()

    def test_databases_that_cannot_be_read(self):
        bad = os.path.join(self.folder, "text.db")
        with open(bad, "w") as f:
            f.write("not a database\n" * 200)
        missing = os.path.join(self.folder, "missing.db")
        for db, line in ((bad, "UNKNOWN_ERROR error from: " + bad), (missing, "SQLITE_ERROR error from: " + missing)):
            self.assertEqual(call(db, os.path.join(self.folder, "out")), (0, [line]))
            self.assertFalse(os.path.exists(os.path.join(self.folder, "out.dat")))

    def test_outputs_that_cannot_be_written(self):
        other = os.path.join(self.folder, "other.dat")
        with open(other, "w") as f:
            f.write("somebody's notes")
        as_db = os.path.join(self.folder, "same")
        os.link(self.db, as_db + ".dat")
        cases = [(os.path.join(self.folder, "other"), None, None), (as_db, None, None),
                 (os.path.join(self.folder, "full"), None, 20000)]
        if os.geteuid() != 0:  # root writes into a read-only folder
            locked = os.path.join(self.folder, "locked")
            os.mkdir(locked, 0o500)
            cases.append((os.path.join(locked, "out"), None, None))
        for out, settings, limit in cases:
            with self.subTest(out=out):
                before = sorted(os.listdir(self.folder))
                result, lines = call(self.db, out, cwd=self.folder, settings=settings, limit=limit)
                self.assertEqual(result, 0)
                self.assertTrue(lines, "a diagnostic line")
                self.assertEqual(sorted(os.listdir(self.folder)), before)
        with open(other) as f:
            self.assertEqual(f.read(), "somebody's notes")
        em.Export(self.db)  # the database is still a database

    def test_narrow_form_and_null_texts(self):
        lib = library()
        self.assertEqual(lib.ExportToMdf(None, b"x"), 0)
        result, _ = call(self.db, os.path.join(self.folder, "narrow"), narrow=True)
        self.assertEqual(result, 1)
        em.check_mdf(self.db, os.path.join(self.folder, "narrow.dat"))


if __name__ == "__main__":
    if sys.argv[1] == "call":
        child(sys.argv[2], sys.argv[3], eval(sys.argv[4]), eval(sys.argv[5]))
        sys.exit(0)
    HOST = sys.argv.pop(1)
    unittest.main()
