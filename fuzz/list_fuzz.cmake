# Channel lists and alias lists through their readers and name matching.
vantrel_fuzzer(list_fuzz SUBSYSTEMS support mdfread jsonxx access)
