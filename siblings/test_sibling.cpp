// One small sibling module, built several times with different settings, so
// the loader can be tried against every way a sibling can fail:
//   KA_SIBLING_NO_EXPORT   no KaGetModule export at all
//   KA_SIBLING_NULL_ROOT   KaGetModule returns null
//   KA_SIBLING_VERSION     the interface version it reports
//   KA_SIBLING_INIT        what Initialize answers
#include "ka/siblings.h"

#ifndef KA_SIBLING_VERSION
#define KA_SIBLING_VERSION 118
#endif
#ifndef KA_SIBLING_INIT
#define KA_SIBLING_INIT true
#endif

namespace {

class TestSibling final : public KaModuleRoot {
public:
    bool Initialize() override { return KA_SIBLING_INIT; }
    void SlotReserved1() override {}
    int GetVersion() override { return KA_SIBLING_VERSION; }
};

// Unused in the variant whose KaGetModule answers null.
[[maybe_unused]] TestSibling g_root;

}  // namespace

#if defined(KA_SIBLING_NO_EXPORT)
extern "C" __declspec(dllexport) int KaSomethingElse() { return g_root.GetVersion(); }
#elif defined(KA_SIBLING_NULL_ROOT)
extern "C" __declspec(dllexport) KaModuleRoot* KaGetModule() { return nullptr; }
#else
extern "C" __declspec(dllexport) KaModuleRoot* KaGetModule() { return &g_root; }
#endif
