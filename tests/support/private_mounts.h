// Small file systems a test mounts for itself: a full disk made real. The test process
// first moves into a mount namespace of its own (as root, while it has a single thread), so
// that what it mounts is seen by it and the agents it starts, by no other process, and goes
// away with the process however it ends.
#pragma once

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

namespace shardex::testing {

// Why mounts cannot be made here ("" when they can), decided once.
inline std::string& private_mounts_refusal() {
    static std::string why = "the mount namespace was never asked for";
    return why;
}

// To be called before any thread starts (a static initializer of the test program): every
// thread must share the namespace, and unshare() moves only the calling thread.
inline bool enter_private_mount_namespace() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0 && std::stoi(line.substr(8)) != 1) {
            private_mounts_refusal() = "the test program already runs several threads";
            return false;
        }
    if (::unshare(CLONE_NEWNS) != 0) {
        private_mounts_refusal() = std::string("no mount namespace of its own: ") + std::strerror(errno);
        return false;
    }
    // Nothing mounted here travels back to the system's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        private_mounts_refusal() = std::string("cannot make the mounts private: ") + std::strerror(errno);
        return false;
    }
    private_mounts_refusal().clear();
    return true;
}

// A tmpfs of `bytes` over `folder` (which must exist) for the object's life.
class SmallDisk {
public:
    SmallDisk(std::filesystem::path folder, std::size_t bytes) : folder_(std::move(folder)) {
        if (!private_mounts_refusal().empty()) {
            error_ = private_mounts_refusal();
            return;
        }
        const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
        if (::mount("shardex-test", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0)
            error_ = "cannot mount a tmpfs on " + folder_.string() + ": " + std::strerror(errno);
    }
    ~SmallDisk() {
        if (error_.empty()) ::umount2(folder_.c_str(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    // "" once mounted, else why not.
    const std::string& error() const { return error_; }

private:
    std::filesystem::path folder_;
    std::string error_;
};

}  // namespace shardex::testing
