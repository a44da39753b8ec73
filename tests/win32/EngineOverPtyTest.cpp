// The Win32 engine against a real serial port: run by the end-to-end driver with the
// controller simulator on the port named by TOVRIN_TEST_PORT; skipped without it.
#include "app/Catalogue.h"
#include "app/win32/Win32Host.h"
#include "config/win32/Win32ProfileReader.h"
#include "engine/TransferControl.h"
#include "engine/win32/Win32EnginePlatform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// A message-only window that owns a transfer and dispatches its messages one at a time.
class TestOwner : public ISessionOwner {
public:
    explicit TestOwner(const std::string& configPath)
        : context{profile, files, catalogue}, configuration(context, configPath) {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = ::GetModuleHandleA(nullptr);
        windowClass.lpszClassName = "TovrinTestOwner";
        ::RegisterClassA(&windowClass);
        window = ::CreateWindowExA(0, "TovrinTestOwner", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                   windowClass.hInstance, nullptr);
        ::SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        configuration.ParseSteps(stepsList);
        control = std::make_unique<TransferControl>(*this, catalogue, std::make_shared<Win32EnginePlatform>(),
                                                    window, TransferOptions{});
    }
    ~TestOwner() override {
        control.reset();
        ::DestroyWindow(window);
    }

    // Pumps messages until the transfer ends or the time is up.
    bool RunUntilIdle(DWORD limitMs) {
        DWORD start = ::GetTickCount();
        while (control->IsRunning() && ::GetTickCount() - start < limitMs) {
            Pump(50);
        }
        return !control->IsRunning();
    }
    void Pump(DWORD waitMs) {
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, waitMs, QS_ALLINPUT);
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::DispatchMessageA(&message);
        }
    }

    void AddTraceLine(const std::string& text) override { lines.push_back(text); }
    void UpdateTraceLine(const std::string& text) override {
        if (!lines.empty() && text.compare(0, lines.back().size(), lines.back()) == 0) {
            lines.pop_back();
        }
        lines.push_back(text);
    }
    int TraceLineCount() override { return static_cast<int>(lines.size()); }
    std::string TraceLine(int index) override { return lines[static_cast<size_t>(index)]; }
    void DeleteTraceLine(int index) override { lines.erase(lines.begin() + index); }
    void ResetTraceLines() override { lines.clear(); }
    void SetPortSummaryText(const std::string& text) override { summary = text; }
    void ShowPortSummary() override { summary = "port settings"; }
    void SetStartButtonText(const std::string&) override {}
    void SetListLabel(const std::string&) override {}
    void SetDisplayMode(bool) override {}
    void DisableConfigurationControls() override {}
    void EnableConfigurationControls() override {}
    Configuration* SelectedConfiguration() override { return &configuration; }
    std::string PortName() override { return std::getenv("TOVRIN_TEST_PORT"); }
    PortSettings LineSettings() override { return PortSettings{115200, 8, 0, 0}; }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    bool AskYesNo(const std::string&, const std::string&) override { return true; }
    void WriteLogFile(const std::string*) override {}
    void PostClose() override {}

    std::unique_ptr<TransferControl> control;
    std::vector<std::string> lines;
    std::vector<std::string> messages;
    std::string summary;

private:
    class NoSteps : public IStepsList {
    public:
        void ResetContent() override {}
        void AddString(const std::string&) override {}
    };
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* owner = reinterpret_cast<TestOwner*>(::GetWindowLongPtrA(window, GWLP_USERDATA));
        if (owner != nullptr && owner->control && owner->control->Dispatch(message, wParam, lParam)) {
            return 0;
        }
        return ::DefWindowProcA(window, message, wParam, lParam);
    }

    Win32ProfileReader profile;
    Win32FileSystem files;
    BuiltInCatalogue catalogue{CatalogueLanguage::English};
    ConfigurationContext context;
    Configuration configuration;
    NoSteps stepsList;
    HWND window = nullptr;
};

const char* ConfigPath() {
    const char* path = std::getenv("TOVRIN_TEST_CONFIG");
    return path != nullptr ? path : "";
}

TEST(EngineOverPty, TwoStepsComplete) {
    if (std::getenv("TOVRIN_TEST_PORT") == nullptr) {
        GTEST_SKIP() << "run by the end-to-end driver with a simulated controller";
    }
    TestOwner owner(ConfigPath());
    owner.control->StartOrCancel();
    ASSERT_TRUE(owner.messages.empty()) << owner.messages[0];
    ASSERT_TRUE(owner.RunUntilIdle(60000));
    EXPECT_TRUE(owner.control->Completed());
    ASSERT_FALSE(owner.lines.empty());
    EXPECT_EQ(owner.lines.back(), "*** Download finally completed");
}

// The owner goes while the threads wait for an acknowledge that comes late: its end is prompt,
// and the threads end by themselves afterwards without touching what it freed.
TEST(EngineOverPty, OwnerExitsDuringTransfer) {
    if (std::getenv("TOVRIN_TEST_PORT") == nullptr) {
        GTEST_SKIP() << "run by the end-to-end driver with a simulated controller";
    }
    auto owner = std::make_unique<TestOwner>(ConfigPath());
    owner->control->StartOrCancel();
    DWORD start = ::GetTickCount();
    while (owner->summary.rfind("Block 3 ", 0) != 0 && ::GetTickCount() - start < 20000) {
        owner->Pump(20);
    }
    ASSERT_EQ(owner->summary.rfind("Block 3 ", 0), 0u) << owner->summary;
    ASSERT_TRUE(owner->control->IsRunning());
    DWORD before = ::GetTickCount();
    owner.reset();
    EXPECT_LT(::GetTickCount() - before, 2500u);
    ::Sleep(1500); // the threads finish with nobody to post to
}

} // namespace
