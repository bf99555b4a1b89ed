/*
 * The stream exchange's contract with its client drivers: the registration record, the
 * notification record, the callbacks clients supply, the entry points the exchange hands out,
 * the control codes and the notification codes. Valid C (C99) and C++.
 *
 * Where pointers are 4 bytes wide the byte offsets and sizes below are part of the contract and
 * are checked at compile time. Where they are wider, the field order stays and every pointer
 * simply takes its natural width.
 *
 * Built as a Windows kernel image, a client imports some routines under other names than the ones
 * its source calls, and its imports allow-list names the imported ones: KeAcquireSpinLock and
 * KeReleaseSpinLock are hal.dll's KfAcquireSpinLock and KfReleaseSpinLock, IoCallDriver is
 * IofCallDriver, IoCompleteRequest is IofCompleteRequest, ObDereferenceObject is
 * ObfDereferenceObject, RtlZeroMemory and RtlCopyMemory are memset and memcpy.
 */
#ifndef DEVIDIDI_STREAMER_H
#define DEVIDIDI_STREAMER_H

#include "kernel.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Calling convention of every callback and entry point that crosses the driver boundary. */
#define STREAMER_CALL NTAPI

/* Interface class of the function devices: {A9029421-8158-11D3-B7F7-00105A74CC18}. */
#define STREAMER_GUID_INITIALIZER \
    { 0xa9029421, 0x8158, 0x11d3, { 0xb7, 0xf7, 0x00, 0x10, 0x5a, 0x74, 0xcc, 0x18 } }

