/* Takes the address of every export, so linking fails if one is missing,
 * and makes one call that needs no phone: with no observer registered,
 * removing none succeeds. */
#include "KestrovaAPI.h"

int main(void)
{
    const void *exports[6];
    exports[0] = (const void *)kestrovaDial;
    exports[1] = (const void *)kestrovaStartup;
    exports[2] = (const void *)kestrovaHookOff;
    exports[3] = (const void *)kestrovaHangUp;
    exports[4] = (const void *)kestrovaAddObserver;
    exports[5] = (const void *)kestrovaRemoveObserver;
    if (!exports[0] || !exports[5]) return 1;
    return kestrovaRemoveObserver(0) == KESTROVA_OK ? 0 : 2;
}
