#pragma once

#include "engine/TransferControl.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

// The window that owns a transfer, as the tests see it: it records the message list, the
// controls a transfer changes, message boxes, log writes and close requests.
class FakeSessionOwner : public ISessionOwner {
public:
    static constexpr const char* kPortSummary = "COM3 38400 8N1";

    // The message list: AddTraceLine appends; UpdateTraceLine replaces the last line when the
    // new text begins with it, else appends (a growing device-output line).
    std::vector<std::string> lines;
    std::string summary;
    std::vector<std::string> summaryHistory;
    int portSummaryShown = 0;
    std::string startButton;
    std::string listLabel;
    std::vector<bool> displayModes; // true: the messages view
    bool configurationEnabled = true;
    Configuration* selected = nullptr;
    std::string portName = "COM3";
    PortSettings settings;
    std::vector<std::string> boxes;
    std::vector<std::string> questions; // "text|caption"
    std::deque<bool> answers;           // the answers to the questions, in order
    std::vector<std::string> logWrites; // the final message of each write, "-" for none
    int closeRequests = 0;
    std::function<void()> onPostClose; // e.g. queue a WM_CLOSE behind the messages already posted
    std::function<void()> duringQuestion;
    std::vector<std::string> pendingLines; // added as lines that the next one may replace
    int endedLines = 0;                    // device lines whose line end arrived

    void AddTraceLine(const std::string& text) override { lines.push_back(text); }
    void AddPendingTraceLine(const std::string& text) override {
        pendingLines.push_back(text);
        lines.push_back(text);
    }
    void EndTraceLine() override { ++endedLines; }
    void UpdateTraceLine(const std::string& text) override {
        if (!lines.empty() && text.compare(0, lines.back().size(), lines.back()) == 0) {
            lines.back() = text;
        } else {
            lines.push_back(text);
        }
    }
    int TraceLineCount() override { return static_cast<int>(lines.size()); }
    std::string TraceLine(int index) override { return lines.at(static_cast<size_t>(index)); }
    void DeleteTraceLine(int index) override { lines.erase(lines.begin() + index); }
    void ResetTraceLines() override { lines.clear(); }

    void SetPortSummaryText(const std::string& text) override {
        summary = text;
        summaryHistory.push_back(text);
    }
    void ShowPortSummary() override {
        summary = kPortSummary;
        ++portSummaryShown;
    }
    void SetStartButtonText(const std::string& text) override { startButton = text; }
    void SetListLabel(const std::string& text) override { listLabel = text; }
    void SetDisplayMode(bool messages) override { displayModes.push_back(messages); }
    void DisableConfigurationControls() override { configurationEnabled = false; }
    void EnableConfigurationControls() override { configurationEnabled = true; }

    Configuration* SelectedConfiguration() override { return selected; }
    std::string PortName() override { return portName; }
    PortSettings LineSettings() override { return settings; }

    void ShowMessage(const std::string& text) override { boxes.push_back(text); }
    bool AskYesNo(const std::string& text, const std::string& caption) override {
        questions.push_back(text + "|" + caption);
        if (duringQuestion) {
            duringQuestion(); // the question's own message loop handles what arrives meanwhile
        }
        bool answer = !answers.empty() && answers.front();
        if (!answers.empty()) {
            answers.pop_front();
        }
        return answer;
    }
    void WriteLogFile(const std::string* finalMessage) override {
        logWrites.push_back(finalMessage != nullptr ? *finalMessage : "-");
    }
    void PostClose() override {
        ++closeRequests;
        if (onPostClose) {
            onPostClose();
        }
    }
};
