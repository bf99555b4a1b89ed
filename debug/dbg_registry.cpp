/*
 * Refresh of the module levels from the registry:
 * \Registry\Machine\SOFTWARE\NRV\debug\krnl\<module 0>\<module>\DebugLevel.
 * Its own diagnostics go to DbgPrint whatever the levels are.
 */
#include "krnl_dbg.h"

#define DBG_REGISTRY_ROOT "\\Registry\\Machine\\SOFTWARE\\NRV\\debug\\krnl\\"
#define DBG_PATH_BUFFER_SIZE 400
#define DBG_KEY_INFO_SIZE 184
#define DBG_VALUE_INFO_SIZE 16
#define DBG_SCRATCH_POOL_TAG KX_POOL_TAG('W', 'd', 'm', ' ')

/* Byte-wise, case-sensitive, up to and including the terminating NUL. */
static BOOLEAN DbgNamesEqual(const char *pszA, const char *pszB)
{
    while (*pszA == *pszB) {
        if (*pszA == '\0') {
            return TRUE;
        }
        ++pszA;
        ++pszB;
    }
    return FALSE;
}

ULONG UpdateDebugIdArray(const char *pszName, ULONG nLevel)
{
    LONG i;

    if (DbgNamesEqual(DebugIdArray[0].szModuleName, "LAST")) {
        return 0;
    }
    for (i = 0; i < QVDBG_TOTAL_NUM_MODULES; ++i) {
        if (DbgNamesEqual(DebugIdArray[i].szModuleName, "LAST")) {
            return 0;
        }
        if (DbgNamesEqual(pszName, DebugIdArray[i].szModuleName)) {
            if (nLevel > QVDBG_MAX_LEVEL) {
                DbgPrint("krnl_dbg: Module=%s has invalid debugLevel!\n", pszName);
                nLevel = 0;
            }
            /* Other processors read the level without a lock: one whole 32-bit store. */
            __atomic_store_n(&DebugIdArray[i].nDebugLevel, (LONG)nLevel, __ATOMIC_RELAXED);
            return 1;
        }
    }
    return 0;
}

