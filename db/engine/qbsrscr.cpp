// The script file and the alias file: line rules, sections by engine name, the keyword table with
// its value checks, and aliases defined from lines that name existing folders.
#include "db/engine/qbsrscr.h"

#include "platform/Files.h"
#include "platform/Paths.h"
#include "platform/Text.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>

namespace {

enum class ValueKind { Text, Boolean, Number, Priority, DeleteScript };

struct Keyword {
    std::string_view Name;
    ValueKind Kind;
    bool TqbGeneralInfo::*Flag = nullptr;
    int32_t TqbGeneralInfo::*Int = nullptr;
    uint32_t TqbGeneralInfo::*UInt = nullptr;
    int64_t Min = 0, Max = 0;
};

using G = TqbGeneralInfo;
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();
constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

Keyword flag(std::string_view name, bool G::*field) {
    return {.Name = name, .Kind = ValueKind::Boolean, .Flag = field};
}
Keyword number(std::string_view name, int32_t G::*field, int64_t lo, int64_t hi) {
    return {.Name = name, .Kind = ValueKind::Number, .Int = field, .Min = lo, .Max = hi};
}
Keyword unsignedNumber(std::string_view name, uint32_t G::*field, int64_t lo, int64_t hi) {
    return {.Name = name, .Kind = ValueKind::Number, .UInt = field, .Min = lo, .Max = hi};
}

const std::array<Keyword, 22>& keywords() {
    static const std::array<Keyword, 22> table = {
        Keyword{.Name = "SERVERNAME", .Kind = ValueKind::Text},
        // The field holds 32 bits; anything larger is refused rather than wrapped.
        unsignedNumber("MAXRAM", &G::MaxRAM, 1, std::numeric_limits<uint32_t>::max()),
        flag("USESINGLEUSER", &G::UseSingleUser),
        flag("USEIPXSPX", &G::UseIPXSPX),
        flag("USETCPIP", &G::UseTCPIP),
        flag("USELOGIN", &G::IsSecure),
        flag("AUTOUPSERVER", &G::AutoUp),
        flag("AUTOMINIMIZE", &G::AutoMini),
        flag("IPXSPXLFB", &G::IPXSPXLFB),
        flag("TCPIPLFB", &G::TCPIPLFB),
        flag("ALLOWENCRYPT", &G::UseEncrypt),
        flag("READONLY", &G::ReadOnly),
        number("LASTMSGINTVAL", &G::LstMsgIntvl, kMinInterval, kMaxInterval),
        number("ALIVEINTERVAL", &G::KAInterval, kMinInterval, kMaxInterval),
        number("ALIVERETRIES", &G::KARetries, kMinRetries, kMaxRetries),
        Keyword{.Name = "PRIORITY", .Kind = ValueKind::Priority},
        Keyword{.Name = "DELETESCRIPT", .Kind = ValueKind::DeleteScript},
        number("TCPINTERFACE", &G::TCPInterface, kInt32Min, kInt32Max),
        flag("NOAUTOSAVECFG", &G::NoAutoSaveCfg),
        unsignedNumber("TEMPSTORESIZE", &G::TempStoreSize, kMinTempStore, kMaxTempStore),
        flag("COLLECTENABLD", &G::CollectEnabld),
        number("COLLECTFREQ", &G::CollectFreq, kMinCollectFreq, kMaxCollectFreq),
    };
    return table;
}

const Keyword* findKeyword(std::string_view upperKey) {
    for (const Keyword& k : keywords())
        if (k.Name == upperKey) return &k;
    return nullptr;
}

std::optional<bool> parseBoolean(std::string_view value) {
    const std::string v = plat::AsciiUpper(value);
    if (v == "1" || v == "YES" || v == "TRUE") return true;
    if (v == "0" || v == "NO" || v == "FALSE") return false;
    return std::nullopt;
}

// Decimal digits with an optional minus sign, nothing else (no blanks, no hexadecimal form).
// Values beyond 64 bits are not numbers.
std::optional<int64_t> parseNumber(std::string_view value) {
    int64_t n = 0;
    const char* end = value.data() + value.size();
    auto [p, ec] = std::from_chars(value.data(), end, n, 10);
    if (value.empty() || ec != std::errc() || p != end) return std::nullopt;
    return n;
}

int32_t parsePriority(std::string_view value) {
    static constexpr std::pair<std::string_view, int32_t> names[] = {
        {"LOWEST", -2}, {"BELOW NORMAL", -1}, {"NORMAL", 0},      {"ABOVE NORMAL", 1},
        {"HIGHEST", 2}, {"BELOWNORMAL", -1},  {"ABOVENORMAL", 1},
    };
    const std::string v = plat::AsciiUpper(value);
    for (const auto& [name, priority] : names)
        if (v == name) return priority;
    return 0;
}

bool isBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= ' ';
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && isBlankOrControl(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && isBlankOrControl(s.back()))
        s.remove_suffix(1);
    return s;
}

