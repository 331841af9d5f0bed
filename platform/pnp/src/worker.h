// The PnP context: one context of kind Pnp that runs queued PnP work in order, at passive level.
#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include "vel/runtime/runtime.h"

namespace vel::pnp {

class PnpWorker {
  public:
    explicit PnpWorker(rt::Runtime& runtime);
    // Finishes the queued work, then ends the context and joins it.
    ~PnpWorker();
    PnpWorker(const PnpWorker&) = delete;
    PnpWorker& operator=(const PnpWorker&) = delete;

    // Queues a job and returns at once; callable at any IRQL.
    void post(std::function<void()> job);
    // Runs a job on the PnP context and waits for it (a blocking call); inline when the caller
    // is the PnP context itself.
    void run(const std::function<void()>& job);
    bool onWorker() const;

  private:
    void loop();

    rt::Runtime& runtime_;
    std::mutex mutex_;
    std::deque<std::function<void()>> jobs_;
    bool stopping_ = false;
    rt::Event wake_;
    rt::Context* context_ = nullptr;
};

}  // namespace vel::pnp
