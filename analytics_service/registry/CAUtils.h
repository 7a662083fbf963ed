// The service's own access to single registry values: each call opens the key under
// HKEY_LOCAL_MACHINE, reads or writes one value and closes the key again. Callers see only wide
// text. A value is stored plainly (options 0), text as the registry's own UTF-16, so every
// character survives and peers using either the wide or the ANSI functions read the same; or as
// an enciphered OVRG record (options 1): the support library's record, with text inside in the
// calling thread's ANSI code page. Key paths and value names go to the wide functions: one that
// narrows without loss names the same key or value as through the ANSI functions.
// Results are Win32 codes (0 success; 14 when memory for a value cannot be had).
#pragma once
#include "config/StringMaps.h"

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <vector>

// Values of the `options` argument.
constexpr DWORD kRegistryPlainValue = 0;
constexpr DWORD kRegistryEncipheredValue = 1;

// Read buffer limits of the string getters, in bytes of UTF-16 including the terminator.
constexpr DWORD kRegistryStringLimit = 1024;
constexpr DWORD kRegistryLargeStringLimit = 0xA00000;

// Makes every later access to (HKEY_LOCAL_MACHINE, path) go to (root, prefix\path) in this
// process, so tests run against scratch keys and never against the machine's own settings.
void SetRegistryRedirection(HKEY root, const std::wstring& prefix);
void ClearRegistryRedirection();
// Applies the redirection to a location in place. Code that opens keys of the service by other
// means (Lumetra::CObfuscatedRegKey) calls it first so that it follows the same redirection.
void ResolveRegistryLocation(HKEY& root, std::wstring& path);

// Reads a REG_DWORD: 0 and the value only for a REG_DWORD of exactly 4 bytes; on any other
// answer value is left untouched. Plain: another type gives 13, a REG_DWORD stored with more
// than 4 bytes 234 (as a 4-byte read buffer would), one with fewer 13. Enciphered: a stored
// value that is no REG_BINARY gives 13, a record longer than its header and 4 bytes 234
// (whatever it holds), a record that fails its checks or holds anything but a 4-byte REG_DWORD 13,
// a record of no data 6001. A missing key or value gives the registry's code (2).
DWORD GetValueFromRegistry(const std::wstring& keyPath, const std::wstring& valueName, DWORD& value, DWORD options);
// The default when the value cannot be read as a REG_DWORD; else value != 0.
bool GetBoolFromRegistry(const std::wstring& keyPath, const std::wstring& valueName, DWORD options,
                         bool defaultValue);
// Reads a REG_SZ or REG_EXPAND_SZ (the text is not expanded, and ends at its first NUL) of at
// most kRegistryStringLimit bytes of UTF-16 with its terminator (large: kRegistryLargeStringLimit).
// Plain: another type gives 13; a value stored with more bytes than that, or whose text with its
// terminator is longer, 234. Enciphered: a stored value that is no REG_BINARY gives 13, a record
// longer than its header and that many bytes 234, a record that fails its checks or holds
// another type 13, a record of no data 6001, a text longer than that once in UTF-16 234. A
// missing key or value gives the registry's code (2). An empty value gives 0. On any failure,
// and for an empty value, value becomes empty.
DWORD StringValueFromRegistry(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value,
                              DWORD options, bool large);
DWORD GetStringFromRegistry(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value,
                            DWORD options);
DWORD GetLargeStringFromRegistry(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value,
                                 DWORD options);
// As GetStringFromRegistry, with no length limit: lists that may grow are read whole.
DWORD GetWholeStringFromRegistry(const std::wstring& keyPath, const std::wstring& valueName, std::wstring& value,
                                 DWORD options);
// Writes REG_SZ; an empty text is a plain value of 0 bytes, and 87 when enciphered.
DWORD SaveStringValueToRegistry(const std::wstring& keyPath, const std::wstring& valueName, std::wstring value,
                                DWORD options);
DWORD SaveValueToRegistry(const std::wstring& keyPath, const std::wstring& valueName, DWORD value, DWORD options);

// Lower read. An empty path or name means the root key itself or the key's default value.
// type: out. size: bytes, capacity in, size out; string types come back as UTF-16 with their
// terminator(s). Without a buffer the needed size and 0; too small a buffer gives 234 and the
// needed size; a buffer without a size gives 87. Enciphered: with neither type nor size 87; a
// stored value that is no REG_BINARY, or a record that fails its checks, 13; a record of no data
// 6001. Any type is read, at any size.
DWORD ReadRegistryValue(HKEY root, const std::wstring& keyPath, const std::wstring& valueName, DWORD* type,
                        void* buffer, DWORD* size, DWORD options);
// Lower write; the key is created when missing. Text (REG_SZ, REG_MULTI_SZ, and plain
// REG_EXPAND_SZ) is taken as UTF-16 no further than size bytes.
DWORD WriteRegistryValue(HKEY root, const std::wstring& keyPath, const std::wstring& valueName, DWORD type,
                         const void* data, DWORD size, DWORD options);
// Deletes one value (the key is opened with KEY_WRITE).
DWORD DeleteRegistryValue(HKEY root, const std::wstring& keyPath, const std::wstring& valueName);

// The stored record of data in its stored form (text already narrowed).
DWORD EncodeValueRecord(const void* data, DWORD size, DWORD type, std::vector<BYTE>& record);
// Checks a record (13 when it is none) and deciphers its data; a record of no data gives 6001.
// size: capacity in, data length out (234 when it does not fit); without a buffer only the
// type and length are produced.
DWORD DecodeValueRecord(const BYTE* record, DWORD recordSize, DWORD* type, void* buffer, DWORD* size);

// The entries of input whose keys the dictionary names, under their dictionary names.
KeyValueMap TranslateKeys(const KeyValueMap& input, const KeyValueMap& dictionary);
// True for a null BSTR and one whose first character is NUL; the text is not copied.
bool IsBstrEmpty(BSTR text);

// Conversions between UTF-16 and a narrow code page. length: characters (or bytes) of text to
// convert, -1 for a zero-terminated text including its terminator. chars/size: capacity in,
// written (or, without a buffer, needed) out. 87 without text or size pointer, 234 when the
// buffer is too small, else 0 or the conversion's GetLastError.
DWORD AnsiToWide(UINT codePage, const char* text, wchar_t* buffer, DWORD* chars, int length = -1);
DWORD WideToAnsi(UINT codePage, const wchar_t* text, char* buffer, DWORD* size, int length = -1);
// True when the text survives narrowing to the thread's ANSI code page and back unchanged.
bool NarrowsWithoutLoss(const std::wstring& text);
