#include "text/fixed_locale.h"

#include "frame/handles.h"

#include <clocale>
#include <cwchar>
#include <cwctype>
#include <new>

namespace ka {

struct FixedLocale {
    UniqueLibrary runtime;
    void* handle = nullptr;  // the universal runtime's _locale_t
    void(__cdecl* freeLocale)(void*) = nullptr;
    wint_t(__cdecl* toUpper)(wint_t, void*) = nullptr;
    wint_t(__cdecl* toLower)(wint_t, void*) = nullptr;
    int(__cdecl* compareNoCase)(const wchar_t*, const wchar_t*, void*) = nullptr;
    int(__cdecl* compareNoCaseN)(const wchar_t*, const wchar_t*, size_t, void*) = nullptr;
};

namespace {

template <typename F>
bool Resolve(HMODULE module, const char* name, F& function) {
    function = ResolveExport<F>(module, name);
    return function != nullptr;
}

}  // namespace

FixedLocale* CreateFixedLocale() {
    auto* locale = new (std::nothrow) FixedLocale();
    if (locale == nullptr) return nullptr;
    locale->runtime.reset(LoadSystemLibrary(L"ucrtbase.dll"));
    HMODULE crt = locale->runtime.get();
    void*(__cdecl * create)(int, const wchar_t*) = nullptr;
    if (crt != nullptr && Resolve(crt, "_wcreate_locale", create) &&
        Resolve(crt, "_free_locale", locale->freeLocale) &&
        Resolve(crt, "_towupper_l", locale->toUpper) &&
        Resolve(crt, "_towlower_l", locale->toLower) &&
        Resolve(crt, "_wcsicmp_l", locale->compareNoCase) &&
        Resolve(crt, "_wcsnicmp_l", locale->compareNoCaseN)) {
        locale->handle = create(LC_ALL, L"de-CH");
    }
    if (locale->handle == nullptr) {
        delete locale;
        return nullptr;
    }
    return locale;
}

void FreeFixedLocale(FixedLocale* locale) {
    if (locale == nullptr) return;
    locale->freeLocale(locale->handle);
    delete locale;
}

wchar_t LocaleToUpper(FixedLocale* locale, wchar_t unit) {
    return static_cast<wchar_t>(locale ? locale->toUpper(unit, locale->handle)
                                       : std::towupper(unit));
}

wchar_t LocaleToLower(FixedLocale* locale, wchar_t unit) {
    return static_cast<wchar_t>(locale ? locale->toLower(unit, locale->handle)
                                       : std::towlower(unit));
}

int LocaleCompareNoCase(FixedLocale* locale, const wchar_t* a, const wchar_t* b) {
    return locale ? locale->compareNoCase(a, b, locale->handle) : _wcsicmp(a, b);
}

int LocaleCompareNoCaseN(FixedLocale* locale, const wchar_t* a, const wchar_t* b, size_t count) {
    return locale ? locale->compareNoCaseN(a, b, count, locale->handle) : _wcsnicmp(a, b, count);
}

}  // namespace ka
