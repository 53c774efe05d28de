// The table make_nearest_table wrote when the library was built, linked in
// as it is: GFX16_NEAREST_TABLE_FILE names it. The assembler's .incbin
// takes its 6.7 MB as they are, where a C++ array of them would take the
// compiler minutes. Hidden: the library does not export it.
#include "codec/nearest_table.h"

asm(".section .rodata.gfx16_nearest_table,\"a\"\n"
    ".balign 64\n"
    ".globl gfx16_nearest_table\n"
    ".hidden gfx16_nearest_table\n"
    "gfx16_nearest_table:\n"
    ".incbin \"" GFX16_NEAREST_TABLE_FILE "\"\n"
    ".globl gfx16_nearest_table_end\n"
    ".hidden gfx16_nearest_table_end\n"
    "gfx16_nearest_table_end:\n"
    ".previous\n");

extern "C" __attribute__((visibility("hidden"))) const uint8_t gfx16_nearest_table[], gfx16_nearest_table_end[];

const uint8_t *linked_nearest_table(size_t *size)
{
    *size = (size_t)(gfx16_nearest_table_end - gfx16_nearest_table);
    return gfx16_nearest_table;
}
