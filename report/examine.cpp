// The child's side: asks each compressor what the platform's chooser asks it
// on Windows, and says each step before taking it, so that the parent can
// name the step at which a compressor faulted or hung.
//
// Lines on standard output, fields separated by tabs, UTF-8:
//   entry I CODE DRIVER    every installed compressor, in enumeration order
//   count N
//   step I WHAT            about to ask compressor I; WHAT completes "faulted ..."
//   row I OPENS DESCRIPTION ACCEPTS COMPRESSION BITS CONFIGURE ABOUT

#include "platform/platform.h"
#include "probe/probe.h"
#include "report/report.h"

#include <string>
#include <vector>

namespace selnary::report {
namespace {

void write_line(const std::string& line)
{
    write_out(line + "\n");
}

// A field: UTF-8, with no tab or line break to split the line.
std::string field(const wchar_t* text)
{
    std::wstring wide(text);
    for (wchar_t& c : wide)
        if (c == L'\t' || c == L'\r' || c == L'\n')
            c = L' ';
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), bytes.data(), size,
                        nullptr, nullptr);
    return bytes;
}

std::string fourcc(DWORD code)
{
    std::string text;
    for (int shift = 0; shift < 32; shift += 8) {
        const char c = static_cast<char>((code >> shift) & 0xFF);
        text += c >= 0x20 && c < 0x7F && c != '\t' ? c : '?';
    }
    return text;
}

const char* yes_no(bool value)
{
    return value ? "1" : "0";
}

// Dies with the fault's code instead of waking a debugger or an error
// dialog, so the parent learns at once that the compressor faulted.
LONG WINAPI end_on_fault(EXCEPTION_POINTERS* fault)
{
    TerminateProcess(GetCurrentProcess(), fault->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

void examine_one(int index, DWORD handler)
{
    const std::string at = std::to_string(index);
    const auto step = [&at](const char* what) { write_line("step\t" + at + "\t" + what); };

    BITMAPINFOHEADER probe;
    fill_probe_format(probe);

    step("when opened");
    HIC compressor = ICOpen(ICTYPE_VIDEO, handler, ICMODE_COMPRESS);
    const bool opens = compressor != nullptr;
    if (!compressor) {
        // Its description still comes from an open for information only.
        step("when opened for its description");
        compressor = ICOpen(ICTYPE_VIDEO, handler, ICMODE_QUERY);
    }

    ICINFO info{};
    info.dwSize = sizeof info;
    bool accepts = false, configure = false, about = false;
    std::string compression = "-", bits = "0";
    if (compressor) {
        step("when asked for its description");
        ICGetInfo(compressor, &info, sizeof info);
    }
    if (opens) {
        // What the chooser asks on Windows: this input, any output.
        step("when asked about the probe format");
        accepts = ICCompressQuery(compressor, &probe, nullptr) == ICERR_OK;
        if (accepts) {
            step("when asked for the format it proposes");
            const LRESULT size = ICCompressGetFormatSize(compressor, &probe);
            if (size >= static_cast<LRESULT>(sizeof(BITMAPINFOHEADER))) {
                std::vector<BITMAPINFOHEADER> out(
                    (static_cast<std::size_t>(size) + sizeof(BITMAPINFOHEADER) - 1) /
                    sizeof(BITMAPINFOHEADER));
                if (ICCompressGetFormat(compressor, &probe, out.data()) == ICERR_OK) {
                    compression = compression_text(out[0].biCompression);
                    bits = std::to_string(out[0].biBitCount);
                }
            }
        }
        step("when asked about Configure and About");
        configure = ICQueryConfigure(compressor);
        about = ICQueryAbout(compressor);
    }
    if (compressor) {
        step("when closed");
        ICClose(compressor);
    }
    write_line("row\t" + at + "\t" + yes_no(opens) + "\t" + field(info.szDescription) + "\t" +
               yes_no(accepts) + "\t" + compression + "\t" + bits + "\t" + yes_no(configure) +
               "\t" + yes_no(about));
}

}  // namespace

int examine(int first)
{
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    SetUnhandledExceptionFilter(end_on_fault);

    // The list comes from the registry alone; no compressor is loaded for it.
    std::vector<DWORD> handlers;
    for (DWORD i = 0;; ++i) {
        ICINFO info{};
        info.dwSize = sizeof info;
        if (!ICInfo(ICTYPE_VIDEO, i, &info))
            break;
        handlers.push_back(info.fccHandler);
        write_line("entry\t" + std::to_string(i) + "\t" + fourcc(info.fccHandler) + "\t" +
                   field(info.szDriver));
    }
    write_line("count\t" + std::to_string(handlers.size()));
    for (std::size_t i = static_cast<std::size_t>(first); i < handlers.size(); ++i)
        examine_one(static_cast<int>(i), handlers[i]);
    return 0;
}

}  // namespace selnary::report