#ifdef __cplusplus
}
static const GUID STREAMER_GUID = STREAMER_GUID_INITIALIZER;
extern "C" {
#endif

#define STREAMER_DEVICE_NAME "\\Device\\DeVididi"
/*
 * The same name as the kernel's 16-bit characters, for a C99 driver (C99 has no 16-bit literal, so
 * KWSTR needs C11 or C++):   static const WCHAR szName[] = STREAMER_DEVICE_NAME_WCHARS;
 */
#define STREAMER_DEVICE_NAME_WCHARS \
    { '\\', 'D', 'e', 'v', 'i', 'c', 'e', '\\', 'D', 'e', 'V', 'i', 'd', 'i', 'd', 'i', 0 }
#define STREAMER_DOS_DEVICE_NAME "\\DosDevices\\DeVididi"
#define STREAMER_NUM_STREAMS 256

/* ---- Control codes ---- */
#define STREAMER_IOCTL_UPDATE_DEBUG_LEVELS  0x00000FF8
#define STREAMER_IOCTL_PRINT_STATUS         0x00000FF9
#define STREAMER_REGISTER_PROVIDER          0x00222004 /* function 0x801 */
#define STREAMER_UNREGISTER_PROVIDER        0x00222008 /* function 0x802 */
#define STREAMER_REGISTER_CONSUMER          0x0022200C /* function 0x803 */
#define STREAMER_UNREGISTER_CONSUMER        0x00222010 /* function 0x804 */
#define STREAMER_IOCTL_RESYNC_OAPI_CONSUMER 0x00222020 /* function 0x808 */
#define STREAMER_IOCTL_IS_ORBDRV_ACTIVE     0x00222024 /* function 0x809 */
#define STREAMER_IOCTL_PRINT_STREAMS        0x00222028 /* function 0x80A */
#define STREAMER_IOCTL_GET_BANDWIDTH        0x0022202C /* function 0x80B */

/* ---- Notification codes ---- */
#define STREAMERNOTIFY_CONSUMER_REGISTERED   1
#define STREAMERNOTIFY_CONSUMER_UNREGISTERED 2
#define STREAMERNOTIFY_PROVIDER_REGISTERED   3
#define STREAMERNOTIFY_PROVIDER_UNREGISTERED 4
#define STREAMERNOTIFY_STREAM_INFO_CHANGED   5
#define STREAMERNOTIFY_LOST_BYTES            8
#define STREAMERNOTIFY_CONSUMER_DELETED      9
#define STREAMERNOTIFY_PROVIDER_DELETED      10
#define STREAMERNOTIFY_IS_ORBDRV_ACTIVE      11
/* Codes a provider may broadcast: 0 up to, not including, this one. */
#define STREAMERNOTIFY_CODE_LIMIT            40

/* The 8-byte record that travels with a notification; its words mean what the code says. */
typedef union _STREAMER_NOTIFICATION_PARAM {
    LONG nConsumers;         /* codes 1, 2: consumers in the stream after the change */
    struct {
        PVOID pInfo;         /* code 5: the stream information block */
        LONG nSize;          /*         its size in bytes */
    } StreamInfo;
    struct {
        LONG nLost;          /* code 8: bytes the consumer is behind */
        ULONG dwSize;        /*         size of the block just provided */
    } LostBytes;
    ULONG fOrbDrvActive;     /* code 11: 1 when the notifications stream has a provider */
    ULONG adwWords[2];
} STREAMER_NOTIFICATION_PARAM, *PSTREAMER_NOTIFICATION_PARAM;

/* The stream information block; the exchange reads only these words, and only for its log. */
#define STREAMINFO_VIDEO 1
#define STREAMINFO_AUDIO 2
typedef struct _STREAMER_STREAM_INFO {
    ULONG dwInfoType; /* STREAMINFO_VIDEO or STREAMINFO_AUDIO */
    union {
        struct {
            LONG FrameSize;
            LONG FrameRate;
            LONG CompStandard;
        } Video;
        struct {
            LONG CompStandard;
            LONG adwReserved[2];
        } Audio;
    } u;
} STREAMER_STREAM_INFO, *PSTREAMER_STREAM_INFO;

/*
 * ---- Callbacks that clients supply ----
 * pContext is, for a provider's callbacks, the RegisterProvider.pContext it registered with, and for
 * a consumer's, its own RegisterConsumer.hConsumer. The exchange never calls them after the matching
 * unregistration has completed (a driver unregisters before its unload), and always at
 * DISPATCH_LEVEL or below, as this table says:
 *   lock    DISPATCH_LEVEL, the stream's spin lock held
 *   reader  DISPATCH_LEVEL, without the lock, as a reader of the stream: a registration or
 *           unregistration on that stream waits until the callback has returned
 *   none    the level named, no lock of the exchange held
 *
 *   callback           made by                                                    level
 *   consumer new-data  the provider's OnProvideData, once a block                 lock
 *   consumer notify    LOST_BYTES, from OnProvideData in place of new-data        lock
 *                      PROVIDER_REGISTERED, PROVIDER_UNREGISTERED and
 *                      STREAM_INFO_CHANGED, from the provider's registration or
 *                      unregistration; STREAM_INFO_CHANGED to a consumer from
 *                      its own registration                                       lock
 *                      PROVIDER_REGISTERED to a consumer from its own
 *                      registration; any code from the provider's OnNotify;
 *                      IS_ORBDRV_ACTIVE on stream 1, from that control request    reader
 *                      CONSUMER_DELETED, from the exchange's unload               none, PASSIVE_LEVEL
 *   provider notify    CONSUMER_REGISTERED, from the provider's registration
 *                      when consumers are there; STREAM_INFO_CHANGED passed back
 *                      from a notification made under the lock                    lock
 *                      CONSUMER_REGISTERED, CONSUMER_UNREGISTERED, from a
 *                      consumer's registration or unregistration; any code from
 *                      a consumer's OnNotify; STREAM_INFO_CHANGED passed back
 *                      from the provider's own OnNotify                           reader
 *                      PROVIDER_DELETED, from the exchange's unload               none, PASSIVE_LEVEL
 *   provider           OnProvideData, after the consumers were told, in the
 *   data-complete      provider's thread                                          none, the caller's level
 *   completion routine of a consumer registration that waited: completed by the
 *                      provider's registration, or cancelled by the consumer's
 *                      unregistration                                             lock
 *                      cancelled by the exchange's unload                         none, PASSIVE_LEVEL
 *
 * Under the lock or as a reader, a callback must not block or wait and must not register or
 * unregister on that stream (the lock is not re-entrant and the registration waits for the reader:
 * a real processor spins for ever); under the lock it must not provide data on that stream either.
 * OnDataProcessed and OnNotify may be called from any callback; the data-complete callback, which
 * runs outside the stream, may also send the provider's unregistration (at PASSIVE_LEVEL). A
 * provider that provides again from there nests one call in another, on the caller's stack. A
 * consumer reports at most what it was told of; a report larger than one ring is taken for an error.
 */
typedef VOID (STREAMER_CALL *STREAMER_PROVIDER_NOTIFY_CALLBACK)(PVOID hConsumer, ULONG dwType,
                                                                PSTREAMER_NOTIFICATION_PARAM pParam,
                                                                PVOID pContext);
typedef VOID (STREAMER_CALL *STREAMER_PROVIDE_DATA_COMPLETE_CALLBACK)(PUCHAR pProviderBuffer, PVOID pContext);
typedef VOID (STREAMER_CALL *STREAMER_NEW_DATA_READY_CALLBACK)(ULONG dwSize, PVOID pContext);
typedef VOID (STREAMER_CALL *STREAMER_CONSUMER_NOTIFY_CALLBACK)(ULONG dwType, PSTREAMER_NOTIFICATION_PARAM pParam,
                                                                PVOID pContext);

/* ---- Entry points that the exchange hands out ---- */
typedef VOID (STREAMER_CALL *STREAMER_PROVIDE_DATA_ENTRY)(ULONG hStream, PUCHAR pProviderBuffer, ULONG dwSize);
typedef VOID (STREAMER_CALL *STREAMER_PROVIDER_NOTIFY_ENTRY)(ULONG hStream, ULONG dwType,
                                                             PSTREAMER_NOTIFICATION_PARAM pParam);
typedef VOID (STREAMER_CALL *STREAMER_DATA_PROCESSED_ENTRY)(ULONG hStream, PVOID hConsumer, ULONG dwSize);
typedef VOID (STREAMER_CALL *STREAMER_CONSUMER_NOTIFY_ENTRY)(ULONG hStream, PVOID hConsumer, ULONG dwType,
                                                             PSTREAMER_NOTIFICATION_PARAM pParam);

/* ---- The registration record: one member per registration request ---- */
typedef union _STREAMER_SRV_PARAM {
    struct {                                           /* STREAMER_REGISTER_PROVIDER */
        ULONG hStream;
        ULONG dwBufferSize;
        STREAMER_PROVIDE_DATA_COMPLETE_CALLBACK pfnProvideDataComplete;
        STREAMER_PROVIDER_NOTIFY_CALLBACK pfnNotify;
        PVOID pStreamInfo;
        LONG nStreamInfoSize;
        STREAMER_PROVIDE_DATA_ENTRY *ppfnProvideData;
        STREAMER_PROVIDER_NOTIFY_ENTRY *ppfnNotify;
        PVOID pContext;
    } RegisterProvider;
    struct {                                           /* STREAMER_UNREGISTER_PROVIDER */
        ULONG hStream;
    } UnRegisterProvider;
    struct {                                           /* STREAMER_REGISTER_CONSUMER */
        ULONG hStream;
        STREAMER_NEW_DATA_READY_CALLBACK pfnNewDataReady;
        STREAMER_CONSUMER_NOTIFY_CALLBACK pfnNotify;
        PVOID hConsumer;
        PUCHAR *ppBuffer;
        PULONG pdwBufferSize;
        PULONG pdwTail;
        STREAMER_DATA_PROCESSED_ENTRY *ppfnDataProcessed;
        STREAMER_CONSUMER_NOTIFY_ENTRY *ppfnNotify;
        PVOID *phConsumer;   /* optional: receives hConsumer once the registration is made */
    } RegisterConsumer;
    struct {                                           /* STREAMER_UNREGISTER_CONSUMER */
        ULONG hStream;
        PVOID hConsumer;
    } UnRegisterConsumer;
} STREAMER_SRV_PARAM, *PSTREAMER_SRV_PARAM;

/* Input of STREAMER_IOCTL_PRINT_STREAMS. */
typedef struct _STREAMER_PRINT_RANGE {
    LONG nFrom;
    LONG nTo; /* inclusive */
} STREAMER_PRINT_RANGE, *PSTREAMER_PRINT_RANGE;

/* Buffer of STREAMER_IOCTL_GET_BANDWIDTH: nMode in, dwBandwidth out. */
typedef struct _STREAMER_BANDWIDTH_PARAM {
    ULONG dwBandwidth;
    ULONG dwReserved;
    LONG nMode; /* 1: five-band table; anything else: four-band table */
} STREAMER_BANDWIDTH_PARAM, *PSTREAMER_BANDWIDTH_PARAM;

#ifdef __cplusplus
}
#endif

