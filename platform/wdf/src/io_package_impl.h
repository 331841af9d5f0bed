// The state behind IoPackage, shared with the framework calls that configure it (queue creation,
// request dispatching, targets).
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "io_package.h"
#include "queue.h"

namespace vel::wdf {

struct IoPackage::Impl {
    explicit Impl(Device& device) : device(device) {}

    Device& device;
    mutable std::mutex mutex;
    std::vector<Queue*> queues;  // creation order
    Queue* defaultQueue = nullptr;
    std::map<UCHAR, Queue*> routes;  // request type -> configured queue
    IoTarget* defaultTarget = nullptr;
    bool defaultTargetMade = false;
    std::vector<IoTarget*> targets;

    Queue* queueFor(UCHAR major) const {
        std::lock_guard lock(mutex);
        auto it = routes.find(major);
        return it != routes.end() ? it->second : defaultQueue;
    }
    std::vector<Queue*> snapshot(bool powerManagedOnly) const {
        std::lock_guard lock(mutex);
        std::vector<Queue*> out;
        for (Queue* queue : queues) {
            if (!powerManagedOnly || queue->powerManaged()) {
                out.push_back(queue);
            }
        }
        return out;
    }
};

}  // namespace vel::wdf
