// iSCSI logical units as scsi::Target, through libiscsi. One IscsiConnector per run of the program
// opens the sessions: one per portal and target name (the initiator name is the connector's),
// shared by every LUN of that target, each logged in when its first command is sent.
//
// Execute may be called from many threads at once, on targets of one session or of several: the
// commands of a session are in flight on it together (one caller at a time serves the session's
// libiscsi context for all of them). Open may be called from many threads too.
//
// Every call is bounded: the login (name resolution, connection, login, REPORT LUNS) by the
// connector's timeout, each command by its request's. A session is never reconnected in the middle
// of a command: a command whose answer does not come ends Interrupted; a lost connection ends every
// command in flight, and the next command logs in again. A command late while the target answers
// others is given up alone; otherwise the session is closed. A login that fails is not tried again
// by this connector: every command of that session ends NoDevice with the same text. README.md
// tells the rest.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "scsi/Target.h"
#include "targets/iscsi/IscsiAddress.h"
#include "targets/iscsi/IscsiIdentity.h"

namespace tessaly::targets {

// This host's name: the one of /etc/iscsi/initiatorname.iscsi when that file names one (the
// name the system's own initiator uses), else InitiatorNameForHost(gethostname()).
std::string DefaultInitiatorName();

inline constexpr std::uint32_t kIscsiDefaultTimeout = 10;   // seconds
inline constexpr std::uint32_t kIscsiMaxDataIn = 1u << 20;  // bytes, one command

struct IscsiOptions {
    std::string initiatorName;                            // empty: DefaultInitiatorName()
    std::optional<Isid> isid;                             // none: IsidFromName(initiatorName)
    std::uint32_t timeoutSeconds = kIscsiDefaultTimeout;  // the login; 0: the default
};

class IscsiSession;

class IscsiTarget : public scsi::Target {
  public:
    IscsiTarget(std::shared_ptr<IscsiSession> session, std::uint16_t lun);
    ~IscsiTarget() override;

    // A request's timeout of 0 takes the connector's.
    scsi::Outcome Execute(const scsi::Request& request) override;
    std::uint32_t MaxDataIn() const override;
    // "NAME,i,0xISID" (InitiatorPortName).
    std::string InitiatorName() const override;
    // "iscsi://host:port/target-name/LUN", never the user or the password.
    std::string Where() const override;
    // kind "iscsi", portal, target_name, lun, initiator_name, isid.
    std::vector<scsi::Fact> Describe() const override;

  private:
    std::shared_ptr<IscsiSession> session_;
    std::uint16_t lun_;
};

class IscsiConnector {
  public:
    explicit IscsiConnector(IscsiOptions options = {});
    ~IscsiConnector();
    IscsiConnector(const IscsiConnector&) = delete;
    IscsiConnector& operator=(const IscsiConnector&) = delete;

    // One target per LUN of the address, in its order. The user and password of the address (else
    // libiscsi's variables LIBISCSI_CHAP_USERNAME and LIBISCSI_CHAP_PASSWORD, and for the target's
    // own CHAP LIBISCSI_CHAP_TARGET_USERNAME and LIBISCSI_CHAP_TARGET_PASSWORD) log the session in;
    // the first address of a session decides them.
    std::vector<std::unique_ptr<IscsiTarget>> Open(const IscsiAddress& address);

    const std::string& InitiatorName() const { return options_.initiatorName; }
    const Isid& SessionIsid() const { return *options_.isid; }

    // The commands its sessions have in flight now: handed to libiscsi, not yet answered.
    std::size_t InFlight() const;

  private:
    IscsiOptions options_;
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<IscsiSession>> sessions_;
};

}  // namespace tessaly::targets
