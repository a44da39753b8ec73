// Start-up of the application object in this process, on a thread that has joined the
// multithreaded apartment already: OLE's initialisation then fails (RPC_E_CHANGED_MODE), the
// way it fails on a system whose OLE libraries are broken.
#include "app/win32/QarlApp.h"
#include "tests/win32/Win32TestSupport.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string WithCrLf(const std::string& text) {
    std::string converted;
    for (char c : text) {
        converted += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return converted;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct StartupRun {
    bool ended = false;
    int exitCode = -1;
};

// InitInstance and ExitInstance as the framework calls them; a box would keep the thread, so
// the run is given a time limit.
StartupRun StartWithBrokenOle(const std::vector<std::string>& arguments) {
    ResourceModule program(BinFolder() + "\\Tovrin.exe");
    StartupRun run;
    HANDLE done = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread thread([&]() {
        ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            CQarlApp app;
            app.m_hInstance = program.Get();
            app.arguments = arguments;
            app.InitInstance();
            run.exitCode = app.ExitInstance();
        }
        ::CoUninitialize();
        ::SetEvent(done);
    });
    run.ended = ::WaitForSingleObject(done, 20000) == WAIT_OBJECT_0;
    if (run.ended) {
        thread.join();
    } else {
        thread.detach(); // a box is waiting: the test has failed
    }
    ::CloseHandle(done);
    return run;
}

// In batch mode every way out of start-up writes the log record and exits with 1: when OLE
// cannot start, the held-back command-line errors come first, then message 100.
TEST(StartupFailure, BatchModeLogsTheHeldBackErrorsAndTheOleFailure) {
    const std::string ole = German(100);
    const std::string usage = German(182);
    struct Case {
        const char* name;
        std::vector<std::string> extra;
        std::string message;
    };
    const Case cases[] = {
        {"OLE alone", {}, ole},
        {"after a syntax error",
         {"-B9601"},
         WithCrLf("Unzul\xe4ssige Baudrate: 9601\n\n" + usage) + "\r\n" + ole},
        {"after two syntax errors",
         {"-Cx", "a.cfg", "b.cfg"},
         WithCrLf("Syntaxfehler bei COM-Port Angabe.\n\n" + usage) + "\r\n" +
             WithCrLf("Es ist nur eine einzige Konfigurationsdatei als Parameter zul\xe4ssig\n\n" + usage) +
             "\r\n" + ole},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string log = "startup-failure.log";
        ::DeleteFileA(log.c_str());
        std::vector<std::string> arguments{"-X", "-L", log};
        arguments.insert(arguments.end(), c.extra.begin(), c.extra.end());
        StartupRun run = StartWithBrokenOle(arguments);
        ASSERT_TRUE(run.ended) << "start-up waits for a click";
        EXPECT_EQ(run.exitCode, 1);
        const std::string record = ReadAll(log);
        EXPECT_EQ(record.rfind("Tovrin  ", 0), 0u) << record;
        const std::string tail = "\r\n" + c.message + "\r\n";
        ASSERT_GE(record.size(), tail.size());
        EXPECT_EQ(record.substr(record.size() - tail.size()), tail);
        ::DeleteFileA(log.c_str());
    }
}

} // namespace
