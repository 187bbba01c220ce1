#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kiva {

// The basic types of the platform interfaces. Wide characters are UTF-16 code units, as on
// the system the interfaces come from, so wide texts keep their meaning at every boundary.
using HRESULT = std::int32_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using BOOL = int;
using BYTE = std::uint8_t;
using WCHAR = char16_t;
using LPCWSTR = const WCHAR*;
using LPWSTR = WCHAR*;
using LPVOID = void*;
using HANDLE_PTR = std::uintptr_t;
// 64-bit stream positions, signed for moves and unsigned for results.
using LARGE_INTEGER = std::int64_t;
using ULARGE_INTEGER = std::uint64_t;

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

constexpr HRESULT MakeHResult(std::uint32_t code) {
    return static_cast<HRESULT>(code);
}

inline constexpr HRESULT S_OK = 0;
inline constexpr HRESULT S_FALSE = 1;
inline constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001u);
inline constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002u);
inline constexpr HRESULT E_POINTER = MakeHResult(0x80004003u);
inline constexpr HRESULT E_ABORT = MakeHResult(0x80004004u);
inline constexpr HRESULT E_FAIL = MakeHResult(0x80004005u);
inline constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFFu);
inline constexpr HRESULT E_PENDING = MakeHResult(0x8000000Au);
inline constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000Eu);
inline constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057u);
inline constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110u);
inline constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHResult(0x80040111u);
inline constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHResult(0x80040154u);
inline constexpr HRESULT CO_E_OBJNOTREG = MakeHResult(0x800401FBu);
inline constexpr HRESULT TYPE_E_REGISTRYACCESS = MakeHResult(0x8002801Cu);
inline constexpr HRESULT STG_E_INVALIDFUNCTION = MakeHResult(0x80030001u);
inline constexpr HRESULT STG_E_INVALIDPOINTER = MakeHResult(0x80030009u);
inline constexpr HRESULT STG_E_MEDIUMFULL = MakeHResult(0x80030070u);
inline constexpr HRESULT INET_E_INVALID_URL = MakeHResult(0x800C0002u);
inline constexpr HRESULT INET_E_RESOURCE_NOT_FOUND = MakeHResult(0x800C0005u);
inline constexpr HRESULT INET_E_DATA_NOT_AVAILABLE = MakeHResult(0x800C0007u);
inline constexpr HRESULT INET_E_DOWNLOAD_FAILURE = MakeHResult(0x800C0008u);
inline constexpr HRESULT INET_E_UNKNOWN_PROTOCOL = MakeHResult(0x800C000Du);
inline constexpr HRESULT INET_E_USE_DEFAULT_PROTOCOLHANDLER = MakeHResult(0x800C0011u);

constexpr bool SUCCEEDED(HRESULT hr) {
    return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
    return hr < 0;
}

// A 128-bit identifier of a class or interface.
struct GUID {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::uint8_t Data4[8] = {};

    friend constexpr bool operator==(const GUID& a, const GUID& b) {
        if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
            return false;
        }
        for (int i = 0; i < 8; ++i) {
            if (a.Data4[i] != b.Data4[i]) {
                return false;
            }
        }
        return true;
    }
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID&;
using REFCLSID = const CLSID&;
using REFGUID = const GUID&;

namespace detail {
constexpr int GuidHexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}
} // namespace detail

// Parses the registry form "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (hex digits in either
// case). Returns false and leaves result untouched for any other text.
constexpr bool TryStringToGUID(std::string_view s, GUID& result) {
    if (s.size() != 38 || s[0] != '{' || s[37] != '}' || s[9] != '-' || s[14] != '-' ||
        s[19] != '-' || s[24] != '-') {
        return false;
    }
    std::uint8_t bytes[16] = {};
    int n = 0;
    for (std::size_t i = 1; i < 37; ++i) {
        if (i == 9 || i == 14 || i == 19 || i == 24) {
            continue;
        }
        const int hi = detail::GuidHexValue(s[i]);
        const int lo = detail::GuidHexValue(s[i + 1]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        bytes[n++] = static_cast<std::uint8_t>(hi * 16 + lo);
        ++i;
    }
    GUID g;
    g.Data1 = std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 |
              std::uint32_t(bytes[2]) << 8 | bytes[3];
    g.Data2 = static_cast<std::uint16_t>(bytes[4] << 8 | bytes[5]);
    g.Data3 = static_cast<std::uint16_t>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i) {
        g.Data4[i] = bytes[8 + i];
    }
    result = g;
    return true;
}

// For identifiers written into the source: a malformed text fails to compile.
consteval GUID GuidLiteral(std::string_view s) {
    GUID g;
    if (!TryStringToGUID(s, g)) {
        throw "malformed GUID literal";
    }
    return g;
}

// Raises kiva::Exception for a malformed text.
GUID StringToGUID(std::string_view s);
// The registry form with upper-case hex digits.
std::string GUIDToString(const GUID& g);

inline constexpr GUID GUID_NULL = {};

// Wide texts at the platform interfaces are UTF-16; the program's single-byte ("ANSI") texts
// are UTF-8 on this system. Invalid sequences in either direction become U+FFFD, so a
// conversion never fails.
std::u16string AnsiToWide(std::string_view s);
std::string WideToAnsi(std::u16string_view s);
// Length of a null-terminated wide text; 0 for a null pointer.
std::size_t WideLength(LPCWSTR s);
// The null-terminated wide text as a view; empty for a null pointer.
std::u16string_view WideView(LPCWSTR s);

} // namespace kiva
