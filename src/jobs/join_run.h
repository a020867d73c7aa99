// The finished video (beyond the design): once a Go run in which more than one slot ran has
// ended with every started slot a success, the Server joins the segment files in its Shardex
// folder into NAME.wmv there (platform/join), with a progress window the user may cancel.
// The segment files stay as they are. The Join check box by Go turns it off; its state is
// remembered in the user's shardex.conf.
#pragma once

#include <string>

namespace shardex {

class Form1;

// Makes the Join check box of `f` show the remembered setting (on when there is none) and
// remember every change.
void bind_join_check_box(Form1& f);

// Notes the slots a Go run is about to start: the Server's, and each client's with a load and
// a computer.
void Plan_Join(Form1& f);

// When `slot` (0 the Server, 1 Client 1, 2 Client 2) has ended, its output home: once every
// slot the run started has, joins their files if more than one ran, each ended in success
// (not stopped, its file in the Shardex folder) and Join is ticked. A failure says why and
// leaves the segment files; a run is joined once.
void Join_Run_Outputs(Form1& f, int slot);

// The joined file's name for the source `sourcePath`: NAME.wmv, NAME being the source's file
// name without its extension, or NAME_joined.wmv when NAME.wmv in `folder` is the source itself.
std::string joined_file_name(const std::string& sourcePath, const std::string& folder);

}  // namespace shardex
