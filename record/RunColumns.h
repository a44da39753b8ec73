#pragma once

#include "record/RecordStore.h"

#include <cstdint>
#include <string>
#include <vector>

// One view of a run's row: every column's name, type and place in RunRecord, in the order of
// the stores' tables. Both stores, the history's CSV and JSON and the file of waiting rows all
// go through it, so that a column is added in one place.

// A column's value as the stores hold it.
struct RunValue {
    enum class Type { Null, Integer, Real, Text };
    Type type = Type::Null;
    int64_t integer = 0;
    double real = 0;
    std::string text;
};

struct RunColumn {
    const char* name;
    RunValue::Type type;    // what the column holds when it is not null
    const char* serverType; // the column's type on a PostgreSQL server
    int version;            // the file schema version that brought the column
    bool required;          // never null on a server (a file's own rules are older)
    RunValue (*get)(const RunRecord& run);
    void (*set)(RunRecord& run, const RunValue& value); // a null or mistyped value leaves the default
};

// id first, in the order of a file's table.
const std::vector<RunColumn>& RunColumns();

// The steps as JSON text in one key order (title, ack, boot_file, program_file, blocks; path,
// size, sha256), whatever order a store gave them in: a server's jsonb keeps its own order.
std::string CanonicalSteps(const std::string& steps);
