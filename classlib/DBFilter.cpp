// Filter-expression builder (text to bytes) and the native kinds of dataset fields.
#include "classlib/DBFilter.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

namespace cls {

std::vector<TFilterField> FilterFieldsOf(const TFields& fields) {
    std::vector<TFilterField> r;
    for (TField* f : fields)
        if (f->FieldKind() == fkData && f->FieldNo() > 0)
            r.push_back({f->FieldName(), f->FieldNo(), f->DataType()});
    return r;
}

std::vector<uint8_t> EmptyFilterExpression() {
    return {2, 0, 10, 0, 0, 0, 0, 0, 0, 0};
}

// ======================= builder =======================

namespace {

[[noreturn]] void syntaxError(const std::string& what, size_t pos) {
    throw EFilterError("Filter expression: " + what + " at position " + std::to_string(pos + 1));
}

enum TokKind { tkEnd, tkName, tkString, tkNumber, tkOp, tkLParen, tkRParen, tkMinus };

struct Token {
    TokKind kind = tkEnd;
    std::string text; // name, string value, number text or operator
    size_t pos = 0;
    bool bracketed = false;
};

bool isNameStart(unsigned char c) {
    return std::isalpha(c) || c == '_' || c >= 0x80;
}
bool isNameChar(unsigned char c) {
    return isNameStart(c) || (c >= '0' && c <= '9');
}

class Lexer {
public:
    explicit Lexer(std::string_view s) : s_(s) {}

    Token next() {
        while (i_ < s_.size() && static_cast<unsigned char>(s_[i_]) <= ' ')
            ++i_;
        Token t;
        t.pos = i_;
        if (i_ >= s_.size()) return t;
        unsigned char c = static_cast<unsigned char>(s_[i_]);
        if (c == '(' || c == ')') {
            t.kind = c == '(' ? tkLParen : tkRParen;
            ++i_;
        } else if (c == '-') {
            t.kind = tkMinus;
            ++i_;
        } else if (c == '=' || c == '<' || c == '>') {
            t.kind = tkOp;
            t.text = std::string(1, static_cast<char>(c));
            ++i_;
            if (i_ < s_.size() && (s_[i_] == '=' || (c == '<' && s_[i_] == '>')) && c != '=')
                t.text += s_[i_++];
        } else if (c == '\'' || c == '"') {
            t.kind = tkString;
            ++i_;
            for (;;) {
                if (i_ >= s_.size()) syntaxError("unterminated string", t.pos);
                if (static_cast<unsigned char>(s_[i_]) == c) {
                    if (i_ + 1 < s_.size() && static_cast<unsigned char>(s_[i_ + 1]) == c) {
                        t.text += s_[i_];
                        i_ += 2;
                        continue;
                    }
                    ++i_;
                    break;
                }
                t.text += s_[i_++];
            }
        } else if (c == '[') {
            t.kind = tkName;
            t.bracketed = true;
            size_t end = s_.find(']', i_ + 1);
            if (end == std::string_view::npos) syntaxError("missing ']'", t.pos);
            t.text = std::string(s_.substr(i_ + 1, end - i_ - 1));
            if (t.text.empty()) syntaxError("empty field name", t.pos);
            i_ = end + 1;
        } else if ((c >= '0' && c <= '9') || c == '.') {
            t.kind = tkNumber;
            size_t start = i_;
            while (i_ < s_.size() && ((s_[i_] >= '0' && s_[i_] <= '9') || s_[i_] == '.'))
                ++i_;
            if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
                size_t j = i_ + 1;
                if (j < s_.size() && (s_[j] == '+' || s_[j] == '-')) ++j;
                if (j < s_.size() && s_[j] >= '0' && s_[j] <= '9') {
                    i_ = j;
                    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9')
                        ++i_;
                }
            }
            t.text = std::string(s_.substr(start, i_ - start));
            if (i_ < s_.size() && isNameStart(static_cast<unsigned char>(s_[i_])))
                syntaxError("invalid number", start);
        } else if (isNameStart(c)) {
            t.kind = tkName;
            size_t start = i_;
            while (i_ < s_.size() && isNameChar(static_cast<unsigned char>(s_[i_])))
                ++i_;
            t.text = std::string(s_.substr(start, i_ - start));
        } else
            syntaxError(std::string("unexpected character '") + static_cast<char>(c) + "'", i_);
        return t;
    }

private:
    std::string_view s_;
    size_t i_ = 0;
};

struct Ast {
    enum Kind { Unary, Binary, Field, Const } kind;
    uint32_t op = 0;
    std::unique_ptr<Ast> a, b;
    bool compareNode = false; // binary comparison written as a compare node
    uint16_t caseInsensitive = 0, partial = 0;
    // field
    int fieldNo = 0;
    std::string name;
    TFieldType fieldType = ftUnknown;
    // constant: the literal as written, then typed into type/bytes
    enum Lit { LitString, LitNumber, LitBool } lit = LitString;
    std::string text;
    bool boolValue = false;
    size_t pos = 0;
    uint16_t constType = 0;
    std::string bytes;

