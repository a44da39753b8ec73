// The listing of recorded runs: the table for people, CSV and JSON for tools.
#include "record/History.h"
#include "record/RunColumns.h"
#include "support/RunRecords.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace {

RunRecord Listed(int64_t id) {
    RunRecord run;
    run.id = id;
    run.started = "2026-12-08T17:02:04Z";
    run.finished = "2026-12-08T17:02:10Z";
    run.host = "rack-7";
    run.station = "line-2";
    run.port = "/dev/ttyUSB0";
    run.usbVendor = "0403";
    run.usbProduct = "6001";
    run.usbSerial = "A1";
    run.configuration = "/srv/fw/board.cfg";
    run.configurationSha256 = "ab12";
    run.steps = R"([{"title":"Boot"}])";
    run.outcome = "failed";
    run.errorId = 215;
    run.errorCode = 1167;
    run.errorText = "No answer";
    run.bytes = 4096;
    run.seconds = 1.5;
    run.log = "log\r\n";
    run.uuid = "0f2c5f0e-8a47-4b3c-9d1e-2a6b7c8d9e0f";
    run.pid = 4711;
    run.logFile = "/var/log/tovrin/a.log";
    run.systemErrno = 5;
    run.systemError = "/dev/ttyUSB0: the device was disconnected";
    return run;
}

// What a run's row says of its run id, process and system cause, none of them given.
void WithoutRunFacts(RunRecord& run) {
    run.uuid.clear();
    run.pid = 0;
    run.logFile.clear();
    run.systemErrno.reset();
    run.systemError.clear();
}

std::string Print(const std::vector<RunRecord>& runs, HistoryFormat format) {
    std::ostringstream out;
    PrintHistory(runs, format, out);
    return out.str();
}

TEST(History, ShowsAnAlignedTable) {
    RunRecord usb = Listed(12);
    usb.port = "/dev/serial/by-id/usb-FTDI-if00";
    usb.usbSerial = "A50285BI";
    usb.outcome = "completed";
    usb.errorId.reset();
    usb.errorCode.reset();
    usb.errorText.clear();
    usb.seconds = 12.34;
    usb.bytes = 131072;
    RunRecord pty = Listed(7);
    pty.started = "2026-12-08T09:00:00.250Z";
    pty.station.clear();
    pty.port = "/dev/pts/3";
    pty.usbVendor.clear();
    pty.usbProduct.clear();
    pty.usbSerial.clear();
    pty.errorText = "No answer\r\nfrom the device.";
    pty.seconds = 3;
    pty.bytes = 0;
    const struct Row {
        std::vector<RunRecord> runs;
        std::string expected;
    } rows[] = {
        {{}, "no runs\n"},
        {{usb, pty},
         "id  started                   station  port           serial    outcome    seconds   bytes  error\n"
         "12  2026-12-08T17:02:04Z      line-2   usb-FTDI-if00  A50285BI  completed     12.3  131072\n"
         " 7  2026-12-08T09:00:00.250Z  -        pts/3          -         failed         3.0       0  "
         "No answer  from the device.\n"},
        {{Listed(3)},
         "id  started               station  port     serial  outcome  seconds  bytes  error\n"
         " 3  2026-12-08T17:02:04Z  line-2   ttyUSB0  A1      failed       1.5   4096  No answer\n"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Print(row.runs, HistoryFormat::Table), row.expected);
    }
}

