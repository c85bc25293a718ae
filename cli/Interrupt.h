// Ctrl-C while a command changes a disk and must put it back: each program's main turns the
// signal (SIGINT, the console's Ctrl-C) into a flag while the command has it armed, and ends the
// program as usual when nothing is armed.
#pragma once

namespace tessaly::cli {

// Whether an interrupt is taken as a request to stop and clean up (true) or ends the program.
void ArmInterrupt(bool armed);
bool InterruptArmed();
// Called from the signal or console handler: safe there (it writes one flag).
void NoteInterrupt();
// Whether an interrupt came since the flag was last armed.
bool Interrupted();

}  // namespace tessaly::cli
