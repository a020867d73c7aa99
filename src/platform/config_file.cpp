#include "platform/config_file.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

namespace shardex::platform {
namespace {

// The value of a "key=value" line, or false when the line sets another key.
bool value_of(const std::string& line, const std::string& key, std::string& value) {
    if (line.size() <= key.size() || line.compare(0, key.size(), key) != 0 || line[key.size()] != '=') return false;
    value = line.substr(key.size() + 1);
    if (!value.empty() && value.back() == '\r') value.pop_back();
    return true;
}

std::string file_text(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::filesystem::path settings_file() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        return std::filesystem::path(xdg) / "shardex" / "shardex.conf";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/") / ".config" / "shardex" / "shardex.conf";
}

std::string setting_in(const std::string& text, const std::string& key) {
    std::istringstream in(text);
    std::string found;
    for (std::string line, value; std::getline(in, line);)
        if (value_of(line, key, value)) found = value;
    return found;
}

std::string with_setting(const std::string& text, const std::string& key, const std::string& value) {
    const std::string line = key + "=" + value.substr(0, value.find_first_of("\r\n"));
    std::istringstream in(text);
    std::string out;
    bool placed = false;
    for (std::string l, v; std::getline(in, l);) {
        if (value_of(l, key, v)) {
            if (placed) continue;
            l = line;
            placed = true;
        }
        out += l + "\n";
    }
    if (!placed) out += line + "\n";
    return out;
}

std::string read_setting(const std::string& key) { return setting_in(file_text(settings_file()), key); }

void write_setting(const std::string& key, const std::string& value) {
    const std::filesystem::path path = settings_file();
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    const std::string text = with_setting(file_text(path), key, value);
    std::filesystem::path part = path;
    part += ".part";
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out.flush()) return;
    }
    std::filesystem::rename(part, path, ec);
    if (ec) std::filesystem::remove(part, ec);
}

}  // namespace shardex::platform
