// Queues, requests and I/O targets as the drivers see them: request types and parameters, queue
// configuration and state bits, send and completion records, target open parameters. Included
// by vel_wdf.h before the function table, after the device records (WDF_TRI_STATE).
#pragma once

typedef PVOID WDFCONTEXT;

// ---------------------------------------------------------------------------------------------
// Request types: the IRP major functions, then the framework's own kinds.

typedef enum _WDF_REQUEST_TYPE {
    WdfRequestTypeCreate = 0x0,
    WdfRequestTypeCreateNamedPipe = 0x1,
    WdfRequestTypeClose = 0x2,
    WdfRequestTypeRead = 0x3,
    WdfRequestTypeWrite = 0x4,
    WdfRequestTypeQueryInformation = 0x5,
    WdfRequestTypeSetInformation = 0x6,
    WdfRequestTypeQueryEA = 0x7,
    WdfRequestTypeSetEA = 0x8,
    WdfRequestTypeFlushBuffers = 0x9,
    WdfRequestTypeQueryVolumeInformation = 0xa,
    WdfRequestTypeSetVolumeInformation = 0xb,
    WdfRequestTypeDirectoryControl = 0xc,
    WdfRequestTypeFileSystemControl = 0xd,
    WdfRequestTypeDeviceControl = 0xe,
    WdfRequestTypeDeviceControlInternal = 0xf,
    WdfRequestTypeShutdown = 0x10,
    WdfRequestTypeLockControl = 0x11,
    WdfRequestTypeCleanup = 0x12,
    WdfRequestTypeCreateMailSlot = 0x13,
    WdfRequestTypeQuerySecurity = 0x14,
    WdfRequestTypeSetSecurity = 0x15,
    WdfRequestTypePower = 0x16,
    WdfRequestTypeSystemControl = 0x17,
    WdfRequestTypeDeviceChange = 0x18,
    WdfRequestTypeQueryQuota = 0x19,
    WdfRequestTypeSetQuota = 0x1a,
    WdfRequestTypePnp = 0x1b,
    WdfRequestTypeOther,
    WdfRequestTypeUsb,
    WdfRequestTypeNoFormat = 0xff,
    WdfRequestTypeMax,
} WDF_REQUEST_TYPE;

typedef struct _WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            size_t Length;
            ULONG Key;
            LONGLONG DeviceOffset;
        } Read;
        struct {
            size_t Length;
            ULONG Key;
            LONGLONG DeviceOffset;
        } Write;
        struct {
            size_t OutputBufferLength;
            size_t InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Arg1;
            PVOID Arg2;
            ULONG IoControlCode;
            PVOID Arg4;
        } Others;
    } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;

