// The security descriptor of the control device "\Device\vlkpath": only SYSTEM and the
// Administrators may open it, with every right; nothing is inherited from above. In SDDL
// "D:P(A;;GA;;;SY)(A;;GA;;;BA)", here built by hand in its self-relative form, since the library
// that turns SDDL into a descriptor for a driver (wdmsec) is not there for this build.
// Freestanding: the driver and its tests share it.
#pragma once

#include <cstdint>

namespace vlkpath {

inline constexpr char kDeviceSddl[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)";

// ACCESS_ALLOWED_ACE with GENERIC_ALL for the NT-authority identifier S-1-5-<sub-authorities>.
template <std::uint8_t SubAuthorities>
struct AllowAllEntry {
    std::uint8_t type = 0;  // ACCESS_ALLOWED_ACE_TYPE
    std::uint8_t flags = 0;
    std::uint16_t size = sizeof(AllowAllEntry);
    std::uint32_t mask = 0x10000000;  // GENERIC_ALL
    std::uint8_t sidRevision = 1;
    std::uint8_t sidSubAuthorityCount = SubAuthorities;
    std::uint8_t sidAuthority[6] = {0, 0, 0, 0, 0, 5};  // SECURITY_NT_AUTHORITY
    std::uint32_t sidSubAuthority[SubAuthorities];
};

struct DeviceSecurityDescriptor {
    std::uint8_t revision = 1;
    std::uint8_t reserved = 0;
    std::uint16_t control = 0x9004;  // SE_SELF_RELATIVE | SE_DACL_PROTECTED | SE_DACL_PRESENT
    std::uint32_t ownerOffset = 0;
    std::uint32_t groupOffset = 0;
    std::uint32_t saclOffset = 0;
    std::uint32_t daclOffset = 20;
    // The DACL: its header, then its two entries.
    std::uint8_t aclRevision = 2;  // ACL_REVISION
    std::uint8_t aclReserved = 0;
    std::uint16_t aclSize = 8 + sizeof(AllowAllEntry<1>) + sizeof(AllowAllEntry<2>);
    std::uint16_t aceCount = 2;
    std::uint16_t aclReserved2 = 0;
    AllowAllEntry<1> system{.sidSubAuthority = {18}};               // S-1-5-18
    AllowAllEntry<2> administrators{.sidSubAuthority = {32, 544}};  // S-1-5-32-544
};
static_assert(sizeof(AllowAllEntry<1>) == 20 && sizeof(AllowAllEntry<2>) == 24);
static_assert(sizeof(DeviceSecurityDescriptor) == 20 + 52);

}  // namespace vlkpath
