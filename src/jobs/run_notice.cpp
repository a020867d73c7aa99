#include "jobs/run_notice.h"

namespace shardex {
namespace {

// "Server: SRV" -> "SRV"; a panel without a computer keeps its own name ("Client 2").
std::string computer_of(const std::string& panel) {
    const auto colon = panel.find(':');
    std::string name = colon == std::string::npos ? panel : panel.substr(colon + 1);
    name.erase(0, name.find_first_not_of(' '));
    name.erase(name.find_last_not_of(' ') + 1);
    if (name.empty()) name = panel.substr(0, colon);
    return name;
}

// "Status:  Success 12.3 to 1 " -> "Success 12.3 to 1"
std::string outcome_of(std::string status) {
    if (status.rfind("Status:", 0) == 0) status.erase(0, 7);
    status.erase(0, status.find_first_not_of(' '));
    status.erase(status.find_last_not_of(' ') + 1);
    return status;
}

}  // namespace

RunNotice run_notice(const std::vector<SlotEnd>& ends) {
    bool failed = false, stopped = false;
    RunNotice notice;
    for (const SlotEnd& end : ends) {
        const std::string outcome = outcome_of(end.status);
        failed = failed || outcome.rfind("Failed", 0) == 0;
        stopped = stopped || outcome.rfind("Stopped", 0) == 0;
        if (!notice.text.empty()) notice.text += "\n";
        notice.text += computer_of(end.panel) + ": " + outcome;
    }
    notice.title = std::string("Shardex: encoding ") + (failed ? "failed" : stopped ? "stopped" : "finished");
    return notice;
}

}  // namespace shardex
