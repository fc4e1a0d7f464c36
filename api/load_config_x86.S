// The load configuration record of the 32-bit DLL (see load_config.inc).
// 32-bit code checks each indirect call through the check pointer alone,
// the target in ECX.
#define PTR .long
#define PTR_ALIGN 2
#define SYM(name) _##name
#define DISPATCH_FPTR 0

    .text
    .p2align 4
guard_check_nop:
    ret

#include "load_config.inc"
