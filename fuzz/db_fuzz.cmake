# Damaged measurement databases through OpenDataFile, stepping and jumps; the
# base database is built from tests/data/mdf/names_v400.mf4.
vantrel_fuzzer(db_fuzz SUBSYSTEMS support mdfread jsonxx dbbuild access)