inline VOID WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS Parameters) {
    RtlZeroMemory(Parameters, sizeof(WDF_REQUEST_PARAMETERS));
    Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

// ---------------------------------------------------------------------------------------------
// Buffers handed to synchronous sends.

typedef enum _WDF_MEMORY_DESCRIPTOR_TYPE {
    WdfMemoryDescriptorTypeInvalid = 0,
    WdfMemoryDescriptorTypeBuffer,
    WdfMemoryDescriptorTypeMdl,
    WdfMemoryDescriptorTypeHandle,
} WDF_MEMORY_DESCRIPTOR_TYPE;

typedef struct _WDF_MEMORY_DESCRIPTOR {
    WDF_MEMORY_DESCRIPTOR_TYPE Type;
    union {
        struct {
            PVOID Buffer;
            ULONG Length;
        } BufferType;
        struct {
            PMDL Mdl;
            ULONG BufferLength;
        } MdlType;
        struct {
            WDFMEMORY Memory;
            PWDFMEMORY_OFFSET Offsets;
        } HandleType;
    } u;
} WDF_MEMORY_DESCRIPTOR, *PWDF_MEMORY_DESCRIPTOR;

inline VOID WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(PWDF_MEMORY_DESCRIPTOR Descriptor, PVOID Buffer,
                                              ULONG BufferLength) {
    RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeBuffer;
    Descriptor->u.BufferType.Buffer = Buffer;
    Descriptor->u.BufferType.Length = BufferLength;
}

inline VOID WDF_MEMORY_DESCRIPTOR_INIT_HANDLE(PWDF_MEMORY_DESCRIPTOR Descriptor, WDFMEMORY Memory,
                                              PWDFMEMORY_OFFSET Offsets) {
    RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeHandle;
    Descriptor->u.HandleType.Memory = Memory;
    Descriptor->u.HandleType.Offsets = Offsets;
}

inline VOID WDF_MEMORY_DESCRIPTOR_INIT_MDL(PWDF_MEMORY_DESCRIPTOR Descriptor, PMDL Mdl,
                                           ULONG BufferLength) {
    RtlZeroMemory(Descriptor, sizeof(WDF_MEMORY_DESCRIPTOR));
    Descriptor->Type = WdfMemoryDescriptorTypeMdl;
    Descriptor->u.MdlType.Mdl = Mdl;
    Descriptor->u.MdlType.BufferLength = BufferLength;
}

// ---------------------------------------------------------------------------------------------
// Queues.

typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax,
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef enum _WDF_IO_QUEUE_STATE {
    WdfIoQueueAcceptRequests = 0x01,
    WdfIoQueueDispatchRequests = 0x02,
    WdfIoQueueNoRequests = 0x04,
    WdfIoQueueDriverNoRequests = 0x08,
    WdfIoQueuePnpHeld = 0x10,
} WDF_IO_QUEUE_STATE;

inline BOOLEAN WDF_IO_QUEUE_IDLE(WDF_IO_QUEUE_STATE State) {
    return (State & WdfIoQueueNoRequests) && (State & WdfIoQueueDriverNoRequests);
}
inline BOOLEAN WDF_IO_QUEUE_READY(WDF_IO_QUEUE_STATE State) {
    return (State & WdfIoQueueDispatchRequests) && (State & WdfIoQueueAcceptRequests) &&
           !(State & WdfIoQueuePnpHeld);
}
inline BOOLEAN WDF_IO_QUEUE_STOPPED(WDF_IO_QUEUE_STATE State) {
    return !(State & WdfIoQueueDispatchRequests) && (State & WdfIoQueueAcceptRequests) &&
           (State & WdfIoQueueDriverNoRequests);
}
inline BOOLEAN WDF_IO_QUEUE_DRAINED(WDF_IO_QUEUE_STATE State) {
    return !(State & WdfIoQueueAcceptRequests) && (State & WdfIoQueueDispatchRequests) &&
           (State & WdfIoQueueNoRequests) && (State & WdfIoQueueDriverNoRequests);
}
inline BOOLEAN WDF_IO_QUEUE_PURGED(WDF_IO_QUEUE_STATE State) {
    return !(State & WdfIoQueueAcceptRequests) && (State & WdfIoQueueNoRequests) &&
           (State & WdfIoQueueDriverNoRequests);
}

// EvtIoStop's ActionFlags.
typedef enum _WDF_REQUEST_STOP_ACTION_FLAGS {
    WdfRequestStopActionInvalid = 0,
    WdfRequestStopActionSuspend = 0x01,
    WdfRequestStopActionPurge = 0x02,
    WdfRequestStopRequestCancelable = 0x10000000,
} WDF_REQUEST_STOP_ACTION_FLAGS;

typedef VOID (*PFN_WDF_IO_QUEUE_IO_DEFAULT)(WDFQUEUE Queue, WDFREQUEST Request);
typedef VOID (*PFN_WDF_IO_QUEUE_IO_READ)(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef VOID (*PFN_WDF_IO_QUEUE_IO_WRITE)(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef VOID (*PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL)(WDFQUEUE Queue, WDFREQUEST Request,
                                                   size_t OutputBufferLength,
                                                   size_t InputBufferLength, ULONG IoControlCode);
typedef VOID (*PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL)(WDFQUEUE Queue, WDFREQUEST Request,
                                                            size_t OutputBufferLength,
                                                            size_t InputBufferLength,
                                                            ULONG IoControlCode);
typedef VOID (*PFN_WDF_IO_QUEUE_IO_STOP)(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
typedef VOID (*PFN_WDF_IO_QUEUE_IO_RESUME)(WDFQUEUE Queue, WDFREQUEST Request);
typedef VOID (*PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE)(WDFQUEUE Queue, WDFREQUEST Request);
typedef VOID (*PFN_WDF_IO_QUEUE_STATE)(WDFQUEUE Queue, WDFCONTEXT Context);

typedef struct _WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
    PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
    union {
        struct {
            ULONG NumberOfPresentedRequests;  // 0 or (ULONG)-1: no limit
        } Parallel;
    } Settings;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

inline VOID WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG Config,
                                     WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    RtlZeroMemory(Config, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DispatchType = DispatchType;
    if (DispatchType == WdfIoQueueDispatchParallel) {
        Config->Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
    }
}

inline VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG Config,
                                                   WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
    Config->DefaultQueue = TRUE;
}

// ---------------------------------------------------------------------------------------------
// Requests: cancellation, completion parameters, sending, reuse, forwarding.

typedef VOID (*PFN_WDF_REQUEST_CANCEL)(WDFREQUEST Request);

struct _WDF_USB_REQUEST_COMPLETION_PARAMS;

typedef struct _WDF_REQUEST_COMPLETION_PARAMS {
    ULONG Size;
    WDF_REQUEST_TYPE Type;
    IO_STATUS_BLOCK IoStatus;
    union {
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Write;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Read;
        struct {
            ULONG IoControlCode;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
            } Input;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
                size_t Length;
            } Output;
        } Ioctl;
        struct {
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument1;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument2;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument3;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument4;
        } Others;
        struct {
            struct _WDF_USB_REQUEST_COMPLETION_PARAMS* Completion;
        } Usb;
    } Parameters;
} WDF_REQUEST_COMPLETION_PARAMS, *PWDF_REQUEST_COMPLETION_PARAMS;

inline VOID WDF_REQUEST_COMPLETION_PARAMS_INIT(PWDF_REQUEST_COMPLETION_PARAMS Params) {
    RtlZeroMemory(Params, sizeof(WDF_REQUEST_COMPLETION_PARAMS));
    Params->Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
    Params->Type = WdfRequestTypeNoFormat;
}

typedef VOID (*PFN_WDF_REQUEST_COMPLETION_ROUTINE)(WDFREQUEST Request, WDFIOTARGET Target,
                                                   PWDF_REQUEST_COMPLETION_PARAMS Params,
                                                   WDFCONTEXT Context);

typedef enum _WDF_REQUEST_SEND_OPTIONS_FLAGS {
    WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001,
    WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002,
    WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004,
    WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008,
} WDF_REQUEST_SEND_OPTIONS_FLAGS;

#define WDF_NO_SEND_OPTIONS NULL

typedef struct _WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout;  // 100 ns units; negative is relative
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

inline VOID WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS Options, ULONG Flags) {
    RtlZeroMemory(Options, sizeof(WDF_REQUEST_SEND_OPTIONS));
    Options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
    Options->Flags = Flags;
}

