#pragma once

#include "cli/SerialPorts.h"
#include "engine/posix/SystemCause.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a run loaded: one step file (absolute path, size and SHA-256 of its bytes).
struct FileFacts {
    std::string path;
    uint64_t size = 0;
    std::string sha256; // lower-case hex
};

// One loading step of the configuration and its two files.
struct StepFacts {
    std::string title;
    unsigned ackByte = 0;
    FileFacts bootFile;
    FileFacts programFile;
    uint32_t blocks = 0; // of the program file
};

enum class RunOutcome { Completed, Failed, Cancelled, NotStarted };

// The message that ended a run that did not complete: its catalogue id (0 for the few texts
// outside the catalogue), its 32-bit code and its text in English.
struct RunError {
    unsigned id = 0;
    uint32_t code = 0;
    std::string text;
};

// One device run, filled where the run is decided and delivered once at its end. The end-of-run
// line, the summary, the report, the JSON events, the exit status and the record store are
// functions of it.
struct RunResult {
    std::string runId; // a UUID given when the run starts
    std::string port;
    std::optional<UsbIdentity> usb;
    RunOutcome outcome = RunOutcome::NotStarted;
    std::optional<RunError> error;
    SystemCause cause;  // the system's cause of a failure, when there was one
    size_t step = 0;    // the step where the run ended, from 1; 0 before the first
    std::string phase;  // "connecting", "boot", "program" or empty
    uint64_t bytes = 0; // written to the device
    double seconds = 0;
    std::string started; // ISO 8601, UTC
    std::string finished;
    std::string log;    // the log's path
    std::string record; // the run's log record (Windows-1252, CR LF), as written
    bool logWritten = false;
    // A thread of the transfer did not end: it still holds the port, which is left alone.
    bool stuck = false;
    // The configuration and its step files as this run read them: the hashes are of the bytes
    // it sent.
    std::string configuration; // absolute path
    std::string configurationSha256;
    std::vector<StepFacts> steps;
};

const char* OutcomeName(RunOutcome outcome);

// Told of a device run's start (its row then says "running") and of its end, on the run's own
// thread; the record store's rows are written from here.
class IRunRecorder {
public:
    virtual ~IRunRecorder() = default;
    virtual void Started(const RunResult& run) = 0;
    virtual void Ended(const RunResult& run) = 0;
};