// KEY and VALUE around the first separator, when it stands at the second character or later
// and is not the last.
std::optional<TqbScriptPair> splitPair(std::string_view line, char separator) {
    const size_t at = line.find(separator);
    if (at == std::string_view::npos || at == 0 || at + 1 >= line.size()) return std::nullopt;
    return TqbScriptPair{std::string(line.substr(0, at)), std::string(line.substr(at + 1))};
}

} // namespace

std::vector<std::string_view> SplitTextLines(std::string_view Text) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    while (start < Text.size()) {
        const size_t end = Text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.push_back(Text.substr(start));
            break;
        }
        lines.push_back(Text.substr(start, end - start));
        start = end + (Text[end] == '\r' && end + 1 < Text.size() && Text[end + 1] == '\n' ? 2 : 1);
    }
    return lines;
}

std::vector<TqbScriptPair> ParseScript(std::string_view Text, std::string_view EngineName) {
    std::vector<TqbScriptPair> pairs;
    const std::string engine = plat::AsciiUpper(EngineName);
    bool applies = true; // until the first section header
    for (std::string_view line : SplitTextLines(Text)) {
        line = trimmed(line).substr(0, kMaxScriptLine);
        if (line.size() <= 2) continue;
        if (line.front() == '[' && line.find(']') == line.size() - 1) {
            applies = plat::AsciiUpper(line.substr(1, line.size() - 2)) == engine;
            continue;
        }
        if (!applies) continue;
        if (auto pair = splitPair(line, '=')) pairs.push_back(std::move(*pair));
    }
    return pairs;
}

std::vector<TqbScriptPair> ParseAliasFile(std::string_view Text) {
    std::vector<TqbScriptPair> pairs;
    for (std::string_view line : SplitTextLines(Text)) {
        if (line.size() <= 2) continue;
        auto pair = splitPair(line, ';');
        if (!pair) continue;
        // The value stays whole: a folder path cut short would name another folder.
        pair->Key.resize(std::min(pair->Key.size(), kMaxAliasName));
        pairs.push_back(std::move(*pair));
    }
    return pairs;
}

TqbScriptApplier::TqbScriptApplier(TqbServerConfiguration& Config, std::string EngineName,
                                   std::string ScriptFile, TqbScriptHooks Hooks)
    : config_(Config), engineName_(std::move(EngineName)), scriptFile_(std::move(ScriptFile)),
      hooks_(std::move(Hooks)) {}

void TqbScriptApplier::ApplyScriptItem(std::string_view Key, std::string_view Value) {
    const Keyword* k = findKeyword(plat::AsciiUpper(Key));
    if (!k) {
        // A path longer than the alias table keeps would be cut there and name another folder.
        if (Value.size() > kMaxAliasPath || !PathDirectoryExists(Value)) return;
        if (hooks_.AliasAdd)
            hooks_.AliasAdd(Key, Value);
        else
            config_.AddAlias(Key, Value);
        return;
    }
    switch (k->Kind) {
    case ValueKind::Text:
        config_.UpdateGeneralInfo([&](G& g) { g.ServerName.Set(Value); });
        return;
    case ValueKind::Priority:
        config_.UpdateGeneralInfo([&](G& g) { g.Priority = parsePriority(Value); });
        return;
    case ValueKind::Number: {
        const auto n = parseNumber(Value);
        if (!n || *n < k->Min || *n > k->Max) return;
        config_.UpdateGeneralInfo([&](G& g) {
            if (k->Int)
                g.*(k->Int) = int32_t(*n);
            else
                g.*(k->UInt) = uint32_t(*n);
        });
        return;
    }
    case ValueKind::Boolean: {
        const auto b = parseBoolean(Value);
        if (!b) return;
        config_.UpdateGeneralInfo([&](G& g) { g.*(k->Flag) = *b; });
        if (k->Flag == &G::ReadOnly && hooks_.ReadOnlyChanged) hooks_.ReadOnlyChanged();
        return;
    }
    case ValueKind::DeleteScript:
        if (parseBoolean(Value).value_or(false) && !scriptFile_.empty())
            plat::FileDelete(plat::ResolveCaseInsensitive(scriptFile_));
        return;
    }
}

void TqbScriptApplier::ApplyScriptText(std::string_view Text) {
    for (const TqbScriptPair& p : ParseScript(Text, engineName_))
        ApplyScriptItem(p.Key, p.Value);
}

void TqbScriptApplier::ApplyAliasText(std::string_view Text) {
    for (const TqbScriptPair& p : ParseAliasFile(Text))
        ApplyScriptItem(p.Key, p.Value);
}

namespace {
bool readWhole(std::string_view path, std::string& text) {
    if (path.empty()) return false;
    return plat::FileReadAll(plat::ResolveCaseInsensitive(path), text) == 0;
}
} // namespace

bool TqbScriptApplier::ProcessScriptFile() {
    std::string text;
    if (!readWhole(scriptFile_, text)) return false;
    ApplyScriptText(text);
    return true;
}

bool TqbScriptApplier::ProcessAliasFile(std::string_view Path) {
    std::string text;
    if (!readWhole(Path, text)) return false;
    ApplyAliasText(text);
    return true;
}
