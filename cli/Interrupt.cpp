#include "cli/Interrupt.h"

#include <csignal>

namespace tessaly::cli {
namespace {

volatile std::sig_atomic_t armed = 0;
volatile std::sig_atomic_t interrupted = 0;

}  // namespace

void ArmInterrupt(bool on) {
    interrupted = 0;
    armed = on ? 1 : 0;
}

bool InterruptArmed() {
    return armed != 0;
}

void NoteInterrupt() {
    interrupted = 1;
}

bool Interrupted() {
    return interrupted != 0;
}

}  // namespace tessaly::cli
