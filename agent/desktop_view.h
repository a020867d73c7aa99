// The encoder application as a desktop shows it: one small window per application, titled
// "Shardex encoder - <app> for <server>", with the job's source and output file, the run
// state (or the error), a progress bar, the media time and the output's size.
//
// The agent calls a view from its gRPC and session threads; this view only queues work onto
// the thread of the QApplication, which makes, changes and finally deletes the window there.
#pragma once

#include <memory>
#include <string>

#include "agent/app_view.h"

namespace shardex::agent {

// Needs a QApplication for as long as the view lives, made on the thread that runs its event
// loop. May be called from any thread. The window appears when the Server makes it visible and
// closes when the view is destroyed; the user closing it only hides it.
std::unique_ptr<AppView> make_desktop_view(const std::string& server, const std::string& app);

}  // namespace shardex::agent
