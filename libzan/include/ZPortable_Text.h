// Text conversion and escaping: UTF-16 in memory (one code unit per
// wchar_t), UTF-8 outside; numbers to text and back.
//
// Stateless: every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

void ZToUTF8(const wchar_t* units, int count, std::string& out);
std::string ZToUTF8(const std::wstring& text);
void ZFromUTF8(const char* bytes, int count, std::wstring& out);
std::wstring ZFromUTF8(const std::string& bytes);
std::wstring ZFromUTF8(const char* zeroTerminated);
// The workers behind them, for callers that own the output: `out` has room
// for three bytes a unit (to UTF-8) or one unit a byte (from UTF-8); the
// result is the end of what was written.
char* ZToUTF8Into(const wchar_t* units, std::size_t count, char* out);
wchar_t* ZFromUTF8Into(const char* bytes, std::size_t count, wchar_t* out);

std::string ZEscape(const std::string& text, const std::string& extra);
std::string ZUnescape(const std::string& text);

std::wstring ZToString(std::int64_t value);
std::wstring ZToString(int value);
std::wstring ZToString(double value, int decimals);
std::string ZToNarrowString(std::int64_t value);
std::string ZToNarrowString(double value, int decimals);
std::int64_t ZToInt64(const wchar_t* text);
std::int64_t ZToInt64(const std::wstring& text);
void ZToHex(unsigned int value, std::wstring& out, int digits);
std::wstring ZToHex(unsigned int value, int digits);
// Pointers print as "0x" and 16 upper-case digits on this platform.
std::wstring ZToHexPointer(const void* pointer);
std::wstring ZFormatByteSize(std::int64_t bytes);

bool ZCaseEquals(const wchar_t* a, int lenA, const wchar_t* b, int lenB);
bool ZCaseEquals(const std::wstring& a, const wchar_t* b);
bool ZCaseEquals(const std::wstring& a, const std::wstring& b);
bool ZBeginsWith(const std::wstring& s, const wchar_t* prefix);
bool ZEndsWith(const std::wstring& s, const wchar_t* suffix);
std::wstring ZToLower(const std::wstring& s);
std::wstring ZNormalizeGUID(const std::wstring& s);
std::wstring ZTrim(const std::wstring& s);
std::wstring ZCollapseWhitespace(const std::wstring& s);
std::wstring ZRemoveChars(const std::wstring& s, const std::wstring& chars);
std::wstring ZJoin(const std::list<std::wstring>& items, const std::wstring& separator);
bool ZContains(const std::list<std::wstring>& items, const std::wstring& item);
