// The child's side: asks each compressor what the platform's chooser asks it
// on Windows, proves a compressor that takes the probe by a round trip, and
// finds out why one that does not open fails. Every call into a compressor
// is a named step (see Steps), and whatever a compressor leaves behind that
// could change the next one's answers (the current folder, the fault
// handler) is put back before the next.

#include "platform/platform.h"
#include "probe/probe.h"
#include "report/examine.h"
#include "report/protocol.h"

#include <cwchar>  // for wcsnlen
#include <exception>
#include <string>
#include <vector>

namespace selnary::report {
namespace {

// The format a compressor proposes: a header and what follows it, no more.
constexpr long long kMostFormatBytes = 64 * 1024;

template <std::size_t N>
std::string bounded(const wchar_t (&text)[N])
{
    // A compressor may fill the field to its last character with no end.
    return utf8(std::wstring(text, wcsnlen(text, N)));
}

// Dies with the fault's code instead of waking a debugger or an error
// dialog, so the parent learns at once that the compressor faulted.
LONG WINAPI end_on_fault(EXCEPTION_POINTERS* fault)
{
    TerminateProcess(GetCurrentProcess(), fault->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

// A compressor that does not open for compression: the description it gives
// when opened for information only. Why it does not open the parent finds
// out from its driver file, in a process no compressor has changed.
HIC open_for_description(DWORD handler, Steps& steps, Row& row)
{
    HIC information = steps("open_query",
                            [&] { return ICOpen(ICTYPE_VIDEO, handler, ICMODE_QUERY); });
    if (information)
        row.reason = {"refused_open",
                      "it refused to open for compression (it opens only to describe itself)"};
    return information;
}

// Asks the format it proposes for the probe. Empty, with ROW's reason, when
// it gives none that can be used.
std::vector<unsigned char> proposed_format(HIC compressor, BITMAPINFOHEADER& probe, Steps& steps,
                                           Row& row)
{
    const auto in = reinterpret_cast<DWORD_PTR>(&probe);
    const long long size = answer(
        steps("format", [&] { return ICSendMessage(compressor, ICM_COMPRESS_GET_FORMAT, in, 0); }));
    if (size < 0) {
        row.reason = {"no_format",
                      "it takes the probe but gives no format to compress it to: "
                      "asked the size of that format, it answered " +
                          icerr_text(size)};
        return {};
    }
    if (size < static_cast<long long>(sizeof(BITMAPINFOHEADER)) || size > kMostFormatBytes) {
        row.reason = {"no_format",
                      "it takes the probe but says the format it proposes needs " +
                          std::to_string(size) + " bytes"};
        return {};
    }
    // Room beyond what it claims, in case it writes more than it said.
    std::vector<unsigned char> format(static_cast<std::size_t>(size) + 4096);
    const long long result = answer(steps("format", [&] {
        return ICSendMessage(compressor, ICM_COMPRESS_GET_FORMAT, in,
                             reinterpret_cast<DWORD_PTR>(format.data()));
    }));
    if (result != ICERR_OK) {
        row.reason = {"no_format",
                      "it takes the probe but gives no format to compress it to: " +
                          icerr_text(result)};
        return {};
    }
    format.resize(static_cast<std::size_t>(size));
    const auto header = reinterpret_cast<BITMAPINFOHEADER*>(format.data());
    row.proposes = true;
    row.proposed_compression = compression_text(header->biCompression);
    row.proposed_bits = header->biBitCount;
    return format;
}

// Examines compressor INDEX. True when what it took to examine it may have
// changed this process for the next one: a driver that did not load as it
// should, or other compressors loaded to decompress its output.
bool examine_one(int index, const Installed& installed, HANDLE channel, Row& row)
{
    const DWORD handler = installed.handlers[static_cast<std::size_t>(index)];
    bool changed = false;
    row.index = index;
    row.code = fourcc(handler);
    Steps steps(channel, index);
    BITMAPINFOHEADER probe;
    fill_probe_format(probe);

    HIC compressor = steps("open", [&] { return ICOpen(ICTYPE_VIDEO, handler, ICMODE_COMPRESS); });
    row.opens = compressor != nullptr;
    if (!compressor) {
        compressor = open_for_description(handler, steps, row);
        changed = true;
    }
    if (compressor) {
        ICINFO info{};
        info.dwSize = sizeof info;
        steps("describe", [&] { return ICGetInfo(compressor, &info, sizeof info); });
        row.description = bounded(info.szDescription);
    }
    if (row.opens) {
        // What the chooser asks on Windows: this input, any output.
        const long long query = answer(steps("query", [&] {
            return ICSendMessage(compressor, ICM_COMPRESS_QUERY,
                                 reinterpret_cast<DWORD_PTR>(&probe), 0);
        }));
        row.queried = true;
        row.query_result = query;
        row.accepts = query == ICERR_OK;
        if (!row.accepts) {
            row.reason = {"rejects_probe",
                          "it does not take the probe format: ICCompressQuery answered " +
                              icerr_text(query)};
        } else {
            const std::vector<unsigned char> format = proposed_format(compressor, probe, steps,
                                                                      row);
            if (!format.empty())
                changed = round_trip(compressor, handler, installed, format, steps, row);
        }
        row.configure = steps("dialogs", [&] { return ICQueryConfigure(compressor); });
        row.about = steps("dialogs", [&] { return ICQueryAbout(compressor); });
    }
    if (compressor)
        steps("close", [&] { return ICClose(compressor); });
    return changed;
}

}  // namespace

std::string fourcc(DWORD code)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((code >> shift) & 0xFF);
        text += c >= 0x20 && c < 0x7F ? c : '?';
    }
    return text;
}

void send(HANDLE channel, const std::string& message)
{
    std::size_t at = 0;
    while (at < message.size()) {
        DWORD written = 0;
        if (!WriteFile(channel, message.data() + at, static_cast<DWORD>(message.size() - at),
                       &written, nullptr) ||
            written == 0)
            ExitProcess(1);  // the parent is gone
        at += written;
    }
}

void Steps::begin(const char* step, const std::string& subject)
{
    send(channel_, protocol::step(index_, step, subject));
}

void Steps::end()
{
    send(channel_, protocol::back(index_));
}

int examine(int first, void* channel_handle)
{
    const HANDLE channel = channel_handle;
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    try {
        std::wstring folder(32768, L'\0');
        folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));

