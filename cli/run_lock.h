// One run at a time per output folder: an advisory lock on a file the command owns inside it.
#pragma once

#include <string>

namespace warpmender {
namespace host {

// "<folder>/.warpmender.lock", opened without following links and locked
// with flock for the lifetime of the object; removed when the run ends (or
// is interrupted). A second run into the same folder refuses at once (it
// does not wait): Error names the folder and the lock file.
class RunLock {
public:
    static constexpr const char* kFileName = ".warpmender.lock";

    explicit RunLock(const std::string& folder);
    ~RunLock();
    RunLock(const RunLock&) = delete;
    RunLock& operator=(const RunLock&) = delete;

private:
    int dir_fd_ = -1;
    int fd_ = -1;
};

}  // namespace host
}  // namespace warpmender
