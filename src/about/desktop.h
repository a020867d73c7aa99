// What the About box, the help and the end of a run ask of the desktop, on Qt's portable calls; the window
// reaches them through Services, so that tests can put fakes in their place.
#pragma once

#include <string>
#include <vector>

namespace shardex::desktop {

// The full path of the program `name` found on the PATH, or "" when there is none.
std::string find_program(const std::string& name);
// Starts `program` with no arguments as a process of its own that outlives Shardex; false
// when it cannot be started.
bool start_detached(const std::string& program);
// Opens the local file `file` in the default web browser; false when none can be opened.
bool open_in_browser(const std::string& file);
// Opens `folder` in the file manager; false when none can be opened.
bool open_folder(const std::string& folder);
// Shows a notification on the desktop through the freedesktop notification service of the
// session's bus. Never waits for an answer; without a bus or a service nothing is shown.
void notify(const std::string& title, const std::string& text);
// Where the help is looked for beside this program (help_locations of its folder).
std::vector<std::string> help_locations_of_this_program();

}  // namespace shardex::desktop
