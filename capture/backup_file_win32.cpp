// backup_file_win32.cpp - writing the backup on Windows, whole or not at all.
//
// The new text goes to a temporary file in the current directory, next to
// the backup it will replace, so that the final rename stays on one volume.
// Its name is the backup's name with our process id and a counter added, and
// it is created with CREATE_NEW, so it can never be an existing file of
// someone else's. A run that was killed mid-write leaves its temporary file
// behind, and Windows hands out process ids again soon, so when the first
// name is taken the next numbers are tried.
// Only when every byte is written, flushed to the disk and the file closed
// without error does MoveFileExA put it in place of the old backup in one
// step; on any failure the temporary file is deleted and the old backup is
// left as it was.
#include "backup_file.h"

#include <windows.h>

#include <cstdio>

namespace {

int discard(const char *temporary_name) {
    DeleteFileA(temporary_name);
    return -1;
}

// Creates a file beside `name` that did not exist before, its name in
// temporary_name. INVALID_HANDLE_VALUE when no name was free or the
// directory refuses new files.
HANDLE create_temporary(const char *name, char *temporary_name, std::size_t capacity) {
    const unsigned long pid = static_cast<unsigned long>(GetCurrentProcessId());
    for (int attempt = 0; attempt < 100; ++attempt) {
        const int formatted =
            std::snprintf(temporary_name, capacity, "%s.%lu.%d.tmp", name, pid, attempt);
        if (formatted < 0 || static_cast<std::size_t>(formatted) >= capacity) {
            return INVALID_HANDLE_VALUE;
        }
        HANDLE file = CreateFileA(temporary_name, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            return file;
        }
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            return INVALID_HANDLE_VALUE;
        }
    }
    return INVALID_HANDLE_VALUE;
}

} // namespace

int write_backup_file(const char *name, const char *text, std::size_t length) {
    if (name == nullptr || (text == nullptr && length != 0)) {
        return -1;
    }
    char temporary_name[MAX_PATH];
    HANDLE file = create_temporary(name, temporary_name, sizeof temporary_name);
    if (file == INVALID_HANDLE_VALUE) {
        // Nothing of ours was created (CREATE_NEW refuses a name that is
        // already taken), so there is nothing to delete either.
        return -1;
    }

    std::size_t written = 0;
    while (written < length) {
        const std::size_t rest = length - written;
        const DWORD chunk = rest > 0x40000000u ? 0x40000000u : static_cast<DWORD>(rest);
        DWORD done = 0;
        if (!WriteFile(file, text + written, chunk, &done, nullptr) || done == 0) {
            CloseHandle(file);
            return discard(temporary_name);
        }
        written += done;
    }
    if (!FlushFileBuffers(file)) {
        CloseHandle(file);
        return discard(temporary_name);
    }
    if (!CloseHandle(file)) {
        return discard(temporary_name);
    }
    if (!MoveFileExA(temporary_name, name, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return discard(temporary_name);
    }
    return 0;
}
