// Run-time class records, dynamic creation and the registry.
#include <kalvio/image.h>
#include <kalvio/object.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

// A class registered by a client of the library, outside it.
class CClientShape : public CObject {
    KALVIO_DECLARE_DYNCREATE(CClientShape);

public:
    int sides = 4;
};

KALVIO_IMPLEMENT_DYNCREATE(CClientShape, CObject);

}  // namespace

TEST(RuntimeClass, RecordsCarryNameSchemaAndBase) {
    const CRuntimeClass* object = KALVIO_RUNTIME_CLASS(CObject);
    EXPECT_STREQ(object->m_lpszClassName, "CObject");
    EXPECT_EQ(object->m_pBaseClass, nullptr);
    EXPECT_EQ(object->CreateObject(), nullptr) << "CObject itself is not creatable";

    const CRuntimeClass* shape = KALVIO_RUNTIME_CLASS(CClientShape);
    EXPECT_STREQ(shape->m_lpszClassName, "CClientShape");
    EXPECT_EQ(shape->m_wSchema, 0u);
    EXPECT_EQ(shape->m_nObjectSize, static_cast<int>(sizeof(CClientShape)));
    EXPECT_EQ(shape->m_pBaseClass, object);
}

TEST(RuntimeClass, DynamicCreationGivesDefaultObjectsOfTheRightClass) {
    std::unique_ptr<CObject> made(KALVIO_RUNTIME_CLASS(CClientShape)->CreateObject());
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->GetRuntimeClass(), KALVIO_RUNTIME_CLASS(CClientShape));
    EXPECT_EQ(static_cast<CClientShape*>(made.get())->sides, 4);

    std::unique_ptr<CObject> direct(CClientShape::CreateObject());
    EXPECT_TRUE(direct->IsKindOf(KALVIO_RUNTIME_CLASS(CObject)));
    EXPECT_FALSE(direct->IsKindOf(KALVIO_RUNTIME_CLASS(CImage)));
}

TEST(RuntimeClass, RegistryFindsLibraryAndClientClassesByName) {
    EXPECT_EQ(CRuntimeClass::FromName("CObject"), KALVIO_RUNTIME_CLASS(CObject));
    EXPECT_EQ(CRuntimeClass::FromName("CImage"), KALVIO_RUNTIME_CLASS(CImage));
    EXPECT_EQ(CRuntimeClass::FromName("CClientShape"), KALVIO_RUNTIME_CLASS(CClientShape));
    EXPECT_EQ(CRuntimeClass::FromName("CNoSuchClass"), nullptr);
    EXPECT_EQ(CRuntimeClass::FromName(nullptr), nullptr);
}

TEST(RuntimeClass, BaseSlotsDoNothing) {
    CClientShape shape;
    CArchive archive(nullptr, CArchive::store);
    EXPECT_TRUE(archive.IsStoring());
    shape.Serialize(archive);
    shape.AssertValid();
    CDumpContext dc;
    shape.Dump(dc);
    EXPECT_EQ(dc.text(), "");
    dc << "rows " << 3 << " mean " << 1.5;
    EXPECT_EQ(dc.text(), "rows 3 mean 1.5");
}
