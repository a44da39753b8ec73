// The main dialog's operations on the message list: adding lines, the context menu's copy and
// save, and the log file.
#include "app/MessageIds.h"
#include "ui/LogFile.h"
#include "ui/TraceRules.h"
#include "ui/win32/LogWriter.h"
#include "ui/win32/QarlDlg.h"

#include <commdlg.h>

#include <cstring>

void CQarlDlg::AddTraceLine(const std::string& text) {
    if (maxTraceBoxLines > 0) {
        while (messageListBox.GetCount() >= maxTraceBoxLines) {
            messageListBox.DeleteString(0);
        }
    }
    int index = messageListBox.AddString(text);
    // Selecting the new line scrolls it into view; the selection is not kept.
    messageListBox.SetCurSel(index);
    messageListBox.SetCurSel(-1);
    if (!drainingDeviceOutput) {
        RepaintMessages();
    }
}

void CQarlDlg::UpdateTraceLine(const std::string& text) {
    int count = messageListBox.GetCount();
    if (count > 0 && ContinuesLine(messageListBox.GetText(count - 1), text)) {
        messageListBox.DeleteString(count - 1);
    }
    AddTraceLine(text);
}

// Every added line is shown at once, also while the queue is busy with progress messages.
void CQarlDlg::RepaintMessages() const {
    ::RedrawWindow(messageListBox.m_hWnd, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
}

std::vector<std::string> CQarlDlg::TraceLines() const {
    std::vector<std::string> lines;
    for (int i = 0, count = messageListBox.GetCount(); i < count; ++i) {
        lines.push_back(messageListBox.GetText(i));
    }
    return lines;
}

// Every line followed by CR LF, then the NUL; an empty list gives an empty text.
void CQarlDlg::CopyTraceToClipboard() {
    ClipboardSession clipboard(m_hWnd);
    if (!clipboard) {
        return;
    }
    ::EmptyClipboard();
    const std::string text = TraceText(TraceLines());
    // The clipboard takes a movable block; the zero filling supplies the terminating NUL.
    GlobalBlock block(::GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, text.size() + 1));
    if (!block) {
        return;
    }
    char* memory = static_cast<char*>(::GlobalLock(block.Get()));
    if (memory == nullptr) {
        return;
    }
    std::memcpy(memory, text.data(), text.size());
    ::GlobalUnlock(block.Get());
    if (::SetClipboardData(CF_TEXT, block.Get()) != nullptr) {
        block.Release(); // the clipboard owns it now
    }
}

void CQarlDlg::SaveTraceToFile() {
    SaveFileOptions options;
    options.title = catalogue.LoadText(IDS_SAVE_TITLE);
    options.filters = {{catalogue.LoadText(IDS_SAVE_FILTER_TEXT), "*.TXT"},
                       {catalogue.LoadText(IDS_SAVE_FILTER_ALL), "*.*"}};
    options.initialName = "*.TXT";
    options.defaultExtension = "TXT";
    options.flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_NOREADONLYRETURN;
    std::string path;
    if (!ShowSaveFileDialog(m_hWnd, options, path)) {
        return;
    }
    // A file that cannot be created ends the command without a message.
    WriteTextFile(path, TraceText(TraceLines()));
}

// Written once per run; a log that could not be opened is tried again at the next call.
void CQarlDlg::WriteLogFile(const std::string* finalMessage) {
    if (logWritten) {
        return;
    }
    const std::string record = FormatLogRecord(startup.configFile, LogDateTime(startTime), startupMessage,
                                               TraceLines(), finalMessage);
    logWritten = WriteLogRecord(startup.logFile, startup.appendLog, record);
}