/* ---- The byte layout, where pointers are 4 bytes ---- */
#define STREAMER_LAYOUT_CHECK_(cond, name) typedef char streamer_layout_##name[(cond) ? 1 : -1]
#define STREAMER_OFFSET_(type, field) ((unsigned long)offsetof(type, field))
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4 || defined(_M_IX86)
STREAMER_LAYOUT_CHECK_(sizeof(STREAMER_SRV_PARAM) == 40, srv_param_size);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterProvider.dwBufferSize) == 4, rp_size);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterProvider.pfnProvideDataComplete) == 8, rp_pdc);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterProvider.pfnNotify) == 12, rp_notify);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterProvider.pStreamInfo) == 16, rp_info);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterProvider.nStreamInfoSize) == 20, rp_infosize);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterProvider.ppfnProvideData) == 24, rp_ppd);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterProvider.ppfnNotify) == 28, rp_pnotify);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterProvider.pContext) == 32, rp_ctx);
STREAMER_LAYOUT_CHECK_(sizeof(((STREAMER_SRV_PARAM *)0)->RegisterProvider) == 36, rp_total);
STREAMER_LAYOUT_CHECK_(sizeof(((STREAMER_SRV_PARAM *)0)->UnRegisterProvider) == 4, up_total);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterConsumer.pfnNewDataReady) == 4, rc_ndr);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterConsumer.pfnNotify) == 8, rc_notify);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterConsumer.hConsumer) == 12, rc_handle);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterConsumer.ppBuffer) == 16, rc_buffer);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterConsumer.pdwBufferSize) == 20, rc_size);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterConsumer.pdwTail) == 24, rc_tail);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterConsumer.ppfnDataProcessed) == 28, rc_pdp);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterConsumer.ppfnNotify) == 32, rc_pnotify);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, RegisterConsumer.phConsumer) == 36, rc_phandle);
STREAMER_LAYOUT_CHECK_(sizeof(((STREAMER_SRV_PARAM *)0)->RegisterConsumer) == 40, rc_total);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_SRV_PARAM, UnRegisterConsumer.hConsumer) == 4, uc_handle);
STREAMER_LAYOUT_CHECK_(sizeof(((STREAMER_SRV_PARAM *)0)->UnRegisterConsumer) == 8, uc_total);
STREAMER_LAYOUT_CHECK_(sizeof(STREAMER_NOTIFICATION_PARAM) == 8, notification_size);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_NOTIFICATION_PARAM, StreamInfo.nSize) == 4, ni_size);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_NOTIFICATION_PARAM, LostBytes.dwSize) == 4, nl_size);
#endif
STREAMER_LAYOUT_CHECK_(sizeof(STREAMER_PRINT_RANGE) == 8, print_range_size);
STREAMER_LAYOUT_CHECK_(sizeof(STREAMER_BANDWIDTH_PARAM) == 12, bandwidth_size);
STREAMER_LAYOUT_CHECK_(STREAMER_OFFSET_(STREAMER_BANDWIDTH_PARAM, nMode) == 8, bandwidth_mode);
STREAMER_LAYOUT_CHECK_(sizeof(STREAMER_STREAM_INFO) == 16, stream_info_size);

#endif
