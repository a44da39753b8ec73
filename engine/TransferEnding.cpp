#include "engine/TransferEnding.h"

#include "app/MessageIds.h"

bool NamesBootFile(unsigned id) {
    switch (id) {
    case IDS_ERROR_READING_BIN:
    case IDS_ERROR_SENDING_BIN:
    case IDS_FAILED_SENDING_BIN:
    case IDS_FAILED_OPEN_BIN:
        return true;
    default:
        return false;
    }
}

bool NamesFileOrPort(unsigned id) {
    switch (id) {
    case IDS_INVALID_B86_FORMAT:
    case IDS_ERROR_TRANSMITTING_B86:
    case IDS_ERROR_READING_B86:
    case IDS_FAILED_OPEN_B86:
    case IDS_FAILED_OPEN_PORT:
        return true;
    default:
        return NamesBootFile(id);
    }
}

std::string EndingText(const TransferEnding& ending, const ITextCatalogue& catalogue) {
    if (!ending.plainText.empty()) {
        return ending.plainText;
    }
    if (ending.id == 0) {
        return std::string();
    }
    if (NamesFileOrPort(ending.id)) {
        return catalogue.Format(ending.id, {ending.argument, ending.code});
    }
    std::string text = catalogue.Format(ending.id, {ending.code});
    if (ending.id == IDS_RECEIVE_THREAD_ERROR && ending.site != kSiteNone) {
        text = FormatText("%s Line: %d", {text, ending.site});
    }
    return text;
}
