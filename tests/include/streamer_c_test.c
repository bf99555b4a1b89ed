/* The client contract compiles as C99 and keeps its field order where pointers are 8 bytes. */
#include <stddef.h>
#include <stdio.h>

#include "streamer.h"

/* A false condition fails the build: a negative array size. */
#define LAYOUT(name, cond) typedef char name[(cond) ? 1 : -1]
#define OFFSET(member) offsetof(STREAMER_SRV_PARAM, member)

LAYOUT(every_member_begins_with_hStream,
       OFFSET(RegisterProvider.hStream) == 0 && OFFSET(RegisterConsumer.hStream) == 0);
LAYOUT(provider_fields_in_order,
       OFFSET(RegisterProvider.dwBufferSize) < OFFSET(RegisterProvider.pfnProvideDataComplete) &&
           OFFSET(RegisterProvider.ppfnNotify) < OFFSET(RegisterProvider.pContext));
LAYOUT(consumer_fields_in_order, OFFSET(RegisterConsumer.hConsumer) < OFFSET(RegisterConsumer.ppBuffer) &&
                                     OFFSET(RegisterConsumer.ppfnNotify) < OFFSET(RegisterConsumer.phConsumer));
LAYOUT(the_consumer_record_is_the_largest,
       sizeof(STREAMER_SRV_PARAM) == sizeof(((STREAMER_SRV_PARAM *)0)->RegisterConsumer));
LAYOUT(control_codes_follow_the_rule,
       STREAMER_REGISTER_PROVIDER == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS) &&
           STREAMER_IOCTL_GET_BANDWIDTH == CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80B, METHOD_BUFFERED, FILE_ANY_ACCESS));

int main(void)
{
    static const WCHAR szName[] = STREAMER_DEVICE_NAME_WCHARS;
    const char *pszName = STREAMER_DEVICE_NAME;
    size_t i;
    int fSame = sizeof szName / sizeof szName[0] == sizeof STREAMER_DEVICE_NAME;
    for (i = 0; fSame && pszName[i] != 0; ++i) {
        fSame = szName[i] == (WCHAR)pszName[i];
    }
    if (!fSame) {
        printf("FAILED: the device name's 16-bit characters spell STREAMER_DEVICE_NAME\n");
    }
    return fSame ? 0 : 1;
}
