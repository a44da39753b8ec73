#include "cli/Records.h"

#include "record/PostgresStore.h"

#include <cstdlib>

namespace {

// The rows get the time a locked store is waited for; the shipping, a few seconds.
constexpr std::chrono::milliseconds kWritingEnd{10000};
constexpr std::chrono::milliseconds kShippingEnd{5000};

const char* Environment(const char* name) {
    return std::getenv(name);
}

} // namespace

// The shipper's thread tells the keeper's notice: it stops first, and the keeper, which wakes
// it, may still do so while it ends.
Records::~Records() {
    if (shipper) {
        shipper->Stop();
    }
}

bool Records::Open(const CliOptions& options, const std::string& target, const std::string& logsFolder,
                   RunPlace place, std::string& reason) {
    if (!IsServerUri(target)) {
        if (!options.outboxFile.empty()) {
            reason = "--outbox is for a server store (--db postgresql://...)";
            return false;
        }
        shown = target;
        local = OpenRecordStore(target, reason);
        if (!local) {
            return false;
        }
        keeper = std::make_unique<RecordKeeper>(*local, target, logsFolder);
    } else {
        if (!CheckSchemaName(options.dbSchema, reason)) {
            return false;
        }
        shown = ShownUri(target);
        outboxPath = options.outboxFile.empty() ? DefaultRecordStorePath(Environment) : options.outboxFile;
        OutboxStore opened = OpenOutboxStore(outboxPath, reason);
        if (!opened.store) {
            reason = "the outbox: " + reason;
            return false;
        }
        local = std::move(opened.store);
        outbox = opened.outbox;
        // The server is not waited for: one that is away stops nothing.
        server = MakeServerStore(target, options.dbSchema);
        shipper = std::make_unique<Shipper>(*outbox, *server, [this] { keeper->Changed(); });
        shipping = std::make_unique<ShippingStore>(*local, *shipper);
        keeper = std::make_unique<RecordKeeper>(*shipping, outboxPath, logsFolder);
    }
    kept = std::make_unique<KeptRuns>(*keeper, std::move(place));
    return true;
}

void Records::Start() {
    if (shipper) {
        shipper->Start();
    }
    keeper->Start();
}

Records::News Records::TakeNews() {
    News news;
    keeper->TakeChange();
    const KeeperState keeperNow = keeper->State();
    KeeperNews written =
        NewsOf(toldKeeper, keeperNow, outboxPath.empty() ? shown : outboxPath, keeper->WaitingFile());
    toldKeeper = keeperNow;
    news.lines = std::move(written.lines);
    news.events = std::move(written.events);
    if (shipper) {
        const ShipperState shipperNow = shipper->State();
        ShipperNews shipped = NewsOf(toldShipper, shipperNow, shown, outboxPath);
        toldShipper = shipperNow;
        news.lines.insert(news.lines.end(), shipped.lines.begin(), shipped.lines.end());
        news.events.insert(news.events.end(), shipped.events.begin(), shipped.events.end());
    }
    return news;
}

std::vector<std::string> Records::Finish() {
    std::vector<std::string> lines;
    const std::string store = outboxPath.empty() ? shown : outboxPath;
    if (!keeper->Flush(kWritingEnd)) {
        lines.push_back(std::to_string(keeper->State().waiting) + " records could not be written to " +
                        store + "; they are kept in " + keeper->WaitingFile() +
                        " and written by the next tovrin that uses this store");
    }
    if (shipper) {
        const bool away = !shipper->State().reason.empty();
        if (!shipper->Flush(away ? std::chrono::milliseconds(0) : kShippingEnd)) {
            const ShipperState now = shipper->State();
            lines.push_back(std::to_string(now.waiting) + " records wait in " + outboxPath +
                            (now.reason.empty() ? " for " + shown : " (" + now.reason + ")") +
                            "; the next tovrin with this outbox ships them");
        }
    }
    return lines;
}

int64_t Records::Pending() {
    const size_t unshipped = shipper ? shipper->State().waiting : 0;
    return static_cast<int64_t>(keeper->State().waiting + unshipped);
}

std::string Records::Summary() {
    std::string summary;
    const KeeperState written = keeper->State();
    if (written.waiting > 0 && !written.since.empty()) {
        summary += "records waiting " + std::to_string(written.waiting) + " since " + written.since;
    }
    if (shipper) {
        const ShipperState shipped = shipper->State();
        if (shipped.backlog && shipped.waiting > 0) {
            summary += std::string(summary.empty() ? "" : "  ") + "unshipped " +
                       std::to_string(shipped.waiting) + " since " + shipped.since;
        }
    }
    return summary;
}
