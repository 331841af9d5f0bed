// The PnP manager's public calls: each hands its work to the PnP context and waits for it, and
// the snapshots of the tree read it under the tree's mutex.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "irps.h"
#include "pnp_impl.h"

namespace vel::pnp {

namespace {

// The live managers, innermost last.
std::mutex liveMutex;
std::vector<PnpManager*> live;

template <typename T>
T& require(T* root, const char* what) {
    if (root == nullptr) {
        std::fprintf(stderr, "PnpManager needs a live %s\n", what);
        std::abort();
    }
    return *root;
}

}  // namespace

PnpManager::Impl::Impl(rt::Runtime& rt, kernel::Kernel& k, wdf::Framework& fw)
    : runtime(rt), kernel(k), io(k.io()), framework(fw), rootBus(k.io()), worker(rt) {}

DeviceNode* PnpManager::Impl::find(const DEVICE_OBJECT* pdo) const {
    auto it = byPdo.find(pdo);
    return it != byPdo.end() ? it->second : nullptr;
}

void PnpManager::Impl::setState(DeviceNode& node, DeviceState state, NTSTATUS problem) {
    std::lock_guard lock(mutex);
    node.state = state;
    node.problem = problem;
}

void PnpManager::Impl::setPower(DeviceNode& node, DEVICE_POWER_STATE power) {
    std::lock_guard lock(mutex);
    node.power = power;
}

std::vector<DeviceNode*> PnpManager::Impl::postOrder(DeviceNode& node) {
    std::vector<DeviceNode*> nodes;
    for (auto& child : node.children) {
        std::vector<DeviceNode*> below = postOrder(*child);
        nodes.insert(nodes.end(), below.begin(), below.end());
    }
    nodes.push_back(&node);
    return nodes;
}

std::vector<DeviceNode*> PnpManager::Impl::preOrder(DeviceNode& node) {
    std::vector<DeviceNode*> nodes{&node};
    for (auto& child : node.children) {
        std::vector<DeviceNode*> below = preOrder(*child);
        nodes.insert(nodes.end(), below.begin(), below.end());
    }
    return nodes;
}

DeviceInfo PnpManager::Impl::snapshot(const DeviceNode& node) const {
    DeviceInfo info;
    info.pdo = node.pdo;
    info.instancePath = node.instancePath;
    info.deviceId = node.deviceId;
    info.instanceId = node.instanceId;
    info.hardwareIds = node.hardwareIds;
    info.compatibleIds = node.compatibleIds;
    info.description = node.description;
    info.location = node.location;
    info.service = node.service;
    info.state = node.state;
    info.problem = node.problem;
    info.power = node.power;
    for (const auto& child : node.children) {
        info.children.push_back(snapshot(*child));
    }
    return info;
}

PnpManager::PnpManager()
    : impl_(std::make_unique<Impl>(require(rt::Runtime::current(), "Runtime"),
                                   require(kernel::Kernel::current(), "Kernel"),
                                   require(wdf::Framework::current(), "Framework"))) {
    Impl* impl = impl_.get();
    impl->fileWatch = impl->io.watchFileRelease(
        [impl] { impl->worker.post([impl] { impl->onFileReleased(); }); });
    std::lock_guard lock(liveMutex);
    live.push_back(this);
}

PnpManager::~PnpManager() {
    {
        std::lock_guard lock(liveMutex);
        std::erase(live, this);
    }
    Impl& impl = *impl_;
    impl.io.unwatchFileRelease(impl.fileWatch);
    impl.worker.run([&impl] {
        // As if every root device left at once, but in order: no queries, no surprise.
        impl.rootBus.unplugAll();
        while (!impl.root.children.empty()) {
            impl.removeSubtree(*impl.root.children.front());
        }
        for (const std::string& service : impl.loadedHere) {
            impl.framework.unloadDriver(service);
        }
        impl.loadedHere.clear();
    });
}

PnpManager* PnpManager::current() {
    std::lock_guard lock(liveMutex);
    return live.empty() ? nullptr : live.back();
}

void PnpManager::addDriverPackage(DriverPackage package) {
    impl_->table.add(std::move(package));
}

DEVICE_OBJECT* PnpManager::plugRootDevice(const RootDevice& device) {
    DEVICE_OBJECT* pdo = nullptr;
    impl_->worker.run([&] {
        pdo = impl_->rootBus.create(device);
        if (pdo != nullptr) {
            impl_->applyRelations(impl_->root, impl_->rootBus.relations());
        }
    });
    return pdo;
}

NTSTATUS PnpManager::unplugRootDevice(DEVICE_OBJECT* pdo) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->worker.run([&] {
        if (impl_->rootBus.unplug(pdo)) {
            impl_->applyRelations(impl_->root, impl_->rootBus.relations());
            status = STATUS_SUCCESS;
        }
    });
    return status;
}

