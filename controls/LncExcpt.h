// Exception classes of the extension controls, and the input/output error of command-table
// text files.
#pragma once
#include <string>

#include "classlib/Classes.h"
#include "classlib/SysUtils.h"

// Base of every exception the extension controls raise with a library message.
class ELncException : public cls::Exception {
public:
    using cls::Exception::Exception;
};

class ENoTimersAvailable : public ELncException {
public:
    ENoTimersAvailable();
};

class EControllerError : public ELncException {
public:
    using ELncException::ELncException;
};

class ENoControllerAssigned : public EControllerError {
public:
    ENoControllerAssigned();
};

class ECmdProcessorError : public ELncException {
public:
    using ELncException::ELncException;
};

class EDuplicateCommand : public ECmdProcessorError {
public:
    EDuplicateCommand();
};

class ETableNotFound : public ECmdProcessorError {
public:
    ETableNotFound();
};

// Failures of the string-table reader itself.
class EHgsStringResourceError : public cls::Exception {
public:
    using cls::Exception::Exception;
};

namespace ctl {
// A text file that cannot be opened, read or written, or holds malformed input.
class EInOutError : public cls::Exception {
public:
    EInOutError(const std::string& msg, int code) : cls::Exception(msg), ErrorCode(code) {}
    int ErrorCode;
};
} // namespace ctl