TEST(History, QuotesCsvFieldsAsRfc4180Says) {
    const std::string header =
        "id,started,finished,host,station,port,usb_vendor,usb_product,usb_serial,"
        "configuration,configuration_sha256,steps,outcome,error_id,error_code,error_text,"
        "bytes,seconds,uuid,pid,log_file,system_errno,system_error\r\n";
    const std::string before = "1,2026-12-08T17:02:04Z,2026-12-08T17:02:10Z,rack-7,";
    const std::string after =
        ",/dev/ttyUSB0,0403,6001,A1,/srv/fw/board.cfg,ab12,\"[{\"\"title\"\":\"\"Boot\"\"}]\","
        "failed,215,1167,No "
        "answer,4096,1.5,0f2c5f0e-8a47-4b3c-9d1e-2a6b7c8d9e0f,4711,/var/log/tovrin/a.log,5,"
        "/dev/ttyUSB0: the device was disconnected\r\n";
    const struct Row {
        std::string station;
        std::string field;
    } rows[] = {
        {"line-2", "line-2"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"\"", "\"\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"cr\rhere", "\"cr\rhere\""},
        {"crlf\r\n", "\"crlf\r\n\""},
        {"semi;colon", "semi;colon"},
        {" spaced ", " spaced "},
        {"' OR 1=1 --", "' OR 1=1 --"},
    };
    for (const Row& row : rows) {
        RunRecord run = Listed(1);
        run.station = row.station;
        EXPECT_EQ(Print({run}, HistoryFormat::Csv), header + before + row.field + after) << row.station;
    }
    // No value is an empty field; the log is not listed; numbers are locale-free.
    RunRecord bare = Listed(2);
    bare.usbVendor.clear();
    bare.usbProduct.clear();
    bare.usbSerial.clear();
    bare.errorId.reset();
    bare.errorCode.reset();
    bare.errorText.clear();
    bare.steps = "[]";
    bare.seconds = 0.1;
    bare.log = "must not appear";
    WithoutRunFacts(bare);
    EXPECT_EQ(
        Print({bare}, HistoryFormat::Csv),
        header +
            "2,2026-12-08T17:02:04Z,2026-12-08T17:02:10Z,rack-7,line-2,/dev/ttyUSB0,,,,/srv/fw/board.cfg,"
            "ab12,[],failed,,,,4096,0.1,,,,,\r\n");
    EXPECT_EQ(Print({}, HistoryFormat::Csv), header);
}

// The record as the JSON listing gives it back.
RunRecord FromJson(const nlohmann::json& object) {
    RunRecord run;
    auto text = [&](const char* key) { return object[key].is_null() ? "" : object[key].get<std::string>(); };
    auto number = [&](const char* key) -> std::optional<int64_t> {
        return object[key].is_null() ? std::nullopt : std::optional<int64_t>(object[key].get<int64_t>());
    };
    run.id = object["id"].get<int64_t>();
    run.started = text("started");
    run.finished = text("finished");
    run.host = text("host");
    run.station = text("station");
    run.port = text("port");
    run.usbVendor = text("usb_vendor");
    run.usbProduct = text("usb_product");
    run.usbSerial = text("usb_serial");
    run.configuration = text("configuration");
    run.configurationSha256 = text("configuration_sha256");
    run.steps = object["steps"].dump();
    run.outcome = text("outcome");
    run.errorId = number("error_id");
    run.errorCode = number("error_code");
    run.errorText = text("error_text");
    run.bytes = object["bytes"].get<uint64_t>();
    run.seconds = object["seconds"].get<double>();
    run.log = text("log");
    run.uuid = text("uuid");
    run.pid = object["pid"].is_null() ? 0 : object["pid"].get<int64_t>();
    run.logFile = text("log_file");
    run.systemErrno = number("system_errno");
    run.systemError = text("system_error");
    return run;
}

