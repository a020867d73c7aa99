#include "platform/paths.h"

#include <cstdlib>

namespace shardex::platform {
namespace {

std::filesystem::path home_folder() {
#ifdef _WIN32
    return "C:\\";
#else
    const char* home = std::getenv("HOME");
    return home && *home ? std::filesystem::path(home) : std::filesystem::path("/");
#endif
}

}  // namespace

std::filesystem::path shardex_folder() {
#ifdef _WIN32
    return "C:\\Shardex\\";
#else
    return home_folder() / "Shardex" / "";
#endif
}

std::string shardex_folder_prefix() { return shardex_folder().string(); }

std::filesystem::path user_profiles_folder() {
#ifndef _WIN32
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        return std::filesystem::path(xdg) / "shardex" / "profiles";
    return home_folder() / ".config" / "shardex" / "profiles";
#else
    return home_folder() / "Shardex" / "Profiles";
#endif
}

}  // namespace shardex::platform
