vantrel_fuzzer(json_fuzz SUBSYSTEMS jsonxx)
