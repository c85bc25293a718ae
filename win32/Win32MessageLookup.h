// The system message lookup over FormatMessageA.
#pragma once

#include "report/MessageLookup.h"

namespace tessaly::win32 {

class Win32MessageLookup : public MessageLookup {
  public:
    std::optional<std::string> MessageFor(std::uint32_t error) override;
};

}  // namespace tessaly::win32
