#include "cli/Json.h"

#include <cstdio>

#include "cli/Values.h"

namespace tessaly::cli {

Json Json::Object() {
    Json json;
    json.kind_ = Kind::Object;
    return json;
}

Json Json::Array() {
    Json json;
    json.kind_ = Kind::Array;
    return json;
}

Json& Json::Set(const std::string& name, Json value) {
    for (auto& member : members_) {
        if (member.first == name) {
            member.second = std::move(value);
            return *this;
        }
    }
    members_.emplace_back(name, std::move(value));
    return *this;
}

Json& Json::Push(Json value) {
    members_.emplace_back(std::string(), std::move(value));
    return *this;
}

namespace {

void AppendEscape(std::string& out, unsigned unit) {
    char escape[16];
    std::snprintf(escape, sizeof escape, "\\u%04x", unit);
    out += escape;
}

}  // namespace

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x80) {
            // A word as the user typed it: its characters as \u escapes, the document stays ASCII.
            const unsigned value = NextCodePoint(text, at);
            if (value >= 0x10000) {
                AppendEscape(out, 0xD800 + ((value - 0x10000) >> 10));
                AppendEscape(out, 0xDC00 + ((value - 0x10000) & 0x3FF));
            } else {
                AppendEscape(out, value);
            }
            continue;
        }
        ++at;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (byte < 0x20 || byte == 0x7F) {
            AppendEscape(out, byte);
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Json::Dump() const {
    std::string out;
    DumpTo(out, 0);
    return out;
}

void Json::DumpTo(std::string& out, int depth) const {
    switch (kind_) {
        case Kind::Null:
            out += "null";
            return;
        case Kind::Bool:
            out += bool_ ? "true" : "false";
            return;
        case Kind::Number:
            out += std::to_string(number_);
            return;
        case Kind::String:
            out += JsonString(text_);
            return;
        case Kind::Array:
        case Kind::Object:
            break;
    }
    const bool object = kind_ == Kind::Object;
    if (members_.empty()) {
        out += object ? "{}" : "[]";
        return;
    }
    const std::string indent(static_cast<std::size_t>(2 * (depth + 1)), ' ');
    out += object ? "{\n" : "[\n";
    for (std::size_t i = 0; i < members_.size(); ++i) {
        out += indent;
        if (object) {
            out += JsonString(members_[i].first) + ": ";
        }
        members_[i].second.DumpTo(out, depth + 1);
        out += i + 1 < members_.size() ? ",\n" : "\n";
    }
    out += std::string(static_cast<std::size_t>(2 * depth), ' ') + (object ? "}" : "]");
}

}  // namespace tessaly::cli
