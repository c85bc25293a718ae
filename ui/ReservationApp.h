// The application object: runs the main dialog once and answers the help command.
#pragma once

#include "ui/framework/WinApp.h"

class CReservationApp : public CWinApp {
  public:
    CReservationApp() = default;
    ~CReservationApp() override = default;

    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};

inline constexpr const char kRegistryKeyName[] = "Local AppWizard-Generated Applications";
