// The pauses of the group clear over Sleep, with the system timer set to 1 ms for a whole range:
// otherwise Sleep(1) lasts up to a full timer tick (about 15.6 ms).
#pragma once

#include "core/Pause.h"

namespace tessaly::win32 {

class Win32Pause : public Pause {
  public:
    void Sleep(std::uint32_t milliseconds) override;
    void BeginShortPauses() override;
    void EndShortPauses() override;

  private:
    bool raised_ = false;
};

}  // namespace tessaly::win32
