// The iSCSI address parser over any text: an accepted address has a target name and LUNs within
// range, each once, and every one of its LUNs written back (without user and password) reads back
// as the same address with that LUN alone; a refused one names the part at fault. The same text
// as an ISID: an accepted one is of a type in use and reads back from its own text.
#include <algorithm>

#include "fuzz/FuzzInput.h"
#include "targets/iscsi/IscsiAddress.h"
#include "targets/iscsi/IscsiIdentity.h"

using tessaly::fuzz::Check;
namespace iscsi = tessaly::targets;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const iscsi::ParsedAddress parsed = iscsi::ParseIscsiAddress(text);
    if (!parsed.ok) {
        Check(parsed.error.message.rfind(iscsi::AddressPartName(parsed.error.part), 0) == 0,
              "a syntax error names the part at fault");
    } else {
        const iscsi::IscsiAddress& address = parsed.address;
        Check(!address.host.empty() && address.port != 0, "a host and a port");
        Check(
            !address.targetName.empty() && address.targetName.size() <= iscsi::kMaxIscsiNameLength,
            "a target name of 1 to 223 bytes");
        Check(!address.luns.empty(), "at least one LUN");
        std::vector<std::uint16_t> sorted = address.luns;
        std::sort(sorted.begin(), sorted.end());
        Check(sorted.back() <= iscsi::kHighestLun, "LUNs within 0..16383");
        Check(std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end(), "each LUN once");

        iscsi::IscsiAddress alone = address;
        alone.user.clear();
        alone.password.clear();
        // The first and the last LUN: long lists would make every run slow.
        for (const std::uint16_t lun : {address.luns.front(), address.luns.back()}) {
            const std::string written = iscsi::FormatIscsiAddress(address, lun);
            Check(written.find('@') == std::string::npos, "no user or password written");
            const iscsi::ParsedAddress again = iscsi::ParseIscsiAddress(written);
            alone.luns = {lun};
            Check(again.ok && again.address == alone, "a written address reads back the same");
        }
    }

    const iscsi::ParsedIsid isid = iscsi::ParseIsid(text);
    if (isid.ok) {
        Check(isid.isid[0] >> 6 != 3, "not the reserved ISID type");
        Check(iscsi::ParseIsid(iscsi::IsidText(isid.isid)).isid == isid.isid,
              "an ISID reads back from its text");
    }
    return 0;
}