inline VOID WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS Options,
                                                 LONGLONG Timeout) {
    Options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
    Options->Timeout = Timeout;
}

typedef enum _WDF_REQUEST_REUSE_FLAGS {
    WDF_REQUEST_REUSE_NO_FLAGS = 0x00000000,
    WDF_REQUEST_REUSE_SET_NEW_IRP = 0x00000001,
} WDF_REQUEST_REUSE_FLAGS;

typedef struct _WDF_REQUEST_REUSE_PARAMS {
    ULONG Size;
    ULONG Flags;
    NTSTATUS Status;
    PIRP NewIrp;
} WDF_REQUEST_REUSE_PARAMS, *PWDF_REQUEST_REUSE_PARAMS;

inline VOID WDF_REQUEST_REUSE_PARAMS_INIT(PWDF_REQUEST_REUSE_PARAMS Params, ULONG Flags,
                                          NTSTATUS Status) {
    RtlZeroMemory(Params, sizeof(WDF_REQUEST_REUSE_PARAMS));
    Params->Size = sizeof(WDF_REQUEST_REUSE_PARAMS);
    Params->Flags = Flags;
    Params->Status = Status;
}

typedef enum _WDF_REQUEST_FORWARD_OPTIONS_FLAGS {
    WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET = 0x00000001,
} WDF_REQUEST_FORWARD_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_FORWARD_OPTIONS {
    ULONG Size;
    ULONG Flags;
} WDF_REQUEST_FORWARD_OPTIONS, *PWDF_REQUEST_FORWARD_OPTIONS;

