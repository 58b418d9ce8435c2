# Damaged MDF files through the database builder (CreateDatabase). The MDF
# fixtures of the tests (tests/data/mdf) and the reader fuzzer's corpus (data
# lists, unsorted records, record ids, refused data blocks, which the test
# fixtures lack) seed the fuzzer in place.
vantrel_fuzzer(build_fuzz SUBSYSTEMS support mdfread jsonxx dbbuild
  SEEDS ${PROJECT_SOURCE_DIR}/tests/data/mdf ${CMAKE_CURRENT_SOURCE_DIR}/corpus/mdf_fuzz)