    explicit Ast(Kind k) : kind(k) {}
};
using AstPtr = std::unique_ptr<Ast>;

bool isTextType(TFieldType t) {
    return t == ftString || t == ftFixedChar || t == ftWideString || t == ftMemo || t == ftFmtMemo;
}

template <typename T> std::string rawBytes(T v) {
    std::string s(sizeof(T), '\0');
    std::memcpy(s.data(), &v, sizeof(T));
    return s;
}

class Parser {
public:
    Parser(std::string_view text, TFilterOptions options, const std::vector<TFilterField>& fields)
        : lex_(text), options_(options), fields_(fields) {
        tok_ = lex_.next();
    }

    AstPtr parse() {
        AstPtr e = parseOr(0);
        if (tok_.kind != tkEnd) syntaxError("unexpected '" + tokenText() + "'", tok_.pos);
        return e;
    }

private:
    static constexpr int kMaxNesting = 100;

    std::string tokenText() const {
        switch (tok_.kind) {
        case tkString:
            return "'" + tok_.text + "'";
        case tkLParen:
            return "(";
        case tkRParen:
            return ")";
        case tkMinus:
            return "-";
        case tkEnd:
            return "end of text";
        default:
            return tok_.text;
        }
    }
    bool isKeyword(const char* kw) const {
        return tok_.kind == tkName && !tok_.bracketed && SameText(tok_.text, kw);
    }
    void advance() { tok_ = lex_.next(); }

    // Chains of one operator become a balanced tree, so long OR lists stay shallow.
    static AstPtr chain(std::vector<AstPtr>& items, size_t lo, size_t hi, uint32_t op) {
        if (hi - lo == 1) return std::move(items[lo]);
        size_t mid = lo + (hi - lo + 1) / 2;
        auto n = std::make_unique<Ast>(Ast::Binary);
        n->op = op;
        n->a = chain(items, lo, mid, op);
        n->b = chain(items, mid, hi, op);
        return n;
    }

    AstPtr parseOr(int depth) {
        std::vector<AstPtr> items;
        items.push_back(parseAnd(depth));
        while (isKeyword("OR")) {
            advance();
            items.push_back(parseAnd(depth));
        }
        return chain(items, 0, items.size(), canOr);
    }

    AstPtr parseAnd(int depth) {
        std::vector<AstPtr> items;
        items.push_back(parseNot(depth));
        while (isKeyword("AND")) {
            advance();
            items.push_back(parseNot(depth));
        }
        return chain(items, 0, items.size(), canAnd);
    }

    AstPtr parseNot(int depth) {
        if (depth > kMaxNesting) syntaxError("expression nested too deeply", tok_.pos);
        if (isKeyword("NOT")) {
            advance();
            auto n = std::make_unique<Ast>(Ast::Unary);
            n->op = canNot;
            n->a = parseNot(depth + 1);
            return n;
        }
        return parsePredicate(depth);
    }

    AstPtr parsePredicate(int depth) {
        AstPtr left = parseOperand(depth);
        if (isKeyword("IS")) {
            advance();
            bool negate = false;
            if (isKeyword("NOT")) {
                negate = true;
                advance();
            }
            if (!isKeyword("NULL")) syntaxError("NULL expected", tok_.pos);
            advance();
            return unary(negate ? canNotBlank : canIsBlank, std::move(left));
        }
        if (tok_.kind != tkOp) return left;
        std::string op = tok_.text;
        size_t opPos = tok_.pos;
        advance();
        uint32_t code = op == "="    ? canEQ
                        : op == "<>" ? canNE
                        : op == ">"  ? canGT
                        : op == "<"  ? canLT
                        : op == ">=" ? canGE
                                     : canLE;
        if (isKeyword("NULL")) {
            if (code != canEQ && code != canNE)
                syntaxError("NULL can only be compared with = or <>", tok_.pos);
            advance();
            return unary(code == canEQ ? canIsBlank : canNotBlank, std::move(left));
        }
        AstPtr right = parseOperand(depth);
        return comparison(code, std::move(left), std::move(right), opPos);
    }

