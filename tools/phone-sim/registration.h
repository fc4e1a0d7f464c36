// kestrova-phone-sim register / unregister: the simulator as the shell's
// "dial" action on .vcf files, for the current user, without administrator
// rights, and undone exactly.
#pragma once

namespace phone_sim {

// Both print what they did and return an exit code (command_line.h).
int registerDialHandler();
int unregisterDialHandler();

}  // namespace phone_sim
