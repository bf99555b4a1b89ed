/* The client contract compiles as C99 and keeps its field order where pointers are 8 bytes. */
#include <stddef.h>
#include <stdio.h>

#include "streamer.h"

static int Check(int fOk, const char *pszWhat)
{
    if (!fOk) {
        printf("FAILED: %s\n", pszWhat);
    }
    return fOk ? 0 : 1;
}

int main(void)
{
    int nFailed = 0;
    STREAMER_SRV_PARAM param;
    nFailed += Check(offsetof(STREAMER_SRV_PARAM, RegisterProvider.hStream) == 0, "hStream first");
    nFailed += Check(offsetof(STREAMER_SRV_PARAM, RegisterConsumer.hStream) == 0, "every member begins with hStream");
    nFailed += Check(offsetof(STREAMER_SRV_PARAM, RegisterProvider.dwBufferSize) <
                         offsetof(STREAMER_SRV_PARAM, RegisterProvider.pfnProvideDataComplete) &&
                         offsetof(STREAMER_SRV_PARAM, RegisterProvider.ppfnNotify) <
                         offsetof(STREAMER_SRV_PARAM, RegisterProvider.pContext),
                     "provider fields in order");
    nFailed += Check(offsetof(STREAMER_SRV_PARAM, RegisterConsumer.hConsumer) <
                         offsetof(STREAMER_SRV_PARAM, RegisterConsumer.ppBuffer) &&
                         offsetof(STREAMER_SRV_PARAM, RegisterConsumer.ppfnNotify) <
                         offsetof(STREAMER_SRV_PARAM, RegisterConsumer.phConsumer),
                     "consumer fields in order");
    nFailed += Check(sizeof(param) == sizeof(param.RegisterConsumer), "the consumer record is the largest");
    nFailed += Check(STREAMER_REGISTER_PROVIDER == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS) &&
                         STREAMER_IOCTL_GET_BANDWIDTH ==
                             CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80B, METHOD_BUFFERED, FILE_ANY_ACCESS),
                     "control codes follow the control-code rule");
    {
        static const WCHAR szName[] = STREAMER_DEVICE_NAME_WCHARS;
        const char *pszName = STREAMER_DEVICE_NAME;
        size_t i;
        int fSame = sizeof szName / sizeof szName[0] == sizeof STREAMER_DEVICE_NAME;
        for (i = 0; fSame && pszName[i] != 0; ++i) {
            fSame = szName[i] == (WCHAR)pszName[i];
        }
        nFailed += Check(fSame, "the device name's 16-bit characters spell STREAMER_DEVICE_NAME");
    }
    printf("%d passed, %d failed\n", 7 - nFailed, nFailed);
    return nFailed == 0 ? 0 : 1;
}
