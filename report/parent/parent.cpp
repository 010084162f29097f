// Compressors are examined in a child process, this program run with
// --examine FIRST CHANNEL, that goes on from compressor FIRST and reports on
// the pipe CHANNEL (protocol.h). Its standard handles lead nowhere, so what a
// compressor writes there is lost rather than taken for an answer. One that
// faults, hangs or ends the process ends that child and gets a row saying so,
// at which step; a new child goes on with the next one.

#include "report/parent/parent.h"

#include "platform/platform.h"
#include "probe/probe.h"
#include "report/out/console.h"
#include "report/parent/driver.h"
#include "report/parent/process.h"
#include "report/out/output.h"
#include "report/base/owned.h"
#include "report/frames/pictures.h"
#include "report/out/protocol.h"
#include "report/base/text.h"

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace selnary::report {
namespace {

constexpr DWORD kMostRegistryValues = 4096;

// Why ROW's compressor, which did not open even to describe itself, fails:
// read from its driver file here, where no compressor was ever loaded.
void explain_closed(Row& row)
{
    const DriverLook look = look_at_driver(text::wide(row.driver));
    row.driver_path = look.path;
    row.missing_dll = look.missing_dll;
    row.reason = look.reason.value_or(
        Reason{"refused_open",
               "it refused to open for compression (its driver file, the "
               "DLLs it needs and its DriverProc are all there)"});
}

// The steps before a compressor is asked about any format.
const std::set<std::string> kFormatFree = {"open", "open_query", "describe"};

// Runs children until every compressor has its row for each format INPUT
// asks about: ROWS holds them compressor by compressor, the formats of
// each in order. Returns 1 and says why on standard error when no report
// can be made.
int collect(std::vector<Row>& rows, int timeout, const Input& input, const std::string& save)
{
    const std::string arguments = child_arguments(input, save);
    const ULONGLONG limit = static_cast<ULONGLONG>(timeout) * 1000;
    // The report's own work between two calls (the clip made, converted and
    // compared) grows with the frame: as many limits as the frame has
    // probes' worth of pixels, so that a large frame is not called a hang.
    const long long pixels = static_cast<long long>(input.size.width) * input.size.height;
    const int own_work = static_cast<int>(
        std::max<long long>(1,
                            (pixels + kProbeSize.width * kProbeSize.height - 1) /
                                (kProbeSize.width * kProbeSize.height)));
    const int per = input.formats();
    std::vector<Row> entries;
    int count = -1, next = 0;  // units of work: a compressor asked about one format
    while (count < 0 || next < count) {
        Child child;
        if (const DWORD error = child.start(L"--examine", next, arguments)) {
            write_error("selnary-compressors: cannot start the examining process (error " +
                        std::to_string(error) + ")\n");
            return 1;
        }
        const int started_at = next;
        Progress progress(limit);  // of the compressor being examined
        progress.set_own_work(static_cast<ULONGLONG>(own_work));
        std::string line;
        Child::Read read;
        while ((read = child.next(line, progress.deadline())) == Child::Read::line) {
            const std::optional<protocol::Message> message = protocol::decode(line);
            if (!message || progress.hear(*message, 0, count))
                continue;
            const std::string& kind = message->kind;
            if (kind == "entry" && count < 0) {
                Row row;
                if (protocol::read_entry(*message, row) &&
                    row.index == static_cast<int>(entries.size()))
                    entries.push_back(row);
            } else if (kind == "count" && count < 0) {
                count = static_cast<int>(entries.size()) * per;
                for (const Row& entry : entries)
                    rows.insert(rows.end(), static_cast<std::size_t>(per), entry);
                progress.moved_on();
            } else if (kind == "row" && count >= 0) {
                Row row;
                if (!protocol::read_row(*message, row) || row.index < 0 || row.index >= count ||
                    row.code != rows[static_cast<std::size_t>(row.index)].code) {
                    write_error("selnary-compressors: the examining process sent a row that "
                                "cannot be read: " +
                                line + "\n");
                    return 1;
                }
                const int unit = row.index;
                row.index = unit / per;
                rows[static_cast<std::size_t>(unit)] = row;
                next = unit + 1;
                progress.done();
                // The last row: the child has nothing more to say, and its
                // orderly exit (every driver unloaded) is not worth waiting for.
                if (next == count)
                    break;
            } else if (kind == "failed") {
                write_error("selnary-compressors: the examination failed: " +
                            message->text("why").value_or("") + "\n");
                return 1;
            }
        }
        const Child::Finished finished = child.finish(read);
        if (const std::optional<int> current = progress.unit()) {
            Row& blamed = rows[static_cast<std::size_t>(*current)];
            blame(blamed, progress.ended(finished, timeout, input.nth(*current % per)),
                  progress.step());
            next = *current + 1;
            // Before it was asked about a format, every format would fare
            // the same: its other cells are this one, not asked again.
            if (kFormatFree.count(progress.step()) && progress.subject().empty())
                for (; next % per != 0; ++next)
                    rows[static_cast<std::size_t>(next)] = blamed;
        } else if (count < 0 || (next == started_at && next < count)) {
            // Nothing was learnt from this child, so another would fare no better.
            write_error(
                std::string("selnary-compressors: the examining process ") +
                (read == Child::Read::timed_out ? "did not answer in time" : "ended early") +
                " (status " + text::hex(finished.status) + ")\n");
            return 1;
        }
    }
    return 0;
}

}  // namespace

int report(const Options& options)
{
    Report report;
    report.bits = static_cast<int>(sizeof(void*) * 8);
    report.input = options.input;
    report.probe = header_of(report.input);
    std::string save;
    if (!options.save.empty()) {
        const Folder folder = make_folder(options.save);
        std::optional<std::string> problem = folder.problem;
        if (!problem)
            problem = save_sources(folder.path, options.input);
        if (problem) {
            write_error("selnary-compressors: cannot save pictures in " + folder.path + ": " +
                        *problem + "\n");
            return 1;
        }
        save = folder.path;
    }
    if (const int failed = collect(report.rows, options.timeout, options.input, save))
        return failed;
    for (Row& row : report.rows)
        if (row.outcome == Outcome::answered && !row.opens && !row.reason)
            explain_closed(row);
    std::set<std::string> mine;
    for (const Row& row : report.rows)
        mine.insert(text::lower_ascii(row.code));
    report.foreign = other_bitness(mine);
    const bool matrix = options.input.every_format;
    const Matrix cells = matrix ? matrix_of(report) : Matrix{};
    const std::string json = options.json || !save.empty()
        ? (matrix ? json_text(cells) : json_text(report))
        : "";
    // What each picture is, beside them.
    if (!save.empty() && !save_text(save, "report.json", json))
        write_error("selnary-compressors: cannot write report.json in " + save + "\n");
    write_out(options.json ? json : matrix ? table_text(cells) : table_text(report));
    for (const Row& row : report.rows)
        if (row.outcome != Outcome::answered)
            return 3;
    return 0;
}

std::vector<Foreign> other_bitness(const std::set<std::string>& mine)
{
    REGSAM view = KEY_WOW64_32KEY;
    int bits = 32;
    if (sizeof(void*) == 4) {
        // A 32-bit Windows has no other view.
        BOOL wow64 = FALSE;
        if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64)
            return {};
        view = KEY_WOW64_64KEY;
        bits = 64;
    }
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE,
                      L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32", 0,
                      KEY_QUERY_VALUE | view, &opened) != ERROR_SUCCESS)
        return {};
    const Key key(opened);
    std::vector<Foreign> found;
    for (DWORD i = 0; i < kMostRegistryValues; ++i) {
        wchar_t name[256], data[MAX_PATH];
        DWORD name_length = ARRAYSIZE(name), data_size = sizeof data - sizeof(wchar_t), type = 0;
        const LONG status = RegEnumValueW(key.get(), i, name, &name_length, nullptr, &type,
                                          reinterpret_cast<BYTE*>(data), &data_size);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
            continue;
        const std::string value_name = text::lower_ascii(
            text::utf8(std::wstring_view(name, name_length)));
        if (value_name.size() != 9 || value_name.compare(0, 5, "vidc.") != 0 ||
            mine.count(value_name.substr(5)))
            continue;
        Foreign foreign;
        foreign.code = text::utf8(std::wstring_view(name + 5, 4));
        foreign.driver = text::utf8(
            std::wstring_view(data, wcsnlen(data, data_size / sizeof(wchar_t))));
        foreign.bits = bits;
        foreign.reason = {"other_bitness",
                          "installed for " + std::to_string(bits) + "-bit programs only: use the " +
                              (bits == 64 ? "x64" : "x86") + " program"};
        found.push_back(foreign);
    }
    return found;
}

}  // namespace selnary::report
