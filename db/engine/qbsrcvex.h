// Conversion of whatever an engine operation raised into the operation's result code: server
// error codes through the conversion table, out-of-memory and other exceptions to fixed codes.
#pragma once
#include "db/storage/qblleng_types.h"

#include <cstdint>
#include <exception>

class TqbBaseLog;

// Result codes of the conversion.
inline constexpr TqbResultCode kResultInsufficientMemory = 9473;
inline constexpr TqbResultCode kResultInvalidParameter = 9986;
inline constexpr TqbResultCode kResultUnknownServerError = 15520;
inline constexpr TqbResultCode kResultUnexpectedException = 15521;
inline constexpr TqbResultCode kResultNoSQLEngine = 15462;

// Raises Code as a server exception with its text; the conversion gives Code back.
[[noreturn]] void RaiseResultCode(int32_t Code);

// True for a code of the result-code table's categories: such a code, raised as it is, stays itself.
bool IsCompatResultCode(int32_t Code);

// The result code of an error code carried by a raised exception; 15520 for a code that is
// neither a known server error nor a result code.
TqbResultCode ServerErrorToResult(int32_t ErrorCode);

// E: the exception caught at an operation's boundary. Writes "Exception Cvt: <message>" to
// EventLog when one is given and the engine is not read-only. Never raises.
TqbResultCode ConvertServerException(const std::exception_ptr& E, TqbBaseLog* EventLog, bool ReadOnly);
