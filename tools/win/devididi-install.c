/*
 * devididi-install: installs and removes the exchange's root-enumerated device from devididi.inf,
 * as a driver package's own installer does. NT family only (setupapi's device installation and
 * newdev.dll); on 98/Me the Add New Hardware wizard installs the same INF.
 *
 *   devididi-install install PATH\devididi.inf   creates ROOT\DEVIDIDI and installs its driver
 *   devididi-install remove                      removes every ROOT\DEVIDIDI device
 *
 * Exit status: 0 done, 1 a setup step failed (named, with its error), 2 bad command line, 3 for
 * remove: no such device. No C run-time library: the program is its own entry point.
 */
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>

#define HARDWARE_ID "ROOT\\DEVIDIDI"

static HANDLE g_hOut, g_hErr;

static void Put(HANDLE h, const char *psz)
{
    DWORD cb = 0, cbWritten;
    while (psz[cb] != '\0') {
        cb++;
    }
    WriteFile(h, psz, cb, &cbWritten, NULL);
}

static void PutNumber(HANDLE h, DWORD n)
{
    char sz[12];
    int i = (int)sizeof(sz) - 1;
    sz[i] = '\0';
    do {
        sz[--i] = (char)('0' + n % 10);
        n /= 10;
    } while (n != 0);
    Put(h, sz + i);
}

static int Failed(const char *pszStep)
{
    DWORD dwError = GetLastError();
    Put(g_hErr, "devididi-install: ");
    Put(g_hErr, pszStep);
    Put(g_hErr, " failed (error ");
    PutNumber(g_hErr, dwError);
    Put(g_hErr, ")\n");
    return 1;
}

static BOOL Same(const char *a, const char *b)
{
    while (*a != '\0' && *a == *b) {
        a++;
        b++;
    }
    return *a == *b;
}

static int Install(const char *pszInf)
{
    static const char szHardwareIds[] = HARDWARE_ID "\0"; /* a list: ends with an empty string */
    char szInfPath[MAX_PATH], szClass[64];
    GUID ClassGuid;
    HDEVINFO hSet;
    SP_DEVINFO_DATA Device;
    BOOL fReboot = FALSE;

    if (GetFullPathNameA(pszInf, MAX_PATH, szInfPath, NULL) == 0) {
        return Failed("finding the INF");
    }
    if (!SetupDiGetINFClassA(szInfPath, &ClassGuid, szClass, sizeof(szClass), NULL)) {
        return Failed("reading the INF's class");
    }
    hSet = SetupDiCreateDeviceInfoList(&ClassGuid, NULL);
    if (hSet == INVALID_HANDLE_VALUE) {
        return Failed("SetupDiCreateDeviceInfoList");
    }
    Device.cbSize = sizeof(Device);
    if (!SetupDiCreateDeviceInfoA(hSet, szClass, &ClassGuid, NULL, NULL, DICD_GENERATE_ID, &Device) ||
        !SetupDiSetDeviceRegistryPropertyA(hSet, &Device, SPDRP_HARDWAREID, (const BYTE *)szHardwareIds,
                                           sizeof(szHardwareIds)) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, hSet, &Device)) {
        int nStatus = Failed("creating the device " HARDWARE_ID);
        SetupDiDestroyDeviceInfoList(hSet);
        return nStatus;
    }
    SetupDiDestroyDeviceInfoList(hSet);
    if (!UpdateDriverForPlugAndPlayDevicesA(NULL, HARDWARE_ID, szInfPath, INSTALLFLAG_FORCE, &fReboot)) {
        return Failed("installing the driver from the INF");
    }
    Put(g_hOut, "devididi-install: installed " HARDWARE_ID " from ");
    Put(g_hOut, szInfPath);
    Put(g_hOut, fReboot ? "; restart the system to finish\n" : "\n");
    return 0;
}

static int Remove(void)
{
    char szIds[256];
    SP_DEVINFO_DATA Device;
    DWORD i, nRemoved = 0;
    HDEVINFO hSet = SetupDiGetClassDevsA(NULL, "ROOT", NULL, DIGCF_ALLCLASSES);

    if (hSet == INVALID_HANDLE_VALUE) {
        return Failed("listing the root devices");
    }
    Device.cbSize = sizeof(Device);
    for (i = 0; SetupDiEnumDeviceInfo(hSet, i, &Device); i++) {
        DWORD n;
        for (n = 0; n < sizeof(szIds); n++) { /* no run-time library, so no memset */
            szIds[n] = '\0';
        }
        if (!SetupDiGetDeviceRegistryPropertyA(hSet, &Device, SPDRP_HARDWAREID, NULL, (BYTE *)szIds,
                                               sizeof(szIds) - 2, NULL) ||
            lstrcmpiA(szIds, HARDWARE_ID) != 0) {
            continue;
        }
        if (!SetupDiCallClassInstaller(DIF_REMOVE, hSet, &Device)) {
            int nStatus = Failed("removing the device " HARDWARE_ID);
            SetupDiDestroyDeviceInfoList(hSet);
            return nStatus;
        }
        nRemoved++;
    }
    SetupDiDestroyDeviceInfoList(hSet);
    if (nRemoved == 0) {
        Put(g_hErr, "devididi-install: no " HARDWARE_ID " device to remove\n");
        return 3;
    }
    Put(g_hOut, "devididi-install: removed ");
    PutNumber(g_hOut, nRemoved);
    Put(g_hOut, " " HARDWARE_ID " device(s)\n");
    return 0;
}

/* The command line's words after the program's name: at most two, quotes grouping. */
static int Words(char *psz, char **apsz)
{
    int n = -1; /* the program's own name is not counted */
    while (n < 3) {
        BOOL fQuoted = FALSE;
        char *pOut;
        while (*psz == ' ' || *psz == '\t') {
            psz++;
        }
        if (*psz == '\0') {
            break;
        }
        if (n >= 0 && n < 2) {
            apsz[n] = psz;
        }
        n++;
        pOut = psz;
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
    return n < 0 ? 0 : n;
}

void __stdcall DevididiInstallMain(void)
{
    char *apszArgs[2] = { NULL, NULL };
    int nArgs;
    int nStatus;

    g_hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    g_hErr = GetStdHandle(STD_ERROR_HANDLE);
    nArgs = Words(GetCommandLineA(), apszArgs);
    if (nArgs == 2 && Same(apszArgs[0], "install")) {
        nStatus = Install(apszArgs[1]);
    } else if (nArgs == 1 && Same(apszArgs[0], "remove")) {
        nStatus = Remove();
    } else {
        Put(g_hErr, "usage: devididi-install install PATH\\devididi.inf | devididi-install remove\n");
        nStatus = 2;
    }
    ExitProcess((UINT)nStatus);
}
