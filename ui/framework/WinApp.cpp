#include "ui/framework/WinApp.h"

#include <htmlhelp.h>

#include <vector>

#include "ui/framework/FrameworkIds.h"

namespace {

CWinApp* g_app = nullptr;
// Message boxes of the framework open on this thread: while one is, no other opens over it.
int g_openBoxes = 0;

std::string ModuleFileName(HINSTANCE instance) {
    std::vector<char> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameA(instance, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            return std::string(buffer.data(), length);
        }
        buffer.resize(buffer.size() * 2);
    }
}

// Where the last path component begins.
std::size_t FileNameStart(const std::string& path) {
    const std::size_t slash = path.find_last_of("\\/:");
    return slash == std::string::npos ? 0 : slash + 1;
}

std::string WithoutExtension(const std::string& path) {
    const std::size_t start = FileNameStart(path);
    const std::size_t dot = path.rfind('.');
    return dot == std::string::npos || dot < start ? path : path.substr(0, dot);
}

}  // namespace

std::string AppNameFromModulePath(const std::string& path) {
    return WithoutExtension(path.substr(FileNameStart(path)));
}

std::string HelpPathFromModulePath(const std::string& path) {
    return WithoutExtension(path) + ".chm";
}

CWinApp::CWinApp(const char* appName) {
    if (appName != nullptr) {
        m_appName = appName;
    }
    if (g_app == nullptr) {
        g_app = this;
    }
}

CWinApp::~CWinApp() {
    if (g_app == this) {
        g_app = nullptr;
    }
}

void CWinApp::SetCurrentHandles(HINSTANCE instance) {
    m_hInstance = instance;
    const std::string module = ModuleFileName(instance);
    if (m_appName.empty()) {
        m_appName = AppNameFromModulePath(module);
    }
    m_helpFilePath = HelpPathFromModulePath(module);
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

int CWinApp::ExitInstance() {
    if (m_helpShown) {
        ::HtmlHelpA(nullptr, nullptr, HH_CLOSE_ALL, 0);
    }
    return 0;
}

void CWinApp::SetRegistryKey(const char* company) {
    m_registryKey = company != nullptr ? company : "";
}

void CWinApp::OnHelp() {
    const UINT query = HelpTopicQueryMessage();
    if (HWND capture = ::GetCapture(); capture != nullptr && ::SendMessageA(capture, query, 0, 0)) {
        return;
    }
    for (HWND window = ::GetFocus(); window != nullptr; window = ::GetParent(window)) {
        if (::SendMessageA(window, query, 0, 0)) {
            return;
        }
    }
    // Nothing that holds the focus has a topic of its own: the main window's.
    if (CWnd* main = AfxGetMainWnd(); main != nullptr && main->m_hWnd != nullptr) {
        ::SendMessageA(main->m_hWnd, query, 0, 0);
    }
}

void CWinApp::ShowHelpTopic(DWORD topic) {
    CWnd* main = AfxGetMainWnd();
    HWND owner = main != nullptr ? main->m_hWnd : nullptr;
    m_helpShown = true;
    if (::HtmlHelpA(owner, m_helpFilePath.c_str(), HH_HELP_CONTEXT, topic) != nullptr) {
        return;
    }
    // F1 in a message box reaches the help command again (the box hands WM_HELP to its owner):
    // one box at a time, so with a box already open the failure is only a beep.
    if (g_openBoxes > 0) {
        ::MessageBeep(MB_ICONEXCLAMATION);
        return;
    }
    std::string text = AfxLoadString(AFX_IDP_FAILED_TO_LAUNCH_HELP);
    if (text.empty()) {
        text = "Failed to launch help.";
    }
    AfxMessageBox(text.c_str());
}

CWinApp* AfxGetApp() {
    return g_app;
}

CWnd* AfxGetMainWnd() {
    return g_app != nullptr ? g_app->m_pMainWnd : nullptr;
}

int AfxMessageBox(const char* text, UINT type) {
    CWnd* main = AfxGetMainWnd();
    HWND owner = main != nullptr ? main->m_hWnd : nullptr;
    const char* caption = g_app != nullptr ? g_app->AppName().c_str() : "";
    ++g_openBoxes;
    const int answer = ::MessageBoxA(owner, text, caption, type);
    --g_openBoxes;
    return answer;
}

HINSTANCE AfxGetResourceHandle() {
    CWinApp* app = AfxGetApp();
    return app != nullptr && app->m_hInstance != nullptr ? app->m_hInstance
                                                         : ::GetModuleHandleA(nullptr);
}

std::string AfxLoadString(UINT id) {
    // A string table entry holds at most 4095 characters.
    char buffer[4096];
    const int length =
        ::LoadStringA(AfxGetResourceHandle(), id, buffer, static_cast<int>(sizeof buffer));
    return length > 0 ? std::string(buffer, static_cast<std::size_t>(length)) : std::string();
}

int AfxWinMain(HINSTANCE instance) {
    CWinApp* app = AfxGetApp();
    if (app == nullptr) {
        return -1;
    }
    app->SetCurrentHandles(instance);
    // This program does all its work inside InitInstance, which answers FALSE: no message loop of
    // the application's own follows.
    app->InitInstance();
    return app->ExitInstance();
}

UINT HelpTopicQueryMessage() {
    static const UINT message = ::RegisterWindowMessageA("Tessaly.HelpTopicQuery");
    return message;
}
