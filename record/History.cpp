#include "record/History.h"

#include "record/RunColumns.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <charconv>
#include <iterator>
#include <string>

namespace {

// Locale-free: "12.5" whatever LC_NUMERIC says. Shortest round trip, or fixed with digits.
std::string Decimal(double value, int digits = -1) {
    char text[64];
    std::to_chars_result result{text, std::errc::value_too_large};
    if (digits >= 0) {
        result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, digits);
    }
    if (result.ec != std::errc()) {
        result = std::to_chars(text, text + sizeof text, value);
    }
    return std::string(text, result.ptr);
}

// One line in a table cell: control characters become spaces.
std::string Cell(const std::string& text, const char* none = "-") {
    if (text.empty()) {
        return none;
    }
    std::string cell = text;
    for (char& c : cell) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
            c = ' ';
        }
    }
    return cell;
}

// The port's base name ("usb-FTDI_..._A50285BI-if00-port0", "ttyUSB0"); a pseudo-terminal keeps
// its folder, as "3" alone would say nothing.
std::string ShortPort(const std::string& path) {
    const std::string terminals = "/dev/pts/";
    if (path.compare(0, terminals.size(), terminals) == 0) {
        return path.substr(5);
    }
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash + 1 == path.size() ? path : path.substr(slash + 1);
}

// Characters on the screen: UTF-8 continuation bytes take no column.
size_t Columns(const std::string& text) {
    size_t count = 0;
    for (const char c : text) {
        count += (static_cast<unsigned char>(c) & 0xc0) != 0x80;
    }
    return count;
}

constexpr size_t kTableColumns = 9;
using TableRow = std::array<std::string, kTableColumns>;
// id, seconds and bytes are numbers, right-aligned; the error text is last and not padded.
constexpr std::array<bool, kTableColumns> kRightAligned = {true,  false, false, false, false,
                                                           false, true,  true,  false};

TableRow TableLine(const RunRecord& run) {
    return {std::to_string(run.id),    Cell(run.started),         Cell(run.station),
            Cell(ShortPort(run.port)), Cell(run.usbSerial),       Cell(run.outcome),
            Decimal(run.seconds, 1),   std::to_string(run.bytes), Cell(run.errorText, "")};
}

void PrintTable(const std::vector<RunRecord>& runs, std::ostream& out) {
    if (runs.empty()) {
        out << "no runs\n";
        return;
    }
    std::vector<TableRow> rows = {
        {"id", "started", "station", "port", "serial", "outcome", "seconds", "bytes", "error"}};
    for (const RunRecord& run : runs) {
        rows.push_back(TableLine(run));
    }
    std::array<size_t, kTableColumns> widths{};
    for (const TableRow& row : rows) {
        for (size_t column = 0; column < kTableColumns; ++column) {
            widths[column] = std::max(widths[column], Columns(row[column]));
        }
    }
    for (const TableRow& row : rows) {
        std::string line;
        for (size_t column = 0; column < kTableColumns; ++column) {
            const std::string padding(widths[column] - Columns(row[column]), ' ');
            line += column == 0 ? "" : "  ";
            line += kRightAligned[column] ? padding + row[column] : row[column] + padding;
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << '\n';
    }
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, its quotes doubled.
std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) {
        return text;
    }
    std::string field = "\"";
    for (const char c : text) {
        field += c == '"' ? "\"\"" : std::string(1, c);
    }
    return field + "\"";
}

// A column's value in a CSV field: nothing for none, numbers locale-free.
std::string CsvText(const RunValue& value) {
    switch (value.type) {
    case RunValue::Type::Null:
        return std::string();
    case RunValue::Type::Integer:
        return std::to_string(value.integer);
    case RunValue::Type::Real:
        return Decimal(value.real);
    case RunValue::Type::Text:
        break;
    }
    return value.text;
}

// Every column but the log.
void PrintCsv(const std::vector<RunRecord>& runs, std::ostream& out) {
    std::vector<const RunColumn*> columns;
    for (const RunColumn& column : RunColumns()) {
        if (std::string(column.name) != "log") {
            columns.push_back(&column);
        }
    }
    std::string header;
    for (const RunColumn* column : columns) {
        header += (header.empty() ? "" : ",") + std::string(column->name);
    }
    out << header << "\r\n";
    for (const RunRecord& run : runs) {
        std::string line;
        for (const RunColumn* column : columns) {
            line +=
                (line.empty() && column == columns.front() ? "" : ",") + CsvField(CsvText(column->get(run)));
        }
        out << line << "\r\n";
    }
}

void PrintJson(const std::vector<RunRecord>& runs, std::ostream& out) {
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const RunRecord& run : runs) {
        list.push_back(RunRecordJson(run));
    }
    // Bytes that are not UTF-8 (a log from elsewhere) become U+FFFD rather than end the listing.
    out << list.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
}

} // namespace

void PrintHistory(const std::vector<RunRecord>& runs, HistoryFormat format, std::ostream& out) {
    switch (format) {
    case HistoryFormat::Table:
        PrintTable(runs, out);
        break;
    case HistoryFormat::Csv:
        PrintCsv(runs, out);
        break;
    case HistoryFormat::Json:
        PrintJson(runs, out);
        break;
    }
}
