// This computer's Shardex settings file, <config>/shardex/shardex.conf: "key=value" lines
// that the programs read (the browse time) and the window writes (the last source folder).
// Lines it does not know are kept as they are.
#pragma once

#include <filesystem>
#include <string>

namespace shardex::platform {

// <config>/shardex/shardex.conf ($XDG_CONFIG_HOME or ~/.config).
std::filesystem::path settings_file();

// The value of `key` in the text of a settings file: the last line "key=value" wins; "" when
// there is none.
std::string setting_in(const std::string& text, const std::string& key);

// The text with `key` set to `value`: its first line replaced and any later ones dropped, or a
// line added at the end; every other line kept. A value is one line: line breaks in it are
// cut off.
std::string with_setting(const std::string& text, const std::string& key, const std::string& value);

// The settings file read and written. Reading a missing file gives ""; writing makes the
// folder, and replaces the file through a temporary one, so a crash never leaves half a file.
// A write that fails is dropped: a setting is a convenience, never a reason to stop.
std::string read_setting(const std::string& key);
void write_setting(const std::string& key, const std::string& value);

}  // namespace shardex::platform
