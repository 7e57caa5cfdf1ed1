// Command tables of the extension controls: built-in tables, text files and property streams.
#include "controls/LncCmd.h"

#include "controls/LncExcpt.h"
#include "controls/LncSrMgr.h"
#include "platform/Text.h"

#include <cstdio>
#include <sstream>

// ---- command records ---------------------------------------------------------------------------

int32_t TLncCmdRec::StreamKey() const {
    uint32_t k = uint32_t(Key1) | uint32_t(Shift1) << 8 | uint32_t(Key2) << 16 | uint32_t(Shift2) << 24;
    return static_cast<int32_t>(k);
}

TLncCmdRec TLncCmdRec::FromStreamKey(int32_t Key, uint16_t Cmd) {
    uint32_t k = static_cast<uint32_t>(Key);
    return TLncCmdRec{uint8_t(k), uint8_t(k >> 8), uint8_t(k >> 16), uint8_t(k >> 24), Cmd};
}

// ---- built-in tables ---------------------------------------------------------------------------

namespace {

using Recs = std::vector<TLncCmdRec>;

Recs makeDefault() {
    Recs r = {{37, 0, 0, 0, 46}, {39, 0, 0, 0, 55}, {37, 4, 0, 0, 74}, {39, 4, 0, 0, 75}, {36, 0, 0, 0, 42},
              {35, 0, 0, 0, 16}, {46, 0, 0, 0, 10}, {8, 0, 0, 0, 1},   {8, 2, 0, 0, 1},   {33, 4, 0, 0, 71},
              {34, 4, 0, 0, 2},  {45, 0, 0, 0, 44}, {90, 4, 0, 0, 72}, {8, 8, 0, 0, 54},  {38, 0, 0, 0, 73},
              {40, 0, 0, 0, 15}, {13, 4, 0, 0, 47}, {37, 2, 0, 0, 20}, {39, 2, 0, 0, 23}, {36, 2, 0, 0, 19},
              {35, 2, 0, 0, 18}, {37, 6, 0, 0, 29}, {39, 6, 0, 0, 30}, {33, 2, 0, 0, 22}, {34, 2, 0, 0, 21},
              {38, 2, 0, 0, 24}, {40, 2, 0, 0, 17}, {36, 6, 0, 0, 26}, {35, 6, 0, 0, 27}, {33, 6, 0, 0, 28},
              {34, 6, 0, 0, 25}, {46, 2, 0, 0, 8},  {88, 4, 0, 0, 8},  {45, 4, 0, 0, 6},  {67, 4, 0, 0, 6},
              {45, 2, 0, 0, 51}, {86, 4, 0, 0, 51}, {33, 0, 0, 0, 52}, {34, 0, 0, 0, 48}, {36, 4, 0, 0, 31},
              {35, 4, 0, 0, 45}, {9, 0, 0, 0, 68},  {9, 4, 0, 0, 68},  {90, 6, 0, 0, 53}};
    for (uint8_t i = 0; i < 10; ++i)
        r.push_back({uint8_t(48 + i), 4, 0, 0, uint16_t(32 + i)});
    for (uint8_t i = 0; i < 10; ++i)
        r.push_back({uint8_t(48 + i), 6, 0, 0, uint16_t(58 + i)});
    return r;
}

Recs makeWordStar() {
    Recs r = {{83, 4, 0, 0, 46}, {68, 4, 0, 0, 55}, {69, 4, 0, 0, 73},    {88, 4, 0, 0, 15},
              {82, 4, 0, 0, 52}, {67, 4, 0, 0, 48}, {87, 4, 0, 0, 57},    {90, 4, 0, 0, 56},
              {65, 4, 0, 0, 74}, {70, 4, 0, 0, 75}, {81, 4, 83, 128, 42}, {81, 4, 68, 128, 16},
              {71, 4, 0, 0, 10}, {72, 4, 0, 0, 1},  {89, 4, 0, 0, 13},    {81, 4, 89, 128, 12},
              {86, 4, 0, 0, 44}, {84, 4, 0, 0, 14}, {80, 4, 0, 0, 7},     {81, 4, 76, 128, 54}};
    for (uint8_t i = 0; i < 10; ++i)
        r.push_back({81, 4, uint8_t(48 + i), 128, uint16_t(32 + i)});
    for (uint8_t i = 0; i < 10; ++i)
        r.push_back({75, 4, uint8_t(48 + i), 128, uint16_t(58 + i)});
    return r;
}

Recs makeGrid() {
    return {{37, 0, 0, 0, 46}, {39, 0, 0, 0, 55}, {37, 4, 0, 0, 49}, {39, 4, 0, 0, 50}, {36, 0, 0, 0, 42},
            {35, 0, 0, 0, 16}, {46, 0, 0, 0, 10}, {8, 0, 0, 0, 1},   {34, 4, 0, 0, 2},  {33, 4, 0, 0, 71},
            {45, 0, 0, 0, 44}, {90, 4, 0, 0, 54}, {38, 0, 0, 0, 73}, {40, 0, 0, 0, 15}, {37, 2, 0, 0, 20},
            {39, 2, 0, 0, 23}, {36, 2, 0, 0, 19}, {35, 2, 0, 0, 18}, {37, 6, 0, 0, 29}, {39, 6, 0, 0, 30},
            {33, 2, 0, 0, 22}, {34, 2, 0, 0, 21}, {38, 2, 0, 0, 24}, {40, 2, 0, 0, 17}, {36, 6, 0, 0, 26},
            {35, 6, 0, 0, 27}, {33, 6, 0, 0, 28}, {34, 6, 0, 0, 25}, {88, 4, 0, 0, 8},  {67, 4, 0, 0, 6},
            {86, 4, 0, 0, 51}, {33, 0, 0, 0, 52}, {36, 4, 0, 0, 31}, {34, 0, 0, 0, 48}, {35, 4, 0, 0, 45},
            {38, 4, 0, 0, 70}, {40, 4, 0, 0, 3},  {113, 0, 0, 0, 69}};
}

struct Builtin {
    uint32_t nameId;
    bool active;
    Recs recs;
};

const std::vector<Builtin>& builtins() {
    static const std::vector<Builtin> b = {
        {30275, true, makeDefault()}, {30276, false, makeWordStar()}, {30266, false, makeGrid()}};
    return b;
}

int indexOfKey(const Recs& recs, const TLncCmdRec& rec) {
    for (size_t i = 0; i < recs.size(); ++i)
        if (recs[i].SameKey(rec)) return static_cast<int>(i);
    return -1;
}

} // namespace

