#include "names.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "streamer.h"

namespace sim {

std::string StatusName(NTSTATUS status)
{
    switch (status) {
#define SIM_STATUS(s) \
    case s:           \
        return #s;
        SIM_STATUS(STATUS_SUCCESS)
        SIM_STATUS(STATUS_TIMEOUT)
        SIM_STATUS(STATUS_PENDING)
        SIM_STATUS(STATUS_BUFFER_OVERFLOW)
        SIM_STATUS(STATUS_NO_MORE_ENTRIES)
        SIM_STATUS(STATUS_UNSUCCESSFUL)
        SIM_STATUS(STATUS_NOT_IMPLEMENTED)
        SIM_STATUS(STATUS_INVALID_HANDLE)
        SIM_STATUS(STATUS_INVALID_PARAMETER)
        SIM_STATUS(STATUS_NO_SUCH_DEVICE)
        SIM_STATUS(STATUS_INVALID_DEVICE_REQUEST)
        SIM_STATUS(STATUS_MORE_PROCESSING_REQUIRED)
        SIM_STATUS(STATUS_NO_MEMORY)
        SIM_STATUS(STATUS_ALREADY_COMMITTED)
        SIM_STATUS(STATUS_ACCESS_DENIED)
        SIM_STATUS(STATUS_BUFFER_TOO_SMALL)
        SIM_STATUS(STATUS_INVALID_PARAMETER_MIX)
        SIM_STATUS(STATUS_OBJECT_NAME_INVALID)
        SIM_STATUS(STATUS_OBJECT_NAME_NOT_FOUND)
        SIM_STATUS(STATUS_OBJECT_NAME_COLLISION)
        SIM_STATUS(STATUS_OBJECT_PATH_NOT_FOUND)
        SIM_STATUS(STATUS_INSUFFICIENT_RESOURCES)
        SIM_STATUS(STATUS_PIPE_EMPTY)
        SIM_STATUS(STATUS_INVALID_PARAMETER_1)
        SIM_STATUS(STATUS_INVALID_PARAMETER_2)
        SIM_STATUS(STATUS_CANCELLED)
        SIM_STATUS(STATUS_NOT_FOUND)
        SIM_STATUS(STATUS_ADDRESS_ALREADY_ASSOCIATED)
#undef SIM_STATUS
    default:
        break;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string WindowsError(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS:
        return "0";
    case STATUS_INVALID_DEVICE_REQUEST:
        return "1"; // ERROR_INVALID_FUNCTION
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return "2"; // ERROR_FILE_NOT_FOUND
    case STATUS_ACCESS_DENIED:
        return "5";
    case STATUS_INVALID_HANDLE:
        return "6";
    case STATUS_UNSUCCESSFUL:
        return "31"; // ERROR_GEN_FAILURE
    case STATUS_INVALID_PARAMETER:
        return "87";
    case STATUS_BUFFER_TOO_SMALL:
        return "122"; // ERROR_INSUFFICIENT_BUFFER
    case STATUS_BUFFER_OVERFLOW:
        return "234"; // ERROR_MORE_DATA
    case STATUS_INSUFFICIENT_RESOURCES:
        return "1450"; // ERROR_NO_SYSTEM_RESOURCES
    default:
        break;
    }
    char text[24];
    std::snprintf(text, sizeof text, "status 0x%08X", static_cast<unsigned>(status));
    return text;
}

const char *NotifyName(ULONG code)
{
    switch (code) {
    case STREAMERNOTIFY_CONSUMER_REGISTERED:
        return "CONSUMER_REGISTERED";
    case STREAMERNOTIFY_CONSUMER_UNREGISTERED:
        return "CONSUMER_UNREGISTERED";
    case STREAMERNOTIFY_PROVIDER_REGISTERED:
        return "PROVIDER_REGISTERED";
    case STREAMERNOTIFY_PROVIDER_UNREGISTERED:
        return "PROVIDER_UNREGISTERED";
    case STREAMERNOTIFY_STREAM_INFO_CHANGED:
        return "STREAM_INFO_CHANGED";
    case STREAMERNOTIFY_LOST_BYTES:
        return "LOST_BYTES";
    case STREAMERNOTIFY_CONSUMER_DELETED:
        return "CONSUMER_DELETED";
    case STREAMERNOTIFY_PROVIDER_DELETED:
        return "PROVIDER_DELETED";
    case STREAMERNOTIFY_IS_ORBDRV_ACTIVE:
        return "IS_ORBDRV_ACTIVE";
    default:
        return "";
    }
}

std::string StableAddresses(const std::string &line)
{
    // The labels in front of every pointer of the driver's log lines.
    static const char *const labels[] = {"Pointer=0x", "ProviderBuffer=", "address=0x", "address 0x"};
    std::string out = line;
    for (const char *label : labels) {
        const size_t length = std::strlen(label);
        for (size_t at = out.find(label); at != std::string::npos; at = out.find(label, at + 1)) {
            size_t start = at + length;
            size_t end = start;
            while (end < out.size() && std::isxdigit(static_cast<unsigned char>(out[end]))) {
                ++end;
            }
            if (end > start) {
                // The "0x" of the label goes with the number.
                const size_t from = label[length - 1] == 'x' ? start - 2 : start;
                out.replace(from, end - from, "<address>");
            }
        }
    }
    return out;
}

} // namespace sim
