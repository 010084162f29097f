// A test compressor: the smallest Video for Windows driver the chooser lists.
// It opens in compress mode only, describes itself with its bitness and the
// handler it was opened as, accepts the probe format, proposes to compress it
// to its own code at 16 bits, offers Configure but no About, and appends one
// line per message to the file named by SELNARY_COMPRESSOR_LOG:
//
//   open <instance> <handler>   opened for compression
//   refuse <mode>               an open in any other mode
//   info <instance>             ICM_GETINFO
//   query <instance> ok|bad     ICM_COMPRESS_QUERY for a format
//   close <instance>            DRV_CLOSE
//
// Variants, by environment variable; a value applies to every handler the
// DLL is registered as, or, written HANDLER:VALUE (several separated by
// spaces), to that handler alone:
//   SELNARY_COMPRESSOR_FAULT=open   fault when opened, as a broken driver would
//   SELNARY_COMPRESSOR_FAULT=hang   never return from the open
//   SELNARY_COMPRESSOR_BITS=N       take N-bit RGB instead of 32-bit

#include "platform/platform.h"

#include <string>

namespace {

struct Instance {
    DWORD handler;
    unsigned serial;
};

// The platform first opens a driver without ICOPEN, for the session; that
// open must succeed and is not an open for compression. Instances are heap
// pointers, so never this value.
constexpr LRESULT kSession = 1;

unsigned g_opened = 0;

std::string environment(const char* name)
{
    char value[1024];
    const DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length > 0 && length < sizeof value ? std::string(value, length) : std::string();
}

void log_line(const std::string& text)
{
    const std::string path = environment("SELNARY_COMPRESSOR_LOG");
    if (path.empty())
        return;
    const HANDLE log = CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE)
        return;
    const std::string line = text + "\r\n";
    DWORD written = 0;
    WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(log);
}

std::string fourcc_text(DWORD code)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8)
        text += static_cast<char>((code >> shift) & 0xFF);
    return text;
}

// The variable's value for this handler (see the top of this file).
std::string setting(const char* name, DWORD handler)
{
    const std::string value = environment(name), code = fourcc_text(handler) + ":";
    std::string for_all;
    std::size_t start = 0;
    while (start < value.size()) {
        std::size_t end = value.find(' ', start);
        if (end == std::string::npos)
            end = value.size();
        const std::string item = value.substr(start, end - start);
        if (item.compare(0, code.size(), code) == 0)
            return item.substr(code.size());
        if (item.find(':') == std::string::npos)
            for_all = item;
        start = end + 1;
    }
    return for_all;
}

LRESULT open_instance(const ICOPEN* open)
{
    if (!open)
        return kSession;
    if (open->fccType != ICTYPE_VIDEO || (open->dwFlags & ICMODE_COMPRESS) == 0) {
        log_line("refuse " + std::to_string(open->dwFlags));
        return 0;
    }
    const std::string fault = setting("SELNARY_COMPRESSOR_FAULT", open->fccHandler);
    if (fault == "open") {
        int* volatile nowhere = nullptr;
        *nowhere = 0;
    }
    if (fault == "hang")
        Sleep(INFINITE);

    auto* instance = new Instance{open->fccHandler, ++g_opened};
    const_cast<ICOPEN*>(open)->dwError = ICERR_OK;
    log_line("open " + std::to_string(instance->serial) + " " + fourcc_text(instance->handler));
    return reinterpret_cast<LRESULT>(instance);
}

LRESULT describe(const Instance& instance, ICINFO* info, LPARAM size)
{
    log_line("info " + std::to_string(instance.serial));
    if (!info || size < static_cast<LPARAM>(sizeof(ICINFO)))
        return 0;
    ZeroMemory(info, sizeof(ICINFO));
    info->dwSize = sizeof(ICINFO);
    info->fccType = ICTYPE_VIDEO;
    info->fccHandler = instance.handler;
    info->dwVersionICM = ICVERSION;
    const std::string code = fourcc_text(instance.handler);
    const std::wstring handler(code.begin(), code.end());
    const std::wstring description = L"selnary test compressor (" +
        std::to_wstring(sizeof(void*) * 8) + L"-bit, " + handler + L")";
    lstrcpynW(info->szName, handler.c_str(), ARRAYSIZE(info->szName));
    lstrcpynW(info->szDescription, description.c_str(), ARRAYSIZE(info->szDescription));
    return sizeof(ICINFO);
}

// Takes exactly what the probe offers, uncompressed 256 x 256 at 32 bits, or
// at the bit count its variant names.
bool takes(const Instance& instance, const BITMAPINFO* in)
{
    const std::string bits = setting("SELNARY_COMPRESSOR_BITS", instance.handler);
    return in && in->bmiHeader.biCompression == BI_RGB &&
        in->bmiHeader.biBitCount == (bits.empty() ? 32 : std::stoi(bits)) &&
        in->bmiHeader.biWidth == 256 && in->bmiHeader.biHeight == 256;
}

LRESULT query(const Instance& instance, const BITMAPINFO* in)
{
    const bool ok = takes(instance, in);
    log_line("query " + std::to_string(instance.serial) + (ok ? " ok" : " bad"));
    return ok ? ICERR_OK : ICERR_BADFORMAT;
}

// What it would compress a frame it takes to: its own code at 16 bits. With
// no room given, the room it needs.
LRESULT propose(const Instance& instance, const BITMAPINFO* in, BITMAPINFO* out)
{
    if (!takes(instance, in))
        return ICERR_BADFORMAT;
    if (!out)
        return sizeof(BITMAPINFOHEADER);
    out->bmiHeader = in->bmiHeader;
    out->bmiHeader.biCompression = instance.handler;
    out->bmiHeader.biBitCount = 16;
    out->bmiHeader.biSizeImage = 256 * 256 * 2;
    return ICERR_OK;
}

}  // namespace

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR id, HDRVR, UINT message, LPARAM first, LPARAM second)
{
    auto* instance = static_cast<LRESULT>(id) == kSession ? nullptr
                                                          : reinterpret_cast<Instance*>(id);
    switch (message) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
        return 1;
    case DRV_OPEN:
        return open_instance(reinterpret_cast<const ICOPEN*>(second));
    case DRV_CLOSE:
        if (instance) {
            log_line("close " + std::to_string(instance->serial));
            delete instance;
        }
        return 1;
    case ICM_GETINFO:
        return instance ? describe(*instance, reinterpret_cast<ICINFO*>(first), second) : 0;
    case ICM_COMPRESS_QUERY:
        return instance ? query(*instance, reinterpret_cast<const BITMAPINFO*>(first))
                        : ICERR_BADFORMAT;
    case ICM_COMPRESS_GET_FORMAT:
        return instance ? propose(*instance, reinterpret_cast<const BITMAPINFO*>(first),
                                  reinterpret_cast<BITMAPINFO*>(second))
                        : ICERR_BADFORMAT;
    case ICM_CONFIGURE:
        // Asked whether there is a dialog (first == -1): yes; shown: nothing to set.
        return ICERR_OK;
    default:
        // Nothing to install or configure; driver messages are answered no.
        return message < DRV_USER ? 0 : ICERR_UNSUPPORTED;
    }
}
