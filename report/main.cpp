// selnary-compressors: which installed video compressors take the probe
// format, the uncompressed 256 x 256, 32-bit RGB frame selnary's chooser offers.
//
//   selnary-compressors.exe [--json] [--timeout SECONDS]
//
// For each video compressor installed for this program's bitness, in the
// order the platform enumerates them (ICInfo over ICTYPE_VIDEO): its code,
// description and driver, whether it opens for compression, whether it
// accepts the probe format (ICCompressQuery with no output format, the
// question the chooser asks on Windows), the format it proposes, and whether
// it offers Configure and About.
//
// Compressors are examined in a child process, this program run with
// --examine FIRST, that goes on from compressor FIRST. One that faults or
// hangs (no answer in SECONDS, 10 by default) ends that child and gets a row
// saying so; a new child goes on with the next one.
//
// Exit status: 0 a complete report, every compressor answered; 3 a complete
// report, one or more faulted or hung; 2 usage; 1 no report could be made.

#include "platform/platform.h"
#include "report/report.h"

#include <cstdio>  // for std::fprintf
#include <cstdlib>  // for std::strtol
#include <cstring>  // for std::strcmp
#include <string>
#include <vector>

namespace {

using selnary::report::Report;
using selnary::report::Row;

constexpr int kDefaultTimeout = 10;
// A child's start, before its first line: a process start, which takes
// seconds where 32-bit code is emulated, more than one compressor's answer.
constexpr int kStartTimeoutFactor = 3;

int usage()
{
    std::fputs("usage: selnary-compressors.exe [--json] [--timeout SECONDS]\n", stderr);
    return 2;
}

std::vector<std::string> split(const std::string& line)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const std::size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
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
        if (out_)
            CloseHandle(out_);
    }

    bool start(int first)
    {
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE write = nullptr;
        if (!CreatePipe(&out_, &write, &inherit, 0))
            return false;
        SetHandleInformation(out_, HANDLE_FLAG_INHERIT, 0);

        wchar_t path[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(path, length) + L"\" --examine " +
            std::to_wstring(first);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write;
        startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        PROCESS_INFORMATION created{};
        const BOOL started = length > 0 && length < MAX_PATH &&
            CreateProcessW(path, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                           &startup, &created);
        CloseHandle(write);  // so the pipe ends when the child does
        if (!started)
            return false;
        CloseHandle(created.hThread);
        process_ = created.hProcess;
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
            if (!PeekNamedPipe(out_, nullptr, 0, nullptr, &available, nullptr))
                return Read::ended;  // the child has ended and said all it had
            if (available > 0) {
                std::string chunk(available, '\0');
                DWORD got = 0;
                if (!ReadFile(out_, chunk.data(), available, &got, nullptr))
                    return Read::ended;
                buffer_.append(chunk, 0, got);
                continue;
            }
            if (GetTickCount64() >= deadline)
                return Read::timed_out;
            WaitForSingleObject(process_, 20);
        }
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
    HANDLE out_ = nullptr;
    std::string buffer_;
};

std::string hex(DWORD value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
    return text;
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
            std::fprintf(stderr,
                         "selnary-compressors: cannot start the examining process (error %lu)\n",
                         GetLastError());
            return 1;
        }
        const int started_at = next;
        int current = -1;
        std::string step;
        ULONGLONG deadline = GetTickCount64() + limit * kStartTimeoutFactor;
        std::string line;
        Child::Read read;
        while ((read = child.next(line, deadline)) == Child::Read::line) {
            const std::vector<std::string> fields = split(line);
            const std::string& kind = fields[0];
            const int index = fields.size() > 1 ? std::atoi(fields[1].c_str()) : -1;
            if (kind == "entry" && count < 0 && fields.size() == 4) {
                Row row;
                row.index = index;
                row.code = fields[2];
                row.driver = fields[3];
                report.rows.push_back(row);
            } else if (kind == "count" && count < 0) {
                count = static_cast<int>(report.rows.size());
                deadline = GetTickCount64() + limit;
            } else if (kind == "step" && fields.size() == 3 && index >= 0 && index < count) {
                if (index != current)
                    deadline = GetTickCount64() + limit;
                current = index;
                step = fields[2];
            } else if (kind == "row" && fields.size() == 9 && index >= 0 && index < count) {
                Row& row = report.rows[static_cast<std::size_t>(index)];
                row.opens = fields[2] == "1";
                row.description = fields[3];
                row.accepts = fields[4] == "1";
                row.proposes = row.accepts && fields[5] != "-";
                row.proposed_compression = fields[5];
                row.proposed_bits = std::atoi(fields[6].c_str());
                row.configure = fields[7] == "1";
                row.about = fields[8] == "1";
                next = index + 1;
                current = -1;
            }
        }
        const DWORD status = child.stop();
        if (current >= 0) {
            Row& row = report.rows[static_cast<std::size_t>(current)];
            if (read == Child::Read::timed_out) {
                row.outcome = Row::Outcome::hung;
                row.problem = "no answer in " + std::to_string(timeout) + " s " + step;
            } else {
                row.outcome = Row::Outcome::faulted;
                row.problem = status >= 0xC0000000
                    ? "faulted " + step + " (exception " + hex(status) + ")"
                    : "ended the process " + step + " (status " + std::to_string(status) + ")";
            }
            next = current + 1;
        } else if (count < 0 || next == started_at) {
            // Nothing was learnt from this child, so another would fare no better.
            std::fprintf(stderr, "selnary-compressors: the examining process %s (status %s)\n",
                         read == Child::Read::timed_out ? "did not answer in time" : "ended early",
                         hex(status).c_str());
            return 1;
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    bool json = false;
    int timeout = kDefaultTimeout;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--examine") == 0 && i + 1 < argc && argc == 3)
            return selnary::report::examine(std::atoi(argv[i + 1]));
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
    if (json)
        selnary::report::print_json(report);
    else
        selnary::report::print_table(report);
    for (const Row& row : report.rows)
        if (row.outcome != Row::Outcome::answered)
            return 3;
    return 0;
}