    AstPtr parseOperand(int depth) {
        Token t = tok_;
        switch (t.kind) {
        case tkLParen: {
            advance();
            AstPtr e = parseOr(depth + 1);
            if (tok_.kind != tkRParen) syntaxError("')' expected", tok_.pos);
            advance();
            return e;
        }
        case tkString: {
            advance();
            auto n = std::make_unique<Ast>(Ast::Const);
            n->lit = Ast::LitString;
            n->text = t.text;
            n->pos = t.pos;
            return n;
        }
        case tkMinus:
        case tkNumber: {
            std::string text;
            if (t.kind == tkMinus) {
                advance();
                if (tok_.kind != tkNumber) syntaxError("number expected after '-'", tok_.pos);
                text = "-";
            }
            text += tok_.text;
            advance();
            double d;
            if (!TryStrToFloat(text, d)) syntaxError("invalid number '" + text + "'", t.pos);
            auto n = std::make_unique<Ast>(Ast::Const);
            n->lit = Ast::LitNumber;
            n->text = text;
            n->pos = t.pos;
            return n;
        }
        case tkName: {
            if (!t.bracketed && (SameText(t.text, "TRUE") || SameText(t.text, "FALSE"))) {
                advance();
                auto n = std::make_unique<Ast>(Ast::Const);
                n->lit = Ast::LitBool;
                n->boolValue = SameText(t.text, "TRUE");
                n->pos = t.pos;
                return n;
            }
            if (!t.bracketed &&
                (SameText(t.text, "AND") || SameText(t.text, "OR") || SameText(t.text, "NOT") ||
                 SameText(t.text, "IS") || SameText(t.text, "NULL")))
                syntaxError("operand expected but '" + t.text + "' found", t.pos);
            advance();
            const TFilterField* f = nullptr;
            for (const TFilterField& c : fields_)
                if (SameText(c.Name, t.text)) {
                    f = &c;
                    break;
                }
            if (!f) syntaxError("field '" + t.text + "' not found", t.pos);
            if (f->FieldNo < 1 || f->FieldNo > 0xFFFF)
                syntaxError("field '" + t.text + "' cannot be filtered", t.pos);
            auto n = std::make_unique<Ast>(Ast::Field);
            n->fieldNo = f->FieldNo;
            n->name = f->Name;
            n->fieldType = f->DataType;
            n->pos = t.pos;
            return n;
        }
        default:
            syntaxError("operand expected but " + tokenText() + " found", t.pos);
        }
    }

    static AstPtr unary(uint32_t op, AstPtr operand) {
        auto n = std::make_unique<Ast>(Ast::Unary);
        n->op = op;
        n->a = std::move(operand);
        return n;
    }

    AstPtr comparison(uint32_t op, AstPtr left, AstPtr right, size_t opPos) {
        TFieldType lt = left->kind == Ast::Field ? left->fieldType : ftUnknown;
        TFieldType rt = right->kind == Ast::Field ? right->fieldType : ftUnknown;
        bool text = false;
        if (left->kind == Ast::Const) {
            typeConst(*left, rt);
            text = isTextType(rt) || (rt == ftUnknown && left->constType == fldZString);
        }
        if (right->kind == Ast::Const) {
            typeConst(*right, lt);
            text = text || isTextType(lt) || (lt == ftUnknown && right->constType == fldZString);
        }
        if (left->kind == Ast::Field && right->kind == Ast::Field) text = isTextType(lt) && isTextType(rt);
        auto n = std::make_unique<Ast>(Ast::Binary);
        n->op = op;
        if (text) {
            uint16_t partial = 0;
            for (Ast* c : {left.get(), right.get()})
                if (c->kind == Ast::Const && c->partial) partial = c->partial;
            uint16_t ci = (options_ & foCaseInsensitive) ? 1 : 0;
            if (ci || partial) {
                n->compareNode = true;
                n->caseInsensitive = ci;
                n->partial = partial;
            }
        }
        (void)opPos;
        n->a = std::move(left);
        n->b = std::move(right);
        return n;
    }

