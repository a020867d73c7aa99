// Computer names to host and port: explicit entries first, then DNS-SD, else the name as a host name.
#include "platform/remote/peers.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

#include "platform/error.h"
#include "platform/shown_text.h"

namespace shardex::remote {
namespace {

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    const auto last = s.find_last_not_of(" \t\r");
    return s.substr(first, last - first + 1);
}

// An entry as a refusal quotes it, so that a garbled line of a megabyte makes a message of one line.
using platform::shown;

std::uint16_t parse_port(const std::string& digits, const std::string& entry) {
    const auto refuse = [&] {
        return Error(shown(entry) + " is not HOST:PORT: the port must be a number from 1 to 65535");
    };
    if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
        throw refuse();
    const long port = std::strtol(digits.c_str(), nullptr, 10);
    if (port < 1 || port > 65535) throw refuse();
    return static_cast<std::uint16_t>(port);
}

}  // namespace

std::string Endpoint::text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

Endpoint parse_listen_address(const std::string& text, std::uint16_t defaultPort) {
    if (text.size() > 2 && text.compare(text.size() - 2, 2, ":0") == 0) {
        Endpoint e = parse_endpoint(text.substr(0, text.size() - 2), defaultPort);
        e.port = 0;
        return e;
    }
    return parse_endpoint(text, defaultPort);
}

Endpoint parse_endpoint(const std::string& text, std::uint16_t defaultPort) {
    const auto refuse = [&](const std::string& why) { return Error(shown(text) + " is not HOST:PORT: " + why); };
    Endpoint e;
    std::string portText;
    if (!text.empty() && text[0] == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos) throw refuse("the '[' of an IPv6 address is not closed");
        e.host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') throw refuse("only ':PORT' may follow ']'");
        if (!rest.empty()) portText = rest.substr(1);
        if (rest == ":") throw refuse("the port is missing after ':'");
    } else {
        const auto colon = text.find(':');
        if (colon != std::string::npos && text.find(':', colon + 1) != std::string::npos)
            throw refuse("write an IPv6 address in brackets, e.g. [::1]:" + std::to_string(defaultPort));
        e.host = text.substr(0, colon);
        if (colon != std::string::npos) {
            portText = text.substr(colon + 1);
            if (portText.empty()) throw refuse("the port is missing after ':'");
        }
    }
    if (e.host.empty()) throw refuse("the host is missing");
    if (e.host.find_first_of(" \t/\\") != std::string::npos) throw refuse("the host contains a space or a slash");
    // Brackets belong around an IPv6 address only, and a control character (a NUL above all)
    // would change the host a channel is made for.
    if (e.host.find_first_of("[]") != std::string::npos) throw refuse("the host contains a bracket");
    if (std::any_of(e.host.begin(), e.host.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
        throw refuse("the host contains a control character");
    e.port = portText.empty() ? defaultPort : parse_port(portText, text);
    return e;
}

std::pair<std::string, Endpoint> parse_peer(const std::string& entry) {
    const auto eq = entry.find('=');
    if (eq == std::string::npos)
        throw Error(shown(entry) + " is not a peer entry: write NAME=HOST:PORT, e.g. NODE1=192.168.1.20:47810");
    const std::string name = trimmed(entry.substr(0, eq));
    if (name.empty()) throw Error(shown(entry) + " is not a peer entry: the computer name before '=' is missing");
    return {name, parse_endpoint(trimmed(entry.substr(eq + 1)), kAgentPort)};
}

std::filesystem::path default_peers_file() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        return std::filesystem::path(xdg) / "shardex" / "peers";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : "/") / ".config" / "shardex" / "peers";
}

void Resolver::add(const std::string& name, const Endpoint& endpoint) { entries_[name] = endpoint; }

void Resolver::add(const std::string& entry) {
    auto [name, endpoint] = parse_peer(entry);
    add(name, endpoint);
}

void Resolver::load_file(const std::filesystem::path& file) {
    std::error_code ec;
    if (!std::filesystem::exists(file, ec)) return;
    std::ifstream in(file);
    if (!in) throw Error("Could not read the peers file '" + file.string() + "'");
    // The file's entries replace each other in order; the command line's stay on top.
    std::map<std::string, Endpoint> fromFile;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string entry = trimmed(line);
        if (entry.empty() || entry[0] == '#') continue;
        try {
            auto [name, endpoint] = parse_peer(entry);
            fromFile[name] = endpoint;
        } catch (const Error& e) {
            throw Error(file.string() + ", line " + std::to_string(number) + ": " + e.what());
        }
    }
    for (const auto& [name, endpoint] : fromFile) entries_.try_emplace(name, endpoint);
}

void Resolver::add_discovered(const std::string& name, const Endpoint& endpoint) { discovered_[name] = endpoint; }

Endpoint Resolver::resolve(const std::string& name, std::uint16_t defaultPort) const {
    if (const auto it = entries_.find(name); it != entries_.end()) return it->second;
    if (const auto it = discovered_.find(name); it != discovered_.end()) return it->second;
    return {name, defaultPort};
}

}  // namespace shardex::remote
