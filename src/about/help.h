// The user help: an HTML manual (docs/help in the source) opened in the default web browser,
// by Cmd_Help and by F1 anywhere in the main window.
#pragma once

#include <string>
#include <vector>

namespace shardex {

class Form1;

// Where the help's first page is looked for, in order, for a program in `programFolder`:
//   programFolder/../share/shardex/help/index.html   an install under a prefix (bin/, share/)
//   programFolder/help/index.html                    a build (CMake copies the help there), or
//                                                    a program unpacked into one folder
std::vector<std::string> help_locations(const std::string& programFolder);

// The first of `locations` that is an existing file, or "" when none is.
std::string first_existing_file(const std::vector<std::string>& locations);

// Opens the help's first page in the browser. When the help is not found, or no browser can
// be opened, a message says where the help file is looked for or lies.
void Cmd_Help_Click(Form1& f);

}  // namespace shardex
