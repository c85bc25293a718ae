#include "ui/framework/CmdTarget.h"

const MessageMapEntry* FindMessageEntry(const MessageMap* map, UINT message, UINT code, UINT id) {
    for (; map != nullptr; map = map->base != nullptr ? map->base() : nullptr) {
        for (const MessageMapEntry* entry = map->entries; entry->message != 0; ++entry) {
            if (entry->message != message) {
                continue;
            }
            if (message != WM_COMMAND || (entry->code == code && entry->id == id)) {
                return entry;
            }
        }
    }
    return nullptr;
}

const MessageMap* CCmdTarget::GetThisMessageMap() {
    static const MessageMapEntry entries[] = {{0, 0, 0, nullptr}};
    static const MessageMap map = {nullptr, entries};
    return &map;
}

BOOL CCmdTarget::OnCmdMsg(UINT id, UINT code) {
    const MessageMapEntry* entry = FindMessageEntry(GetMessageMap(), WM_COMMAND, code, id);
    if (entry == nullptr) {
        return FALSE;
    }
    entry->handler(*this, MAKEWPARAM(id, code), 0);
    return TRUE;
}

BOOL CCmdTarget::HandlesCommand(UINT id, UINT code) const {
    return FindMessageEntry(GetMessageMap(), WM_COMMAND, code, id) != nullptr;
}
