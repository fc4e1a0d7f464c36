// The load configuration record of the ARM64 DLL (see load_config.inc).
// ARM64 code checks each indirect call through the check pointer alone, the
// target in X15.
#define PTR .quad
#define PTR_ALIGN 3
#define SYM(name) name
#define DISPATCH_FPTR 0

    .text
    .p2align 2
guard_check_nop:
    ret

#include "load_config.inc"
