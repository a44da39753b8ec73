#pragma once

#include "app/Catalogue.h"
#include "engine/TransferSession.h"

#include <cstddef>
#include <cstdint>
#include <string>

// How a transfer ended, recorded where the engine decides it: the first message that ended the
// run wins, so a late report of a thread that was being stopped never replaces the cause.
struct TransferEnding {
    enum class Result { None, Completed, Failed, Cancelled, Refused };
    // Where the transfer stood, as its announcements told the owner.
    enum class Phase { None, Connecting, Boot, Program, StepDone };
    Result result = Result::None;
    unsigned id = 0;          // catalogue id of the message; 0 for the port set-up and thread texts
    uint32_t code = 0;        // its 32-bit code (a Win32 error, a wait result, a size)
    std::string argument;     // the file or port the message names
    int32_t site = kSiteNone; // where the receive thread failed
    std::string plainText;    // a text outside the catalogue (always English)
    size_t step = 0;          // the step concerned, from 0
    bool stepStarted = false; // the download thread had announced that step
    Phase phase = Phase::None;
};

// The text of the message that ended the transfer, as the message list shows it, in the
// language of `catalogue`; empty when the transfer has not ended or completed.
std::string EndingText(const TransferEnding& ending, const ITextCatalogue& catalogue);

// Catalogue texts that name a step file or the port before their code, and of those the ones
// that name the step's boot-loader file.
bool NamesFileOrPort(unsigned id);
bool NamesBootFile(unsigned id);
