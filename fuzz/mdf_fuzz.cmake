# The MDF fixtures of the tests (tests/data/mdf) seed the fuzzer in place.
vantrel_fuzzer(mdf_fuzz SUBSYSTEMS support mdfread SEEDS ${PROJECT_SOURCE_DIR}/tests/data/mdf)
