// The fixed "de-CH" locale behind KaStringUtil's case mapping and
// case-insensitive comparison, independent of the process's current locale.
//
// The msvcrt runtime we link cannot create a locale from a name like "de-CH"
// (it answers null under Wine and on older systems), so the locale comes from
// the universal runtime (ucrtbase.dll), loaded at run time, together with the
// _l functions that take it. Without it every call falls back to our own
// runtime's current locale.
#ifndef KA_TEXT_FIXED_LOCALE_H
#define KA_TEXT_FIXED_LOCALE_H

#include <cstddef>

namespace ka {

struct FixedLocale;

FixedLocale* CreateFixedLocale();
void FreeFixedLocale(FixedLocale* locale);

// locale may be null: the runtime's current locale applies.
wchar_t LocaleToUpper(FixedLocale* locale, wchar_t unit);
wchar_t LocaleToLower(FixedLocale* locale, wchar_t unit);
int LocaleCompareNoCase(FixedLocale* locale, const wchar_t* a, const wchar_t* b);
int LocaleCompareNoCaseN(FixedLocale* locale, const wchar_t* a, const wchar_t* b, size_t count);

}  // namespace ka

#endif