inline VOID WDF_REQUEST_FORWARD_OPTIONS_INIT(PWDF_REQUEST_FORWARD_OPTIONS Options) {
    RtlZeroMemory(Options, sizeof(WDF_REQUEST_FORWARD_OPTIONS));
    Options->Size = sizeof(WDF_REQUEST_FORWARD_OPTIONS);
    Options->Flags = WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET;
}

// ---------------------------------------------------------------------------------------------
// I/O targets.

typedef enum _WDF_IO_TARGET_STATE {
    WdfIoTargetStateUndefined = 0,
    WdfIoTargetStarted,
    WdfIoTargetStopped,
    WdfIoTargetClosedForQueryRemove,
    WdfIoTargetClosed,
    WdfIoTargetDeleted,
} WDF_IO_TARGET_STATE;

typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending,
} WDF_IO_TARGET_SENT_IO_ACTION;

typedef enum _WDF_IO_TARGET_OPEN_TYPE {
    WdfIoTargetOpenUndefined = 0,
    WdfIoTargetOpenUseExistingDevice = 1,
    WdfIoTargetOpenByName = 2,
    WdfIoTargetOpenReopen = 3,
} WDF_IO_TARGET_OPEN_TYPE;

typedef NTSTATUS (*PFN_WDF_IO_TARGET_QUERY_REMOVE)(WDFIOTARGET IoTarget);
typedef VOID (*PFN_WDF_IO_TARGET_REMOVE_CANCELED)(WDFIOTARGET IoTarget);
typedef VOID (*PFN_WDF_IO_TARGET_REMOVE_COMPLETE)(WDFIOTARGET IoTarget);

typedef struct _WDF_IO_TARGET_OPEN_PARAMS {
    ULONG Size;
    WDF_IO_TARGET_OPEN_TYPE Type;
    PFN_WDF_IO_TARGET_QUERY_REMOVE EvtIoTargetQueryRemove;
    PFN_WDF_IO_TARGET_REMOVE_CANCELED EvtIoTargetRemoveCanceled;
    PFN_WDF_IO_TARGET_REMOVE_COMPLETE EvtIoTargetRemoveComplete;
    PDEVICE_OBJECT TargetDeviceObject;  // open by device object
    PFILE_OBJECT TargetFileObject;
    UNICODE_STRING TargetDeviceName;  // open by name
    ACCESS_MASK DesiredAccess;
    ULONG ShareAccess;
    ULONG FileAttributes;
    ULONG CreateDisposition;
    ULONG CreateOptions;
    PVOID EaBuffer;
    ULONG EaBufferLength;
    PLONGLONG AllocationSize;
    ULONG FileInformation;
} WDF_IO_TARGET_OPEN_PARAMS, *PWDF_IO_TARGET_OPEN_PARAMS;

inline VOID WDF_IO_TARGET_OPEN_PARAMS_INIT_EXISTING_DEVICE(PWDF_IO_TARGET_OPEN_PARAMS Params,
                                                           PDEVICE_OBJECT DeviceObject) {
    RtlZeroMemory(Params, sizeof(WDF_IO_TARGET_OPEN_PARAMS));
    Params->Size = sizeof(WDF_IO_TARGET_OPEN_PARAMS);
    Params->Type = WdfIoTargetOpenUseExistingDevice;
    Params->TargetDeviceObject = DeviceObject;
}

inline VOID WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(PWDF_IO_TARGET_OPEN_PARAMS Params,
                                                        PCUNICODE_STRING TargetDeviceName,
                                                        ACCESS_MASK DesiredAccess) {
    RtlZeroMemory(Params, sizeof(WDF_IO_TARGET_OPEN_PARAMS));
    Params->Size = sizeof(WDF_IO_TARGET_OPEN_PARAMS);
    Params->Type = WdfIoTargetOpenByName;
    Params->TargetDeviceName = *TargetDeviceName;
    Params->DesiredAccess = DesiredAccess;
}
