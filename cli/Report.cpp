#include "cli/Report.h"

#include "cli/Console.h"
#include "engine/posix/UniqueFd.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A file that could not be read has no size and no hash.
nlohmann::ordered_json FileJson(const FileFacts& file) {
    const bool read = !file.sha256.empty();
    return {{"path", Utf8(file.path)},
            {"size", read ? nlohmann::ordered_json(file.size) : nlohmann::ordered_json(nullptr)},
            {"sha256", read ? nlohmann::ordered_json(file.sha256) : nlohmann::ordered_json(nullptr)}};
}

nlohmann::ordered_json ErrorJson(const std::optional<RunError>& error) {
    if (!error) {
        return nullptr;
    }
    return {{"id", error->id != 0 ? nlohmann::ordered_json(error->id) : nlohmann::ordered_json(nullptr)},
            {"code", error->code},
            {"text", Utf8(error->text)}};
}

nlohmann::ordered_json OrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(Utf8(text));
}

} // namespace

std::string Utf8(const std::string& text) {
    return ForTerminal(text);
}

nlohmann::ordered_json StepsJson(const std::vector<StepFacts>& steps) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const StepFacts& step : steps) {
        array.push_back({{"title", Utf8(step.title)},
                         {"ack", step.ackByte},
                         {"boot_file", FileJson(step.bootFile)},
                         {"program_file", FileJson(step.programFile)},
                         {"blocks", step.blocks}});
    }
    return array;
}

nlohmann::ordered_json SystemErrorJson(const SystemCause& cause) {
    if (cause.kind == SystemCause::Kind::None) {
        return nullptr;
    }
    const char* name = cause.error != 0 ? strerrorname_np(cause.error) : nullptr;
    return {
        {"errno", cause.error != 0 ? nlohmann::ordered_json(cause.error) : nlohmann::ordered_json(nullptr)},
        {"name", name != nullptr ? nlohmann::ordered_json(name) : nlohmann::ordered_json(nullptr)},
        {"text", cause.error != 0 ? nlohmann::ordered_json(std::strerror(cause.error))
                                  : nlohmann::ordered_json(nullptr)},
        {"description", Utf8(DescribeCause(cause))}};
}

nlohmann::ordered_json DeviceJson(const RunResult& result) {
    return {
        {"run_id", result.runId},
        {"port", Utf8(result.port)},
        {"usb", UsbJson(result.usb)},
        {"outcome", OutcomeName(result.outcome)},
        {"error", ErrorJson(result.error)},
        {"system_error", SystemErrorJson(result.cause)},
        {"step", result.step == 0 ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(result.step)},
        {"phase", OrNull(result.phase)},
        {"bytes", result.bytes},
        {"seconds", static_cast<double>(static_cast<long long>(result.seconds * 1000 + 0.5)) / 1000},
        {"started", result.started},
        {"finished", result.finished},
        {"log", Utf8(result.log)},
        {"steps", StepsJson(result.steps)}};
}

nlohmann::ordered_json ReportJson(const RunReport& report) {
    nlohmann::ordered_json devices = nlohmann::ordered_json::array();
    for (const RunResult& result : report.devices) {
        devices.push_back(DeviceJson(result));
    }
    return {{"tool", "tovrin"},
            {"version", TOVRIN_VERSION},
            {"configuration", Utf8(report.configuration)},
            {"started", report.started},
            {"exit_status", report.exitStatus},
            {"devices", devices}};
}

std::string JsonLine(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

bool WriteJsonFile(const std::string& path, const nlohmann::ordered_json& document, std::string& reason) {
    return ReplaceFile(
        path, document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n", reason);
}

std::string HostName() {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}

RunRecord RecordOf(const RunResult& result, const RunPlace& place, bool ended) {
    RunRecord record;
    record.uuid = result.runId;
    record.pid = getpid();
    record.logFile = Utf8(result.log);
    record.started = result.started;
    record.finished = ended ? result.finished : std::string();
    record.host = place.host;
    record.station = place.station;
    record.port = Utf8(result.port);
    if (result.usb) {
        record.usbVendor = result.usb->vendor;
        record.usbProduct = result.usb->product;
        record.usbSerial = Utf8(result.usb->serial);
    }
    record.configuration = Utf8(result.configuration);
    record.configurationSha256 = result.configurationSha256;
    record.steps =
        StepsJson(result.steps).dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    record.outcome = ended ? OutcomeName(result.outcome) : "running";
    if (ended && result.cause.kind != SystemCause::Kind::None) {
        record.systemErrno =
            result.cause.error != 0 ? std::optional<int64_t>(result.cause.error) : std::nullopt;
        record.systemError = Utf8(DescribeCause(result.cause));
    }
    if (ended && result.error) {
        record.errorId = result.error->id != 0 ? std::optional<int64_t>(result.error->id) : std::nullopt;
        record.errorCode = result.error->code;
        record.errorText = Utf8(result.error->text);
    }
    record.bytes = result.bytes;
    record.seconds = result.seconds;
    record.log = Utf8(result.record);
    return record;
}

const char* OutcomeName(RunOutcome outcome) {
    switch (outcome) {
    case RunOutcome::Completed:
        return "completed";
    case RunOutcome::Failed:
        return "failed";
    case RunOutcome::Cancelled:
        return "cancelled";
    case RunOutcome::NotStarted:
        break;
    }
    return "not-started";
}
