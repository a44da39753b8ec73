#include "board/BoardServer.h"

#include "record/PostgresStore.h"
#include "record/Support.h"

#include <httplib.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>
#include <fstream>
#include <set>
#include <sstream>

namespace {

constexpr std::chrono::seconds kRefreshEvery{1};
constexpr std::time_t kBaseEvery = 600;   // the all-time totals are counted again
constexpr std::time_t kBaseMargin = 3600; // rows younger than this are counted at each reading
constexpr size_t kRunsDefault = 100;
constexpr size_t kRunsMost = 1000;
const char* const kChartScript = "/usr/share/javascript/chart.js/chart.min.js";

std::string IsoSeconds(std::time_t moment) {
    return IsoUtc(std::chrono::system_clock::from_time_t(moment)).substr(0, 19) + "Z";
}

// Connections handed over by the server's accepting thread: the newest is served first, so that
// connections that only wait for their time-out do not keep a new request waiting behind them;
// when too many wait, the accepting thread waits (and the system's queue holds the rest).
class ServingThreads : public httplib::TaskQueue {
public:
    ServingThreads(size_t count, size_t most) : most(most) {
        for (size_t index = 0; index < count; ++index) {
            threads.emplace_back([this] { Work(); });
        }
    }

    void enqueue(std::function<void()> job) override {
        std::unique_lock<std::mutex> lock(mutex);
        room.wait(lock, [this] { return jobs.size() < most || stopping; });
        jobs.push_back(std::move(job));
        work.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
        }
        work.notify_all();
        room.notify_all();
        for (std::thread& thread : threads) {
            thread.join();
        }
    }

private:
    void Work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock<std::mutex> lock(mutex);
                work.wait(lock, [this] { return !jobs.empty() || stopping; });
                if (jobs.empty()) {
                    return;
                }
                job = std::move(jobs.back());
                jobs.pop_back();
            }
            room.notify_one();
            job();
        }
    }

    const size_t most;
    std::mutex mutex;
    std::condition_variable work;
    std::condition_variable room;
    std::deque<std::function<void()>> jobs;
    bool stopping = false;
    std::vector<std::thread> threads;
};

// A whole file, or nothing when it cannot be read.
std::string FileText(const char* path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return file ? text.str() : std::string();
}

bool ParseLimit(const std::string& text, size_t& limit) {
    if (text.empty() || text.size() > 6) {
        return false;
    }
    limit = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        limit = limit * 10 + static_cast<size_t>(c - '0');
    }
    return limit >= 1 && limit <= kRunsMost;
}

// The filters of `history` from a query; false with the reason.
bool RunFilterOf(const httplib::Request& request, RunFilter& filter, std::string& error) {
    filter.limit = kRunsDefault;
    filter.withLog = false;
    for (const auto& [name, value] : request.params) {
        if (name == "since") {
            std::string since;
            if (!ParseSinceTime(value, std::time(nullptr), since, error)) {
                return false;
            }
            filter.since = since;
        } else if (name == "serial") {
            filter.serial = value;
        } else if (name == "port") {
            filter.port = value;
        } else if (name == "outcome") {
            const std::set<std::string> outcomes = {"completed",   "failed",  "cancelled",
                                                    "not-started", "running", "interrupted"};
            if (outcomes.count(value) == 0) {
                error = "outcome must be completed, failed, cancelled, not-started, running or interrupted";
                return false;
            }
            filter.outcome = value;
        } else if (name == "station") {
            filter.station = value;
        } else if (name == "limit") {
            if (!ParseLimit(value, filter.limit)) {
                error = "limit must be a number from 1 to " + std::to_string(kRunsMost);
                return false;
            }
        } else {
            error =
                "unknown parameter \"" + Utf8Text(name) + "\" (since, serial, port, outcome, station, limit)";
            return false;
        }
    }
    return true;
}

// A server's store, lent for one reading; it only reads.
class Borrowed : public IRecordStore {
public:
    explicit Borrowed(IRecordStore& store) : store(store) {}
    bool WriteRun(RunRecord&, std::string& error) override {
        error = "the board only reads";
        return false;
    }
    bool Query(const RunFilter& filter, std::vector<RunRecord>& runs, std::string& error) override {
        return store.Query(filter, runs, error);
    }
    bool MarkInterrupted(const std::function<std::optional<std::string>(const RunRecord&)>&, size_t&,
                         std::string& error) override {
        error = "the board only reads";
        return false;
    }
    bool QueryStations(std::vector<StationState>& stations, std::string& error) override {
        return store.QueryStations(stations, error);
    }
    bool CountRuns(const std::string& since, const std::string& before, std::vector<RunCount>& counts,
                   std::string& error) override {
        return store.CountRuns(since, before, counts, error);
    }

private:
    IRecordStore& store;
};

std::string ErrorJson(const std::string& error) {
    return JsonText({{"error", error}});
}

} // namespace

BoardReader::BoardReader(std::string target, std::string schema)
    : target(std::move(target)), schema(std::move(schema)), shown(ShownUri(this->target)) {}

