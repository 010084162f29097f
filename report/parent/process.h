// A child process of the report: this program run again with a pipe of its
// own to tell the parent what it does (protocol.h), its standard handles
// leading nowhere; what it says of its steps; and how one that ended or hung
// is described.
#pragma once

#include "platform/platform.h"
#include "report/base/owned.h"
#include "report/base/text.h"
#include "report/out/protocol.h"
#include "report/out/row.h"

#include <optional>
#include <string>
#include <vector>

namespace selnary::report {

// A child's start, before its first line: a process start, which takes
// seconds where 32-bit code is emulated, more than one compressor's answer.
inline constexpr int kStartTimeoutFactor = 3;

// A child process of this program, started with its channel, and what it
// has said on it so far.
class Child {
  public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child()
    {
        if (process_)
            stop();
    }

    // This program run as VERB FIRST CHANNEL ARGUMENTS; 0, or the system's
    // error when it cannot start.
    DWORD start(const wchar_t* verb, int first, const std::string& arguments)
    {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE read = nullptr, write = nullptr;
        if (!CreatePipe(&read, &write, &inherit, 0))
            return GetLastError();
        channel_ = own(read);
        // Its end only, in the child; ours closes when this function returns,
        // so that the pipe ends when the child does.
        const Handle write_end = own(write);
        SetHandleInformation(read, HANDLE_FLAG_INHERIT, 0);
        const Handle nowhere = own(CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                               OPEN_EXISTING, 0, nullptr));
        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(path, length) + L"\" " + verb + L" " +
            std::to_wstring(first) + L" " +
            std::to_wstring(static_cast<unsigned long long>(
                reinterpret_cast<std::uintptr_t>(write))) +
            text::wide(arguments);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = startup.hStdOutput = startup.hStdError = nowhere.get();
        PROCESS_INFORMATION created{};
        if (!nowhere || length == 0 || length >= MAX_PATH ||
            !CreateProcessW(path, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                            nullptr, &startup, &created))
            return GetLastError();
        own(created.hThread);
        process_ = own(created.hProcess);
        id_ = created.dwProcessId;
        return 0;
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
            if (!PeekNamedPipe(channel_.get(), nullptr, 0, nullptr, &available, nullptr))
                return Read::ended;  // the child has ended and said all it had
            if (available > 0) {
                std::string chunk(available, '\0');
                DWORD got = 0;
                if (!ReadFile(channel_.get(), chunk.data(), available, &got, nullptr))
                    return Read::ended;
                buffer_.append(chunk, 0, got);
                continue;
            }
            if (GetTickCount64() >= deadline)
                return Read::timed_out;
            WaitForSingleObject(process_.get(), 5);
        }
    }

    // The titles of the windows the child shows, as a compressor waiting on
    // a message box would.
    std::vector<std::string> windows() const;

    // How a child that stopped telling ended: its exit status, and, where
    // READ timed out, the windows it showed.
    struct Finished {
        Read read;
        DWORD status = 0;
        std::vector<std::string> windows;
    };
    // Ends the child after READ, the last thing heard of it.
    Finished finish(Read read)
    {
        Finished finished{read, 0,
                          read == Read::timed_out ? windows() : std::vector<std::string>()};
        finished.status = stop();
        return finished;
    }

    // Ends the child if it still runs, and returns its exit status.
    DWORD stop()
    {
        TerminateProcess(process_.get(), 1);
        WaitForSingleObject(process_.get(), INFINITE);
        DWORD status = 0;
        GetExitCodeProcess(process_.get(), &status);
        process_.reset();
        return status;
    }

  private:
    Handle process_;
    DWORD id_ = 0;
    Handle channel_;
    std::string buffer_;
};

// How a child's unit of work ended that did not answer: hung (it timed
// out after TIMEOUT seconds, showing its windows), faulted (an exception's
// status) or ended the process; WHEN completes the sentence ("when opened").
struct Ending {
    Outcome outcome;
    Reason reason;
};
Ending ending_of(const Child::Finished& finished, const std::string& when, int timeout);

// ENTRY (a row, a decompressor's row) as one that ENDED at STEP.
template <class Entry>
void blame(Entry& entry, const Ending& ended, const std::string& step)
{
    entry.outcome = ended.outcome;
    entry.step = step;
    entry.problem = ended.reason.text;
    entry.reason = ended.reason;
}

// What a child says of its steps as it goes (calling and back): the unit of
// work it is at, the step, whether inside a call or in the report's own
// work after one; and so when its next line is due.
class Progress {
  public:
    // LIMIT_MS: how long one step may take; the child's start gets
    // kStartTimeoutFactor of them.
    explicit Progress(ULONGLONG limit_ms)
        : limit_(limit_ms), deadline_(GetTickCount64() + limit_ms * kStartTimeoutFactor)
    {
    }
    // Between two calls the report's own work may take this many limits.
    void set_own_work(ULONGLONG limits)
    {
        own_work_ = limits;
    }

    // MESSAGE, where it is a calling or back message about a unit from
    // FIRST up to END; true where it was.
    bool hear(const protocol::Message& message, long long first, long long end);
    // The child moved on: its next line is due within a limit.
    void moved_on()
    {
        deadline_ = GetTickCount64() + limit_;
    }
    // Its unit of work is done; none is under way.
    void done()
    {
        unit_.reset();
        in_step_ = false;
    }

    ULONGLONG deadline() const
    {
        return deadline_;
    }
    const std::optional<int>& unit() const
    {
        return unit_;
    }
    const std::string& step() const
    {
        return step_;
    }
    const std::string& subject() const
    {
        return subject_;
    }

    // How the unit under way ended, where the child FINISHED without
    // answering, TIMEOUT seconds a step: in a call, or after it answered, in
    // the report's own work between two calls, which a driver's code left
    // running in the process (a thread, a corrupted heap, a held lock) can
    // break.
    Ending ended(const Child::Finished& finished, int timeout, const Input& asked = {}) const;

  private:
    ULONGLONG limit_, own_work_ = 1, deadline_;
    std::optional<int> unit_;
    bool in_step_ = false;
    std::string step_, subject_;
};

}  // namespace selnary::report
