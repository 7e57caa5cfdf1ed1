// Streams kept in a table file as chains of stream blocks (the dictionary's "DICT" stream).
#pragma once
#include "db/storage/qbtbbase.h"

#include <cstdint>
#include <string>
#include <string_view>

inline constexpr uint32_t kSigStream = 0x48534251; // 'Q','B','S','H'
inline constexpr uint32_t kStreamTypeDICT = 0x54434944;
// Stream block layout after the prefix.
inline constexpr uint32_t kStrmNext = 16;
inline constexpr uint32_t kStrmType = 20;
inline constexpr uint32_t kStrmLength = 24;
inline constexpr uint32_t kStrmFirst = 28;
inline constexpr uint32_t kStrmData = 32;

// Writes Stream from its start. A new stream takes a block and sets FirstBlock; an old one keeps
// its first block and frees the others first.
void WriteTableStream(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t& FirstBlock,
                      uint32_t StreamType, bool IsNew, std::string_view Stream);
// Reads the whole stream. A block that is not a stream block of this stream raises 64, a number
// outside the file 33; the walk is bounded by the block count and so is the length.
void ReadTableStream(TbtdFileInfo& FileInfo, TqbSrTransaction* Transaction, uint32_t FirstBlock,
                     std::string& Stream, uint32_t StreamType = kStreamTypeDICT);
