// The .reg importer on any bytes, and the driver's debug-level refresh on whatever it imported.
// A refused file must leave the registry as it was; an accepted one must be read without a fault.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "kernel.h"
#include "krnl_dbg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    kemu::ResetCore();
    kemu::ResetRegistry();
    static dvfuzz::ViolationLog violations;
    violations.Start();
    kemu::SetRegistryDword("\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\DEVIDIDI\\ENTRY", "DebugLevel", 2);
    const std::string before = kemu::DumpRegistry();
    const std::string text(reinterpret_cast<const char *>(data), size);
    const kemu::RegImportResult result = kemu::ImportRegText(text, "fuzz.reg");
    if (!result.ok) {
        if (result.reason.empty() || kemu::DumpRegistry() != before) {
            dvfuzz::Finding("fuzz_reg_import: refused (%s) but %s\n", result.message().c_str(),
                            result.reason.empty() ? "gave no reason" : "the registry changed");
        }
        return 0;
    }
    for (int i = 0; i < QVDBG_NUM_MODULES; ++i) {
        DebugIdArray[i].nDebugLevel = 0;
    }
    dbg_UpdateAllDebugLevels();
    for (int i = 0; i < QVDBG_NUM_MODULES; ++i) {
        if (DebugIdArray[i].nDebugLevel < 0 || DebugIdArray[i].nDebugLevel > 8) {
            dvfuzz::Finding("fuzz_reg_import: module %d has level %d after the refresh\n", i,
                            int(DebugIdArray[i].nDebugLevel));
        }
    }
    if (kemu::OpenRegistryHandles() != 0) {
        dvfuzz::Finding("fuzz_reg_import: the refresh left %zu registry handle(s) open\n", kemu::OpenRegistryHandles());
    }
    violations.FailOnViolations("fuzz_reg_import", size);
    dvfuzz::FailOnLeaks("fuzz_reg_import", size);
    return 0;
}
