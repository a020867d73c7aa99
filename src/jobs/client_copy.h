// Bringing a client's output file over to this computer's Shardex folder.
//
// A copy runs on a thread of its own, with a progress window that does not hold the window's
// thread: a message about another slot, or another slot's copy, never waits inside it, and
// it never waits inside theirs. What the copy reports reaches the window's thread as queued
// calls. The window keeps its copies under way and ends them (cancelled, joined) when it
// goes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace shardex {

class Form1;
class ClientCopy;

// The copies a window has under way.
class ClientCopies {
public:
    ClientCopies();
    ~ClientCopies();  // cancels the copies still running and waits for their threads
    ClientCopies(const ClientCopies&) = delete;
    ClientCopies& operator=(const ClientCopies&) = delete;

    bool empty() const { return copies_.empty(); }
    // Whether the copy of slot `slot` (its index) runs.
    bool copying(int slot) const;

    // Starts the copy of slot `slot`: copies `name` from `computer`'s Shardex share into this computer's Shardex
    // folder, with a progress window; an existing file is replaced only by a complete copy.
    // `done(ok)` runs on the window's thread once it ends; on failure (or a cancel) the
    // message `prefix` + the reason has been shown first and ok is false. Without a copy
    // service, done(false) runs at once.
    void start(Form1& f, int slot, const std::string& computer, const std::string& name, const std::string& prefix,
               std::function<void(bool ok)> done);

private:
    friend class ClientCopy;
    std::vector<std::shared_ptr<ClientCopy>> copies_;
};

}  // namespace shardex
