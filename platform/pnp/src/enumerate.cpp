// Bus relations: which children a bus reports, and what changes when the answer changes.
#include <algorithm>
#include <set>

#include "irps.h"
#include "pnp_impl.h"

namespace vel::pnp {

void PnpManager::Impl::enumerate(DeviceNode& node) {
    // A failed query (no bus driver in the stack answered) leaves the children as they are.
    if (std::optional<std::vector<DEVICE_OBJECT*>> reported = queryBusRelations(io, node.pdo)) {
        applyRelations(node, *reported);
    }
}

void PnpManager::Impl::applyRelations(DeviceNode& node,
                                      const std::vector<DEVICE_OBJECT*>& reported) {
    std::set<const DeviceNode*> seen;
    std::vector<DeviceNode*> fresh;
    std::vector<DEVICE_OBJECT*> extraReferences;
    {
        std::lock_guard lock(mutex);
        for (DEVICE_OBJECT* pdo : reported) {
            if (DeviceNode* known = find(pdo)) {
                // Known already: the node keeps the reference it took when it was new.
                if (known->parent == &node) {
                    seen.insert(known);
                }
                extraReferences.push_back(pdo);
                continue;
            }
            auto child = std::make_unique<DeviceNode>();
            child->parent = &node;
            child->pdo = pdo;
            byPdo.emplace(pdo, child.get());
            seen.insert(child.get());
            fresh.push_back(child.get());
            node.children.push_back(std::move(child));
        }
    }
    for (DEVICE_OBJECT* pdo : extraReferences) {
        ObDereferenceObject(pdo);
    }

    std::vector<DeviceNode*> missing;
    for (const auto& child : node.children) {
        if (!seen.contains(child.get())) {
            missing.push_back(child.get());
        }
    }
    for (DeviceNode* child : missing) {
        surpriseRemoveSubtree(*child);
        removeWhenClosed(*child);
    }
    for (DeviceNode* child : fresh) {
        install(*child);
    }
}

}  // namespace vel::pnp