        // The list comes from the registry alone; no compressor is loaded for it.
        Installed installed;
        std::vector<DWORD>& handlers = installed.handlers;
        std::vector<std::wstring>& drivers = installed.drivers;
        for (DWORD i = 0; i < 4096; ++i) {
            ICINFO info{};
            info.dwSize = sizeof info;
            if (!ICInfo(ICTYPE_VIDEO, i, &info))
                break;
            handlers.push_back(info.fccHandler);
            drivers.emplace_back(info.szDriver, wcsnlen(info.szDriver, ARRAYSIZE(info.szDriver)));
            send(channel,
                 protocol::entry(static_cast<int>(i), fourcc(info.fccHandler),
                                 utf8(drivers.back())));
        }
        send(channel, protocol::count(static_cast<int>(handlers.size())));
        // Which drivers may be tried as another's decompressor, known before
        // any compressor is loaded.
        for (const std::wstring& driver : drivers)
            installed.sound.push_back(look_at_driver(driver, false).reason.code.empty());
        for (std::size_t i = static_cast<std::size_t>(first); i < handlers.size(); ++i) {
            // Whatever the one before changed for the process, put back.
            SetCurrentDirectoryW(folder.c_str());
            SetUnhandledExceptionFilter(end_on_fault);
            Row row;
            const bool changed = examine_one(static_cast<int>(i), installed, channel, row);
            send(channel, protocol::row(row));
            // The next compressor gets a process as it was; the parent starts one.
            if (changed)
                return 0;
        }
    } catch (const std::exception& failure) {
        send(channel, protocol::failed(failure.what()));
        return 1;
    }
    return 0;
}

}  // namespace selnary::report
