// The load configuration record of the x64 DLL (see load_config.inc). x64
// code makes each indirect call through the dispatch pointer, the target in
// RAX: unchecked, that is a jump to it.
#define PTR .quad
#define PTR_ALIGN 3
#define SYM(name) name
#define HAS_DISPATCH
#define DISPATCH_FPTR __guard_dispatch_icall_fptr

    .text
    .p2align 4
guard_check_nop:
    ret
    .p2align 4
guard_dispatch_nop:
    jmp *%rax

#include "load_config.inc"
