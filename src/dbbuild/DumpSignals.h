// The statistics list's entry of one channel, shared by DumpSignals and its
// tests.
#pragma once

#include <string>

#include "dbbuild/DbSignal.h"
#include "jsonxx/jsonxx.h"

// The entry of data signal signal of a group of records records read, whose
// time signal is time: its names, unit, the group's time bounds and the
// signal's statistics, physical values as decoded and raw ones through the
// linear formula. groupLabel is the message of a channel whose comment
// names none.
jsonxx::Object StatisticsEntry(DbSignal const& signal, DbSignal const& time, unsigned long long records,
                               std::string const& groupLabel);
