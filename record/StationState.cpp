#include "record/RecordStore.h"

#include <charconv>

bool StationOnline(const StationState& station) {
    return station.stopped.empty() && station.secondsSinceSeen < kStationOfflineSeconds;
}

nlohmann::ordered_json SlotsJson(const std::vector<SlotState>& slots) {
    nlohmann::ordered_json array = nlohmann::ordered_json::array();
    for (const SlotState& slot : slots) {
        array.push_back({{"port", slot.port},
                         {"name", slot.name},
                         {"state", slot.state},
                         {"phase", slot.phase},
                         {"step", slot.step},
                         {"steps", slot.steps},
                         {"percentage", slot.percentage},
                         {"seconds", slot.seconds},
                         {"run_id", slot.runId},
                         {"error", slot.error}});
    }
    return array;
}

// A heartbeat written by another tovrin may lack a field, or hold one of another type: such a
// field is left as it is.
std::vector<SlotState> SlotsFromJson(const nlohmann::json& slots) {
    std::vector<SlotState> read;
    if (!slots.is_array()) {
        return read;
    }
    for (const nlohmann::json& item : slots) {
        if (!item.is_object()) {
            continue;
        }
        SlotState slot;
        const auto text = [&](const char* key, std::string& into) {
            if (item.contains(key) && item[key].is_string()) {
                into = item[key].get<std::string>();
            }
        };
        const auto number = [&](const char* key, auto& into) {
            if (item.contains(key) && item[key].is_number()) {
                into = item[key].get<std::remove_reference_t<decltype(into)>>();
            }
        };
        text("port", slot.port);
        text("name", slot.name);
        text("state", slot.state);
        text("phase", slot.phase);
        number("step", slot.step);
        number("steps", slot.steps);
        number("percentage", slot.percentage);
        number("seconds", slot.seconds);
        text("run_id", slot.runId);
        text("error", slot.error);
        read.push_back(std::move(slot));
    }
    return read;
}

StationState StationFromRow(const std::function<std::string(int)>& column) {
    StationState station;
    std::string* const texts[] = {
        &station.station, &station.host,    &station.version,       &station.started,
        &station.seen,    &station.stopped, &station.configuration, &station.configurationSha256};
    int index = 0;
    for (std::string* text : texts) {
        *text = column(index++);
    }
    station.slots = SlotsFromJson(nlohmann::json::parse(column(index++), nullptr, false));
    const std::string pid = column(index++), pending = column(index++), age = column(index);
    std::from_chars(pid.data(), pid.data() + pid.size(), station.pid);
    std::from_chars(pending.data(), pending.data() + pending.size(), station.recordsPending);
    std::from_chars(age.data(), age.data() + age.size(), station.secondsSinceSeen);
    return station;
}

nlohmann::ordered_json StationStateJson(const StationState& station) {
    return {{"station", station.station},
            {"host", station.host},
            {"pid", station.pid},
            {"version", station.version},
            {"started", station.started},
            {"seen", station.seen},
            {"stopped", station.stopped},
            {"online", StationOnline(station)},
            {"configuration", station.configuration},
            {"configuration_sha256", station.configurationSha256},
            {"records_pending", station.recordsPending},
            {"slots", SlotsJson(station.slots)}};
}

// Loading a board takes seconds to minutes: the buckets follow that.
const std::vector<double>& DurationBuckets() {
    static const std::vector<double> buckets = {1, 2, 5, 10, 20, 30, 60, 120, 300, 600};
    return buckets;
}

std::string RunCountStatement(const std::string& table, const std::string& where) {
    std::string sql = "SELECT station, port, outcome, count(*), coalesce(sum(seconds), 0)";
    for (const double bucket : DurationBuckets()) {
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, bucket).ptr;
        sql += ", sum(CASE WHEN seconds <= " + std::string(text, end) + " THEN 1 ELSE 0 END)";
    }
    return sql + " FROM " + table + " WHERE outcome <> 'running'" + where +
           " GROUP BY station, port, outcome";
}