BoardReader::~BoardReader() {
    Stop();
}

// A file is opened again for each reading: a station that starts or ends meanwhile changes how
// it must be read (with or without its write-ahead log). A server's store stays connected (it
// connects again when it must); the refresh and the requests have one connection each, so that
// a request does not wait for a reading of the whole day.
std::unique_ptr<IRecordStore> BoardReader::Reader(bool refresh, std::string& error) {
    if (!IsServerUri(target)) {
        return OpenRecordStoreForReading(target, error);
    }
    std::lock_guard<std::mutex> lock(serverMutex);
    std::unique_ptr<IRecordStore>& server = refresh ? refreshing : answering;
    if (!server) {
        server = OpenServerStoreForReading(target, schema, error);
    }
    return server ? std::make_unique<Borrowed>(*server) : nullptr;
}

bool BoardReader::Open(std::string& reason) {
    return (!IsServerUri(target) || CheckSchemaName(schema, reason)) && Refresh(reason);
}

// 1. The stations and the last day's runs. 2. The totals: the old rows' now and then, the young
// ones' every time. 3. Rendered once for every reader of the board.
bool BoardReader::Refresh(std::string& error) {
    auto next = std::make_shared<Rendered>();
    BoardState& state = next->state;
    state.store = shown;
    const std::time_t now = std::time(nullptr);
    state.readAt = IsoUtc(std::chrono::system_clock::now());
    std::unique_ptr<IRecordStore> store = Reader(true, error);
    RunFilter day;
    day.since = IsoSeconds(now - 24 * 3600);
    day.withLog = false;
    day.withSteps = false;
    std::vector<RunRecord> runs;
    std::vector<RunCount> young;
    bool read = store && store->QueryStations(state.stations, error) && store->Query(day, runs, error);
    if (read && (baseBefore.empty() || now - baseAt >= kBaseEvery)) {
        std::vector<RunCount> counted;
        const std::string before = IsoSeconds(now - kBaseMargin);
        read = store->CountRuns("", before, counted, error);
        if (read) {
            base = std::move(counted);
            baseBefore = before;
            baseAt = now;
        }
    }
    read = read && store->CountRuns(baseBefore, "", young, error);
    if (!read) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!rendered) {
            return false;
        }
        // What was read before stays, with the reason it is not newer.
        auto kept = std::make_shared<Rendered>(*rendered);
        kept->state.problem = error;
        kept->live = LiveHtml(kept->state);
        kept->page = BoardPage(kept->state);
        rendered = std::move(kept);
        return false;
    }
    state.view = MakeBoardView(runs, now);
    state.totals = AddCounts(base, young);
    next->live = LiveHtml(state);
    next->page = BoardPage(state);
    next->metrics = MetricsText(state);
    next->stations = StationsJson(state.stations);
    std::lock_guard<std::mutex> lock(mutex);
    rendered = std::move(next);
    return true;
}

void BoardReader::Start() {
    thread = std::thread([this] { Loop(); });
}

void BoardReader::Loop() {
    std::unique_lock<std::mutex> lock(mutex);
    while (!stopping) {
        lock.unlock();
        std::string error;
        Refresh(error);
        lock.lock();
        wake.wait_for(lock, kRefreshEvery, [this] { return stopping; });
    }
}

void BoardReader::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (thread.joinable()) {
        thread.join();
    }
}

std::shared_ptr<const BoardReader::Rendered> BoardReader::Now() {
    std::lock_guard<std::mutex> lock(mutex);
    return rendered;
}

bool BoardReader::Runs(const RunFilter& filter, std::vector<RunRecord>& runs, std::string& error) {
    // The refresh thread may use a server's connection meanwhile: the store takes turns.
    std::unique_ptr<IRecordStore> store = Reader(false, error);
    return store && store->Query(filter, runs, error);
}

bool ParseListen(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || text.size() - colon > 6) {
        return false;
    }
    host = text.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']') {
            return false;
        }
        host = host.substr(1, host.size() - 2);
    } else if (host.find(':') != std::string::npos) {
        return false; // an IPv6 address goes in brackets
    }
    port = 0;
    for (const char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9') {
            return false;
        }
        port = port * 10 + (c - '0');
    }
    return port <= 65535;
}

struct BoardServer::Impl {
    explicit Impl(BoardReader& reader) : reader(reader), chartScript(FileText(kChartScript)) {}

    void Routes();
    void Page(httplib::Response& response, const std::string& body, const char* type);
    void Run(const httplib::Request& request, httplib::Response& response);
    void ApiRuns(const httplib::Request& request, httplib::Response& response);

    BoardReader& reader;
    const std::string chartScript;
    httplib::Server server;
    std::thread thread;
};

void BoardServer::Impl::Page(httplib::Response& response, const std::string& body, const char* type) {
    response.set_header("Cache-Control", "no-store");
    response.set_content(body, type);
}

