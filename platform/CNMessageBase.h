// Management messages: typed fields stored as readable JSON.
//
// A message type declares its fields in a table. A field is addressed by four
// numbers, as the management protocol numbers them: its tag, its kind, the
// class id of the message type that declares it and its field id. The table
// gives each field the JSON member it is stored under, so a serialised
// message reads, for example,
//   {"storages": [{"mountPath": "/data", "clients": [{"name": "host1"}]}]}
// An accessor with an address its message type does not declare, or a value
// of the wrong JSON type, reads as absent (an empty string or list).
// A message is used by one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct CNMessageField {
    int tag;
    int kind;
    uint32_t classId;
    uint32_t fieldId;
    const char* name;  // the JSON member
};

class CNMessageBase {
  public:
    // version and messageType identify the message type; fields is its table.
    CNMessageBase(int version, int messageType, std::vector<CNMessageField> fields);
    virtual ~CNMessageBase() = default;

    int Version() const { return m_version; }
    int MessageType() const { return m_messageType; }

    // Loads serialised text; false (and the message left empty) when the text
    // is not a JSON object.
    bool unserialize(const std::string& text);
    std::string serialize() const;
    // Loads from a JSON value already parsed (an element of a list).
    void Load(const nlohmann::json& value);

    std::string getstring(int tag, int kind, uint32_t classId, uint32_t fieldId) const;
    const std::string& getstringByRef(int tag, int kind, uint32_t classId, uint32_t fieldId) const;
    // The list's elements loaded as messages of type T. skipMalformed: leave
    // out elements that are not JSON objects; otherwise any such element
    // makes the whole list read as empty.
    template <class T>
    std::vector<T> getlistobject(int tag, int kind, uint32_t classId, uint32_t fieldId,
                                 bool skipMalformed) const {
        std::vector<T> list;
        const nlohmann::json* value = Field(tag, kind, classId, fieldId);
        if (!value || !value->is_array())
            return list;
        for (const nlohmann::json& element : *value) {
            if (!element.is_object()) {
                if (skipMalformed)
                    continue;
                return {};
            }
            list.emplace_back();
            list.back().Load(element);
        }
        return list;
    }

  private:
    // The stored value of a declared field, or null.
    const nlohmann::json* Field(int tag, int kind, uint32_t classId, uint32_t fieldId) const;

    int m_version;
    int m_messageType;
    std::vector<CNMessageField> m_fields;
    nlohmann::json m_value = nlohmann::json::object();
};
