// Where the minimised dialog draws its icon: centred in the client area.
#pragma once

#include <cstdint>

namespace tessaly::ui {

// (client - icon + 1) / 2 in signed 32-bit arithmetic, the division truncating toward zero, so a
// client area one or two pixels smaller than the icon still gives -1 rather than -2.
constexpr std::int32_t IconOrigin(std::int32_t clientExtent, std::int32_t iconExtent) {
    return (clientExtent - iconExtent + 1) / 2;
}

}  // namespace tessaly::ui
