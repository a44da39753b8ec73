#include "record/RunColumns.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <iterator>

namespace {

using Type = RunValue::Type;

RunValue Text(const std::string& text) {
    RunValue value;
    value.type = Type::Text;
    value.text = text;
    return value;
}

// Empty is "none", SQL NULL.
RunValue TextOrNull(const std::string& text) {
    return text.empty() ? RunValue() : Text(text);
}

RunValue Integer(int64_t number) {
    RunValue value;
    value.type = Type::Integer;
    value.integer = number;
    return value;
}

RunValue IntegerOrNull(const std::optional<int64_t>& number) {
    return number ? Integer(*number) : RunValue();
}

RunValue Real(double number) {
    RunValue value;
    value.type = Type::Real;
    value.real = number;
    return value;
}

std::string TextOf(const RunValue& value) {
    return value.type == Type::Text ? value.text : std::string();
}

std::optional<int64_t> IntegerOf(const RunValue& value) {
    return value.type == Type::Integer ? std::optional<int64_t>(value.integer) : std::nullopt;
}

// The row's columns in the order of a file's table; the version 2 ones come last (ALTER TABLE
// adds them there).
const std::vector<RunColumn> kColumns = {
    {"id", Type::Integer, "bigint", 1, true, [](const RunRecord& run) { return Integer(run.id); },
     [](RunRecord& run, const RunValue& value) { run.id = IntegerOf(value).value_or(0); }},
    {"started", Type::Text, "timestamptz", 1, true, [](const RunRecord& run) { return Text(run.started); },
     [](RunRecord& run, const RunValue& value) { run.started = TextOf(value); }},
    // Empty while the run goes: a file's column is NOT NULL, a server's is null.
    {"finished", Type::Text, "timestamptz", 1, false, [](const RunRecord& run) { return Text(run.finished); },
     [](RunRecord& run, const RunValue& value) { run.finished = TextOf(value); }},
    {"host", Type::Text, "text", 1, true, [](const RunRecord& run) { return Text(run.host); },
     [](RunRecord& run, const RunValue& value) { run.host = TextOf(value); }},
    {"station", Type::Text, "text", 1, true, [](const RunRecord& run) { return Text(run.station); },
     [](RunRecord& run, const RunValue& value) { run.station = TextOf(value); }},
    {"port", Type::Text, "text", 1, true, [](const RunRecord& run) { return Text(run.port); },
     [](RunRecord& run, const RunValue& value) { run.port = TextOf(value); }},
    {"usb_vendor", Type::Text, "text", 1, false,
     [](const RunRecord& run) { return TextOrNull(run.usbVendor); },
     [](RunRecord& run, const RunValue& value) { run.usbVendor = TextOf(value); }},
    {"usb_product", Type::Text, "text", 1, false,
     [](const RunRecord& run) { return TextOrNull(run.usbProduct); },
     [](RunRecord& run, const RunValue& value) { run.usbProduct = TextOf(value); }},
    {"usb_serial", Type::Text, "text", 1, false,
     [](const RunRecord& run) { return TextOrNull(run.usbSerial); },
     [](RunRecord& run, const RunValue& value) { run.usbSerial = TextOf(value); }},
    {"configuration", Type::Text, "text", 1, true,
     [](const RunRecord& run) { return Text(run.configuration); },
     [](RunRecord& run, const RunValue& value) { run.configuration = TextOf(value); }},
    {"configuration_sha256", Type::Text, "text", 1, true,
     [](const RunRecord& run) { return Text(run.configurationSha256); },
     [](RunRecord& run, const RunValue& value) { run.configurationSha256 = TextOf(value); }},
    {"steps", Type::Text, "jsonb", 1, true,
     [](const RunRecord& run) { return Text(run.steps.empty() ? "[]" : run.steps); },
     [](RunRecord& run, const RunValue& value) { run.steps = TextOf(value); }},
    {"outcome", Type::Text, "text", 1, true, [](const RunRecord& run) { return Text(run.outcome); },
     [](RunRecord& run, const RunValue& value) { run.outcome = TextOf(value); }},
    {"error_id", Type::Integer, "bigint", 1, false,
     [](const RunRecord& run) { return IntegerOrNull(run.errorId); },
     [](RunRecord& run, const RunValue& value) { run.errorId = IntegerOf(value); }},
    {"error_code", Type::Integer, "bigint", 1, false,
     [](const RunRecord& run) { return IntegerOrNull(run.errorCode); },
     [](RunRecord& run, const RunValue& value) { run.errorCode = IntegerOf(value); }},
    {"error_text", Type::Text, "text", 1, false,
     [](const RunRecord& run) { return TextOrNull(run.errorText); },
     [](RunRecord& run, const RunValue& value) { run.errorText = TextOf(value); }},
    {"bytes", Type::Integer, "bigint", 1, true,
     [](const RunRecord& run) { return Integer(static_cast<int64_t>(run.bytes)); },
     [](RunRecord& run, const RunValue& value) {
         run.bytes = static_cast<uint64_t>(std::max<int64_t>(0, IntegerOf(value).value_or(0)));
     }},
    {"seconds", Type::Real, "double precision", 1, true,
     [](const RunRecord& run) { return Real(run.seconds); },
     [](RunRecord& run, const RunValue& value) {
         run.seconds = value.type == Type::Real      ? value.real
                       : value.type == Type::Integer ? value.integer
                                                     : 0;
     }},
    {"log", Type::Text, "text", 1, true, [](const RunRecord& run) { return Text(run.log); },
     [](RunRecord& run, const RunValue& value) { run.log = TextOf(value); }},
    {"uuid", Type::Text, "uuid", 2, true, [](const RunRecord& run) { return TextOrNull(run.uuid); },
     [](RunRecord& run, const RunValue& value) { run.uuid = TextOf(value); }},
    {"pid", Type::Integer, "bigint", 2, false,
     [](const RunRecord& run) {
         return IntegerOrNull(run.pid != 0 ? std::optional<int64_t>(run.pid) : std::nullopt);
     },
     [](RunRecord& run, const RunValue& value) { run.pid = IntegerOf(value).value_or(0); }},
    {"log_file", Type::Text, "text", 2, false, [](const RunRecord& run) { return TextOrNull(run.logFile); },
     [](RunRecord& run, const RunValue& value) { run.logFile = TextOf(value); }},
    {"system_errno", Type::Integer, "integer", 2, false,
     [](const RunRecord& run) { return IntegerOrNull(run.systemErrno); },
     [](RunRecord& run, const RunValue& value) { run.systemErrno = IntegerOf(value); }},
    {"system_error", Type::Text, "text", 2, false,
     [](const RunRecord& run) { return TextOrNull(run.systemError); },
     [](RunRecord& run, const RunValue& value) { run.systemError = TextOf(value); }},
};

using Json = nlohmann::ordered_json;

Json JsonOf(const RunColumn& column, const RunValue& value) {
    switch (value.type) {
    case Type::Null:
        return nullptr;
    case Type::Integer:
        return value.integer;
    case Type::Real:
        return value.real;
    case Type::Text:
        break;
    }
    if (std::string(column.name) == "steps") {
        // The steps as the JSON they are; a text that is not JSON (not written by tovrin) stays text.
        Json steps = Json::parse(value.text, nullptr, false);
        return steps.is_discarded() ? Json(value.text) : steps;
    }
    return value.text;
}

Json Ordered(const nlohmann::json& value);

RunValue ValueOf(const nlohmann::json& json) {
    if (json.is_string()) {
        return Text(json.get<std::string>());
    }
    if (json.is_number_integer()) {
        return Integer(json.get<int64_t>());
    }
    if (json.is_number()) {
        return Real(json.get<double>());
    }
    if (json.is_structured()) {
        return Text(Ordered(json).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    }
    return RunValue();
}

const char* const kStepKeys[] = {"title",  "ack",  "boot_file", "program_file",
                                 "blocks", "path", "size",      "sha256"};

size_t KeyRank(const std::string& key) {
    return static_cast<size_t>(std::find(std::begin(kStepKeys), std::end(kStepKeys), key) -
                               std::begin(kStepKeys));
}

Json Ordered(const nlohmann::json& value) {
    if (value.is_array()) {
        Json array = Json::array();
        for (const nlohmann::json& item : value) {
            array.push_back(Ordered(item));
        }
        return array;
    }
    if (!value.is_object()) {
        return Json(value);
    }
    std::vector<std::string> keys;
    for (auto item = value.begin(); item != value.end(); ++item) {
        keys.push_back(item.key());
    }
    std::stable_sort(keys.begin(), keys.end(),
                     [](const std::string& a, const std::string& b) { return KeyRank(a) < KeyRank(b); });
    Json object = Json::object();
    for (const std::string& key : keys) {
        object[key] = Ordered(value.at(key));
    }
    return object;
}

} // namespace

const std::vector<RunColumn>& RunColumns() {
    return kColumns;
}

std::string CanonicalSteps(const std::string& steps) {
    const nlohmann::json parsed = nlohmann::json::parse(steps, nullptr, false);
    if (parsed.is_discarded()) {
        return steps;
    }
    return Ordered(parsed).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::ordered_json RunRecordJson(const RunRecord& run) {
    Json object = Json::object();
    for (const RunColumn& column : kColumns) {
        object[column.name] = JsonOf(column, column.get(run));
    }
    object["bytes"] = run.bytes; // unsigned: a count a store would refuse is still shown as it is
    return object;
}

bool RunRecordFromJson(const nlohmann::json& object, RunRecord& run) {
    if (!object.is_object() || !object.contains("started") || !object.contains("outcome")) {
        return false;
    }
    run = RunRecord();
    for (const RunColumn& column : kColumns) {
        const auto found = object.find(column.name);
        if (found != object.end()) {
            column.set(run, ValueOf(*found));
        }
    }
    const auto bytes = object.find("bytes");
    if (bytes != object.end() && bytes->is_number_unsigned()) {
        run.bytes = bytes->get<uint64_t>();
    }
    return true;
}
