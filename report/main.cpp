// selnary-compressors: which installed video compressors take the probe
// format, the uncompressed 256 x 256, 32-bit RGB frame selnary's chooser
// offers; why the others do not; and whether each one that does really
// compresses it and gives it back.
//
// Compressors are examined in a child process, this program run with
// --examine FIRST CHANNEL, that goes on from compressor FIRST and reports on
// the pipe CHANNEL (protocol.h). Its standard handles lead nowhere, so what a
// compressor writes there is lost rather than taken for an answer. One that
// faults, hangs or ends the process ends that child and gets a row saying so,
// at which step; a new child goes on with the next one.

#include "platform/platform.h"
#include "report/protocol.h"
#include "report/report.h"

#include <cstdint>
#include <cstdio>  // for std::snprintf
#include <cstdlib>  // for std::strtol, std::strtoull
#include <cstring>  // for std::strcmp
#include <string>
#include <vector>

namespace {

using selnary::report::Report;
using selnary::report::Row;
using selnary::report::write_error;
using selnary::report::write_out;
namespace protocol = selnary::report::protocol;

constexpr int kDefaultTimeout = 10;
// A child's start, before its first line: a process start, which takes
// seconds where 32-bit code is emulated, more than one compressor's answer.
constexpr int kStartTimeoutFactor = 3;

constexpr char kUsage[] = "usage: selnary-compressors.exe [--json] [--timeout SECONDS]\n";

constexpr char kHelp[] =
    "Which installed video compressors take selnary's probe format (256 x 256,\n"
    "32-bit uncompressed RGB), why the others do not, and whether each one that\n"
    "takes it really works: the probe frame is compressed and decompressed again.\n"
    "Compressors installed for the other bitness are listed, never loaded.\n"
    "\n"
    "  --json               one JSON document instead of the table\n"
    "  --timeout SECONDS    how long one step of one compressor may take (10)\n"
    "  --help, /?           this text\n"
    "\n"
    "Each compressor is asked in a child process, so one that crashes or hangs\n"
    "costs its own row and nothing else.\n"
    "\n"
    "Exit status: 0 a complete report, every compressor answered; 3 a complete\n"
    "report, one or more faulted or hung (their rows say so); 2 usage; 1 no\n"
    "report could be made.\n";

int usage()
{
    write_error(kUsage);
    return 2;
}

std::string hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

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
        search.titles.push_back(selnary::report::utf8(
            std::wstring(title, static_cast<std::size_t>(length > 0 ? length : 0))));
    }
    return TRUE;
}

// A child examining compressors, and what it has said so far.
class Child {
  public:
    ~Child()
    {
        if (process_) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, INFINITE);
            CloseHandle(process_);
        }
        if (channel_)
            CloseHandle(channel_);
    }

    // The last system error when it cannot start.
    bool start(int first)
    {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE write = nullptr;
        if (!CreatePipe(&channel_, &write, &inherit, 0))
            return false;
        SetHandleInformation(channel_, HANDLE_FLAG_INHERIT, 0);
        const HANDLE nowhere = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                           OPEN_EXISTING, 0, nullptr);

        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(path, length) + L"\" --examine " +
            std::to_wstring(first) + L" " +
            std::to_wstring(static_cast<unsigned long long>(
                reinterpret_cast<std::uintptr_t>(write)));
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = nowhere;
        PROCESS_INFORMATION created{};
        const BOOL started = nowhere != INVALID_HANDLE_VALUE && length > 0 && length < MAX_PATH &&
            CreateProcessW(path, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                           nullptr, &startup, &created);
        const DWORD error = GetLastError();
        CloseHandle(write);  // so the pipe ends when the child does
        if (nowhere != INVALID_HANDLE_VALUE)
            CloseHandle(nowhere);
        SetLastError(error);
        if (!started)
            return false;
        CloseHandle(created.hThread);
        process_ = created.hProcess;
        id_ = created.dwProcessId;
        return true;
    }

    enum class Read { line, ended, timed_out };

    // The next line into LINE, unless the child ends first or the deadline passes.
    Read next(std::string& line, ULONGLONG deadline)
    {
        for (;;) {
            const std::size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return Read::line;
            }
            DWORD available = 0;
            if (!PeekNamedPipe(channel_, nullptr, 0, nullptr, &available, nullptr))
                return Read::ended;  // the child has ended and said all it had
            if (available > 0) {
                std::string chunk(available, '\0');
                DWORD got = 0;
                if (!ReadFile(channel_, chunk.data(), available, &got, nullptr))
                    return Read::ended;
                buffer_.append(chunk, 0, got);
                continue;
            }
            if (GetTickCount64() >= deadline)
                return Read::timed_out;
            WaitForSingleObject(process_, 5);
        }
    }

    // The titles of the windows the child shows, as a compressor waiting on
    // a message box would.
    std::vector<std::string> windows() const
    {
        WindowSearch search{id_, {}};
        EnumWindows(add_window, reinterpret_cast<LPARAM>(&search));
        return search.titles;
    }

    // Ends the child if it still runs, and returns its exit status.
    DWORD stop()
    {
        TerminateProcess(process_, 1);
        WaitForSingleObject(process_, INFINITE);
        DWORD status = 0;
        GetExitCodeProcess(process_, &status);
        return status;
    }

  private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    HANDLE channel_ = nullptr;
    std::string buffer_;
};