const std::vector<TLncCmdRec>* ctl::BuiltinCommands(const std::string& Name) {
    for (const auto& b : builtins())
        if (plat::SameTextAscii(Name, LncGetString(b.nameId))) return &b.recs;
    return nullptr;
}

// ---- TLncCommandTable --------------------------------------------------------------------------

TLncCommandTable::TLncCommandTable() : name_(LncGetString(30277)) {}

int TLncCommandTable::IndexOfKey(const TLncCmdRec& Rec) const {
    return indexOfKey(recs_, Rec);
}

namespace {

constexpr size_t kMaxLine = 255;

[[noreturn]] void fileError(const std::string& file, int line, const std::string& what, int code = 106) {
    std::string where = file + (line > 0 ? ", line " + std::to_string(line) : std::string());
    throw ctl::EInOutError(where + ": " + what, code);
}

// One decimal number from 0 to max.
bool parseNumber(const std::string& tok, long max, long& out) {
    if (tok.empty() || tok.size() > 6) return false;
    long v = 0;
    for (char c : tok) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v > max) return false;
    out = v;
    return true;
}

} // namespace

void TLncCommandTable::LoadFromFile(const std::string& FileName) {
    plat::File in;
    if (in.open(FileName, plat::kFileRead) != 0) fileError(FileName, 0, "cannot open the file", 2);
    char buf[4096];
    size_t have = 0, at = 0;
    uint64_t pos = 0;
    bool readFailed = false;
    auto get = [&](char& c) {
        if (at == have) {
            at = have = 0;
            if (readFailed || plat::Files().read(in.handle(), pos, buf, sizeof buf, have) != 0) {
                readFailed = true;
                have = 0;
            }
            pos += have;
            if (have == 0) return false;
        }
        c = buf[at++];
        return true;
    };
    std::string name;
    Recs recs;
    std::string line;
    int lineNo = 0;
    bool haveName = false;
    // Lines are read with a bound so that a file without line breaks cannot grow without limit.
    while (true) {
        line.clear();
        char c;
        bool any = false, tooLong = false;
        while (get(c)) {
            any = true;
            if (c == '\n') break;
            if (line.size() > kMaxLine) {
                tooLong = true;
                continue;
            }
            line += c;
        }
        if (!any) break;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (tooLong || line.size() > kMaxLine) fileError(FileName, lineNo, "line too long");
        if (!haveName) {
            if (line.empty()) fileError(FileName, lineNo, "missing table name");
            name = line;
            haveName = true;
            continue;
        }
        std::istringstream fields(line);
        std::vector<std::string> toks;
        std::string t;
        while (fields >> t)
            toks.push_back(t);
        if (toks.empty()) continue; // blank lines hold no record
        if (toks.size() != 5) fileError(FileName, lineNo, "expected five numbers");
        long v[5];
        for (int i = 0; i < 5; ++i)
            if (!parseNumber(toks[i], i == 4 ? 65535 : 255, v[i]))
                fileError(FileName, lineNo, "invalid numeric input");
        TLncCmdRec rec{uint8_t(v[0]), uint8_t(v[1]), uint8_t(v[2]), uint8_t(v[3]), uint16_t(v[4])};
        if (indexOfKey(recs, rec) >= 0) fileError(FileName, lineNo, LncGetString(30169));
        recs.push_back(rec);
    }
    if (readFailed) fileError(FileName, lineNo, "read error", 100);
    if (!haveName) fileError(FileName, 1, "missing table name");
    name_ = name;
    recs_ = std::move(recs);
}

