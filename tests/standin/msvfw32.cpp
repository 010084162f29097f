// A stand-in for the system's MSVFW32.dll that shows no dialog: it appends one
// line per call to ICCompressorChoose to the file named by SELNARY_STANDIN_LOG,
// and returns what SELNARY_STANDIN_RESULT says ("0" for FALSE, else TRUE).
//
// Line: owner=<hex> flags=<hex> in=<40 bytes hex> data=<hex>
//       state=<sizeof(COMPVARS) bytes hex> title=<bytes hex>

#include "platform/platform.h"

#include <cstdint>
#include <string>

namespace {

void append_hex(std::string& line, const void* data, std::size_t size)
{
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        line += digits[bytes[i] >> 4];
        line += digits[bytes[i] & 0xF];
    }
}

void append_value(std::string& line, const char* name, std::uintptr_t value)
{
    line += name;
    line += '=';
    // Big-endian digits, so the text reads as the number.
    for (int shift = static_cast<int>(sizeof value * 8) - 4; shift >= 0; shift -= 4)
        line += "0123456789abcdef"[(value >> shift) & 0xF];
    line += ' ';
}

std::string environment(const char* name)
{
    char value[1024];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

}  // namespace

extern "C" BOOL VFWAPI ICCompressorChoose(HWND owner, UINT flags, LPVOID in, LPVOID data,
                                          PCOMPVARS state, LPSTR title)
{
    std::string line;
    append_value(line, "owner", reinterpret_cast<std::uintptr_t>(owner));
    append_value(line, "flags", flags);
    line += "in=";
    if (in)
        append_hex(line, in, sizeof(BITMAPINFOHEADER));
    line += ' ';
    append_value(line, "data", reinterpret_cast<std::uintptr_t>(data));
    line += "state=";
    if (state)
        append_hex(line, state, sizeof(COMPVARS));
    line += " title=";
    if (title) {
        std::size_t length = 0;
        while (length < 256 && title[length] != '\0')
            ++length;
        append_hex(line, title, length);
    }
    line += "\r\n";

    const HANDLE log = CreateFileA(environment("SELNARY_STANDIN_LOG").c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                   nullptr);
    if (log != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        CloseHandle(log);
    }

    const BOOL result = environment("SELNARY_STANDIN_RESULT") == "0" ? FALSE : TRUE;
    if (result && state) {
        // What a real chooser leaves after OK: a compressor handle the caller
        // could release. The program must neither use nor free it.
        state->dwFlags = ICMF_COMPVARS_VALID;
        state->hic = reinterpret_cast<HIC>(static_cast<std::uintptr_t>(0x5E1A));
    }
    return result;
}
