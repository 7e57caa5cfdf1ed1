// Exceptions of the database layer, their raise helpers, and the formatter that fills message
// texts with arguments.
#pragma once
#include "classlib/SysUtils.h"

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

class TqbStringResource;

// One argument of a message format: an integer, a floating-point number or a text.
class QbFormatArg {
public:
    QbFormatArg(int v) : v_(int64_t(v)) {}
    QbFormatArg(long v) : v_(int64_t(v)) {}
    QbFormatArg(long long v) : v_(int64_t(v)) {}
    QbFormatArg(unsigned v) : v_(int64_t(v)) {}
    QbFormatArg(unsigned long v) : v_(int64_t(v)) {}
    QbFormatArg(unsigned long long v) : v_(int64_t(v)) {}
    QbFormatArg(double v) : v_(v) {}
    QbFormatArg(const char* s) : v_(std::string(s ? s : "")) {}
    QbFormatArg(std::string_view s) : v_(std::string(s)) {}
    QbFormatArg(const std::string& s) : v_(s) {}
    QbFormatArg(const void* p) : v_(int64_t(reinterpret_cast<intptr_t>(p))) {}

    const std::variant<int64_t, double, std::string>& Value() const { return v_; }

private:
    std::variant<int64_t, double, std::string> v_;
};
using QbFormatArgs = std::vector<QbFormatArg>;

// The layer's message format: "%" [index ":"] ["-"] [width] ["." precision] type, with the
// types d u x (lower-case hexadecimal) s f e g n p, "*" for a width or precision taken from the
// arguments, and "%%". An argument of another kind is shown as best it can be; a missing argument
// leaves the specifier as it stands. Never raises.
std::string qbFormat(std::string_view fmt, const QbFormatArgs& args);

// Failures of the string-table reader itself.
class EqbStringResourceError : public cls::Exception {
public:
    using cls::Exception::Exception;
};

// Every coded error of the layer; the message is the code's text from a string table.
class EqbException : public cls::Exception {
public:
    EqbException(std::string message, int32_t errorCode)
        : cls::Exception(std::move(message)), ErrorCode(errorCode) {}
    // The code's text (empty when the table has none).
    EqbException(TqbStringResource& res, int32_t errorCode);
    // The code's text filled with args.
    EqbException(TqbStringResource& res, int32_t errorCode, const QbFormatArgs& args);
    int32_t ErrorCode;
};

class EqbCommsException : public EqbException {
public:
    using EqbException::EqbException;
};
class EqbServerException : public EqbException {
public:
    using EqbException::EqbException;
};
class EqbClientException : public EqbException {
public:
    using EqbException::EqbException;
};

// Component state and transport errors: the code's text from "QB_SERVER_CMP_STRINGS" in the
// frame of text 1281, "Quillbase: <text> [$<hex>/<decimal>]".
class EqbServerComponentError : public cls::Exception {
public:
    explicit EqbServerComponentError(int32_t errorCode);
    // The code's text filled with args first.
    EqbServerComponentError(int32_t errorCode, const QbFormatArgs& args);
    int32_t ErrorCode;
    std::string ErrorText;
};

template <class E>
[[noreturn]] void RaiseResourceErrorFmt(TqbStringResource& res, int32_t code, const QbFormatArgs& args) {
    throw E(res, code, args);
}
template <class E> [[noreturn]] void RaiseResourceError(TqbStringResource& res, int32_t code) {
    throw E(res, code);
}
[[noreturn]] void RaiseComponentError(int32_t code);
[[noreturn]] void RaiseComponentErrorFmt(int32_t code, const QbFormatArgs& args);