void BoardServer::Impl::Routes() {
    const auto rendered = [this](std::string BoardReader::Rendered::*part, const char* type) {
        return [this, part, type](const httplib::Request&, httplib::Response& response) {
            const auto now = reader.Now();
            Page(response, now ? (*now).*part : std::string(), type);
        };
    };
    server.Get("/", rendered(&BoardReader::Rendered::page, "text/html; charset=utf-8"));
    server.Get("/live", rendered(&BoardReader::Rendered::live, "text/html; charset=utf-8"));
    server.Get("/metrics",
               rendered(&BoardReader::Rendered::metrics, "text/plain; version=0.0.4; charset=utf-8"));
    server.Get("/api/stations", rendered(&BoardReader::Rendered::stations, "application/json"));
    server.Get("/api/runs", [this](const httplib::Request& request, httplib::Response& response) {
        ApiRuns(request, response);
    });
    server.Get(R"(/runs/([^/]*))", [this](const httplib::Request& request, httplib::Response& response) {
        Run(request, response);
    });
    server.Get("/board.js", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(BoardScript(), "text/javascript; charset=utf-8");
    });
    server.Get("/board.css", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(BoardStyle(), "text/css; charset=utf-8");
    });
    server.Get("/chart.js", [this](const httplib::Request&, httplib::Response& response) {
        if (chartScript.empty()) {
            response.status = 404;
            response.set_content(std::string("Chart.js is not installed (") + kChartScript + ")",
                                 "text/plain");
            return;
        }
        response.set_content(chartScript, "text/javascript; charset=utf-8");
    });
    server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
        if (response.status == 404 && response.body.empty()) {
            response.set_content(NotFoundPage("Nothing here: " + request.path), "text/html; charset=utf-8");
        }
    });
}

void BoardServer::Impl::Run(const httplib::Request& request, httplib::Response& response) {
    std::string id = request.matches[1];
    for (char& c : id) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    RunFilter filter;
    filter.uuid = id;
    std::vector<RunRecord> runs;
    std::string error;
    if (!IsUuid(id)) {
        response.status = 404;
        Page(response, NotFoundPage("Not a run id: " + id), "text/html; charset=utf-8");
    } else if (!reader.Runs(filter, runs, error)) {
        response.status = 503;
        Page(response, NotFoundPage("The record cannot be read now: " + error), "text/html; charset=utf-8");
    } else if (runs.empty()) {
        response.status = 404;
        Page(response, NotFoundPage("No run " + id + " in the record"), "text/html; charset=utf-8");
    } else {
        Page(response, RunPage(runs.front()), "text/html; charset=utf-8");
    }
}

void BoardServer::Impl::ApiRuns(const httplib::Request& request, httplib::Response& response) {
    RunFilter filter;
    std::string error;
    std::vector<RunRecord> runs;
    if (!RunFilterOf(request, filter, error)) {
        response.status = 400;
        Page(response, ErrorJson(error), "application/json");
    } else if (!reader.Runs(filter, runs, error)) {
        response.status = 503;
        Page(response, ErrorJson(error), "application/json");
    } else {
        Page(response, RunsJson(runs), "application/json");
    }
}

BoardServer::BoardServer(BoardReader& reader) : impl(std::make_unique<Impl>(reader)) {
    httplib::Server& server = impl->server;
    server.new_task_queue = [] { return new ServingThreads(kServingThreads, kWaitingConnections); };
    // One request a connection, and little time for it: a connection holds a serving thread
    // only while its request comes and its answer goes.
    // The library's own options also share the port (SO_REUSEPORT): a second board on a port
    // in use would start and take half of its requests. Only a port left in TIME_WAIT is taken.
    server.set_socket_options([](int socket) {
        const int yes = 1;
        setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_keep_alive_max_count(1);
    server.set_keep_alive_timeout(2); // the wait for a connection's first request, too
    server.set_read_timeout(2, 0);
    server.set_write_timeout(5, 0);
    server.set_payload_max_length(64 * 1024);
    server.set_default_headers({{"X-Content-Type-Options", "nosniff"},
                                {"Content-Security-Policy",
                                 "default-src 'self'; style-src 'self' 'unsafe-inline'; object-src 'none'; "
                                 "frame-ancestors 'none'"},
                                {"Referrer-Policy", "no-referrer"}});
    impl->Routes();
}

BoardServer::~BoardServer() {
    Stop();
}

bool BoardServer::Bind(const std::string& host, int port, int& bound, std::string& reason) {
    errno = 0;
    bound =
        port == 0 ? impl->server.bind_to_any_port(host) : (impl->server.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        reason = "cannot listen on " + host + ":" + std::to_string(port) +
                 (errno != 0 ? std::string(" (") + std::strerror(errno) + ")" : std::string());
        return false;
    }
    return true;
}

void BoardServer::Start() {
    impl->thread = std::thread([this] { impl->server.listen_after_bind(); });
}

void BoardServer::Stop() {
    if (impl->thread.joinable()) {
        impl->server.stop();
        impl->thread.join();
    }
}
