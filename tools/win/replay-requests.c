/*
 * replay-requests: every control code of the exchange, and a few foreign ones, with every shape of
 * buffer, sent from user mode through \\.\DeVididi; one line per request:
 *
 *   <handle> <code> <shape> error=<Windows error, 0 done> bytes=<bytes returned> output=changed|same
 *
 *   replay-requests fresh   each request on a handle of its own, opened and closed for it
 *   replay-requests kept    one handle, opened first ("kept: holding the handle" once it is), then
 *                           every request on it once C:\removed.flag exists (the job creates it
 *                           after the device's removal; 120 s at most)
 *
 * The simulator's user-requests command sends the same requests and prints the same lines
 * (tests/wine/user-requests.script); the Wine job compares the two lists. The input bytes are
 * zeros, the output buffer is filled with 0xA5 before each request: "changed" means the request
 * wrote into it. Exit status: 0 every request sent, 1 the flag never came, 2 bad command line,
 * 3 the driver is not loaded. Wine job only; kernel32 only, no C run-time library.
 */
#include <stddef.h>
#include <windows.h>

#define DEVIDIDI_PLATFORM_KERNEL_H
#include "streamer.h"

/* What the requests are sent with: the record each code reads (its 32-bit length) and what it
   writes back. The foreign ones: device type 1, a function the driver does not know, and the
   bandwidth's function with every other method. */
static const struct {
    DWORD dwCode, cbIn, cbOut;
} s_aRequests[] = {
    { STREAMER_IOCTL_UPDATE_DEBUG_LEVELS, 0, 0 },
    { STREAMER_IOCTL_PRINT_STATUS, 0, 0 },
    { STREAMER_REGISTER_PROVIDER, 36, 0 },
    { STREAMER_UNREGISTER_PROVIDER, 4, 0 },
    { STREAMER_REGISTER_CONSUMER, 40, 0 },
    { STREAMER_UNREGISTER_CONSUMER, 8, 0 },
    { STREAMER_IOCTL_RESYNC_OAPI_CONSUMER, 0, 0 },
    { STREAMER_IOCTL_IS_ORBDRV_ACTIVE, 0, 0 },
    { STREAMER_IOCTL_PRINT_STREAMS, sizeof(STREAMER_PRINT_RANGE), 0 },
    { STREAMER_IOCTL_GET_BANDWIDTH, sizeof(STREAMER_BANDWIDTH_PARAM), 4 },
    { 0x0001202C, 12, 4 },
    { 0x00222030, 12, 4 },
    { STREAMER_IOCTL_GET_BANDWIDTH | METHOD_IN_DIRECT, 12, 4 },
    { STREAMER_IOCTL_GET_BANDWIDTH | METHOD_OUT_DIRECT, 12, 4 },
    { STREAMER_IOCTL_GET_BANDWIDTH | METHOD_NEITHER, 12, 4 },
};

#define FLAG_FILE "C:\\removed.flag"
#define SHAPES 6
#define LARGE 256
static const char *const s_apszShapes[SHAPES] = { "none", "byte", "short", "exact", "large", "output" };

static void Shape(int iShape, DWORD cbIn, DWORD cbOut, DWORD *pcbIn, DWORD *pcbOut)
{
    switch (iShape) {
    case 0: *pcbIn = 0; *pcbOut = 0; break;
    case 1: *pcbIn = 1; *pcbOut = 1; break;
    case 2: *pcbIn = cbIn != 0 ? cbIn - 1 : 0; *pcbOut = cbOut != 0 ? cbOut - 1 : 0; break;
    case 3: *pcbIn = cbIn; *pcbOut = cbOut; break;
    case 4: *pcbIn = LARGE; *pcbOut = LARGE; break;
    default: *pcbIn = 0; *pcbOut = cbOut != 0 ? cbOut : 4; break;
    }
}

static char s_szLine[160];
static int s_cchLine;

static void Add(const char *psz)
{
    while (*psz != '\0' && s_cchLine < (int)sizeof(s_szLine) - 1) {
        s_szLine[s_cchLine++] = *psz++;
    }
}

