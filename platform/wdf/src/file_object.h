// WDFFILEOBJECT and the framework's handling of IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE
// for one device: a file object per open, the driver's file callbacks at passive level.
#pragma once

#include <map>
#include <mutex>

#include "object.h"

namespace vel::wdf {

class Device;

class FileObject : public Object {
  public:
    static constexpr ObjectType kType = ObjectType::FileObject;

    FileObject(Binding& binding, Device& device, FILE_OBJECT* file)
        : Object(kType, binding), device_(device), file_(file) {
        setDeletable(false);
    }

    Device& device() const { return device_; }
    FILE_OBJECT* wdmFile() const { return file_; }

  private:
    Device& device_;
    FILE_OBJECT* file_;
};

class FileObjectTable {
  public:
    explicit FileObjectTable(Device& device) : device_(device) {}

    // The file object of an open of the device, or nullptr.
    FileObject* find(const FILE_OBJECT* file) const;

    // Create: a file object is made first; a create routed to a queue goes to the I/O side,
    // else EvtDeviceFileCreate gets it as a request, else it succeeds here. However the create
    // ends, a failure destroys the file object again (no cleanup or close callbacks follow).
    NTSTATUS dispatchCreate(IRP* irp);
    // Cleanup: EvtFileCleanup, then the file's requests still waiting in queues are cancelled.
    NTSTATUS dispatchCleanup(IRP* irp);
    // Close: EvtFileClose, then the file object is deleted.
    NTSTATUS dispatchClose(IRP* irp);

  private:
    struct CreateWatch;
    static NTSTATUS createCompleted(DEVICE_OBJECT* device, IRP* irp, PVOID context);

    FileObject* take(const FILE_OBJECT* file);
    // Runs a file callback at passive level, under the device's lock when the device
    // serialises its callbacks at passive level.
    template <typename F>
    void runCallback(F&& callback);

    Device& device_;
    mutable std::mutex mutex_;
    std::map<const FILE_OBJECT*, FileObject*> files_;
};

}  // namespace vel::wdf
