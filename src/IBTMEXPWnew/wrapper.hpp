// Process-wide state and helpers that programs written against the driver
// operations expect beside them: a shared state buffer and session handle,
// the running CRC-8 and CRC-16 accumulators, and the file records of the
// 1-Wire file structure.
//
// All of it is plain, unsynchronised process state, zero at load, exactly
// as such programs use it: one CRC run at a time per process, on one
// thread. A program that computes CRCs on several threads keeps its own
// accumulators instead (onewire/crc.hpp).
#pragma once

#include "qvds18x20/export.hpp"

#include <cstddef>
#include <cstdint>
#include <type_traits>

// State buffer for TMFirst/TMNext/TMRom/TMAccess.
QVDS_API extern std::uint8_t StateBuf[15360];
QVDS_API extern std::int32_t SHandle;
QVDS_API extern std::uint16_t CRC16;
QVDS_API extern std::uint8_t CRC8;

// Feeds one byte to the CRC8 accumulator (Dallas/Maxim CRC-8, table
// driven) and returns the new value. Set CRC8 to 0 before a new run.
QVDS_API std::uint8_t DoCRC8(std::uint8_t x);

// Feeds one byte, least significant bit first, to the CRC16 accumulator
// (x^16 + x^15 + x^2 + 1, reflected 0xA001). Set CRC16 to 0 before a new
// run.
QVDS_API void DoCRC16(std::uint8_t x);

// One directory entry of the 1-Wire file structure, byte for byte as
// stored on the device.
struct QVDS_API FileEntry {
  char name[8];
  std::uint8_t extension;
  std::uint8_t startpage;
  std::uint8_t numpages;
  std::uint8_t attribute;
  std::uint8_t BitMap[32];
};
using PFileEntry = FileEntry*;

// A directory path: NumEntries names of 8 characters each in Entries,
// and a reference character for where the path starts.
struct QVDS_API DirectoryPath {
  std::uint8_t NumEntries;
  std::uint8_t padding;
  char16_t Ref;
  char Entries[80];
};
using PDirectoryPath = DirectoryPath*;

static_assert(std::is_trivially_copyable_v<FileEntry> && std::is_standard_layout_v<FileEntry>);
static_assert(sizeof(FileEntry) == 44);
static_assert(offsetof(FileEntry, name) == 0);
static_assert(offsetof(FileEntry, extension) == 8);
static_assert(offsetof(FileEntry, startpage) == 9);
static_assert(offsetof(FileEntry, numpages) == 10);
static_assert(offsetof(FileEntry, attribute) == 11);
static_assert(offsetof(FileEntry, BitMap) == 12);

static_assert(std::is_trivially_copyable_v<DirectoryPath> && std::is_standard_layout_v<DirectoryPath>);
static_assert(sizeof(DirectoryPath) == 84);
static_assert(offsetof(DirectoryPath, NumEntries) == 0);
static_assert(offsetof(DirectoryPath, padding) == 1);
static_assert(offsetof(DirectoryPath, Ref) == 2);
static_assert(offsetof(DirectoryPath, Entries) == 4);
