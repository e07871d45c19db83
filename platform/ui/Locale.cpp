#include "platform/Locale.h"

#include <unicode/ucnv.h>
#include <unicode/uloc.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace platform {
namespace {

constexpr uint32_t kEnglishUs = 1033;

const char *converterName(uint32_t codePage) {
    switch (codePage) {
    case 950: return "windows-950";
    case 936: return "windows-936";
    case 949: return "windows-949";
    case 932: return "windows-932";
    default: return "windows-1252";
    }
}

struct ConverterCloser {
    void operator()(UConverter *c) const { ucnv_close(c); }
};
using Converter = std::unique_ptr<UConverter, ConverterCloser>;

Converter openConverter(uint32_t codePage) {
    UErrorCode status = U_ZERO_ERROR;
    Converter c(ucnv_open(converterName(codePage), &status));
    if (U_FAILURE(status)) return nullptr;
    return c;
}

} // namespace

uint32_t lcidForLocale(const std::string &posixLocale) {
    std::string name = posixLocale;
    size_t cut = name.find_first_of(".@");
    if (cut != std::string::npos) name.resize(cut);
    if (name.empty() || name == "C" || name == "POSIX") return kEnglishUs;
    uint32_t lcid = uloc_getLCID(name.c_str());
    return lcid ? lcid : kEnglishUs;
}

uint32_t userDefaultLcid() {
    for (const char *var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *v = std::getenv(var);
        if (v && *v) return lcidForLocale(v);
    }
    return kEnglishUs;
}

uint32_t ansiCodePage(uint32_t lcid) {
    switch (lcid & 0x3FF) {                                           // the primary language
    case 0x04: return (lcid == 0x0804 || lcid == 0x1004) ? 936 : 950; // Chinese: PRC and Singapore use GBK
    case 0x12: return 949;
    case 0x11: return 932;
    default: return 1252;
    }
}

std::string decodeCodePage(const std::string &bytes, uint32_t codePage) {
    Converter c = openConverter(codePage);
    if (!c || bytes.empty()) return c ? std::string() : bytes;
    UErrorCode status = U_ZERO_ERROR;
    std::vector<UChar> u16(bytes.size() * 2 + 4);
    int32_t n = ucnv_toUChars(c.get(), u16.data(), int32_t(u16.size()), bytes.data(), int32_t(bytes.size()), &status);
    if (U_FAILURE(status)) return bytes;
    Converter utf8 = nullptr;
    status = U_ZERO_ERROR;
    utf8.reset(ucnv_open("UTF-8", &status));
    std::string out(size_t(n) * 3 + 4, '\0');
    int32_t m = ucnv_fromUChars(utf8.get(), out.data(), int32_t(out.size()), u16.data(), n, &status);
    if (U_FAILURE(status)) return bytes;
    out.resize(size_t(m));
    return out;
}

std::string encodeCodePage(const std::string &utf8, uint32_t codePage) {
    Converter c = openConverter(codePage);
    if (!c || utf8.empty()) return c ? std::string() : utf8;
    UErrorCode status = U_ZERO_ERROR;
    Converter from(ucnv_open("UTF-8", &status));
    std::vector<UChar> u16(utf8.size() + 4);
    int32_t n = ucnv_toUChars(from.get(), u16.data(), int32_t(u16.size()), utf8.data(), int32_t(utf8.size()), &status);
    if (U_FAILURE(status)) return utf8;
    status = U_ZERO_ERROR;
    ucnv_setSubstChars(c.get(), "?", 1, &status);
    status = U_ZERO_ERROR;
    std::string out(size_t(n) * 4 + 4, '\0');
    int32_t m = ucnv_fromUChars(c.get(), out.data(), int32_t(out.size()), u16.data(), n, &status);
    if (U_FAILURE(status)) return utf8;
    out.resize(size_t(m));
    return out;
}

bool encodeCodePageStrictly(const std::string &utf8, uint32_t codePage, std::string *out) {
    out->clear();
    if (utf8.empty()) return true;
    UErrorCode status = U_ZERO_ERROR;
    Converter to = openConverter(codePage);
    Converter from(ucnv_open("UTF-8", &status));
    if (!to || U_FAILURE(status)) return false;
    // Stop at the first thing that does not convert, instead of putting in a
    // substitute or, by ICU's fallbacks, a look-alike.
    ucnv_setToUCallBack(from.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setFromUCallBack(to.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &status);
    ucnv_setFallback(to.get(), false);
    std::vector<UChar> u16(utf8.size() + 4);
    std::string bytes(utf8.size() * 2 + 4, '\0');
    int32_t n = 0, m = 0;
    if (U_SUCCESS(status))
        n = ucnv_toUChars(from.get(), u16.data(), int32_t(u16.size()), utf8.data(), int32_t(utf8.size()), &status);
    if (U_SUCCESS(status)) m = ucnv_fromUChars(to.get(), bytes.data(), int32_t(bytes.size()), u16.data(), n, &status);
    // The text may be a password: no copy of it is left behind.
    explicit_bzero(u16.data(), u16.size() * sizeof(UChar));
    if (U_FAILURE(status)) {
        explicit_bzero(bytes.data(), bytes.size());
        return false;
    }
    out->assign(bytes.data(), size_t(m));
    explicit_bzero(bytes.data(), bytes.size());
    return true;
}

} // namespace platform