void TLncCommandTable::SaveToFile(const std::string& FileName) const {
    if (name_.find_first_of("\r\n") != std::string::npos || name_.empty() || name_.size() > kMaxLine)
        fileError(FileName, 0, "the table name cannot be written as one line", 105);
    std::string out = name_ + "\r\n";
    char buf[40];
    for (const auto& r : recs_) {
        std::snprintf(buf, sizeof buf, "%4d%4d%4d%4d%6d\r\n", r.Key1, r.Shift1, r.Key2, r.Shift2, r.Cmd);
        out += buf;
    }
    plat::File f;
    if (f.open(FileName, plat::kFileWrite | plat::kFileCreate | plat::kFileTruncate) != 0)
        fileError(FileName, 0, "cannot create the file", 5);
    if (plat::FileWriteExact(f.handle(), 0, out.data(), out.size()) != 0 || f.close() != 0)
        fileError(FileName, 0, "write error", 101);
}

void TLncCommandTable::WriteCommandList(cls::TWriter& W) const {
    W.WriteString(name_);
    W.WriteBoolean(active_);
    W.WriteListBegin();
    if (const Recs* base = ctl::BuiltinCommands(name_)) {
        for (const auto& b : *base)
            if (IndexOfKey(b) < 0) {
                W.WriteInteger(b.StreamKey());
                W.WriteInteger(0);
            }
        for (const auto& r : recs_) {
            int at = indexOfKey(*base, r);
            if (at >= 0 && (*base)[at].Cmd == r.Cmd) continue;
            // Command 0 on a built-in key would read back as a deletion: a first pair deletes the
            // built-in record, the second adds the key again with command 0.
            if (at >= 0 && r.Cmd == 0) {
                W.WriteInteger(r.StreamKey());
                W.WriteInteger(0);
            }
            W.WriteInteger(r.StreamKey());
            W.WriteInteger(r.Cmd);
        }
    } else {
        for (const auto& r : recs_) {
            W.WriteInteger(r.StreamKey());
            W.WriteInteger(r.Cmd);
        }
    }
    W.WriteListEnd();
}

