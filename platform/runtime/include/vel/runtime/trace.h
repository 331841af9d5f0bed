// The trace log: an ordered record of events of a run (scheduling decisions, driver traces,
// debug output). Two simulated runs with one seed produce the same log. Off unless enabled,
// except for the categories a test or the CLI switches on.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vel::rt {

enum class TraceCategory : unsigned {
    Scheduler = 1u << 0,  // context switches, wake-ups, clock jumps
    Driver = 1u << 1,     // DriverTrace output of the drivers
    Debug = 1u << 2,      // DbgPrint output
    Platform = 1u << 3,   // framework and PnP events
    Usb = 1u << 4,
};

struct TraceRecord {
    int64_t time;         // ticks
    std::string context;  // context name
    TraceCategory category;
    std::string text;
};

class TraceLog {
  public:
    // `clock` stamps each record (the runtime passes its own); without one records carry 0.
    explicit TraceLog(std::function<int64_t()> clock = {});
    ~TraceLog();
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    void enable(unsigned categoryMask);  // OR of TraceCategory bits
    bool enabled(TraceCategory category) const;
    void write(TraceCategory category, std::string text);  // no-op when not enabled

    std::vector<TraceRecord> records() const;
    std::vector<TraceRecord> take();
    void clear();
    // One line per record: "<time> <context> <text>".
    std::string dump() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vel::rt
