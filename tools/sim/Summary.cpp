#include "tools/sim/Summary.h"

#include <sstream>

namespace sim {

std::string FormatSummary(const Counters& counters, const std::string& end, uint64_t hostCloses) {
    StepCounters total;
    uint64_t stepsCompleted = 0;
    for (const StepCounters& step : counters.steps) {
        total.zeros += step.zeros;
        total.bootImages += step.bootImages;
        total.blocks += step.blocks;
        stepsCompleted += step.completed;
    }
    int64_t firstToLastUs = 0;
    if (counters.firstReceived && counters.lastByte) {
        firstToLastUs = std::chrono::duration_cast<std::chrono::microseconds>(*counters.lastByte -
                                                                              *counters.firstReceived)
                            .count();
    }
    std::ostringstream out;
    out << "end=" << end << "\n"
        << "steps=" << counters.steps.size() << "\n"
        << "steps_completed=" << stepsCompleted << "\n"
        << "received_bytes=" << counters.received << "\n"
        << "sent_bytes=" << counters.sent << "\n"
        << "zeros=" << total.zeros << "\n"
        << "boot_images=" << total.bootImages << "\n"
        << "blocks=" << total.blocks << "\n"
        << "extra_bytes=" << counters.extra << "\n"
        << "host_closes=" << hostCloses << "\n"
        << "first_to_last_us=" << firstToLastUs << "\n"
        << "host_reply_us="
        << (counters.replies == 0
                ? 0
                : std::chrono::duration_cast<std::chrono::microseconds>(counters.replyTime).count() /
                      static_cast<int64_t>(counters.replies))
        << "\n";
    for (std::size_t i = 0; i < counters.steps.size(); ++i) {
        const StepCounters& step = counters.steps[i];
        const std::string prefix = "step" + std::to_string(i + 1) + ".";
        out << prefix << "zeros=" << step.zeros << "\n"
            << prefix << "stray_bytes=" << step.strayBytes << "\n"
            << prefix << "boot_images=" << step.bootImages << "\n"
            << prefix << "blocks=" << step.blocks << "\n"
            << prefix << "program_bytes=" << step.programBytes << "\n"
            << prefix << "completed=" << step.completed << "\n";
    }
    return out.str();
}

} // namespace sim
