// backup_file_probe.cpp - one write_backup_file call, for the tests under Wine.
//
//   backup_file_probe.exe NAME HEX [stale]
//       writes the bytes given in hex to NAME in the current directory;
//       prints "backup 0" or "backup -1". With "stale", first leaves
//       "half a backup" in NAME.PID.0.tmp, as a killed run of an earlier
//       process with the same id would have.
#include "backup_file.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

char text[65536];

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::puts("usage: backup_file_probe NAME HEX");
        return 2;
    }
    std::size_t length = 0;
    for (const char *hex = argv[2]; hex[0] != '\0' && hex[1] != '\0' && length < sizeof text;
         hex += 2) {
        const char pair[3] = {hex[0], hex[1], '\0'};
        text[length++] = static_cast<char>(std::strtoul(pair, nullptr, 16));
    }
    if (argc > 3 && std::strcmp(argv[3], "stale") == 0) {
        char stale[MAX_PATH];
        std::snprintf(stale, sizeof stale, "%s.%lu.0.tmp", argv[1],
                      static_cast<unsigned long>(GetCurrentProcessId()));
        std::FILE *f = std::fopen(stale, "wb");
        if (f == nullptr) {
            std::puts("stale file not created");
            return 2;
        }
        std::fputs("half a backup", f);
        std::fclose(f);
    }
    std::printf("backup %d\n", write_backup_file(argv[1], text, length));
    return 0;
}
