/*
 * The kernel debug log: nine modules with their levels, the one log routine, the companion
 * output service (VIDOREDU, virtual device 0x0327) and the refresh of the levels from the registry.
 */
#ifndef DEVIDIDI_KRNL_DBG_H
#define DEVIDIDI_KRNL_DBG_H

#include "kernel.h"

/* Module numbers: a module's number is its index in DebugIdArray. */
#define QVDBG_MODULE_DEVIDIDI 0
#define QVDBG_MODULE_ENTRY 1
#define QVDBG_MODULE_PROVIDER_CLIENT 2
#define QVDBG_MODULE_CONSUMER_CLIENT 3
#define QVDBG_MODULE_OAPI_PROVIDER 4
#define QVDBG_MODULE_OAPI_CONSUMER 5
#define QVDBG_MODULE_PROVIDER_INFO 6
#define QVDBG_MODULE_CONSUMER_INFO 7
#define QVDBG_MODULE_STREAM 8
#define QVDBG_NUM_MODULES 9
#define QVDBG_MAX_LEVEL 8

#define QVDBG_MODULE_NAME_SIZE 32
#define QVDBG_LINE_BUFFER_SIZE 1200
#define QVDBG_MAX_LINE_LENGTH 1198

#define VIDOREDU_DEVICE_ID 0x0327
#define VIDOREDU_SERVICE_GET_VERSION 0
#define VIDOREDU_SERVICE_SHOW_DEBUG 1

typedef struct _DEBUG_ID_ENTRY {
    char szModuleName[QVDBG_MODULE_NAME_SIZE];
    LONG nDebugLevel; /* read and written as whole 32-bit values, without a lock */
} DEBUG_ID_ENTRY, *PDEBUG_ID_ENTRY;

extern DEBUG_ID_ENTRY DebugIdArray[QVDBG_NUM_MODULES];
extern LONG QVDBG_TOTAL_NUM_MODULES;
extern ULONG gfDebugVxdUp;

/* 1 when a message of this level is shown for the module. */
static inline ULONG Dbg_CheckDebugLevel(ULONG nModule, USHORT nLevel)
{
    return (LONG)(ULONG)nLevel <= __atomic_load_n(&DebugIdArray[nModule].nDebugLevel, __ATOMIC_RELAXED) ? 1 : 0;
}

/* Builds one line and hands it to the output service; called only once the level test passed. */
void Dbg_ShowDebugLine(ULONG nModule, USHORT nLevel, const char *pszFormat, ...);

/*
 * The log call of every module. The level test comes first and inline, so a message that is not
 * shown costs one comparison and its arguments are not even evaluated. Module and level are
 * evaluated once.
 */
#define SHOWDEBUG(nModule, nLevel, ...)                                      \
    do {                                                                     \
        ULONG nShowDebugModule_ = (ULONG)(nModule);                          \
        USHORT nShowDebugLevel_ = (USHORT)(nLevel);                          \
        if (Dbg_CheckDebugLevel(nShowDebugModule_, nShowDebugLevel_))        \
            Dbg_ShowDebugLine(nShowDebugModule_, nShowDebugLevel_, __VA_ARGS__); \
    } while (0)

/*
 * The data path's lines belong to three modules, and none of its lines has level 0. While all three
 * modules are at level 0, as in production, none of them can show: the data path tests that once a
 * call and then runs a form of itself built without the per-line tests (SHOWDEBUG_IF with a FALSE
 * constant). A negative level also shows nothing; it takes the tested form.
 */
static inline BOOLEAN Dbg_DataPathQuiet(void)
{
    return (__atomic_load_n(&DebugIdArray[QVDBG_MODULE_PROVIDER_INFO].nDebugLevel, __ATOMIC_RELAXED) |
            __atomic_load_n(&DebugIdArray[QVDBG_MODULE_CONSUMER_INFO].nDebugLevel, __ATOMIC_RELAXED) |
            __atomic_load_n(&DebugIdArray[QVDBG_MODULE_STREAM].nDebugLevel, __ATOMIC_RELAXED)) == 0
               ? TRUE
               : FALSE;
}

/* SHOWDEBUG in a form of the data path: fTested FALSE is the quiet form, where the line cannot show. */
#define SHOWDEBUG_IF(fTested, nModule, nLevel, ...) \
    do {                                            \
        if (fTested)                                \
            SHOWDEBUG(nModule, nLevel, __VA_ARGS__); \
    } while (0)

void VIDOREDU_SHOW_DEBUG(const char *pszText);
ULONG VIDOREDU_VXDSHOWDEBUG(const char *pszText);
ULONG VIDOREDU_Get_Version(void);

/* Registry refresh of the levels; passive level only. */
ULONG dbg_UpdateAllDebugLevels(void);
ULONG UpdateDebugIdArray(const char *pszName, ULONG nLevel);

#endif
