// Message maps: a static table per class from window message, control id and notification code to
// a member handler, chained to the base class's table.
#pragma once

#include <windows.h>

class CCmdTarget;

// Calls one member handler of the object; the class's own table knows the object's real type.
using MessageHandler = LRESULT (*)(CCmdTarget& target, WPARAM wParam, LPARAM lParam);

struct MessageMapEntry {
    UINT message;  // WM_COMMAND, WM_PAINT, ...; 0 ends a table
    UINT code;     // notification code of a WM_COMMAND (0 for menus, accelerators and clicks)
    UINT id;       // command or control id of a WM_COMMAND; 0 for other messages
    MessageHandler handler;
};

struct MessageMap {
    const MessageMap* (*base)();  // the base class's table; null at the root
    const MessageMapEntry* entries;
};

// Finds the entry for the message in the table and its bases, most derived first.
const MessageMapEntry* FindMessageEntry(const MessageMap* map, UINT message, UINT code, UINT id);

class CCmdTarget {
  public:
    CCmdTarget() = default;
    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;
    virtual ~CCmdTarget() = default;

    // Runs the handler of command `id` with notification `code` when this object's table has one.
    virtual BOOL OnCmdMsg(UINT id, UINT code);
    // True when OnCmdMsg would find a handler, without running it.
    virtual BOOL HandlesCommand(UINT id, UINT code) const;

    static const MessageMap* GetThisMessageMap();
    virtual const MessageMap* GetMessageMap() const { return GetThisMessageMap(); }
};

// In the class body.
#define DECLARE_MESSAGE_MAP()                     \
  public:                                         \
    static const MessageMap* GetThisMessageMap(); \
    const MessageMap* GetMessageMap() const override;

// In one source file: BEGIN_MESSAGE_MAP(Class, Base), the entries, END_MESSAGE_MAP().
#define BEGIN_MESSAGE_MAP(theClass, baseClass)          \
    const MessageMap* theClass::GetMessageMap() const { \
        return GetThisMessageMap();                     \
    }                                                   \
    const MessageMap* theClass::GetThisMessageMap() {   \
        using ThisClass = theClass;                     \
        using TheBaseClass = baseClass;                 \
        static const MessageMapEntry entries[] = {
#define END_MESSAGE_MAP()                                                      \
    { 0, 0, 0, nullptr }                                                       \
    }                                                                          \
    ;                                                                          \
    static_assert(sizeof(ThisClass) > 0);                                      \
    static const MessageMap map = {&TheBaseClass::GetThisMessageMap, entries}; \
    return &map;                                                               \
    }

#define TESSALY_MAP_CALL(memberFxn) static_cast<ThisClass&>(target).memberFxn

// void memberFxn()
#define ON_COMMAND(id, memberFxn)                                                              \
    {WM_COMMAND, 0, static_cast<UINT>(id), [](CCmdTarget& target, WPARAM, LPARAM) -> LRESULT { \
         TESSALY_MAP_CALL(memberFxn)();                                                        \
         return 0;                                                                             \
     }},

// void memberFxn(), for a WM_COMMAND notification of control `id`
#define ON_CONTROL(code, id, memberFxn)                          \
    {WM_COMMAND, static_cast<UINT>(code), static_cast<UINT>(id), \
     [](CCmdTarget& target, WPARAM, LPARAM) -> LRESULT {         \
         TESSALY_MAP_CALL(memberFxn)();                          \
         return 0;                                               \
     }},
#define ON_BN_CLICKED(id, memberFxn) ON_CONTROL(BN_CLICKED, id, memberFxn)
#define ON_CBN_SELCHANGE(id, memberFxn) ON_CONTROL(CBN_SELCHANGE, id, memberFxn)

// void OnSysCommand(UINT id, LPARAM lParam)
#define ON_WM_SYSCOMMAND()                                                                  \
    {WM_SYSCOMMAND, 0, 0, [](CCmdTarget& target, WPARAM wParam, LPARAM lParam) -> LRESULT { \
         TESSALY_MAP_CALL(OnSysCommand)(static_cast<UINT>(wParam), lParam);                 \
         return 0;                                                                          \
     }},

// void OnPaint()
#define ON_WM_PAINT()                                                    \
    {WM_PAINT, 0, 0, [](CCmdTarget& target, WPARAM, LPARAM) -> LRESULT { \
         TESSALY_MAP_CALL(OnPaint)();                                    \
         return 0;                                                       \
     }},

// HCURSOR OnQueryDragIcon()
#define ON_WM_QUERYDRAGICON()                                                    \
    {WM_QUERYDRAGICON, 0, 0, [](CCmdTarget& target, WPARAM, LPARAM) -> LRESULT { \
         return reinterpret_cast<LRESULT>(TESSALY_MAP_CALL(OnQueryDragIcon)());  \
     }},

// LRESULT memberFxn(WPARAM, LPARAM), for any other message
#define ON_MESSAGE(message, memberFxn)                                 \
    {static_cast<UINT>(message), 0, 0,                                 \
     [](CCmdTarget& target, WPARAM wParam, LPARAM lParam) -> LRESULT { \
         return TESSALY_MAP_CALL(memberFxn)(wParam, lParam);           \
     }},
