// key_table.cpp - the terminal's cursor keys as the QTB console expects them.
#include "dialogue.h"

const KeySequence key_table[5] = {
    {"\x1b[C", 3}, // KEY_RIGHT
    {"\x1b[D", 3}, // KEY_LEFT
    {"\x1b[A", 3}, // KEY_UP
    {"\x1b[B", 3}, // KEY_DOWN
    {"\r\n", 2},   // LINE_END: never sent; ends each line of the backup
};
