// The real entries of the system-call seam (see system_calls.h).
#include "common/system_calls.h"

#include <shellapi.h>
#include <stdlib.h>
#include <zstd.h>

SystemCalls system_calls = {
    SetConsoleCtrlHandler,
    GetTempPathW,
    SHGetFolderPathW,
    WriteFile,
    CreateProcessW,
    GetExitCodeProcess,
    CommandLineToArgvW,
    GetProcAddress,
    SHFileOperationW,
    FindFirstFileExW,
    FindNextFileW,
    DeleteFileW,
    RemoveDirectoryW,
    malloc,
    ZSTD_createDCtx,
    CreateDirectoryW,
};