// What a compressor did instead of answering, at the step it was at.
// AFTER: the process failed once the compressor had answered STEP, in the
// examination's own work between two calls, which a compressor's code left
// running in the process (a thread, a corrupted heap, a held lock) can break.
void blame(Row& row, Child::Read read, DWORD status, const std::vector<std::string>& windows,
           const std::string& step, const std::string& subject, bool after, int timeout)
{
    const std::string when = (after ? "after it answered " : "") +
        protocol::step_text(step, subject);
    row.step = step;
    row.outcome = read == Child::Read::timed_out ? Row::Outcome::hung : Row::Outcome::faulted;
    if (read == Child::Read::timed_out) {
        row.problem = "no answer in " + std::to_string(timeout) + " s " + when;
        if (!windows.empty())
            row.problem += ", showing a window titled \"" + windows.front() + "\"";
        row.reason.code = "hung";
    } else if (status >= 0xC0000000) {
        row.problem = "faulted " + when + " (exception " + hex(status) + ")";
        row.reason.code = "faulted";
    } else {
        row.problem = "ended the process " + when + " (status " + std::to_string(status) + ")";
        row.reason.code = "ended_process";
    }
    row.reason.text = row.problem;
}

// Why ROW's compressor, which did not open even to describe itself, fails:
// read from its driver file here, where no compressor was ever loaded.
void explain_closed(Row& row)
{
    const selnary::report::DriverLook look = selnary::report::look_at_driver(
        selnary::report::wide(row.driver));
    row.driver_path = look.path;
    row.missing_dll = look.missing_dll;
    row.reason = look.reason;
    if (row.reason.code.empty())
        row.reason = {"refused_open",
                      "it refused to open for compression (its driver file, the "
                      "DLLs it needs and its DriverProc are all there)"};
}

// Runs children until every compressor has its row. Returns 1 and says why
// on standard error when no report can be made.
int collect(Report& report, int timeout)
{
    const ULONGLONG limit = static_cast<ULONGLONG>(timeout) * 1000;
    int count = -1, next = 0;
    while (count < 0 || next < count) {
        Child child;
        if (!child.start(next)) {
            write_error("selnary-compressors: cannot start the examining process (error " +
                        std::to_string(GetLastError()) + ")\n");
            return 1;
        }
        const int started_at = next;
        int current = -1;  // the compressor being examined
        bool in_step = false;  // inside one of its calls, not the report's own work
        std::string step, subject;
        ULONGLONG deadline = GetTickCount64() + limit * kStartTimeoutFactor;
        std::string line;
        Child::Read read;
        while ((read = child.next(line, deadline)) == Child::Read::line) {
            protocol::Message message;
            if (!protocol::decode(line, message))
                continue;
            const std::string& kind = message.kind;
            const long long index = message.number("index");
            const bool known = index >= 0 && index < count;
            if (kind == "entry" && count < 0 &&
                index == static_cast<long long>(report.rows.size())) {
                Row row;
                row.index = static_cast<int>(index);
                row.code = message.text("code");
                row.driver = message.text("driver");
                report.rows.push_back(row);
            } else if (kind == "count" && count < 0) {
                count = static_cast<int>(report.rows.size());
                deadline = GetTickCount64() + limit;
            } else if (kind == "step" && known) {
                current = static_cast<int>(index);
                in_step = true;
                step = message.text("step");
                subject = message.text("subject");
                deadline = GetTickCount64() + limit;
            } else if (kind == "back" && known) {
                in_step = false;
                deadline = GetTickCount64() + limit;
            } else if (kind == "row" && known) {
                protocol::read_row(message, report.rows[static_cast<std::size_t>(index)]);
                next = static_cast<int>(index) + 1;
                current = -1;
                in_step = false;
                // The last row: the child has nothing more to say, and its
                // orderly exit (every driver unloaded) is not worth waiting for.
                if (next == count)
                    break;
            } else if (kind == "failed") {
                write_error("selnary-compressors: the examination failed: " + message.text("text") +
                            "\n");
                return 1;
            }
        }
        const std::vector<std::string> windows = read == Child::Read::timed_out
            ? child.windows()
            : std::vector<std::string>();
        const DWORD status = child.stop();
        if (current >= 0) {
            blame(report.rows[static_cast<std::size_t>(current)], read, status, windows, step,
                  subject, !in_step, timeout);
            next = current + 1;
        } else if (count < 0 || (next == started_at && next < count)) {
            // Nothing was learnt from this child, so another would fare no better.
            write_error(
                std::string("selnary-compressors: the examining process ") +
                (read == Child::Read::timed_out ? "did not answer in time" : "ended early") +
                " (status " + hex(status) + ")\n");
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--examine") == 0) {
        const auto channel = static_cast<std::uintptr_t>(std::strtoull(argv[3], nullptr, 10));
        return selnary::report::examine(std::atoi(argv[2]), reinterpret_cast<void*>(channel));
    }
    bool json = false;
    int timeout = kDefaultTimeout;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0 ||
            std::strcmp(argv[i], "/?") == 0) {
            write_out(std::string(kUsage) + "\n" + kHelp);
            return 0;
        }
        if (std::strcmp(argv[i], "--json") == 0) {
            json = true;
        } else if (std::strcmp(argv[i], "--timeout") == 0 && i + 1 < argc) {
            char* end = nullptr;
            const long seconds = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || seconds < 1 || seconds > 3600)
                return usage();
            timeout = static_cast<int>(seconds);
        } else {
            return usage();
        }
    }

    Report report;
    report.bits = static_cast<int>(sizeof(void*) * 8);
    if (const int failed = collect(report, timeout))
        return failed;
    std::vector<std::string> known;
    for (Row& row : report.rows) {
        known.push_back(row.code);
        if (row.outcome == Row::Outcome::answered && !row.opens && row.reason.code.empty())
            explain_closed(row);
    }
    report.foreign = selnary::report::other_bitness(known);
    if (json)
        selnary::report::print_json(report);
    else
        selnary::report::print_table(report);
    for (const Row& row : report.rows)
        if (row.outcome != Row::Outcome::answered)
            return 3;
    return 0;
}
