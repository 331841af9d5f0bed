// An open file: the file object of one CreateFile, what it grants, and its life after the open.
// The handle and every outstanding request on the file are its users; when the last one goes
// the file is closed (IRP_MJ_CLOSE), then the file object is released.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "objects.h"
#include "vel/io/win32.h"
#include "vel/kernel/io.h"

namespace vel::io {

// Counts an application's files not yet closed, so that process exit can wait for closes that
// were deferred to a work item.
class OpenFiles {
  public:
    void opened();
    void closed();
    void waitUntilNoneOpen();  // a blocking call

  private:
    std::mutex mutex_;
    long count_ = 0;
    rt::Event changed_{rt::Event::Type::AutoReset, false, "closing of the application's files"};
};

struct OpenRequest {
    std::u16string name;  // in the object namespace, "\??\COM7"
    DWORD access = 0;
    DWORD share = 0;
    ULONG disposition = 0;  // FILE_OPEN...
    ULONG attributes = 0;
    bool overlapped = false;
};

class File : public Waitable, public std::enable_shared_from_this<File> {
  public:
    // Resolves the name, checks exclusivity, builds the file object and sends IRP_MJ_CREATE to
    // the top of the device's stack, waiting for its completion. On failure nothing is left.
    static NTSTATUS open(const OpenRequest& request, std::shared_ptr<OpenFiles> openFiles,
                         std::shared_ptr<File>* file);

    File(kernel::IoManager& io, FILE_OBJECT* object, bool canRead, bool canWrite,
         std::shared_ptr<OpenFiles> openFiles);
    ~File() override;

    FILE_OBJECT* object() const { return object_; }
    DEVICE_OBJECT* device() const { return object_->DeviceObject; }  // the device opened
    DEVICE_OBJECT* target() const;  // the top of its stack, where requests go
    bool synchronous() const { return (object_->Flags & FO_SYNCHRONOUS_IO) != 0; }
    bool canRead() const { return canRead_; }
    bool canWrite() const { return canWrite_; }

    // Set when a request with no event of its own completes.
    rt::Event& signal() override { return completion_; }

    // Synchronous I/O on the file runs one request at a time.
    void beginSynchronousIo() { serialiser_.wait(); }
    void endSynchronousIo() { serialiser_.set(); }

    // Sends IRP_MJ_CLEANUP and waits for it: the handle has been closed.
    void cleanup();

    void addUser() { ++users_; }
    // Drops a user; the last one closes the file, right away when the caller may block, else
    // from a system work item.
    void releaseUser(bool mayBlock);

  private:
    NTSTATUS sendAndWait(UCHAR majorFunction, ULONG irpFlags);
    void close();

    kernel::IoManager& io_;
    FILE_OBJECT* object_;
    bool canRead_;
    bool canWrite_;
    std::shared_ptr<OpenFiles> openFiles_;
    std::atomic<long> users_{1};  // the handle
    rt::Event completion_{rt::Event::Type::ManualReset, false, "file completion"};
    rt::Event serialiser_{rt::Event::Type::AutoReset, true, "synchronous I/O on a file"};
};

// Fills the parts of an IRP every request from an application has: the issuing context, the
// requestor mode, the file object in the IRP and in the stack location the top driver gets.
void prepareApplicationIrp(IRP* irp, FILE_OBJECT* file, UCHAR majorFunction);

}  // namespace vel::io
