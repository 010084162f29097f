#include "report/out/console.h"

#include "platform/platform.h"
#include "report/base/text.h"

#include <algorithm>

namespace selnary::report {
namespace {

void write_to(DWORD which, const std::string& text)
{
    const HANDLE handle = GetStdHandle(which);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(handle, &mode)) {
        // A console shows characters, whatever its code page; a line at a
        // time, as older consoles take no more than 64 KiB in one call.
        for (std::size_t start = 0; start < text.size();) {
            const std::size_t end = std::min(text.find('\n', start), text.size() - 1) + 1;
            const std::wstring characters = text::wide(
                std::string_view(text).substr(start, end - start));
            WriteConsoleW(handle, characters.data(), static_cast<DWORD>(characters.size()),
                          &written, nullptr);
            start = end;
        }
        return;
    }
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

void write_out(const std::string& text)
{
    write_to(STD_OUTPUT_HANDLE, text);
}

void write_error(const std::string& text)
{
    write_to(STD_ERROR_HANDLE, text);
}

}  // namespace selnary::report
