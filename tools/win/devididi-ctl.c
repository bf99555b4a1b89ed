/*
 * devididi-ctl: the exchange's control requests from a command line, on 98/Me and the NT family.
 *
 *   devididi-ctl status              the status report of streams 0 to 8 (into the driver's log)
 *   devididi-ctl streams FROM TO     the status report of streams FROM to TO
 *   devididi-ctl levels              the driver reads its debug levels from the registry again
 *   devididi-ctl bandwidth [MODE]    the bandwidth measurement (MODE 1: five bands; default 1)
 *   devididi-ctl orb                 the ORB-driver query, answered to the notifications stream
 *   --in-size N before the request sends only the first N bytes of its input (a diagnostic).
 *
 * Exit status: 0 done, 1 the driver refused the request, 2 bad command line, 3 the driver is not
 * loaded, 4 a buffer too small for the request. Imports only kernel32 routines that 98/Me has, and
 * no C run-time library: the program is its own entry point.
 */
#include <stddef.h>
#include <windows.h>

/* The records and codes shared with client drivers; windows.h has every type they use, so the
   kernel header behind them is left out. */
#define DEVIDIDI_PLATFORM_KERNEL_H
#include "streamer.h"

#define EXIT_DONE 0
#define EXIT_REFUSED 1
#define EXIT_USAGE 2
#define EXIT_NOT_LOADED 3
#define EXIT_TOO_SMALL 4

static HANDLE g_hOut, g_hErr;

static DWORD Length(const char *psz)
{
    DWORD n = 0;
    while (psz[n] != '\0') {
        n++;
    }
    return n;
}

static void Put(HANDLE h, const char *psz)
{
    DWORD cbWritten;
    WriteFile(h, psz, Length(psz), &cbWritten, NULL);
}

