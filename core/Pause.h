// The pauses between the commands of a range.
#pragma once

#include <cstdint>

namespace tessaly {

class Pause {
  public:
    virtual ~Pause() = default;
    virtual void Sleep(std::uint32_t milliseconds) = 0;
    // Bracket a run of short pauses, so that the platform can make them precise.
    virtual void BeginShortPauses() {}
    virtual void EndShortPauses() {}
};

// Keeps the platform's pauses short for as long as it lives.
class ShortPauses {
  public:
    explicit ShortPauses(Pause& pause) : pause_(pause) { pause_.BeginShortPauses(); }
    ~ShortPauses() { pause_.EndShortPauses(); }
    ShortPauses(const ShortPauses&) = delete;
    ShortPauses& operator=(const ShortPauses&) = delete;

  private:
    Pause& pause_;
};

}  // namespace tessaly
