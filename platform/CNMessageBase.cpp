// CNMessageBase: a message's JSON value and the lookup of its declared fields.
#include "platform/CNMessageBase.h"

CNMessageBase::CNMessageBase(int version, int messageType, std::vector<CNMessageField> fields)
    : m_version(version), m_messageType(messageType), m_fields(std::move(fields)) {}

bool CNMessageBase::unserialize(const std::string& text) {
    nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        m_value = nlohmann::json::object();
        return false;
    }
    m_value = std::move(parsed);
    return true;
}

std::string CNMessageBase::serialize() const {
    return m_value.dump(2);
}

void CNMessageBase::Load(const nlohmann::json& value) {
    m_value = value.is_object() ? value : nlohmann::json::object();
}

const nlohmann::json* CNMessageBase::Field(int tag, int kind, uint32_t classId,
                                           uint32_t fieldId) const {
    for (const CNMessageField& f : m_fields) {
        if (f.tag == tag && f.kind == kind && f.classId == classId && f.fieldId == fieldId) {
            auto found = m_value.find(f.name);
            return found == m_value.end() ? nullptr : &*found;
        }
    }
    return nullptr;
}

std::string CNMessageBase::getstring(int tag, int kind, uint32_t classId, uint32_t fieldId) const {
    return getstringByRef(tag, kind, classId, fieldId);
}

const std::string& CNMessageBase::getstringByRef(int tag, int kind, uint32_t classId,
                                                 uint32_t fieldId) const {
    static const std::string empty;
    const nlohmann::json* value = Field(tag, kind, classId, fieldId);
    if (!value || !value->is_string())
        return empty;
    return value->get_ref<const std::string&>();
}
