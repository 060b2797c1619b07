// Basic types shared by every module. The engines keep the Win32 calling
// shape (BOOL results, 16-bit text, 64-bit volume quantities); these aliases
// let the same code build natively on POSIX and with MinGW-w64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace rv {

using BOOL = int;
constexpr BOOL kTrue = 1;
constexpr BOOL kFalse = 0;

using Text = std::u16string;
using TextView = std::u16string_view;

// NTSTATUS values used by the file-system control layer.
using NtStatus = uint32_t;
constexpr NtStatus kStatusSuccess = 0x00000000;
constexpr NtStatus kStatusPending = 0x00000103;
constexpr NtStatus kStatusBufferOverflow = 0x80000005;
constexpr NtStatus kStatusInvalidParameter = 0xC000000D;
constexpr NtStatus kStatusEndOfFile = 0xC0000011;
constexpr NtStatus kStatusAlreadyCommitted = 0xC0000021;
constexpr NtStatus kStatusInvalidDeviceRequest = 0xC0000010;
constexpr NtStatus kStatusBufferTooSmall = 0xC0000023;
constexpr NtStatus kStatusNotSupported = 0xC00000BB;
constexpr NtStatus kStatusDeviceDataError = 0xC000009C;
constexpr NtStatus kStatusObjectNameNotFound = 0xC0000034;
constexpr NtStatus kStatusFileCorruptError = 0xC0000102;

// Win32 error codes that the engines set or test.
constexpr uint32_t kErrorSuccess = 0;
constexpr uint32_t kErrorFileNotFound = 2;
constexpr uint32_t kErrorPathNotFound = 3;
constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorInvalidHandle = 6;
constexpr uint32_t kErrorNotEnoughMemory = 8;
constexpr uint32_t kErrorInvalidData = 13;
constexpr uint32_t kErrorOutOfMemory = 14;
constexpr uint32_t kErrorNotReady = 21;
constexpr uint32_t kErrorCrc = 23;
constexpr uint32_t kErrorSectorNotFound = 27;
constexpr uint32_t kErrorReadFault = 30;
constexpr uint32_t kErrorHandleEof = 38;
constexpr uint32_t kErrorNotSupported = 50;
constexpr uint32_t kErrorFileExists = 80;
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorDiskFull = 112;
constexpr uint32_t kErrorInvalidName = 123;
constexpr uint32_t kErrorFilenameExcedRange = 206;
constexpr uint32_t kErrorNotAFolder = 267;
constexpr uint32_t kErrorStoppedOnLink = 681;
constexpr uint32_t kErrorAlreadyExists = 183;
constexpr uint32_t kErrorMoreData = 234;
constexpr uint32_t kErrorUnrecognizedVolume = 1005;
constexpr uint32_t kErrorRetry = 1237;
constexpr uint32_t kErrorInvalidFunction = 1;

// Drive types as GetDriveTypeW reports them.
constexpr uint32_t kDriveUnknown = 0;
constexpr uint32_t kDriveNoRootDir = 1;
constexpr uint32_t kDriveRemovable = 2;
constexpr uint32_t kDriveFixed = 3;
constexpr uint32_t kDriveRemote = 4;
constexpr uint32_t kDriveCdrom = 5;
constexpr uint32_t kDriveRamdisk = 6;

}  // namespace rv
