#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

// A small JSON reader for the library's own settings files (the library carries no JSON dependency).
// Numbers are kept as doubles; nesting is limited so that hostile input cannot exhaust the stack.
namespace minijson {

struct Value {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0.0;
    std::string string;
    std::vector<Value> array;
    std::map<std::string, Value> object;

    bool isNull() const { return type == Type::Null; }
    bool isBool() const { return type == Type::Bool; }
    bool isNumber() const { return type == Type::Number; }
    bool isString() const { return type == Type::String; }
    bool isArray() const { return type == Type::Array; }
    bool isObject() const { return type == Type::Object; }
    // Member `key` of an object, or null when absent (or when this is not an object).
    const Value* find(const std::string& key) const;
};

// Parses one JSON document (surrounding white space allowed). False with a message naming the byte offset
// of the fault when the text is not valid JSON.
bool parse(const std::string& text, Value& result, std::string& error);

}  // namespace minijson
