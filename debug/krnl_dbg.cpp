/*
 * The kernel debug log: the module table, the line builder behind SHOWDEBUG and the calls into
 * the companion output service VIDOREDU.
 */
#include "krnl_dbg.h"

DEBUG_ID_ENTRY DebugIdArray[QVDBG_NUM_MODULES] = {
    {"DEVIDIDI", 0},
    {"ENTRY", 0},
    {"PROVIDER_CLIENT", 0},
    {"CONSUMER_CLIENT", 0},
    {"OAPI_PROVIDER", 0},
    {"OAPI_CONSUMER", 0},
    {"PROVIDER_INFO", 0},
    {"CONSUMER_INFO", 0},
    {"STREAM", 0},
};

LONG QVDBG_TOTAL_NUM_MODULES = QVDBG_NUM_MODULES;

/* Set once the output service has answered its version query; never cleared. */
ULONG gfDebugVxdUp = 0;

/*
 * One line at a time for the whole driver. A call that finds it taken (nested from the output
 * path, or on another processor) drops its message: waiting could deadlock at dispatch level.
 */
static LONG fReentrant = 0;

/* The tick count as one consistent value: the clock writes High2Time, LowPart, High1Time in turn. */
static ULONG Dbg_ReadTickCount(void)
{
    LONG nHigh;
    ULONG nLow;
    do {
        nHigh = KeTickCount.High1Time;
        nLow = KeTickCount.LowPart;
    } while (nHigh != KeTickCount.High2Time);
    return nLow;
}

void Dbg_ShowDebugLine(ULONG nModule, USHORT nLevel, const char *pszFormat, ...)
{
    char szLine[QVDBG_LINE_BUFFER_SIZE];
    va_list args;
    int nPrefix;

    if (__atomic_exchange_n(&fReentrant, 1, __ATOMIC_ACQUIRE) != 0) {
        return;
    }

    nPrefix = sprintf(szLine, "%ld [%d]%s-%s:", (LONG)Dbg_ReadTickCount(), (int)nLevel,
                      DebugIdArray[0].szModuleName, DebugIdArray[nModule].szModuleName);

    va_start(args, pszFormat);
    _vsnprintf(szLine + nPrefix, (size_t)(QVDBG_MAX_LINE_LENGTH - nPrefix), pszFormat, args);
    va_end(args);
    /*
     * A message that does not fit is cut at QVDBG_MAX_LINE_LENGTH characters and left unterminated
     * by _vsnprintf (as is one that fits exactly); a shorter one is already terminated earlier.
     */
    szLine[QVDBG_MAX_LINE_LENGTH] = '\0';

    VIDOREDU_SHOW_DEBUG(szLine);

    __atomic_store_n(&fReentrant, 0, __ATOMIC_RELEASE);
}

void VIDOREDU_SHOW_DEBUG(const char *pszText)
{
    if (__atomic_load_n(&gfDebugVxdUp, __ATOMIC_RELAXED)) {
        VIDOREDU_VXDSHOWDEBUG(pszText);
    }
}

ULONG VIDOREDU_VXDSHOWDEBUG(const char *pszText)
{
    return KxVxdServiceCall(VIDOREDU_DEVICE_ID, VIDOREDU_SERVICE_SHOW_DEBUG, (ULONG_PTR)pszText);
}

ULONG VIDOREDU_Get_Version(void)
{
    return KxVxdServiceCall(VIDOREDU_DEVICE_ID, VIDOREDU_SERVICE_GET_VERSION, 0);
}
