// The child's side: asks each compressor what the platform's chooser asks it
// on Windows, and proves one that takes the probe by a round trip
// (roundtrip.cpp). Whatever a compressor leaves behind that could change the
// next one's answers (the current folder, the fault handler) is put back
// before the next.

#include "report/child/child.h"
#include "report/parent/driver.h"
#include "report/frames/pictures.h"
#include "report/out/protocol.h"
#include "report/base/text.h"

#include <cwchar>  // for wcsnlen
#include <exception>
#include <optional>

namespace selnary::report {
namespace {

constexpr DWORD kMostCompressors = 4096;

// Asks the format it proposes for the input, whose header is IN_FORMAT.
// Empty, with ROW's reason, when it gives none that can be used.
std::vector<unsigned char> proposed_format(HIC compressor, const Input& input,
                                           std::vector<unsigned char>& in_format, Steps& steps,
                                           Row& row)
{
    const std::string takes = "it takes " + input.named("the probe");
    const auto in = reinterpret_cast<DWORD_PTR>(in_format.data());
    const long long size = answer(
        steps("format", [&] { return ICSendMessage(compressor, ICM_COMPRESS_GET_FORMAT, in, 0); }));
    if (size < 0) {
        row.reason = {"no_format",
                      takes +
                          " but gives no format to compress it to: "
                          "asked the size of that format, it answered " +
                          text::icerr_text(size)};
        return {};
    }
    if (size < static_cast<long long>(sizeof(BITMAPINFOHEADER)) || size > kMostFormatBytes) {
        row.reason = {"no_format",
                      takes + " but says the format it proposes needs " + std::to_string(size) +
                          " bytes"};
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
                      takes +
                          " but gives no format to compress it to: " + text::icerr_text(result)};
        return {};
    }
    format.resize(static_cast<std::size_t>(size));
    const auto header = reinterpret_cast<BITMAPINFOHEADER*>(format.data());
    row.proposed = Proposed{text::compression_text(header->biCompression), header->biBitCount};
    return format;
}

}  // namespace

Installed list_installed(HANDLE channel)
{
    Installed installed;
    for (DWORD i = 0; i < kMostCompressors; ++i) {
        ICINFO info{};
        info.dwSize = sizeof info;
        if (!ICInfo(ICTYPE_VIDEO, i, &info))
            break;
        installed.handlers.push_back(info.fccHandler);
        installed.drivers.emplace_back(info.szDriver,
                                       wcsnlen(info.szDriver, ARRAYSIZE(info.szDriver)));
        if (channel)
            send(channel,
                 protocol::entry(static_cast<int>(i), text::fourcc(info.fccHandler),
                                 text::utf8(installed.drivers.back())));
    }
    // Which drivers may be tried as another's decompressor, known before
    // any compressor is loaded.
    for (const std::wstring& driver : installed.drivers)
        installed.sound.push_back(!look_at_driver(driver, false).reason);
    return installed;
}