TEST(History, GivesEveryColumnAsJson) {
    const std::vector<std::string> columns = {"id",
                                              "started",
                                              "finished",
                                              "host",
                                              "station",
                                              "port",
                                              "usb_vendor",
                                              "usb_product",
                                              "usb_serial",
                                              "configuration",
                                              "configuration_sha256",
                                              "steps",
                                              "outcome",
                                              "error_id",
                                              "error_code",
                                              "error_text",
                                              "bytes",
                                              "seconds",
                                              "log",
                                              "uuid",
                                              "pid",
                                              "log_file",
                                              "system_errno",
                                              "system_error"};
    RunRecord bare = Listed(2);
    WithoutRunFacts(bare);
    bare.usbVendor.clear();
    bare.usbProduct.clear();
    bare.usbSerial.clear();
    bare.errorId.reset();
    bare.errorCode.reset();
    bare.errorText.clear();
    bare.seconds = 0.1;
    bare.bytes = 18446744073709551615ULL;
    RunRecord texts = Listed(3);
    texts.log = "Ger\xc3\xa4t \"1\"\r\n\t\x01 end";
    texts.steps = R"([{"title":"Boot","boot_file":{"path":"/a b.bin","size":960,"sha256":"00"},"blocks":0}])";
    RunRecord broken = Listed(4);
    broken.log = "bad \xff byte";
    broken.steps = "not JSON";
    const struct Row {
        RunRecord run;
        std::vector<std::string> nulls;
        std::function<void(RunRecord&)> expect; // what the listing may change
    } rows[] = {
        {Listed(1), {}, [](RunRecord&) {}},
        {bare,
         {"usb_vendor", "usb_product", "usb_serial", "error_id", "error_code", "error_text", "uuid", "pid",
          "log_file", "system_errno", "system_error"},
         [](RunRecord&) {}},
        {texts, {}, [](RunRecord&) {}},
        // Bytes that are not UTF-8 become U+FFFD; steps that are not JSON stay text.
        {broken,
         {},
         [](RunRecord& run) {
             run.log = "bad \xef\xbf\xbd byte";
             run.steps = "\"not JSON\"";
         }},
    };
    for (const Row& row : rows) {
        const nlohmann::json list = nlohmann::json::parse(Print({row.run}, HistoryFormat::Json));
        ASSERT_TRUE(list.is_array());
        ASSERT_EQ(list.size(), 1u);
        const nlohmann::json& object = list[0];
        // The columns in their order, as a reader that keeps the order sees them.
        const nlohmann::ordered_json ordered =
            nlohmann::ordered_json::parse(Print({row.run}, HistoryFormat::Json));
        std::vector<std::string> keys;
        for (const auto& [key, value] : ordered[0].items()) {
            keys.push_back(key);
        }
        EXPECT_EQ(keys, columns);
        for (const std::string& key : columns) {
            const bool isNull = std::find(row.nulls.begin(), row.nulls.end(), key) != row.nulls.end();
            EXPECT_EQ(object[key].is_null(), isNull) << key;
        }
        EXPECT_FALSE(object["steps"].is_string() && row.run.steps.front() == '[');
        RunRecord expected = row.run;
        expected.steps = nlohmann::json::parse(expected.steps, nullptr, false).is_discarded()
                             ? expected.steps
                             : nlohmann::json::parse(expected.steps).dump();
        row.expect(expected);
        ExpectSameRun(FromJson(object), expected, row.run.log);
        // The program reads its own JSON back as the row it was (a file of waiting rows).
        RunRecord back;
        ASSERT_TRUE(RunRecordFromJson(object, back));
        if (!object["steps"].is_string()) {
            // Read back, the steps keep the order tovrin writes them in.
            expected.steps = CanonicalSteps(row.run.steps);
            ExpectSameRun(back, expected, "read back: " + row.run.log);
        }
    }
    RunRecord none;
    EXPECT_FALSE(RunRecordFromJson(nlohmann::json::array(), none));
    EXPECT_FALSE(RunRecordFromJson(nlohmann::json{{"id", 1}}, none));
    EXPECT_EQ(nlohmann::json::parse(Print({}, HistoryFormat::Json)), nlohmann::json::array());
    const nlohmann::json two = nlohmann::json::parse(Print({Listed(9), Listed(8)}, HistoryFormat::Json));
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0]["id"], 9);
    EXPECT_EQ(two[1]["id"], 8);
}

} // namespace
