# The shared MDF fixtures seed the fuzzer in place (found the way the tests
# find them; the tests' own variable is local to their folder).
set(mdf_fuzz_fixtures "")
foreach(candidate ${PROJECT_SOURCE_DIR}/../shared/fixtures/mdf /work/shared/fixtures/mdf)
  if(EXISTS ${candidate} AND NOT mdf_fuzz_fixtures)
    get_filename_component(mdf_fuzz_fixtures ${candidate} ABSOLUTE)
  endif()
endforeach()
if(VANTREL_FIXTURES_DIR)
  set(mdf_fuzz_fixtures ${VANTREL_FIXTURES_DIR}/mdf)
endif()
vantrel_fuzzer(mdf_fuzz SUBSYSTEMS support mdfread SEEDS ${mdf_fuzz_fixtures})
