/*
 * The kit's correct consumer of stream 2 (tests/kit/forgetful.c), made to report every block it
 * reads twice: the simulator must catch a driver that reports more than it was told of.
 */
#include "streamer.h"

static VOID ReportTwice(ULONG hStream, PVOID hConsumer, ULONG dwSize);
#define g_pfnDataProcessed(hStream, hConsumer, dwSize) ReportTwice(hStream, hConsumer, dwSize)
#include "../../kit/forgetful.c"
#undef g_pfnDataProcessed

static VOID ReportTwice(ULONG hStream, PVOID hConsumer, ULONG dwSize)
{
    g_pfnDataProcessed(hStream, hConsumer, dwSize);
    g_pfnDataProcessed(hStream, hConsumer, dwSize);
}
