#pragma once

#include <picojson.h>

#include <string>

namespace velk {

// A member that is set: present and not null.
inline const picojson::value* setMember(const picojson::object& object, const std::string& key) {
    auto it = object.find(key);
    return it == object.end() || it->second.is<picojson::null>() ? nullptr : &it->second;
}

// A text member as sent; empty when it is missing or not a text.
inline std::string textMember(const picojson::object& object, const std::string& key) {
    const picojson::value* value = setMember(object, key);
    return value != nullptr && value->is<std::string>() ? value->get<std::string>() : std::string();
}

}  // namespace velk