    // Gives a literal its constant type and bytes; the kind of the field it is compared with decides.
    void typeConst(Ast& c, TFieldType other) {
        auto asText = [&](const std::string& s) {
            std::string v = s;
            if (isTextType(other) && !(options_ & foNoPartialCompare) && v.size() > 1 && v.back() == '*') {
                v.pop_back();
                if (v.size() > 0xFFFF) syntaxError("string too long", c.pos);
                c.partial = static_cast<uint16_t>(v.size());
            }
            c.constType = fldZString;
            c.bytes = v + '\0';
        };
        auto asNumber = [&](const std::string& s, bool preferFloat) {
            int64_t i;
            double d;
            bool integral = s.find_first_of(".eE") == std::string::npos && TryStrToInt(s, i);
            if (!integral) {
                if (!TryStrToFloat(s, d)) syntaxError("invalid number '" + s + "'", c.pos);
                if (std::floor(d) == d && std::fabs(d) < 9.0e15 && !preferFloat) {
                    integral = true;
                    i = static_cast<int64_t>(d);
                }
            }
            if (integral && !preferFloat) {
                if (other == ftSmallint && i >= INT16_MIN && i <= INT16_MAX) {
                    c.constType = fldInt16;
                    c.bytes = rawBytes(static_cast<int16_t>(i));
                    return;
                }
                if (other == ftWord && i >= 0 && i <= UINT16_MAX) {
                    c.constType = fldUInt16;
                    c.bytes = rawBytes(static_cast<uint16_t>(i));
                    return;
                }
                if (i >= INT32_MIN && i <= INT32_MAX) {
                    c.constType = fldInt32;
                    c.bytes = rawBytes(static_cast<int32_t>(i));
                    return;
                }
                d = static_cast<double>(i);
            } else if (integral)
                d = static_cast<double>(i);
            c.constType = fldFloat;
            c.bytes = rawBytes(d);
        };
        auto asDateTime = [&](const std::string& s) {
            TDateTime v;
            if (other == ftDate) {
                if (!TryStrToDate(s, v)) syntaxError("invalid date '" + s + "'", c.pos);
                c.constType = fldDate;
                c.bytes = rawBytes(DateTimeToTimeStamp(v).Date);
            } else if (other == ftTime) {
                if (!TryStrToTime(s, v)) syntaxError("invalid time '" + s + "'", c.pos);
                c.constType = fldTime;
                c.bytes = rawBytes(DateTimeToTimeStamp(v).Time);
            } else {
                if (!TryStrToDateTime(s, v)) syntaxError("invalid date and time '" + s + "'", c.pos);
                c.constType = fldTimeStamp;
                c.bytes = rawBytes(TimeStampToMSecs(DateTimeToTimeStamp(v)));
            }
        };
        auto asBool = [&](bool b) {
            c.constType = fldBool;
            c.bytes = rawBytes(static_cast<uint16_t>(b ? 1 : 0));
        };

        switch (other) {
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc:
        case ftFloat:
        case ftCurrency:
        case ftBCD: {
            bool preferFloat = other == ftFloat || other == ftCurrency || other == ftBCD;
            if (c.lit == Ast::LitBool) return asBool(c.boolValue);
            std::string s = Trim(c.text);
            double d;
            if (c.lit == Ast::LitString && !TryStrToFloat(s, d))
                syntaxError("'" + c.text + "' is not a number", c.pos);
            return asNumber(s, preferFloat);
        }
        case ftBoolean:
            if (c.lit == Ast::LitBool) return asBool(c.boolValue);
            if (c.lit == Ast::LitString && (SameText(c.text, "TRUE") || SameText(c.text, "FALSE")))
                return asBool(SameText(c.text, "TRUE"));
            if (c.lit == Ast::LitNumber) return asBool(c.text.find_first_not_of("0.-") != std::string::npos);
            syntaxError("'" + c.text + "' is not a Boolean value", c.pos);
        case ftDate:
        case ftTime:
        case ftDateTime:
            if (c.lit != Ast::LitString) syntaxError("a quoted date or time expected", c.pos);
            return asDateTime(c.text);
        case ftUnknown:
            if (c.lit == Ast::LitBool) return asBool(c.boolValue);
            if (c.lit == Ast::LitNumber) return asNumber(c.text, false);
            return asText(c.text);
        default:
            if (c.lit == Ast::LitBool) return asText(c.boolValue ? "True" : "False");
            return asText(c.text);
        }
    }