void TLncCommandTable::ReadCommandList(cls::TReader& R) {
    std::string name = R.ReadString();
    bool active = R.ReadBoolean();
    const Recs* base = ctl::BuiltinCommands(name);
    Recs recs = base ? *base : Recs{};
    R.ReadListBegin();
    while (!R.EndOfList()) {
        int32_t key = R.ReadInteger();
        int32_t cmd = R.ReadInteger();
        if (cmd < 0 || cmd > 65535)
            throw cls::EReadError("Command number out of range: " + std::to_string(cmd));
        TLncCmdRec rec = TLncCmdRec::FromStreamKey(key, uint16_t(cmd));
        int at = indexOfKey(recs, rec);
        if (base) {
            if (at < 0) {
                recs.push_back(rec);
            } else if (cmd == 0) {
                recs.erase(recs.begin() + at);
            } else {
                recs[at].Cmd = rec.Cmd;
            }
        } else {
            if (at >= 0) throw cls::EReadError(LncGetString(30169) + " (\"" + name + "\")");
            recs.push_back(rec);
        }
    }
    R.ReadListEnd();
    name_ = name;
    active_ = active;
    recs_ = std::move(recs);
}

// ---- TLncCommandProcessor ----------------------------------------------------------------------

TLncCommandProcessor::TLncCommandProcessor() {
    for (const auto& b : builtins()) {
        TLncCommandTable* t = AddTable(LncGetString(b.nameId), b.active);
        for (const auto& r : b.recs)
            t->AddRec(r);
    }
}

bool TLncCommandProcessor::nameTaken(const std::string& Name) const {
    return GetTable(Name) != nullptr;
}

std::string TLncCommandProcessor::UniqueTableName(const std::string& Name) const {
    std::string cut = Name;
    while (cut.size() >= 2 && cut.back() >= '0' && cut.back() <= '9')
        cut.pop_back();
    // A free cut name keeps the given name, digits and all, unless that name is taken itself.
    if (!nameTaken(cut) && !nameTaken(Name)) return Name;
    for (uint64_t n = 1;; ++n) {
        std::string candidate = cut + std::to_string(n);
        if (!nameTaken(candidate)) return candidate;
    }
}

TLncCommandTable* TLncCommandProcessor::AddTable(const std::string& Name, bool Active) {
    auto t = std::make_unique<TLncCommandTable>();
    t->SetTableName(UniqueTableName(Name));
    t->SetIsActive(Active);
    tables_.push_back(std::move(t));
    return tables_.back().get();
}

TLncCommandTable* TLncCommandProcessor::GetTable(const std::string& Name) const {
    std::string up = plat::AsciiUpper(Name);
    for (const auto& t : tables_)
        if (plat::AsciiUpper(t->TableName()) == up) return t.get();
    return nullptr;
}

void TLncCommandProcessor::AddCommand(const std::string& TableName, const TLncCmdRec& Rec) {
    TLncCommandTable* t = GetTable(TableName);
    if (!t) throw ETableNotFound();
    if (t->IndexOfKey(Rec) >= 0) throw EDuplicateCommand();
    t->AddRec(Rec);
}

int TLncCommandProcessor::LoadCommandTable(const std::string& FileName) {
    auto t = std::make_unique<TLncCommandTable>();
    t->LoadFromFile(FileName); // a failure frees the new table and leaves the processor as it was
    t->SetTableName(UniqueTableName(t->TableName()));
    tables_.push_back(std::move(t));
    return Count() - 1;
}

void TLncCommandProcessor::SaveCommandTable(const std::string& TableName, const std::string& FileName) const {
    if (TLncCommandTable* t = GetTable(TableName)) t->SaveToFile(FileName);
}

void TLncCommandProcessor::WriteTableList(cls::TWriter& W) const {
    W.WriteListBegin();
    for (const auto& t : tables_)
        t->WriteCommandList(W);
    W.WriteListEnd();
}

void TLncCommandProcessor::ReadTableList(cls::TReader& R) {
    TLncCommandProcessor read(NoTables{});
    R.ReadListBegin();
    while (!R.EndOfList()) {
        TLncCommandTable t;
        t.ReadCommandList(R);
        TLncCommandTable* added = read.AddTable(t.TableName(), t.IsActive());
        for (int i = 0; i < t.Count(); ++i)
            added->AddRec(t.Commands(i));
    }
    R.ReadListEnd();
    tables_ = std::move(read.tables_);
}
