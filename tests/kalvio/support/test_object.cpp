// Run-time classes: creation by name, the class hierarchy and the registry,
// for the library's classes and for a client's.
#include <kalvio/dib.h>
#include <kalvio/image.h>
#include <kalvio/object.h>

#include <gtest/gtest.h>

#include <memory>
#include <utility>

namespace {

// Classes registered by a client of the library, outside it: a creatable
// class, one derived from it, and one that cannot be created.
class CClientShape : public CObject {
    KALVIO_DECLARE_DYNCREATE(CClientShape);

public:
    int sides = 4;
};

class CClientTriangle : public CClientShape {
    KALVIO_DECLARE_DYNCREATE(CClientTriangle);

public:
    CClientTriangle() { sides = 3; }
};

class CClientAbstract : public CObject {
    KALVIO_DECLARE_DYNAMIC(CClientAbstract);
};

KALVIO_IMPLEMENT_DYNCREATE(CClientShape, CObject);
KALVIO_IMPLEMENT_DYNCREATE(CClientTriangle, CClientShape);
KALVIO_IMPLEMENT_DYNAMIC(CClientAbstract, CObject);

// A new object of the class registered under `name`, or null.
std::unique_ptr<CObject> create(const char* name) {
    const CRuntimeClass* record = CRuntimeClass::FromName(name);
    return std::unique_ptr<CObject>(record ? record->CreateObject() : nullptr);
}

}  // namespace

TEST(RuntimeClass, CreationByNameGivesADefaultObjectOfThatClass) {
    const std::unique_ptr<CObject> triangle = create("CClientTriangle");
    ASSERT_NE(triangle, nullptr);
    EXPECT_EQ(triangle->GetRuntimeClass(), KALVIO_RUNTIME_CLASS(CClientTriangle));
    EXPECT_EQ(static_cast<CClientShape*>(triangle.get())->sides, 3)
        << "the derived class's constructor ran";

    // Classes registered inside the shared library are found from outside.
    for (const auto& [name, record] : {std::pair{"CImage", KALVIO_RUNTIME_CLASS(CImage)},
                                       std::pair{"CDib", KALVIO_RUNTIME_CLASS(CDib)}}) {
        const std::unique_ptr<CObject> made = create(name);
        ASSERT_NE(made, nullptr) << name;
        EXPECT_EQ(made->GetRuntimeClass(), record) << name;
    }
}

TEST(RuntimeClass, IsKindOfFollowsTheHierarchyUpwardOnly) {
    CClientTriangle triangle;
    CClientShape shape;
    const CObject& as_object = triangle;
    EXPECT_EQ(as_object.GetRuntimeClass(), KALVIO_RUNTIME_CLASS(CClientTriangle));
    EXPECT_TRUE(triangle.IsKindOf(KALVIO_RUNTIME_CLASS(CClientTriangle)));
    EXPECT_TRUE(triangle.IsKindOf(KALVIO_RUNTIME_CLASS(CClientShape)));
    EXPECT_TRUE(triangle.IsKindOf(KALVIO_RUNTIME_CLASS(CObject)));
    EXPECT_FALSE(shape.IsKindOf(KALVIO_RUNTIME_CLASS(CClientTriangle)));
    EXPECT_FALSE(triangle.IsKindOf(KALVIO_RUNTIME_CLASS(CImage)));
    EXPECT_FALSE(CClientAbstract().IsKindOf(KALVIO_RUNTIME_CLASS(CClientShape)));
    EXPECT_FALSE(triangle.IsKindOf(nullptr));
    EXPECT_TRUE(CImage().IsKindOf(KALVIO_RUNTIME_CLASS(CObject)));
}

TEST(RuntimeClass, UnknownNamesAndClassesWithoutFactoryGiveNull) {
    EXPECT_EQ(CRuntimeClass::FromName("CNoSuchClass"), nullptr);
    EXPECT_EQ(CRuntimeClass::FromName("CImag"), nullptr) << "names match whole";
    EXPECT_EQ(CRuntimeClass::FromName(nullptr), nullptr);
    EXPECT_EQ(create("CNoSuchClass"), nullptr);
    EXPECT_EQ(create("CObject"), nullptr);
    ASSERT_EQ(CRuntimeClass::FromName("CClientAbstract"), KALVIO_RUNTIME_CLASS(CClientAbstract));
    EXPECT_EQ(create("CClientAbstract"), nullptr);
}

TEST(DumpContext, CollectsTextAndNumbers) {
    CDumpContext dc;
    dc << "rows " << 3 << " mean " << 1.5 << static_cast<const char*>(nullptr);
    EXPECT_EQ(dc.text(), "rows 3 mean 1.5");
}
