// Run-time class records, the class registry and the do-nothing slots.
#include <kalvio/object.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

std::mutex& registry_mutex() {
    static std::mutex m;
    return m;
}

// Function-local so that registrations from any translation unit, run
// during static initialisation in any order, find it constructed.
std::vector<const CRuntimeClass*>& registry() {
    static std::vector<const CRuntimeClass*> records;
    return records;
}

}  // namespace

CRuntimeClass CObject::classCObject = {"CObject", sizeof(CObject), 0, nullptr, nullptr};
static const CRuntimeClassRegistration kalvio_registration_CObject(&CObject::classCObject);

CObject* CRuntimeClass::CreateObject() const {
    return m_pfnCreateObject ? m_pfnCreateObject() : nullptr;
}

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* base) const {
    for (const CRuntimeClass* c = this; c; c = c->m_pBaseClass)
        if (c == base) return true;
    return false;
}

const CRuntimeClass* CRuntimeClass::FromName(const char* name) {
    if (!name) return nullptr;
    std::lock_guard<std::mutex> lock(registry_mutex());
    for (const CRuntimeClass* record : registry())
        if (std::strcmp(record->m_lpszClassName, name) == 0) return record;
    return nullptr;
}

CRuntimeClassRegistration::CRuntimeClassRegistration(CRuntimeClass* record) {
    std::lock_guard<std::mutex> lock(registry_mutex());
    registry().push_back(record);
}

CRuntimeClass* CObject::GetRuntimeClass() const { return &classCObject; }
CObject::~CObject() = default;
void CObject::Serialize(CArchive&) {}
void CObject::AssertValid() const {}
void CObject::Dump(CDumpContext&) const {}

bool CObject::IsKindOf(const CRuntimeClass* cls) const {
    return GetRuntimeClass()->IsDerivedFrom(cls);
}

CDumpContext& CDumpContext::operator<<(const char* text) {
    if (text) m_strText += text;
    return *this;
}

CDumpContext& CDumpContext::operator<<(int value) {
    m_strText += std::to_string(value);
    return *this;
}

CDumpContext& CDumpContext::operator<<(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%g", value);
    m_strText += buffer;
    return *this;
}
