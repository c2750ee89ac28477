#pragma once

// The fuzz targets' syslog (quiet_syslog.cpp) formats every message and
// drops it, unless a capture is in place.

#include <string>
#include <utility>
#include <vector>

namespace quiet_syslog {

// While one lives, the messages logged go into it as (priority, text).
class capture {
public:
    capture();
    ~capture();
    capture(capture const&) = delete;
    capture& operator=(capture const&) = delete;

    std::vector<std::pair<int, std::string>> const& messages() const { return messages_; }
    void add(int priority, std::string text) { messages_.emplace_back(priority, std::move(text)); }

private:
    std::vector<std::pair<int, std::string>> messages_;
};

}  // namespace quiet_syslog