void PnpManager::invalidateDeviceRelations(DEVICE_OBJECT* pdo) {
    Impl* impl = impl_.get();
    impl->worker.post([impl, pdo] {
        DeviceNode* node = impl->find(pdo);
        if (node != nullptr && node->state == DeviceState::Started) {
            impl->enumerate(*node);
        }
    });
}

void PnpManager::settle() {
    impl_->worker.run([] {});
}

NTSTATUS PnpManager::stop(DEVICE_OBJECT* pdo) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->worker.run([&] {
        if (DeviceNode* node = impl_->find(pdo)) {
            status = impl_->stopNode(*node);
        }
    });
    return status;
}

NTSTATUS PnpManager::start(DEVICE_OBJECT* pdo) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->worker.run([&] {
        if (DeviceNode* node = impl_->find(pdo)) {
            status = node->state == DeviceState::Stopped ? impl_->startNode(*node)
                                                         : STATUS_INVALID_DEVICE_STATE;
        }
    });
    return status;
}

NTSTATUS PnpManager::remove(DEVICE_OBJECT* pdo) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    impl_->worker.run([&] {
        if (DeviceNode* node = impl_->find(pdo)) {
            status = impl_->removeOrderly(*node);
        }
    });
    return status;
}

void PnpManager::requestEject(DEVICE_OBJECT* pdo) {
    Impl* impl = impl_.get();
    impl->worker.post([impl, pdo] {
        DeviceNode* node = impl->find(pdo);
        if (node == nullptr || node->state == DeviceState::SurpriseRemoved ||
            node->removalPending) {
            return;
        }
        node->ejecting = true;
        if (!NT_SUCCESS(impl->removeOrderly(*node))) {
            node->ejecting = false;
        }
    });
}

NTSTATUS PnpManager::setSystemPower(PowerAction action) {
    NTSTATUS status;
    impl_->worker.run([&] { status = impl_->powerDown(action); });
    return status;
}

NTSTATUS PnpManager::wake() {
    NTSTATUS status;
    impl_->worker.run([&] { status = impl_->powerUp(); });
    return status;
}

SYSTEM_POWER_STATE PnpManager::systemPowerState() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->systemState;
}

std::vector<DeviceInfo> PnpManager::tree() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->snapshot(impl_->root).children;
}

std::string PnpManager::treeText() const {
    return formatTree(tree());
}

std::optional<DeviceInfo> PnpManager::device(const DEVICE_OBJECT* pdo) const {
    std::lock_guard lock(impl_->mutex);
    const DeviceNode* node = impl_->find(pdo);
    if (node == nullptr) {
        return std::nullopt;
    }
    return impl_->snapshot(*node);
}

std::optional<DeviceKeys> PnpManager::deviceKeys(const DEVICE_OBJECT* pdo) const {
    std::lock_guard lock(impl_->mutex);
    const DeviceNode* node = impl_->find(pdo);
    if (node == nullptr || node->instancePath.empty()) {
        return std::nullopt;
    }
    return DeviceKeys{node->instancePath, kernel::regpath::hardwareKey(node->instancePath),
                      node->softwareKey};
}

NTSTATUS PnpManager::queryInterface(DEVICE_OBJECT* device, const GUID& type, USHORT size,
                                    USHORT version, INTERFACE* interface,
                                    PVOID interfaceSpecificData) {
    return sendPnp(impl_->io, device, IRP_MN_QUERY_INTERFACE,
                   [&](IO_STACK_LOCATION& location) {
                       location.Parameters.QueryInterface.InterfaceType = &type;
                       location.Parameters.QueryInterface.Size = size;
                       location.Parameters.QueryInterface.Version = version;
                       location.Parameters.QueryInterface.Interface = interface;
                       location.Parameters.QueryInterface.InterfaceSpecificData =
                           interfaceSpecificData;
                   })
        .status;
}

}  // namespace vel::pnp
