// Where Shardex keeps its files on this computer.
#pragma once

#include <filesystem>

namespace shardex::platform {

// The Shardex folder: C:\Shardex\ on Windows, ~/Shardex/ elsewhere. Output files are
// written here. Nothing creates it unasked: the set-up command, or the window's button.
std::filesystem::path shardex_folder();

// The Shardex folder as text with its trailing separator, ready to have a file name appended.
std::string shardex_folder_prefix();

// Folder for profiles the user adds: <config>/shardex/profiles.
std::filesystem::path user_profiles_folder();

}  // namespace shardex::platform
