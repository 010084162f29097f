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

Ending ending_of(const Child::Finished& finished, const std::string& when, int timeout)
{
    if (finished.read == Child::Read::timed_out) {
        std::string problem = "no answer in " + std::to_string(timeout) + " s " + when;
        if (!finished.windows.empty())
            problem += ", showing a window titled \"" + finished.windows.front() + "\"";
        return {Outcome::hung, {"hung", problem}};
    }
    const DWORD status = finished.status;
    if (status >= 0xC0000000)
        return {Outcome::faulted,
                {"faulted", "faulted " + when + " (exception " + text::hex(status) + ")"}};
    return {Outcome::faulted,
            {"ended_process",
             "ended the process " + when + " (status " + std::to_string(status) + ")"}};
}

bool Progress::hear(const protocol::Message& message, long long first, long long end)
{
    const long long at = message.number("at").value_or(first - 1);
    if (at < first || at >= end)
        return false;
    if (message.kind == "calling") {
        unit_ = static_cast<int>(at);
        in_step_ = true;
        step_ = message.text("call").value_or("");
        subject_ = message.text("subject").value_or("");
        deadline_ = GetTickCount64() + limit_;
        return true;
    }
    if (message.kind == "back") {
        in_step_ = false;
        deadline_ = GetTickCount64() + limit_ * own_work_;
        return true;
    }
    return false;
}

Ending Progress::ended(const Child::Finished& finished, int timeout, const Input& asked) const
{
    return ending_of(finished,
                     (in_step_ ? "" : "after it answered ") +
                         protocol::step_text(step_, subject_, asked),
                     in_step_ ? timeout : timeout * static_cast<int>(own_work_));
}

}  // namespace selnary::report
