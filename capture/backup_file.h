// backup_file.h - writing the backup so that it is either whole or absent.
//
// The backup may be the only copy of a device's settings, so the old file is
// never emptied first: the new text goes to a temporary file beside it, every
// write and the close are checked, the data is flushed to the disk, and only
// then is the temporary file renamed over the old one in one step. Each
// operating system has its own implementation file, picked by the build.
#ifndef DEDIZO_BACKUP_FILE_H
#define DEDIZO_BACKUP_FILE_H

#include <cstddef>

// Replaces the file `name` in the current directory with exactly `length`
// bytes of `text`. 0 when the new file is in place; -1 otherwise, in which
// case no temporary file is left behind and an existing `name` is untouched.
int write_backup_file(const char *name, const char *text, std::size_t length);

#endif
