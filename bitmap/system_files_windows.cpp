#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "bitmap/system_files.h"

namespace fs = std::filesystem;

namespace {

// Names from the command line are in the process's code page: UTF-8 where the manifest took
// effect, the ANSI code page on older Windows. The wide-character calls take any name, and the
// "\\?\" form of a full path any length, whatever the system's long-path setting.
fs::path SystemName(const char* name) {
    const int narrow = int(std::char_traits<char>::length(name));
    std::wstring wide(size_t(MultiByteToWideChar(CP_ACP, 0, name, narrow, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_ACP, 0, name, narrow, wide.data(), int(wide.size()));
    std::wstring full(GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr), L'\0');
    const DWORD length = GetFullPathNameW(wide.c_str(), DWORD(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size()) return wide;
    full.resize(length);
    if (full.starts_with(LR"(\\.\)") || full.starts_with(LR"(\\?\)")) return full;  // a device
    if (full.starts_with(LR"(\\)")) return LR"(\\?\UNC\)" + full.substr(2);         // a share
    return LR"(\\?\)" + full;
}

// Devices (NUL, CON) and named pipes cannot be replaced: they are written in place.
bool IsDeviceName(const fs::path& name) { return name.native().starts_with(LR"(\\.\)"); }

// A file with other names (hard links) is written in place, so that every name keeps naming it.
bool HasOtherNames(const fs::path& name) {
    const HANDLE file =
        CreateFileW(name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    const bool linked = GetFileInformationByHandle(file, &info) && info.nNumberOfLinks > 1;
    CloseHandle(file);
    return linked;
}

// Interruption: Windows runs the console handler on a thread of its own, so the handler and the
// saving thread take turns on the temporary file and its record.
SRWLOCK gTempLock = SRWLOCK_INIT;
const wchar_t* gPendingTemp = nullptr;

BOOL WINAPI RemoveTempAndExit(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    AcquireSRWLockExclusive(&gTempLock);  // held to the end: the file cannot be put in place now
    if (gPendingTemp) DeleteFileW(gPendingTemp);  // gone once the process's handle closes
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// A short fresh name in the folder of `target`. No other program may open the file while it is
// written, though the interruption handler may delete it.
std::FILE* CreateTempBeside(const fs::path& target, fs::path& tempName) {
    const unsigned seed = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
    for (unsigned attempt = 0; attempt < 64; ++attempt) {
        wchar_t name[32];
        swprintf(name, 32, L".bmpdepth-%06x", (seed + attempt * 40503u) & 0xFFFFFF);
        tempName = target.parent_path() / name;
        const HANDLE handle = CreateFileW(tempName.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            break;
        }
        const int fd = _open_osfhandle(intptr_t(handle), _O_WRONLY | _O_BINARY);
        std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
        if (file) return file;
        if (fd < 0)
            CloseHandle(handle);
        else
            _close(fd);
        DeleteFileW(tempName.c_str());
        break;
    }
    tempName.clear();
    return nullptr;
}

// Puts the complete temporary file in place. ReplaceFileW keeps what writing into the old file
// would: its ACL, its alternate data streams, its attributes and its creation time. Where it
// fails the old file stays, unless it was already taken away, and then the new one goes in.
int PutInPlace(const OutputFile& output) {
    const wchar_t* temp = output.tempName.c_str();
    const wchar_t* name = output.finalName.c_str();
    SetFileAttributesW(temp, DWORD(output.finalMode));  // where ReplaceFileW leaves them out
    if (!output.replaces)
        return MoveFileExW(temp, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (ReplaceFileW(name, temp, nullptr, 0, nullptr, nullptr)) return 1;
    return GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
           MoveFileExW(temp, name, MOVEFILE_WRITE_THROUGH);
}

}  // namespace

std::FILE* OpenInputFile(const char* path) { return _wfopen(SystemName(path).c_str(), L"rb"); }

uint64_t InputLength(std::FILE* file) {
    // Only a file on disk has a length; what seeking a pipe does is not defined here.
    if (GetFileType(HANDLE(_get_osfhandle(_fileno(file)))) != FILE_TYPE_DISK) return kUnknownLength;
    const int64_t start = _ftelli64(file);
    if (start < 0 || _fseeki64(file, 0, SEEK_END) != 0) return kUnknownLength;
    const int64_t end = _ftelli64(file);
    if (end < start || _fseeki64(file, start, SEEK_SET) != 0) return kUnknownLength;
    return uint64_t(end - start);
}

int OpenOutputFile(const char* path, OutputFile& output) {
    output = OutputFile{};
    output.finalName = SystemName(path);
    const bool device = IsDeviceName(output.finalName);
    const DWORD old =
        device ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(output.finalName.c_str());
    // A folder or a read-only file is refused before anything is written, as opening it for
    // writing would be.
    if (old != INVALID_FILE_ATTRIBUTES &&
        (old & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)))
        return 0;
    output.replaces = old != INVALID_FILE_ATTRIBUTES;
    if (device || HasOtherNames(output.finalName)) {
        output.file = _wfopen(output.finalName.c_str(), L"wb");
    } else {
        // The new file takes the old one's hidden, system and indexing attributes.
        constexpr DWORD kKept =
            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
        output.finalMode = FILE_ATTRIBUTE_ARCHIVE | (output.replaces ? old & kKept : 0);
        SetConsoleCtrlHandler(RemoveTempAndExit, TRUE);
        AcquireSRWLockExclusive(&gTempLock);
        output.file = CreateTempBeside(output.finalName, output.tempName);
        gPendingTemp = output.file ? output.tempName.c_str() : nullptr;
        ReleaseSRWLockExclusive(&gTempLock);
        if (!output.file) SetConsoleCtrlHandler(RemoveTempAndExit, FALSE);
        // In a folder where no file can be created, an existing file is written in place, as
        // opening it for writing would.
        if (!output.file && output.replaces) output.file = _wfopen(output.finalName.c_str(), L"wb");
    }
    if (!output.file) return 0;
    // The writer buffers for itself; a second buffer here would only copy every byte again.
    std::setvbuf(output.file, nullptr, _IONBF, 0);
    return 1;
}

int CommitOutputFile(OutputFile& output, int complete) {
    // Over an existing file only once the new one's bytes are on the disk.
    if (complete && output.replaces && !output.tempName.empty() &&
        !FlushFileBuffers(HANDLE(_get_osfhandle(_fileno(output.file)))))
        complete = 0;
    if (std::fclose(output.file) != 0) complete = 0;
    output.file = nullptr;
    if (output.tempName.empty()) return complete;
    AcquireSRWLockExclusive(&gTempLock);
    const int placed = complete && PutInPlace(output);
    if (!placed) DeleteFileW(output.tempName.c_str());
    gPendingTemp = nullptr;
    ReleaseSRWLockExclusive(&gTempLock);
    SetConsoleCtrlHandler(RemoveTempAndExit, FALSE);
    return placed;
}
