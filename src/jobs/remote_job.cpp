// The clients' jobs. Encoding on a client needs the remote agent, which this build does
// not have yet: a slot without a computer is left alone as designed, and a slot with one
// ends through its failure path, so the user sees why nothing runs there.
#include "jobs/remote_job.h"

#include <string>

#include "app/form1.h"
#include "jobs/completion.h"
#include "jobs/slots.h"

namespace shardex {
namespace {

constexpr const char* kNotAvailable = "encoding on a client computer is not available in this version";

}  // namespace

void Start_Remote_Job(Form1& f) {
    auto& S = f.S;
    if (S.Client1_Computer.empty()) return;
    show_message(f, std::string("Remote Encoder: ") + kNotAvailable);
    S.Remote_Running = kFalse;
    S.Remote_Stopped = kTrue;
    Finish_Remote_Job(f);
}

void Start_Remote2_Job(Form1& f) {
    auto& S = f.S;
    if (S.Client2_Computer.empty()) return;
    show_message(f, std::string("Remote Encoder-2: ") + kNotAvailable);
    S.Remote2_Running = kFalse;
    S.Remote2_Stopped = kTrue;
    Finish_Remote2_Job(f);
}

}  // namespace shardex
