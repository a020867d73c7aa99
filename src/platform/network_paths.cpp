// Paths between their network form and their local form. Every path that crosses the
// network passes through here, so the refusals (names that would climb out of the Shardex
// folder, paths that name no computer) live in one place.
#include "platform/network_paths.h"

#include <algorithm>
#include <cctype>

#include "platform/error.h"
#include "platform/paths.h"
#include "platform/shown_text.h"

namespace shardex::platform {
namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

bool has_drive(const std::string& p) {
    return p.size() >= 2 && p[1] == ':' && std::isalpha(static_cast<unsigned char>(p[0]));
}

std::string with_forward_slashes(std::string p) {
    std::replace(p.begin(), p.end(), '\\', '/');
    return p;
}

bool starts_with_ci(const std::string& s, const std::string& prefix) {
    if (s.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char a = static_cast<char>(std::tolower(static_cast<unsigned char>(s[i])));
        const char b = static_cast<char>(std::tolower(static_cast<unsigned char>(prefix[i])));
        if (!((is_separator(a) && is_separator(b)) || a == b)) return false;
    }
    return true;
}

}  // namespace

std::string share_path_of(const std::string& localPath) {
    if (localPath.find('\0') != std::string::npos)
        throw Error(shown(localPath) + " is not a valid path: it contains a NUL character");
    std::string p = with_forward_slashes(has_drive(localPath) ? localPath.substr(2) : localPath);
    if (p.empty() || p[0] != '/')
        throw Error(shown(localPath) + " cannot be shared with other computers: it is not a full path");
    return p;
}

std::string network_source_path(const std::string& server, const std::string& localPath) {
    if (server.empty() || std::any_of(server.begin(), server.end(), is_separator))
        throw Error(shown(server) + " is not a computer name a source path can carry");
    return "//" + server + share_path_of(localPath);
}

NetworkPath parse_network_path(const std::string& networkPath) {
    const auto refuse = [&](const std::string& why) {
        return Error(shown(networkPath) + " is not a network path (//COMPUTER/path): " + why);
    };
    if (networkPath.size() < 2 || !is_separator(networkPath[0]) || !is_separator(networkPath[1]))
        throw refuse("it does not start with two slashes");
    if (networkPath.find('\0') != std::string::npos) throw refuse("it contains a NUL character");
    const std::string rest = with_forward_slashes(networkPath.substr(2));
    const auto slash = rest.find('/');
    if (slash == 0 || rest.empty()) throw refuse("it names no computer");
    if (slash == std::string::npos || slash + 1 == rest.size()) throw refuse("it names no file on the computer");
    return {rest.substr(0, slash), rest.substr(slash)};
}

void check_plain_name(const std::string& name) {
    const auto refuse = [&](const std::string& why) {
        return Error(shown(name) + " is not a plain file name: " + why);
    };
    if (name.empty()) throw refuse("it is empty");
    if (name.size() > 255) throw refuse("it is longer than 255 bytes");
    if (name == "." || name == "..") throw refuse("it names a folder");
    if (name.find('\0') != std::string::npos) throw refuse("it contains a NUL character");
    if (name.find_first_of("/\\:") != std::string::npos) throw refuse("it contains '/', '\\' or ':'");
}

std::string output_name_of(const std::string& outputPath) {
    const auto name_after = [&](std::size_t prefixLength) {
        std::string name = outputPath.substr(prefixLength);
        check_plain_name(name);
        return name;
    };
    if (outputPath.find_first_of("/\\:") == std::string::npos) return name_after(0);
    const std::string local = shardex_folder_prefix();
    if (!local.empty() && outputPath.compare(0, local.size(), local) == 0) return name_after(local.size());
    // The folder as the window's texts spell it, on any system.
    static const std::string kWindowsFolder = "C:\\Shardex\\";
    if (starts_with_ci(outputPath, kWindowsFolder)) return name_after(kWindowsFolder.size());
    throw Error(shown(outputPath) + " is not in the Shardex folder (" + local +
                "): a remote computer can only write plain file names in its own Shardex folder");
}

}  // namespace shardex::platform