ULONG dbg_UpdateAllDebugLevels(void)
{
    UNICODE_STRING usValueName;
    PKEY_BASIC_INFORMATION pKeyInfo;
    char szContainer[DBG_PATH_BUFFER_SIZE];
    ANSI_STRING asContainer;
    WCHAR awcContainer[DBG_PATH_BUFFER_SIZE / sizeof(WCHAR)];
    UNICODE_STRING usContainer;
    WCHAR awcSubkey[DBG_PATH_BUFFER_SIZE / sizeof(WCHAR)];
    UNICODE_STRING usSubkey;
    ULONG adwValue[DBG_VALUE_INFO_SIZE / sizeof(ULONG)];
    PKEY_VALUE_PARTIAL_INFORMATION pValueInfo = (PKEY_VALUE_PARTIAL_INFORMATION)adwValue;
    OBJECT_ATTRIBUTES oa;
    HANDLE hContainer;
    ULONG nIndex;

    /* The output service is looked for on every refresh until it has answered, registry or not. */
    if (!__atomic_load_n(&gfDebugVxdUp, __ATOMIC_RELAXED)) {
        if (VIDOREDU_Get_Version() != 0) {
            __atomic_store_n(&gfDebugVxdUp, 1, __ATOMIC_RELAXED);
        }
    }

    RtlInitUnicodeString(&usValueName, KWSTR("DebugLevel"));

    pKeyInfo = (PKEY_BASIC_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, DBG_KEY_INFO_SIZE, DBG_SCRATCH_POOL_TAG);
    if (pKeyInfo == NULL) {
        return 0;
    }

    /* Module 0's name has at most 31 characters: the path always fits. */
    sprintf(szContainer, "%s%s", DBG_REGISTRY_ROOT, DebugIdArray[0].szModuleName);
    RtlInitAnsiString(&asContainer, szContainer);
    usContainer.Length = 0;
    usContainer.MaximumLength = sizeof(awcContainer);
    usContainer.Buffer = awcContainer;
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&usContainer, &asContainer, FALSE))) {
        ExFreePool(pKeyInfo);
        return 0;
    }

    InitializeObjectAttributes(&oa, &usContainer, OBJ_CASE_INSENSITIVE, NULL, NULL);
    if (!NT_SUCCESS(ZwOpenKey(&hContainer, KEY_ENUMERATE_SUB_KEYS, &oa))) {
        ExFreePool(pKeyInfo);
        return 0;
    }

    /* Every failure in here but a name conversion ends the refresh, leaving later subkeys unread. */
    for (nIndex = 0;; ++nIndex) {
        ULONG cbResult = 0;
        ULONG cbRecord;
        HANDLE hSubkey;
        UNICODE_STRING usName;
        ANSI_STRING asName;
        ULONG nLevel;

        if (!NT_SUCCESS(ZwEnumerateKey(hContainer, nIndex, KeyBasicInformation, pKeyInfo, DBG_KEY_INFO_SIZE,
                                       &cbResult))) {
            break; /* no more subkeys, or a name too long for the scratch buffer */
        }
        cbRecord = (ULONG)FIELD_OFFSET(KEY_BASIC_INFORMATION, Name) + pKeyInfo->NameLength;
        if (cbRecord + sizeof(WCHAR) >= DBG_KEY_INFO_SIZE) {
            DbgPrint("krnl_dbg: dbg_UpdateAllDebugLevels - Error information requires more space than we "
                     "allocated. container=%s\n",
                     szContainer);
            break;
        }

        /* The longest container path plus a backslash and an 82-character name fits in 400 bytes. */
        usSubkey.Length = 0;
        usSubkey.MaximumLength = sizeof(awcSubkey);
        usSubkey.Buffer = awcSubkey;
        RtlCopyUnicodeString(&usSubkey, &usContainer);
        RtlAppendUnicodeToString(&usSubkey, KWSTR("\\"));
        pKeyInfo->Name[pKeyInfo->NameLength / sizeof(WCHAR)] = 0;
        RtlAppendUnicodeToString(&usSubkey, pKeyInfo->Name);

        InitializeObjectAttributes(&oa, &usSubkey, OBJ_CASE_INSENSITIVE, NULL, NULL);
        if (!NT_SUCCESS(ZwOpenKey(&hSubkey, KEY_QUERY_VALUE, &oa))) {
            break;
        }
        /* Cleared first, so that a value without data reads as level 0 rather than stale bytes. */
        RtlZeroMemory(adwValue, sizeof(adwValue));
        if (!NT_SUCCESS(ZwQueryValueKey(hSubkey, &usValueName, KeyValuePartialInformation, pValueInfo,
                                        DBG_VALUE_INFO_SIZE, &cbResult))) {
            ZwClose(hSubkey);
            break;
        }
        nLevel = pValueInfo->Data[0];

        usName.Length = (USHORT)pKeyInfo->NameLength;
        usName.MaximumLength = (USHORT)(pKeyInfo->NameLength + sizeof(WCHAR));
        usName.Buffer = pKeyInfo->Name;
        if (!NT_SUCCESS(RtlUnicodeStringToAnsiString(&asName, &usName, TRUE))) {
            /*
             * A name that cannot be converted cannot be matched against the module table: this one
             * subkey is skipped, said so, and the refresh goes on, as it does for an unknown name.
             */
            DbgPrint("krnl_dbg: dbg_UpdateAllDebugLevels - Error converting subkey name to text. index=%lu "
                     "container=%s\n",
                     nIndex, szContainer);
            ZwClose(hSubkey);
            continue;
        }
        if (UpdateDebugIdArray(asName.Buffer, nLevel) != 1) {
            DbgPrint("krnl_dbg: Error in UpdateDebugIdArray. Module=%s nonexistent? \n", asName.Buffer);
        }
        ZwClose(hSubkey);
        RtlFreeAnsiString(&asName);
    }

    ZwClose(hContainer);
    ExFreePool(pKeyInfo);
    return 1;
}
