#pragma once

#include "board/BoardPages.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

// The board's reading of the store: once a second on a thread of its own, whatever the number
// of people and scrapers looking, so that they cost the store nothing; each reading is rendered
// once. Runs asked for by id or filter are read when asked.
class BoardReader {
public:
    BoardReader(std::string target, std::string schema);
    BoardReader(const BoardReader&) = delete;
    BoardReader& operator=(const BoardReader&) = delete;
    ~BoardReader();

    // Reads the store once: false with the reason when it cannot be read now.
    bool Open(std::string& reason);
    void Start();
    void Stop();

    struct Rendered {
        BoardState state;
        std::string page;
        std::string live;
        std::string metrics;
        std::string stations;
    };
    std::shared_ptr<const Rendered> Now();

    // The runs the filter selects; false with the reason.
    bool Runs(const RunFilter& filter, std::vector<RunRecord>& runs, std::string& error);
    const std::string& Shown() const { return shown; }

private:
    std::unique_ptr<IRecordStore> Reader(bool refresh, std::string& error);
    bool Refresh(std::string& error);
    void Loop();

    const std::string target;
    const std::string schema;
    const std::string shown;
    std::mutex serverMutex;
    std::unique_ptr<IRecordStore> refreshing; // a server's store, for the refresh
    std::unique_ptr<IRecordStore> answering;  // and for the requests
    // The totals of the runs that started before `baseBefore`, counted now and then: those
    // rows no longer change (but for the rare late one, which the next count takes in).
    std::vector<RunCount> base;
    std::string baseBefore;
    std::time_t baseAt = 0;

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::shared_ptr<const Rendered> rendered;
    std::thread thread;
};

// Where the board listens: "127.0.0.1:8080", "[::1]:8080", "0.0.0.0:80"; false when the text is
// none of these.
bool ParseListen(const std::string& text, std::string& host, int& port);

// Serves the board until Stop. At most kServingThreads requests are answered at once and
// kWaitingConnections wait; further connections wait in the system's queue.
class BoardServer {
public:
    static constexpr size_t kServingThreads = 16;
    static constexpr size_t kWaitingConnections = 256;

    explicit BoardServer(BoardReader& reader);
    ~BoardServer();
    // Binds (port 0: a free one); false with the reason.
    bool Bind(const std::string& host, int port, int& bound, std::string& reason);
    void Start();
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
