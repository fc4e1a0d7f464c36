/* Takes the address of every export, so linking fails if one is missing. */
#include "KestrovaAPI.h"

typedef int(KESTROVA_CALL *Export)(void);

int main(void)
{
    const void *exports[6];
    exports[0] = (const void *)kestrovaDial;
    exports[1] = (const void *)kestrovaStartup;
    exports[2] = (const void *)kestrovaHookOff;
    exports[3] = (const void *)kestrovaHangUp;
    exports[4] = (const void *)kestrovaAddObserver;
    exports[5] = (const void *)kestrovaRemoveObserver;
    return exports[0] && exports[5] ? 0 : 1;
}