bool examine_one(int index, const Installed& installed, const Input& input, Steps& steps, Row& row,
                 Kept* kept)
{
    const DWORD handler = installed.handlers[static_cast<std::size_t>(index)];
    bool changed = false;
    row.index = index;
    row.code = text::fourcc(handler);
    row.driver = text::utf8(installed.drivers[static_cast<std::size_t>(index)]);
    std::vector<unsigned char> in_format = header_bytes(*input.format, input.size);

    HIC opened = steps("open", [&] { return ICOpen(ICTYPE_VIDEO, handler, ICMODE_COMPRESS); });
    row.opens = opened != nullptr;
    if (!opened) {
        // Only to describe itself: why it does not open for compression the
        // parent finds out from its driver file, in a process no compressor
        // has changed.
        opened = steps("open_query", [&] { return ICOpen(ICTYPE_VIDEO, handler, ICMODE_QUERY); });
        if (opened)
            row.reason = {"refused_open",
                          "it refused to open for compression (it opens only to describe itself)"};
        changed = true;
    }
    const Opened compressor(steps, opened, "close");
    if (!compressor)
        return changed;
    ICINFO info{};
    info.dwSize = sizeof info;
    steps("describe", [&] { return ICGetInfo(compressor.get(), &info, sizeof info); });
    row.description = bounded(info.szDescription);
    if (!row.opens)
        return changed;

    // What the chooser asks on Windows: this input, any output.
    const long long query = answer(steps("query", [&] {
        return ICSendMessage(compressor.get(), ICM_COMPRESS_QUERY,
                             reinterpret_cast<DWORD_PTR>(in_format.data()), 0);
    }));
    row.query_result = query;
    row.accepts = query == ICERR_OK;
    if (!row.accepts) {
        row.reason = {"rejects_probe",
                      "it does not take " + input.named("the probe format") +
                          ": ICCompressQuery answered " + text::icerr_text(query)};
    } else {
        const std::vector<unsigned char> format = proposed_format(compressor.get(), input,
                                                                  in_format, steps, row);
        if (!format.empty())
            changed = round_trip(compressor.get(), handler, installed, input, format, steps, row,
                                 kept);
    }
    row.configure = steps("dialogs", [&] { return ICQueryConfigure(compressor.get()); });
    row.about = steps("dialogs", [&] { return ICQueryAbout(compressor.get()); });
    return changed;
}

void save_recording(const std::string& folder, const PixelFormat* format, const Stream& recording,
                    Row& row)
{
    Recording& saved = row.recording.emplace();
    saved.file = saved_name(row.code, format, "avi");
    saved.frames = static_cast<int>(recording.frames.size());
    for (const Output& frame : recording.frames)
        saved.key_frames += frame.key;
    saved.problem = write_avi(folder + "\\" + saved.file, recording);
    if (saved.problem && !row.reason)
        row.reason = {"avi_not_written",
                      "its recording " + saved.file + " could not be written: " + *saved.problem};
}

int examine(int first, HANDLE channel, const Input& input, const std::string& save)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    try {
        std::wstring folder(32768, L'\0');
        folder.resize(GetCurrentDirectoryW(static_cast<DWORD>(folder.size()), folder.data()));
        const Installed installed = list_installed(channel);
        send(channel, protocol::count(static_cast<int>(installed.handlers.size())));
        // Each compressor is asked about each format in turn: one unit of
        // work each, numbered across the whole, so that a crash costs one.
        const auto per = static_cast<std::size_t>(input.formats());
        for (std::size_t unit = static_cast<std::size_t>(first);
             unit < installed.handlers.size() * per; ++unit) {
            // Whatever the one before changed for the process, put back.
            SetCurrentDirectoryW(folder.c_str());
            SetUnhandledExceptionFilter(end_on_fault);
            Row row;
            Steps steps(channel, static_cast<int>(unit));
            const Input asked = input.nth(static_cast<int>(unit % per));
            Kept kept;
            const bool changed = examine_one(static_cast<int>(unit / per), installed, asked, steps,
                                             row, save.empty() ? nullptr : &kept);
            // Written before the row is sent, so that the parent's report
            // comes after every file; a picture that cannot be written is
            // left, a recording says why.
            const PixelFormat* named = input.every_format ? asked.format : nullptr;
            if (!kept.back.empty())
                save_back(save, row.code, asked, named, kept.back);
            if (!kept.recording.frames.empty())
                save_recording(save, named, kept.recording, row);
            if (!kept.clip.frames.empty())
                save_clip(save, named, kept.clip);
            row.index = static_cast<int>(unit);  // the parent turns it back into the compressor's
            send(channel, protocol::row(row));
            // One that does not open does not for any format: its other
            // cells are this one, without a process for each.
            for (; !row.opens && (unit + 1) % per != 0; ++unit) {
                row.index = static_cast<int>(unit + 1);
                send(channel, protocol::row(row));
            }
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
