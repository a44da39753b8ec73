#pragma once

#include <string>

// A new run id: a random UUID (version 4), lower-case, "0f2c5f0e-8a47-4b3c-9d1e-2a6b7c8d9e0f".
// It names one device run in its row, its report, its events and its log file's name.
std::string NewRunId();
