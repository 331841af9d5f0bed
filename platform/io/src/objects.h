// The kernel objects an application's handles refer to. Each can be waited on: an event when it
// is set, a thread when it has ended, a file when a request on it without its own event has
// completed.
#pragma once

#include <string>

#include "vel/runtime/runtime.h"

namespace vel::io {

class Waitable {
  public:
    virtual ~Waitable() = default;
    virtual rt::Event& signal() = 0;
};

class EventObject : public Waitable {
  public:
    EventObject(bool manualReset, bool initialState)
        : event_(manualReset ? rt::Event::Type::ManualReset : rt::Event::Type::AutoReset,
                 initialState, "application event") {}
    rt::Event& signal() override { return event_; }

  private:
    rt::Event event_;
};

class ThreadObject : public Waitable {
  public:
    explicit ThreadObject(std::string name)
        : ended_(rt::Event::Type::ManualReset, false, "end of thread " + name) {}
    rt::Event& signal() override { return ended_; }

    rt::Context* context = nullptr;  // set by CreateThread once spawned

  private:
    rt::Event ended_;
};

}  // namespace vel::io
