// Root class with run-time class records and dynamic creation.
#pragma once

#include <kalvio/export.h>

#include <string>

class CObject;
class CArchive;
class CDumpContext;

/// The record of one registered class: its name, schema number, base class
/// and factory. Records are static objects that live as long as the library.
struct KALVIO_API CRuntimeClass {
    const char* m_lpszClassName;      ///< "CImage", "CDib", ...
    int m_nObjectSize;                ///< sizeof the class
    unsigned int m_wSchema;           ///< schema number, 0 for every class here
    CObject* (*m_pfnCreateObject)();  ///< factory; null for abstract classes
    CRuntimeClass* m_pBaseClass;      ///< record of the base class; null for CObject

    /// A new default-constructed object of this class, owned by the caller
    /// (delete through CObject*). Null when the class is not creatable.
    CObject* CreateObject() const;

    /// True when this class is `base` or derives from it.
    bool IsDerivedFrom(const CRuntimeClass* base) const;

    /// The record registered under `name`, or null. O(registered classes).
    static const CRuntimeClass* FromName(const char* name);
};

/// Adds a record to the registry that FromName searches. Used by the
/// registration macros; a record registers once, at library or program load.
struct KALVIO_API CRuntimeClassRegistration {
    explicit CRuntimeClassRegistration(CRuntimeClass* record);
};

/// Root of the registered classes. Virtual slots, in order: GetRuntimeClass,
/// the destructor, Serialize, AssertValid, Dump. The last three do nothing.
class KALVIO_API CObject {
public:
    virtual CRuntimeClass* GetRuntimeClass() const;
    virtual ~CObject();
    virtual void Serialize(CArchive& ar);
    virtual void AssertValid() const;
    virtual void Dump(CDumpContext& dc) const;

    /// True when this object's class is `cls` or derives from it.
    bool IsKindOf(const CRuntimeClass* cls) const;

    static CRuntimeClass classCObject;

protected:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};

/// The record of a class: KALVIO_RUNTIME_CLASS(CImage).
#define KALVIO_RUNTIME_CLASS(class_name) (&class_name::class##class_name)

/// Inside a class body: declares the record and GetRuntimeClass.
#define KALVIO_DECLARE_DYNAMIC(class_name)                 \
public:                                                    \
    static CRuntimeClass class##class_name;                \
    CRuntimeClass* GetRuntimeClass() const override

/// Inside a class body: as KALVIO_DECLARE_DYNAMIC, plus the static factory.
#define KALVIO_DECLARE_DYNCREATE(class_name)               \
    KALVIO_DECLARE_DYNAMIC(class_name);                    \
    static CObject* CreateObject()

#define KALVIO_IMPLEMENT_RUNTIMECLASS_(class_name, base_name, factory)                        \
    CRuntimeClass class_name::class##class_name = {#class_name, sizeof(class_name), 0,        \
                                                   factory, &base_name::class##base_name};    \
    CRuntimeClass* class_name::GetRuntimeClass() const { return &class##class_name; }         \
    static const CRuntimeClassRegistration kalvio_registration_##class_name(                  \
        &class_name::class##class_name)

/// In one source file: registers a class that cannot be created dynamically.
#define KALVIO_IMPLEMENT_DYNAMIC(class_name, base_name) \
    KALVIO_IMPLEMENT_RUNTIMECLASS_(class_name, base_name, nullptr)

/// In one source file: registers a dynamically creatable class (schema 0).
#define KALVIO_IMPLEMENT_DYNCREATE(class_name, base_name)                   \
    CObject* class_name::CreateObject() { return new class_name; }          \
    KALVIO_IMPLEMENT_RUNTIMECLASS_(class_name, base_name, class_name::CreateObject)

class CFile;

/// Minimal archive: the file it works on and its direction. Nothing in the
/// library serialises through it; it exists so that Serialize has its type.
class KALVIO_API CArchive {
public:
    enum Mode { store = 0, load = 1 };
    CArchive(CFile* file, unsigned int mode) : m_pFile(file), m_nMode(mode) {}
    bool IsStoring() const { return (m_nMode & load) == 0; }
    bool IsLoading() const { return (m_nMode & load) != 0; }
    CFile* GetFile() const { return m_pFile; }

private:
    CFile* m_pFile;
    unsigned int m_nMode;
};

/// Minimal dump context: collects the text written to it.
class KALVIO_API CDumpContext {
public:
    CDumpContext& operator<<(const char* text);
    CDumpContext& operator<<(int value);
    CDumpContext& operator<<(double value);
    const std::string& text() const { return m_strText; }

private:
    std::string m_strText;
};
