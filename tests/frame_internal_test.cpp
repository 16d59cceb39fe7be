// Library code must reach other services through the registered system
// interface, never through the module object. Linked in directly, so a
// counting interface can be registered in its place.
#include "frame/services.h"
#include "frame/win32_util.h"
#include "support/ka_test.h"

#include <gtest/gtest.h>

extern "C" KaSystem* KaGetModule();

namespace {

// Forwards every slot to the real root and counts the ones services use.
class CountingSystem final : public KaSystem {
public:
    explicit CountingSystem(KaSystem* real) : real_(real) {}
    int allocations = 0, frees = 0, loggers = 0, textServices = 0;

    bool Initialize() override { return real_->Initialize(); }
    void Uninitialize() override { real_->Uninitialize(); }
    int GetVersion() override { return real_->GetVersion(); }
    void SetThreadValue(uint32_t v) override { real_->SetThreadValue(v); }
    uint32_t GetThreadValue() override { return real_->GetThreadValue(); }
    void* Allocate(size_t n) override {
        ++allocations;
        return real_->Allocate(n);
    }
    void* AllocateArray(size_t c, size_t s) override {
        ++allocations;
        return real_->AllocateArray(c, s);
    }
    intptr_t ForwardAllocatorSlot6(...) override { return real_->ForwardAllocatorSlot6(); }
    void Free(void* p) override {
        ++frees;
        real_->Free(p);
    }
    bool CreateMemoryMappedFile(KaMemoryMappedFile** o, const wchar_t* n, size_t s) override {
        return real_->CreateMemoryMappedFile(o, n, s);
    }
    bool CreateUuid(UuidRecord* r) override { return real_->CreateUuid(r); }
    KaStringUtil* GetStringUtil() override {
        ++textServices;
        return real_->GetStringUtil();
    }
    KaLog* GetLogger() override {
        ++loggers;
        return real_->GetLogger();
    }
    bool CreateLogger(const wchar_t* p, KaLog** o) override { return real_->CreateLogger(p, o); }
    KaProcessService* GetProcessService() override { return real_->GetProcessService(); }
    KaSha1* GetHasher() override { return real_->GetHasher(); }
    KaFileSystem* GetFileSystem() override { return real_->GetFileSystem(); }
    KaEnvironmentInfo* GetEnvironmentInfo() override { return real_->GetEnvironmentInfo(); }
    bool CreateWorkerThread(KaWorkerThread** o) override { return real_->CreateWorkerThread(o); }
    bool CreateThreadPool(int n, KaThreadPool** o) override {
        return real_->CreateThreadPool(n, o);
    }
    bool CreateTaskRunner(int n, KaTaskRunner** o) override {
        return real_->CreateTaskRunner(n, o);
    }
    KaFileStreamFactory* GetFileStreams() override { return real_->GetFileStreams(); }
    bool Reserved22() override { return real_->Reserved22(); }
    bool ReadIniFile(const wchar_t* p, uint32_t c, void* x, IniValueCallback cb) override {
        return real_->ReadIniFile(p, c, x, cb);
    }
    bool CreateJsonDocument(KaJson** o) override { return real_->CreateJsonDocument(o); }
    bool SetLastErrorMessage(const wchar_t* m) override { return real_->SetLastErrorMessage(m); }
    bool GetLastErrorMessage(wchar_t** o) override { return real_->GetLastErrorMessage(o); }
    KaCpuUsageCounter* GetCpuUsageCounter() override { return real_->GetCpuUsageCounter(); }
    bool CreateMutex(KaMutex** o, const wchar_t* n) override { return real_->CreateMutex(o, n); }
    void* Reserved29() override { return real_->Reserved29(); }

private:
    KaSystem* real_;
};

TEST(Registration, ServicesGoThroughTheRegisteredInterface) {
    KaSystem* root = KaGetModule();
    EXPECT_EQ(ka::System(), root) << "unregistered: the module's own root stands in";

    CountingSystem counting(root);
    ka::RegisterSystem(&counting);
    EXPECT_EQ(ka::System(), &counting);

    wchar_t* wide = nullptr;
    ASSERT_TRUE(root->GetStringUtil()->MultiByteToWide("abc", CP_UTF8, &wide));
    EXPECT_EQ(counting.allocations, 1) << "the caller's buffer came from the registered Allocate";
    counting.Free(wide);
    KaString* text = nullptr;
    ASSERT_TRUE(root->GetStringUtil()->CreateString(L"x", &text));
    KaString* copy = nullptr;
    ASSERT_TRUE(text->Clone(&copy));
    EXPECT_EQ(counting.textServices, 1) << "Clone reached the text service through it";
    copy->Release();
    text->Release();

    katest::TempDir dir;
    int before = counting.allocations;
    EXPECT_TRUE(root->GetFileSystem()->CreateDirectories(dir.File(L"a\\b").c_str()));
    EXPECT_EQ(counting.allocations, before + 1);
    EXPECT_EQ(counting.frees, 2);
    EXPECT_FALSE(root->GetFileSystem()->CreateDirectories(L""));  // logs "Input path is empty."
    EXPECT_GE(counting.loggers, 1) << "the message went to the registered interface's logger";

    // Initialize registers the root it is called on; Uninitialize clears it.
    EXPECT_TRUE(root->Initialize());
    EXPECT_EQ(ka::System(), root);
    int allocations = counting.allocations;
    ASSERT_TRUE(root->GetStringUtil()->MultiByteToWide("abc", CP_UTF8, &wide));
    root->Free(wide);
    EXPECT_EQ(counting.allocations, allocations) << "no longer registered";
    ka::RegisterSystem(&counting);
    root->Uninitialize();
    EXPECT_EQ(ka::System(), root) << "cleared, and the module's root stands in again";
}

// A message with inserts is given as it stands, "%1" and all, not as an empty text.
TEST(SystemErrorText, MessagesWithInsertsKeepTheirText) {
    std::wstring text = ka::SystemErrorText(ERROR_BAD_EXE_FORMAT);
    EXPECT_NE(text.find(L"%1"), text.npos) << "error 193 gave \"" << katest::Narrow(text) << "\"";
    EXPECT_FALSE(ka::SystemErrorText(ERROR_ACCESS_DENIED).empty());
}

}  // namespace
