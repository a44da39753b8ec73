#pragma once

#include "record/RecordStore.h"

#include <ostream>
#include <vector>

// The listing of recorded runs (`tovrin history`), in the order given (the store gives newest
// first).

enum class HistoryFormat { Table, Csv, Json };

// The help text of the option that takes a ParseSinceTime time.
constexpr const char* kSinceHelp =
    "runs started at or after TIME: a date 2026-12-08, a date and time "
    "2026-12-08T17:02[:04] or \"2026-12-08 17:02:04\", all UTC (\"Z\" optional), "
    "or an age such as 30m, 12h or 7d";

// Table: aligned columns for people (id, started, station, port's base name, serial, outcome,
// seconds, bytes, error), "no runs" when there are none.
// Csv: RFC 4180 (CRLF, a header row of the column names), every column but the log.
// Json: an array of objects with every column under its name; steps as JSON, no value as null.
void PrintHistory(const std::vector<RunRecord>& runs, HistoryFormat format, std::ostream& out);