/* A decimal number, signed. */
static void PutNumber(HANDLE h, LONG n)
{
    char sz[16];
    int i = (int)sizeof(sz) - 1;
    ULONG u = n < 0 ? 0UL - (ULONG)n : (ULONG)n;
    sz[i] = '\0';
    do {
        sz[--i] = (char)('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (n < 0) {
        sz[--i] = '-';
    }
    Put(h, sz + i);
}

static BOOL ParseNumber(const char *psz, LONG *pn)
{
    LONG n = 0;
    BOOL fNegative = FALSE;
    if (*psz == '-') {
        fNegative = TRUE;
        psz++;
    }
    if (*psz == '\0') {
        return FALSE;
    }
    for (; *psz != '\0'; psz++) {
        if (*psz < '0' || *psz > '9' || n > 100000000L) {
            return FALSE;
        }
        n = n * 10 + (*psz - '0');
    }
    *pn = fNegative ? -n : n;
    return TRUE;
}

static BOOL Same(const char *a, const char *b)
{
    while (*a != '\0' && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

/* The command line split in place into words; quotes group, as the shells pass them. */
static int SplitCommandLine(char *psz, char **apszArgs, int nMax)
{
    int n = 0;
    for (;;) {
        BOOL fQuoted = FALSE;
        while (*psz == ' ' || *psz == '\t') {
            psz++;
        }
        if (*psz == '\0' || n == nMax) {
            return n;
        }
        apszArgs[n++] = psz;
        char *pOut = psz;
        while (*psz != '\0' && (fQuoted || (*psz != ' ' && *psz != '\t'))) {
            if (*psz == '"') {
                fQuoted = !fQuoted;
            } else {
                *pOut++ = *psz;
            }
            psz++;
        }
        if (*psz != '\0') {
            psz++;
        }
        *pOut = '\0';
    }
}

static int Usage(void)
{
    Put(g_hErr, "usage: devididi-ctl [--in-size N] status | streams FROM TO | levels | bandwidth [MODE] | orb\n");
    return EXIT_USAGE;
}

static int Fail(const char *pszRequest, DWORD dwError)
{
    Put(g_hErr, "devididi-ctl: ");
    Put(g_hErr, pszRequest);
    if (dwError == ERROR_INSUFFICIENT_BUFFER) {
        Put(g_hErr, ": buffer too small for the request (error 122)\n");
        return EXIT_TOO_SMALL;
    }
    if (dwError == ERROR_ACCESS_DENIED) {
        Put(g_hErr, ": refused, access denied (error 5)\n");
        return EXIT_REFUSED;
    }
    Put(g_hErr, ": the driver refused the request (error ");
    PutNumber(g_hErr, (LONG)dwError);
    Put(g_hErr, ")\n");
    return EXIT_REFUSED;
}

static int Run(int nArgs, char **apszArgs)
{
    STREAMER_PRINT_RANGE Range;
    STREAMER_BANDWIDTH_PARAM Bandwidth;
    DWORD dwCode, cbIn = 0, cbOut = 0, cbReturned = 0;
    PVOID pIn = NULL, pOut = NULL;
    LONG nInSize = -1;
    const char *pszRequest;
    HANDLE hDevice;
    int i = 1;

    if (i + 1 < nArgs && Same(apszArgs[i], "--in-size")) {
        if (!ParseNumber(apszArgs[i + 1], &nInSize) || nInSize < 0) {
            return Usage();
        }
        i += 2;
    }
    if (i >= nArgs) {
        return Usage();
    }
    pszRequest = apszArgs[i];
    if (Same(pszRequest, "status") && nArgs == i + 1) {
        dwCode = STREAMER_IOCTL_PRINT_STATUS;
    } else if (Same(pszRequest, "levels") && nArgs == i + 1) {
        dwCode = STREAMER_IOCTL_UPDATE_DEBUG_LEVELS;
    } else if (Same(pszRequest, "orb") && nArgs == i + 1) {
        dwCode = STREAMER_IOCTL_IS_ORBDRV_ACTIVE;
    } else if (Same(pszRequest, "streams") && nArgs == i + 3) {
        if (!ParseNumber(apszArgs[i + 1], &Range.nFrom) || !ParseNumber(apszArgs[i + 2], &Range.nTo)) {
            return Usage();
        }
        dwCode = STREAMER_IOCTL_PRINT_STREAMS;
        pIn = &Range;
        cbIn = sizeof(Range);
    } else if (Same(pszRequest, "bandwidth") && (nArgs == i + 1 || nArgs == i + 2)) {
        Bandwidth.dwBandwidth = 0;
        Bandwidth.dwReserved = 0;
        Bandwidth.nMode = 1;
        if (nArgs == i + 2 && !ParseNumber(apszArgs[i + 1], &Bandwidth.nMode)) {
            return Usage();
        }
        dwCode = STREAMER_IOCTL_GET_BANDWIDTH;
        pIn = pOut = &Bandwidth;
        cbIn = cbOut = sizeof(Bandwidth);
    } else {
        return Usage();
    }
    if (nInSize >= 0 && (DWORD)nInSize < cbIn) {
        cbIn = (DWORD)nInSize;
    }

    hDevice = CreateFileA("\\\\.\\DeVididi", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (hDevice == INVALID_HANDLE_VALUE) {
        DWORD dwError = GetLastError();
        Put(g_hErr, "devididi-ctl: the driver is not loaded (\\\\.\\DeVididi: error ");
        PutNumber(g_hErr, (LONG)dwError);
        Put(g_hErr, ")\n");
        return EXIT_NOT_LOADED;
    }
    if (!DeviceIoControl(hDevice, dwCode, pIn, cbIn, pOut, cbOut, &cbReturned, NULL)) {
        DWORD dwError = GetLastError();
        CloseHandle(hDevice);
        return Fail(pszRequest, dwError);
    }
    CloseHandle(hDevice);

    Put(g_hOut, "devididi-ctl: ");
    Put(g_hOut, pszRequest);
    if (dwCode == STREAMER_IOCTL_GET_BANDWIDTH) {
        Put(g_hOut, ": ");
        PutNumber(g_hOut, (LONG)Bandwidth.dwBandwidth);
        Put(g_hOut, " (mode ");
        PutNumber(g_hOut, Bandwidth.nMode);
        Put(g_hOut, ", ");
        PutNumber(g_hOut, (LONG)cbReturned);
        Put(g_hOut, " bytes back)\n");
    } else if (dwCode == STREAMER_IOCTL_PRINT_STREAMS) {
        Put(g_hOut, " ");
        PutNumber(g_hOut, Range.nFrom);
        Put(g_hOut, " to ");
        PutNumber(g_hOut, Range.nTo);
        Put(g_hOut, ": done, the report is in the driver's log\n");
    } else if (dwCode == STREAMER_IOCTL_PRINT_STATUS) {
        Put(g_hOut, ": done, the report is in the driver's log\n");
    } else if (dwCode == STREAMER_IOCTL_UPDATE_DEBUG_LEVELS) {
        Put(g_hOut, ": done, the driver has read its debug levels again\n");
    } else {
        Put(g_hOut, ": done, the answer went to the notifications stream\n");
    }
    return EXIT_DONE;
}

void __stdcall DevididiCtlMain(void)
{
    char *apszArgs[8];
    int nArgs;

    g_hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    g_hErr = GetStdHandle(STD_ERROR_HANDLE);
    nArgs = SplitCommandLine(GetCommandLineA(), apszArgs, 8);
    ExitProcess((UINT)Run(nArgs, apszArgs));
}
