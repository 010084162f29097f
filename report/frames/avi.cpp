#include "report/frames/avi.h"

#include "platform/platform.h"
#include "report/base/text.h"

#include <algorithm>
#include <cstdio>  // for std::snprintf

namespace selnary::report {
namespace {

constexpr DWORD kRate = 30;

// The library's objects, each released when it goes.
struct Library {
    Library()
    {
        AVIFileInit();
    }
    ~Library()
    {
        AVIFileExit();
    }
};
template <class Interface>
struct Released {
    Interface* object = nullptr;
    ~Released()
    {
        if (object)
            object->Release();
    }
};

}  // namespace

std::string avierr_text(HRESULT result)
{
    static constexpr struct {
        HRESULT code;
        const char* name;
    } kNames[] = {
        {AVIERR_UNSUPPORTED, "AVIERR_UNSUPPORTED"},
        {AVIERR_BADFORMAT, "AVIERR_BADFORMAT"},
        {AVIERR_MEMORY, "AVIERR_MEMORY"},
        {AVIERR_INTERNAL, "AVIERR_INTERNAL"},
        {AVIERR_BADFLAGS, "AVIERR_BADFLAGS"},
        {AVIERR_BADPARAM, "AVIERR_BADPARAM"},
        {AVIERR_BADSIZE, "AVIERR_BADSIZE"},
        {AVIERR_BADHANDLE, "AVIERR_BADHANDLE"},
        {AVIERR_FILEREAD, "AVIERR_FILEREAD"},
        {AVIERR_FILEWRITE, "AVIERR_FILEWRITE"},
        {AVIERR_FILEOPEN, "AVIERR_FILEOPEN"},
        {AVIERR_READONLY, "AVIERR_READONLY"},
        {AVIERR_NODATA, "AVIERR_NODATA"},
        {AVIERR_ERROR, "AVIERR_ERROR"},
        {AVIERR_COMPRESSOR, "AVIERR_COMPRESSOR"},
        {AVIERR_NOCOMPRESSOR, "AVIERR_NOCOMPRESSOR"},
        {AVIERR_BUFFERTOOSMALL, "AVIERR_BUFFERTOOSMALL"},
        {AVIERR_CANTCOMPRESS, "AVIERR_CANTCOMPRESS"},
        {AVIERR_USERABORT, "AVIERR_USERABORT"},
    };
    char number[16];
    std::snprintf(number, sizeof number, "0x%08lx", static_cast<unsigned long>(result));
    for (const auto& known : kNames)
        if (known.code == result)
            return std::string(known.name) + " (" + number + ")";
    return number;
}

std::optional<std::string> write_avi(const std::string& path, const Stream& stream)
{
    if (stream.format.size() < sizeof(BITMAPINFOHEADER))
        return "no format to write";
    BITMAPINFOHEADER header;
    CopyMemory(&header, stream.format.data(), sizeof header);
    const Library library;
    // A file of that name already there is replaced, as a recorder does.
    const std::wstring name = text::wide(path);
    DeleteFileW(name.c_str());
    Released<IAVIFile> file;
    if (const HRESULT made = AVIFileOpenW(&file.object, name.c_str(),
                                          OF_CREATE | OF_WRITE | OF_SHARE_DENY_WRITE, nullptr);
        made != AVIERR_OK) {
        file.object = nullptr;
        return "AVIFileOpen answered " + avierr_text(made);
    }
    AVISTREAMINFOW info{};
    info.fccType = streamtypeVIDEO;
    info.fccHandler = stream.handler;
    info.dwScale = 1;
    info.dwRate = kRate;
    info.dwQuality = static_cast<DWORD>(-1);
    for (const Output& frame : stream.frames)
        info.dwSuggestedBufferSize = std::max<DWORD>(info.dwSuggestedBufferSize,
                                                     static_cast<DWORD>(frame.bytes.size()));
    SetRect(&info.rcFrame, 0, 0, header.biWidth,
            header.biHeight < 0 ? -header.biHeight : header.biHeight);
    Released<IAVIStream> video;
    if (const HRESULT made = AVIFileCreateStreamW(file.object, &video.object, &info);
        made != AVIERR_OK) {
        video.object = nullptr;
        return "AVIFileCreateStream answered " + avierr_text(made);
    }
    if (const HRESULT set = AVIStreamSetFormat(video.object, 0,
                                               const_cast<unsigned char*>(stream.format.data()),
                                               static_cast<LONG>(stream.format.size()));
        set != AVIERR_OK)
        return "AVIStreamSetFormat answered " + avierr_text(set);
    for (std::size_t i = 0; i < stream.frames.size(); ++i) {
        const Output& frame = stream.frames[i];
        // The library needs somewhere to read an empty frame from, too.
        unsigned char nothing = 0;
        const HRESULT written = AVIStreamWrite(
            video.object, static_cast<LONG>(i), 1,
            frame.bytes.empty() ? &nothing : const_cast<unsigned char*>(frame.bytes.data()),
            static_cast<LONG>(frame.bytes.size()), frame.key ? AVIIF_KEYFRAME : 0, nullptr,
            nullptr);
        if (written != AVIERR_OK)
            return "AVIStreamWrite answered " + avierr_text(written) + " for frame " +
                std::to_string(i + 1) + " of " + std::to_string(stream.frames.size());
    }
    return std::nullopt;
}

}  // namespace selnary::report
