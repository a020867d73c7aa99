// Text that came from another computer or a file, made fit to quote in a message, a window or
// a log line: characters that would start a new line, move the cursor or reorder what follows
// (control characters, invalid UTF-8, bidirectional overrides) become '?', and a text longer
// than its limit is cut on a character boundary, with "..." after it. No Qt, no network code.
#pragma once

#include <cstddef>
#include <string>

namespace shardex::platform {

// Limits of the places such text goes: a name quoted in a refusal, a line of a log or a
// window's label, and the whole text of a message box.
inline constexpr std::size_t kShownName = 80;
inline constexpr std::size_t kShownLine = 500;
inline constexpr std::size_t kShownMessage = 2000;

// One line: every control character (line breaks too) as '?', cut after `limit` bytes.
std::string printable(const std::string& text, std::size_t limit = kShownLine);

// As printable, but line breaks and tabs are kept: for texts shown in several lines.
std::string readable(const std::string& text, std::size_t limit = kShownMessage);

// A name as a refusal quotes it: "'" + printable(name, kShownName) + "'".
std::string shown(const std::string& name);

}  // namespace shardex::platform