/* n in the base, at least nWidth digits: decimal numbers as they are, codes as 0x%08X. */
static void AddDigits(DWORD n, DWORD dwBase, int nWidth)
{
    static const char s_szDigits[] = "0123456789ABCDEF";
    char sz[12];
    int i = (int)sizeof(sz) - 1;
    sz[i] = '\0';
    while (n != 0 || nWidth > 0) {
        sz[--i] = s_szDigits[n % dwBase];
        n /= dwBase;
        nWidth--;
    }
    Add(sz + i);
}

static void Flush(void)
{
    DWORD cb;
    s_szLine[s_cchLine++] = '\n';
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), s_szLine, (DWORD)s_cchLine, &cb, NULL);
    s_cchLine = 0;
}

static HANDLE Open(void)
{
    return CreateFileA("\\\\.\\DeVididi", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
}

static BYTE s_abIn[LARGE], s_abOut[LARGE];

/* Every request on hKept, or each on a fresh handle when hKept is INVALID_HANDLE_VALUE. */
static void Replay(const char *pszHandle, HANDLE hKept)
{
    unsigned i;
    int iShape;
    for (i = 0; i < sizeof(s_aRequests) / sizeof(s_aRequests[0]); i++) {
        for (iShape = 0; iShape < SHAPES; iShape++) {
            DWORD cbIn, cbOut, cbReturned = 0, dwError = 0, j;
            BOOL fChanged = FALSE;
            HANDLE h = hKept != INVALID_HANDLE_VALUE ? hKept : Open();
            Shape(iShape, s_aRequests[i].cbIn, s_aRequests[i].cbOut, &cbIn, &cbOut);
            Add(pszHandle);
            Add(" 0x");
            AddDigits(s_aRequests[i].dwCode, 16, 8);
            Add(" ");
            Add(s_apszShapes[iShape]);
            if (h == INVALID_HANDLE_VALUE) {
                Add(" not opened: error=");
                AddDigits(GetLastError(), 10, 1);
                Flush();
                continue;
            }
            for (j = 0; j < LARGE; j++) {
                s_abIn[j] = 0;
                s_abOut[j] = 0xA5;
            }
            if (!DeviceIoControl(h, s_aRequests[i].dwCode, cbIn != 0 ? s_abIn : NULL, cbIn,
                                 cbOut != 0 ? s_abOut : NULL, cbOut, &cbReturned, NULL)) {
                dwError = GetLastError();
            }
            for (j = 0; j < LARGE; j++) {
                fChanged = fChanged || s_abOut[j] != 0xA5;
            }
            if (hKept == INVALID_HANDLE_VALUE) {
                CloseHandle(h);
            }
            Add(" error=");
            AddDigits(dwError, 10, 1);
            Add(" bytes=");
            AddDigits(cbReturned, 10, 1);
            Add(fChanged ? " output=changed" : " output=same");
            Flush();
        }
    }
}

/* The command line's last word: the mode. */
static const char *LastWord(const char *psz)
{
    const char *pszWord = psz;
    for (; *psz != '\0'; psz++) {
        if (*psz == ' ' || *psz == '\t') {
            pszWord = psz + 1;
        }
    }
    return pszWord;
}

void __stdcall ReplayMain(void)
{
    const char *pszMode = LastWord(GetCommandLineA());
    HANDLE h;
    DWORD dwWaited = 0;

    if (lstrcmpiA(pszMode, "fresh") == 0) {
        Replay("fresh", INVALID_HANDLE_VALUE);
        ExitProcess(0);
    }
    if (lstrcmpiA(pszMode, "kept") != 0) {
        Add("usage: replay-requests fresh|kept");
        Flush();
        ExitProcess(2);
    }
    h = Open();
    if (h == INVALID_HANDLE_VALUE) {
        Add("kept: the driver is not loaded");
        Flush();
        ExitProcess(3);
    }
    Add("kept: holding the handle");
    Flush();
    while (GetFileAttributesA(FLAG_FILE) == INVALID_FILE_ATTRIBUTES) {
        if (dwWaited >= 120000) {
            Add("kept: no removal within 120 s");
            Flush();
            ExitProcess(1);
        }
        Sleep(100);
        dwWaited += 100;
    }
    Replay("kept", h);
    CloseHandle(h);
    ExitProcess(0);
}
