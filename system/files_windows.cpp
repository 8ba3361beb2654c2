#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "system/files.h"
#include "system/save_choice.h"

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

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The file's own full name, links resolved, in the "\\?\" form that takes any length.
fs::path FinalName(HANDLE file) {
    std::wstring name(GetFinalPathNameByHandleW(file, nullptr, 0, FILE_NAME_NORMALIZED), L'\0');
    const DWORD length =
        GetFinalPathNameByHandleW(file, name.data(), DWORD(name.size()), FILE_NAME_NORMALIZED);
    if (length == 0 || length >= name.size()) return {};
    name.resize(length);
    return name;
}

// Whether `name` is, itself and not through a link, the file described by `info`.
bool NamesFile(const fs::path& name, const BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE file = CreateFileW(name.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    BY_HANDLE_FILE_INFORMATION named{};
    const bool same = GetFileInformationByHandle(file, &named) &&
                      named.dwVolumeSerialNumber == info.dwVolumeSerialNumber &&
                      named.nFileIndexHigh == info.nFileIndexHigh &&
                      named.nFileIndexLow == info.nFileIndexLow;
    CloseHandle(file);
    return same;
}

// Want of room or handles is no reason to write in place.
Attempt AttemptAfter(DWORD error) {
    const bool noRoom = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ||
                        error == ERROR_TOO_MANY_OPEN_FILES || error == ERROR_NOT_ENOUGH_MEMORY ||
                        error == ERROR_OUTOFMEMORY || error == ERROR_NOT_ENOUGH_QUOTA;
    return noRoom ? Attempt::kNoRoom : Attempt::kNotAllowed;
}

// The stream of the handle, which it owns from then on; null, and the handle closed, on failure.
std::FILE* StreamOf(HANDLE file) {
    const int fd = _open_osfhandle(intptr_t(file), _O_WRONLY | _O_BINARY);
    if (fd < 0) CloseHandle(file);
    std::FILE* stream = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (fd >= 0 && !stream) _close(fd);
    return stream;
}

// Interruption: Windows runs the console handler on a thread of its own, so the handler and the
// saving thread take turns on the record of what a failure removes.
SRWLOCK gLock = SRWLOCK_INIT;
const wchar_t* gTempName = nullptr;  // the temporary file, while it exists
const wchar_t* gMadeName = nullptr;  // a name this save made, until the file is in place
BY_HANDLE_FILE_INFORMATION gMadeFile{};

// Takes away the name this save made, while it is still the file made. Called with the lock.
void RemoveMadeName() {
    if (gMadeName && NamesFile(gMadeName, gMadeFile)) DeleteFileW(gMadeName);
    gMadeName = nullptr;
}

BOOL WINAPI RemoveNamesAndExit(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    AcquireSRWLockExclusive(&gLock);        // held to the end: the file cannot be put in place now
    if (gTempName) DeleteFileW(gTempName);  // gone once the process's handle closes
    RemoveMadeName();
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    return TRUE;
}

// A short fresh name in the folder of `target`. No other program may open the file while it is
// written, though the interruption handler may delete it.
std::FILE* CreateTempBeside(const fs::path& target, fs::path& tempName, DWORD& error) {
    const unsigned seed = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
    for (unsigned attempt = 0; attempt < 64; ++attempt) {
        wchar_t name[32];
        swprintf(name, 32, L".bmpdepth-%06x", (seed + attempt * 40503u) & 0xFFFFFF);
        tempName = target.parent_path() / name;
        const HANDLE handle = CreateFileW(tempName.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE,
                                          nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        error = handle == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        if (error == ERROR_FILE_EXISTS) continue;
        if (std::FILE* file = handle == INVALID_HANDLE_VALUE ? nullptr : StreamOf(handle))
            return file;
        if (handle != INVALID_HANDLE_VALUE) DeleteFileW(tempName.c_str());
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
    if (!output.replaces)                               // a new name, or the empty file made there
        return MoveFileExW(temp, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (ReplaceFileW(name, temp, nullptr, 0, nullptr, nullptr)) return 1;
    return GetLastError() == ERROR_UNABLE_TO_MOVE_REPLACEMENT &&
           MoveFileExW(temp, name, MOVEFILE_WRITE_THROUGH);
}

// Opens the name as _wfopen(name, L"wb") would, links followed, but leaves the file as it is: the
// system refuses a read-only file, a folder, or one the user may not write. A new name is made
// empty. `created` where this open made the file: a new name, or the missing file of a link,
// which the system reported missing just before.
HANDLE OpenAsWriting(const fs::path& name, bool& created) {
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    created = file != INVALID_HANDLE_VALUE;
    if (created || GetLastError() != ERROR_FILE_EXISTS) return file;
    const HANDLE linked =
        CreateFileW(name.c_str(), 0, kShareAll, nullptr, OPEN_EXISTING, 0, nullptr);
    const bool missing = linked == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_NOT_FOUND;
    if (linked != INVALID_HANDLE_VALUE) CloseHandle(linked);
    file = CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    created = missing && file != INVALID_HANDLE_VALUE;
    return file;
}

// Decides with ChooseSave, as the POSIX save does; Windows has no append-only folders, and
// ReplaceFileW keeps the old file's ACL, streams and attributes. Runs with the lock, so that a
// made name is in the record before the handler can look.
bool StartSave(const fs::path& typed, OutputFile& output) {
    SaveFacts facts;
    HANDLE file = OpenAsWriting(typed, output.created);
    facts.opened = file != INVALID_HANDLE_VALUE;
    if (!facts.opened) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    facts.regular = GetFileType(file) == FILE_TYPE_DISK && GetFileInformationByHandle(file, &info);
    facts.otherNames = info.nNumberOfLinks != 1;
    if (facts.regular) {  // its own name, a link's target; else the typed one where no link
        output.finalName = FinalName(file);
        if (!NamesFile(output.finalName, info))
            output.finalName = NamesFile(typed, info) ? typed : L"";
        facts.folder = output.finalName.empty() ? Attempt::kNotAllowed : Attempt::kDone;
    }
    if (output.created && !output.finalName.empty()) {
        gMadeName = output.finalName.c_str();
        gMadeFile = info;
    }
    if (ChooseSave(facts) == SaveWay::kReplace) {
        output.replaces = !output.created;
        // The new file takes the old one's hidden, system and indexing attributes.
        constexpr DWORD kKept =
            FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
        output.finalMode = FILE_ATTRIBUTE_ARCHIVE | (info.dwFileAttributes & kKept);
        DWORD error = 0;
        output.file = CreateTempBeside(output.finalName, output.tempName, error);
        facts.temp = output.file ? Attempt::kDone : AttemptAfter(error);
        gTempName = output.file ? output.tempName.c_str() : nullptr;
    }
    if (ChooseSave(facts) == SaveWay::kInPlace &&
        (!facts.regular || output.created || SetEndOfFile(file))) {
        output.file = StreamOf(file);  // which closes the handle if it fails
        file = INVALID_HANDLE_VALUE;
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    if (!output.file) RemoveMadeName();
    return output.file != nullptr;
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
    const fs::path typed = SystemName(path);
    if (typed.native().starts_with(LR"(\\.\)")) {  // devices (NUL, CON) and pipes: in place
        output.file = _wfopen(typed.c_str(), L"wb");
    } else {
        SetConsoleCtrlHandler(RemoveNamesAndExit, TRUE);
        AcquireSRWLockExclusive(&gLock);
        const bool started = StartSave(typed, output);
        ReleaseSRWLockExclusive(&gLock);
        if (!started) SetConsoleCtrlHandler(RemoveNamesAndExit, FALSE);
    }
    if (!output.file) return 0;
    // The writer buffers for itself; a second buffer here would only copy every byte again.
    std::setvbuf(output.file, nullptr, _IONBF, 0);
    return 1;
}

int CommitOutputFile(OutputFile& output, int complete) {
    // Over an existing file only once the new one's bytes are on the disk.
    if (complete && output.replaces &&
        !FlushFileBuffers(HANDLE(_get_osfhandle(_fileno(output.file)))))
        complete = 0;
    if (std::fclose(output.file) != 0) complete = 0;
    output.file = nullptr;
    AcquireSRWLockExclusive(&gLock);
    const int placed = complete && (output.tempName.empty() || PutInPlace(output));
    if (!placed && !output.tempName.empty()) DeleteFileW(output.tempName.c_str());
    if (!placed) RemoveMadeName();
    gTempName = nullptr;
    gMadeName = nullptr;
    ReleaseSRWLockExclusive(&gLock);
    SetConsoleCtrlHandler(RemoveNamesAndExit, FALSE);
    return placed;
}
