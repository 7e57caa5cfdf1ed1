// Reader of the controls' "STR0" string tables and the library's message table.
#include "controls/LncSrMgr.h"

#include "controls/LncExcpt.h"
#include "platform/Text.h"

namespace {

// Texts of the reader's own errors, with one "%d" or "%s" filled in.
std::string loaderText(uint32_t id, const std::string& arg) {
    pw_controls_strings();
    std::string text;
    if (auto res = plat::FindResource("LNCSRMGR_STRINGS")) {
        plat::StringTable t(res->data, res->size);
        if (auto s = t.FindAnsi(id)) text = *s;
    }
    if (text.empty()) text = "String resource error %s";
    for (const char* spec : {"%d", "%s"}) {
        auto at = text.find(spec);
        if (at != std::string::npos) {
            text.replace(at, 2, arg);
            break;
        }
    }
    return text;
}

} // namespace

TLncStringResource::TLncStringResource(const std::string& ResourceName) {
    OpenResource(ResourceName);
}

void TLncStringResource::ChangeResource(const std::string& ResourceName) {
    CloseResource();
    if (!ResourceName.empty()) OpenResource(ResourceName);
}

void TLncStringResource::OpenResource(const std::string& name) {
    pw_controls_strings();
    // Resource names are at most 255 characters.
    std::string n = name.substr(0, 255);
    auto res = plat::FindResource(n);
    if (!res) throw EHgsStringResourceError(loaderText(3, n));
    plat::StringTable t(res->data, res->size);
    if (!t.HasSignature() || !t.Valid()) throw EHgsStringResourceError(loaderText(5, n));
    table_ = t;
    name_ = n;
    open_ = true;
}

void TLncStringResource::CloseResource() {
    table_ = plat::StringTable();
    name_.clear();
    open_ = false;
}

std::string TLncStringResource::GetText(uint32_t Id) const {
    auto s = open_ ? table_.FindAnsi(Id) : std::nullopt;
    if (!s) {
        if (RaiseIfMissing) throw EHgsStringResourceError(loaderText(1, std::to_string(Id)));
        return {};
    }
    return *s;
}

char* TLncStringResource::GetTextBuf(uint32_t Id, char* Buffer, size_t Size) const {
    if (!Buffer || Size == 0) return Buffer;
    std::u16string wide;
    if (open_) {
        if (auto s = table_.Find(Id)) wide = *s;
    }
    // Windows-1252 gives one byte per UTF-16 unit, so shortening by units is shortening by bytes.
    std::string text = plat::Utf16ToAnsi(wide);
    if (text.size() > Size - 1) text.resize(Size - 1);
    std::copy(text.begin(), text.end(), Buffer);
    Buffer[text.size()] = '\0';
    return Buffer;
}

const TLncStringResource& LncLibraryStrings() {
    static const TLncStringResource strings("LANTERNE3_STRINGS_ENGLISH");
    return strings;
}

std::string LncGetString(uint32_t Id) {
    std::string s = LncLibraryStrings().GetText(Id);
    return s.empty() ? std::string("Unknown") : s;
}
