// A small JSON document builder: objects keep their members in the order they were set.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tessaly::cli {

class Json {
  public:
    Json() = default;  // null
    Json(bool value) : kind_(Kind::Bool), bool_(value) {}
    Json(int value) : kind_(Kind::Number), number_(value) {}
    Json(std::int64_t value) : kind_(Kind::Number), number_(value) {}
    Json(std::uint32_t value) : kind_(Kind::Number), number_(value) {}
    Json(std::string value) : kind_(Kind::String), text_(std::move(value)) {}
    Json(const char* value) : kind_(Kind::String), text_(value) {}

    static Json Object();
    static Json Array();

    // Adds a member to an object (a later one with the same name replaces it in place).
    Json& Set(const std::string& name, Json value);
    // Appends an element to an array.
    Json& Push(Json value);

    // The document, indented by two blanks a level, ending without a newline.
    std::string Dump() const;

  private:
    enum class Kind { Null, Bool, Number, String, Array, Object };
    void DumpTo(std::string& out, int depth) const;

    Kind kind_ = Kind::Null;
    bool bool_ = false;
    std::int64_t number_ = 0;
    std::string text_;
    std::vector<std::pair<std::string, Json>> members_;  // elements of an array have no name
};

// The text as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);

}  // namespace tessaly::cli
