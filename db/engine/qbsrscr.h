// The script file and the alias file: lines of settings and aliases that the engine applies to its
// configuration at start-up, after the configuration tables were read.
#pragma once
#include "db/engine/qbsrcfg.h"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Beside the program file.
inline constexpr char kAliasFileName[] = "QBAlias.sc$";
// Longest script line; the rest of a longer one is dropped.
inline constexpr size_t kMaxScriptLine = 255;

// What applying settings needs of the engine.
struct TqbScriptHooks {
    // The engine's alias-add operation; when empty, the configuration's AddAlias. Its result
    // (10009 for a name already there, say) is its own and goes no further.
    std::function<TqbResultCode(std::string_view Name, std::string_view Path)> AliasAdd;
    // Runs after READONLY was applied, so that the engine recomputes its logging flag.
    std::function<void()> ReadOnlyChanged;
};

struct TqbScriptPair {
    std::string Key, Value;
    bool operator==(const TqbScriptPair&) const = default;
};

// The lines of a text as a text reader gives them: ended by CR LF, LF or CR alone.
std::vector<std::string_view> SplitTextLines(std::string_view Text);
// The pairs of a script that apply to the engine component named EngineName, in order.
std::vector<TqbScriptPair> ParseScript(std::string_view Text, std::string_view EngineName);
// The pairs of an alias file, in order.
std::vector<TqbScriptPair> ParseAliasFile(std::string_view Text);

// Applies script and alias-file lines to one configuration. Nothing is reported: a line that
// is bad in any way is skipped.
class TqbScriptApplier {
public:
    // EngineName: the engine component's name, which picks the script's sections. ScriptFile:
    // the engine's script file (relative to the current folder unless absolute), which
    // DELETESCRIPT deletes.
    TqbScriptApplier(TqbServerConfiguration& Config, std::string EngineName, std::string ScriptFile,
                     TqbScriptHooks Hooks = {});

    // One setting: a keyword changes its general-info field; any other key defines an alias
    // when the value names an existing folder.
    void ApplyScriptItem(std::string_view Key, std::string_view Value);
    void ApplyScriptText(std::string_view Text);
    void ApplyAliasText(std::string_view Text);
    // The whole file is read before any line is applied. False when there is no file to read.
    bool ProcessScriptFile();
    bool ProcessAliasFile(std::string_view Path);

private:
    TqbServerConfiguration& config_;
    std::string engineName_;
    std::string scriptFile_;
    TqbScriptHooks hooks_;
};