    Lexer lex_;
    Token tok_;
    TFilterOptions options_;
    const std::vector<TFilterField>& fields_;
};

// A constant left alone (not in a comparison) still needs a type.
void typeLoose(Ast& n) {
    if (n.kind == Ast::Const && n.constType == 0) {
        if (n.lit == Ast::LitBool) {
            n.constType = fldBool;
            n.bytes = rawBytes(static_cast<uint16_t>(n.boolValue ? 1 : 0));
        } else if (n.lit == Ast::LitString) {
            n.constType = fldZString;
            n.bytes = n.text + '\0';
        } else {
            int64_t i;
            double d = 0;
            if (n.text.find_first_of(".eE") == std::string::npos && TryStrToInt(n.text, i) &&
                i >= INT32_MIN && i <= INT32_MAX) {
                n.constType = fldInt32;
                n.bytes = rawBytes(static_cast<int32_t>(i));
            } else {
                TryStrToFloat(n.text, d);
                n.constType = fldFloat;
                n.bytes = rawBytes(d);
            }
        }
    }
    if (n.a) typeLoose(*n.a);
    if (n.b) typeLoose(*n.b);
}

int astDepth(const Ast& n) {
    int d = 0;
    if (n.a) d = std::max(d, astDepth(*n.a));
    if (n.b) d = std::max(d, astDepth(*n.b));
    return d + 1;
}

class Emitter {
public:
    std::vector<uint8_t> nodes, lits;
    int count = 0;

    uint32_t put(const Ast& n) {
        ++count;
        uint32_t at = static_cast<uint32_t>(nodes.size());
        switch (n.kind) {
        case Ast::Unary: {
            reserve(10);
            w32(at, nodeUnary);
            w32(at + 4, n.op);
            w16(at + 8, put(*n.a));
            break;
        }
        case Ast::Binary: {
            bool cmp = n.compareNode;
            reserve(cmp ? 16 : 12);
            w32(at, cmp ? nodeCompare : nodeBinary);
            w32(at + 4, n.op);
            if (cmp) {
                w16(at + 8, n.caseInsensitive);
                w16(at + 10, n.partial);
            }
            uint32_t l = put(*n.a);
            uint32_t r = put(*n.b);
            w16(at + (cmp ? 12 : 8), l);
            w16(at + (cmp ? 14 : 10), r);
            break;
        }
        case Ast::Field: {
            reserve(12);
            w32(at, nodeField);
            w32(at + 4, 0);
            w16(at + 8, static_cast<uint32_t>(n.fieldNo));
            w16(at + 10, literal(n.name + '\0'));
            break;
        }
        case Ast::Const: {
            reserve(14);
            w32(at, nodeConst);
            w32(at + 4, 0);
            w16(at + 8, n.constType);
            if (n.bytes.size() > 0xFFFF) throw EFilterError("Filter expression is too long");
            w16(at + 10, static_cast<uint32_t>(n.bytes.size()));
            w16(at + 12, literal(n.bytes));
            break;
        }
        }
        return at;
    }

private:
    void reserve(size_t n) {
        nodes.resize(nodes.size() + n, 0);
        if (nodes.size() > 0xFFFF) throw EFilterError("Filter expression is too long");
    }
    uint32_t literal(const std::string& s) {
        uint32_t at = static_cast<uint32_t>(lits.size());
        lits.insert(lits.end(), s.begin(), s.end());
        if (lits.size() > 0xFFFF) throw EFilterError("Filter expression is too long");
        return at;
    }
    void w16(uint32_t at, uint32_t v) {
        nodes[at] = static_cast<uint8_t>(v);
        nodes[at + 1] = static_cast<uint8_t>(v >> 8);
    }
    void w32(uint32_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            nodes[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
};

} // namespace

std::vector<uint8_t> BuildFilterExpression(std::string_view text, TFilterOptions options,
                                           const std::vector<TFilterField>& fields) {
    if (Trim(text).empty()) return EmptyFilterExpression();
    AstPtr root = Parser(text, options, fields).parse();
    typeLoose(*root);
    if (astDepth(*root) > TFilterExpression::kMaxDepth / 2)
        throw EFilterError("Filter expression is nested too deeply");
    Emitter e;
    e.put(*root);
    size_t total = kFilterHeaderSize + e.nodes.size() + e.lits.size();
    if (total > 0xFFFF) throw EFilterError("Filter expression is too long");
    std::vector<uint8_t> out(kFilterHeaderSize, 0);
    auto h16 = [&](size_t at, size_t v) {
        out[at] = static_cast<uint8_t>(v);
        out[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    h16(0, 2);
    h16(2, total);
    h16(4, static_cast<size_t>(e.count));
    h16(6, kFilterHeaderSize);
    h16(8, kFilterHeaderSize + e.nodes.size());
    out.insert(out.end(), e.nodes.begin(), e.nodes.end());
    out.insert(out.end(), e.lits.begin(), e.lits.end());
    return out;
}

// ======================= native values of dataset fields =======================

void NativeFieldValue(TFieldType type, const void* data, int dataSize, bool isNull, TFilterValue& out) {
    DecodeNative(NativeKindOf(type), data, dataSize > 0 ? static_cast<size_t>(dataSize) : 0, isNull, out);
}

} // namespace cls
