#pragma once

#include "record/RecordStore.h"

#include <gtest/gtest.h>

#include <string>

// Every field of a run read back against the run expected.
inline void ExpectSameRun(const RunRecord& got, const RunRecord& expected, const std::string& where) {
    EXPECT_EQ(got.id, expected.id) << where;
    EXPECT_EQ(got.started, expected.started) << where;
    EXPECT_EQ(got.finished, expected.finished) << where;
    EXPECT_EQ(got.host, expected.host) << where;
    EXPECT_EQ(got.station, expected.station) << where;
    EXPECT_EQ(got.port, expected.port) << where;
    EXPECT_EQ(got.usbVendor, expected.usbVendor) << where;
    EXPECT_EQ(got.usbProduct, expected.usbProduct) << where;
    EXPECT_EQ(got.usbSerial, expected.usbSerial) << where;
    EXPECT_EQ(got.configuration, expected.configuration) << where;
    EXPECT_EQ(got.configurationSha256, expected.configurationSha256) << where;
    EXPECT_EQ(got.steps, expected.steps) << where;
    EXPECT_EQ(got.outcome, expected.outcome) << where;
    EXPECT_EQ(got.errorId, expected.errorId) << where;
    EXPECT_EQ(got.errorCode, expected.errorCode) << where;
    EXPECT_EQ(got.errorText, expected.errorText) << where;
    EXPECT_EQ(got.bytes, expected.bytes) << where;
    EXPECT_EQ(got.seconds, expected.seconds) << where;
    EXPECT_EQ(got.log, expected.log) << where;
    EXPECT_EQ(got.uuid, expected.uuid) << where;
    EXPECT_EQ(got.pid, expected.pid) << where;
    EXPECT_EQ(got.logFile, expected.logFile) << where;
    EXPECT_EQ(got.systemErrno, expected.systemErrno) << where;
    EXPECT_EQ(got.systemError, expected.systemError) << where;
}
