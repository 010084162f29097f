#include "report/parent/process.h"

#include "report/base/text.h"

#include <algorithm>

namespace selnary::report {
namespace {

struct WindowSearch {
    DWORD process;
    std::vector<std::string> titles;
};

// Adds WINDOW's title to the search when the process it looks for shows it.
BOOL CALLBACK add_window(HWND window, LPARAM context)
{
    auto& search = *reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search.process && IsWindowVisible(window)) {
        wchar_t title[256] = {};
        const int length = GetWindowTextW(window, title, ARRAYSIZE(title));
        search.titles.push_back(
            text::utf8(std::wstring_view(title, static_cast<std::size_t>(std::max(length, 0)))));
    }
    return TRUE;
}

}  // namespace

std::vector<std::string> Child::windows() const
{
    WindowSearch search{id_, {}};
    EnumWindows(add_window, reinterpret_cast<LPARAM>(&search));
    return search.titles;
}

Ending ending_of(Child::Read read, DWORD status, const std::vector<std::string>& windows,
                 const std::string& when, int timeout)
{
    if (read == Child::Read::timed_out) {
        std::string problem = "no answer in " + std::to_string(timeout) + " s " + when;
        if (!windows.empty())
            problem += ", showing a window titled \"" + windows.front() + "\"";
        return {Outcome::hung, {"hung", problem}};
    }
    if (status >= 0xC0000000)
        return {Outcome::faulted,
                {"faulted", "faulted " + when + " (exception " + text::hex(status) + ")"}};
    return {Outcome::faulted,
            {"ended_process",
             "ended the process " + when + " (status " + std::to_string(status) + ")"}};
}

}  // namespace selnary::report
