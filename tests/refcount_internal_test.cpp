// The reference count and the creating-operation dance every object class
// shares, on a real KaObject class.
#include "frame/ref_counted.h"
#include "ka/text.h"

#include <gtest/gtest.h>

namespace {

int g_destroyed = 0;

class Probe final : public ka::RefCounted<Probe, KaRegex> {
public:
    ~Probe() { ++g_destroyed; }
};

TEST(RefCounted, CountsAndDestroysAtZero) {
    g_destroyed = 0;
    auto* p = ka::NewObject<Probe>();
    EXPECT_EQ(p->GetRefCount(), 0) << "a new object starts at zero";
    p->AddRef();
    p->AddRef();
    EXPECT_EQ(p->Release(), 1);
    EXPECT_EQ(g_destroyed, 0);
    EXPECT_EQ(p->Release(), 0);
    EXPECT_EQ(g_destroyed, 1);
    // The count sits right after the table pointer, where other compilers'
    // hosts expect it.
    auto* q = ka::NewObject<Probe>();
    q->AddRef();
    EXPECT_EQ(*reinterpret_cast<int32_t*>(reinterpret_cast<char*>(q) + sizeof(void*)), 1);
    q->Release();
}

TEST(RefCounted, HandOutGivesExactlyOneReferenceOrNothing) {
    g_destroyed = 0;
    KaRegex* out = nullptr;
    EXPECT_TRUE(ka::HandOut(ka::NewObject<Probe>(), &out, [](Probe& p) {
        return p.GetRefCount() == 1;  // init runs while the working reference is held
    }));
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->GetRefCount(), 1);
    EXPECT_EQ(out->Release(), 0);
    EXPECT_EQ(g_destroyed, 1);

    KaRegex* untouched = reinterpret_cast<KaRegex*>(0x1234);
    EXPECT_FALSE(ka::HandOut(ka::NewObject<Probe>(), &untouched, [](Probe&) { return false; }));
    EXPECT_EQ(untouched, reinterpret_cast<KaRegex*>(0x1234)) << "out is left alone on failure";
    EXPECT_EQ(g_destroyed, 2) << "a failed object is destroyed at once";
}

}  // namespace
