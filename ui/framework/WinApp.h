// The application object: one per program, constructed as a global before the entry point runs.
#pragma once

#include <windows.h>

#include <string>

#include "ui/framework/CmdTarget.h"
#include "ui/framework/Wnd.h"

class CWinApp : public CCmdTarget {
  public:
    // Without a name the application name becomes the executable's file name without extension.
    explicit CWinApp(const char* appName = nullptr);
    ~CWinApp() override;

    // Takes the module handle, the application name and the help file path. Called once by the
    // entry point before InitInstance.
    void SetCurrentHandles(HINSTANCE instance);

    // The program's work. The base start-up does nothing and answers TRUE.
    virtual BOOL InitInstance();
    virtual int ExitInstance();

    // Records the registry key name; nothing is read from it or written under it.
    void SetRegistryKey(const char* company);

    // The standard help command: the window with the mouse capture, else the window with the
    // keyboard focus and its parents in turn, names its topic; the topic is shown from the help
    // file. A handler for ID_HELP in the application's message map.
    void OnHelp();
    // Shows `topic` of the help file; on failure the message "Failed to launch help.", or only a
    // beep while a message box of the framework is open (F1 pressed in it asks for help again).
    virtual void ShowHelpTopic(DWORD topic);

    const std::string& AppName() const { return m_appName; }
    const std::string& HelpFilePath() const { return m_helpFilePath; }
    const std::string& RegistryKey() const { return m_registryKey; }

    HINSTANCE m_hInstance = nullptr;
    CWnd* m_pMainWnd = nullptr;

  private:
    std::string m_appName;
    std::string m_helpFilePath;
    std::string m_registryKey;
    bool m_helpShown = false;
};

CWinApp* AfxGetApp();
// The application's main window, or null.
CWnd* AfxGetMainWnd();
// OK button, exclamation icon, owned by the main window, captioned with the application name.
// Counted while open: the help command opens no second box over it.
int AfxMessageBox(const char* text, UINT type = MB_OK | MB_ICONEXCLAMATION);
// Where the program's resources are: the application's module, or the executable's before the
// application has its handles.
HINSTANCE AfxGetResourceHandle();
// Loads a string of the program's string table; empty when it is absent.
std::string AfxLoadString(UINT id);
// The entry point's work: handles, InitInstance, and ExitInstance when InitInstance returns FALSE.
int AfxWinMain(HINSTANCE instance);

// The registered message by which the help command asks a window for its help topic. A window
// that has one shows it and answers nonzero.
UINT HelpTopicQueryMessage();

// "C:\dir\tool.exe" -> "tool"; the extension is cut from the last path component only.
std::string AppNameFromModulePath(const std::string& path);
// "C:\dir\tool.exe" -> "C:\dir\tool.chm"
std::string HelpPathFromModulePath(const std::string& path);
