#include "report/frames/pictures.h"

#include "platform/platform.h"
#include "report/base/text.h"

#include <algorithm>
#include <string_view>

namespace selnary::report {
namespace {

bool write_file(const std::string& folder, const std::string& name,
                const std::vector<unsigned char>& bytes)
{
    const std::wstring path = text::wide(folder + "\\" + name);
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool done = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                nullptr) &&
        written == bytes.size();
    return CloseHandle(file) && done;
}

std::string last_error()
{
    return "error " + std::to_string(GetLastError());
}

// The source frame of INPUT, as 32-bit RGB: the clip's first, through its format.
Frame source(const Input& input)
{
    const Frame sent = from_rgb(*input.format, input.size, make_clip(input.size, 1)[0]);
    return to_rgb(*input.format, input.size, sent.data());
}

std::string suffixed(const std::string& name, const PixelFormat* format)
{
    return file_name(format ? name + "-" + std::string(format->name) : name);
}

}  // namespace

void save_clip(const std::string& folder, const PixelFormat* format, const Stream& clip)
{
    const std::string path = folder + "\\" + suffixed("source", format) + ".avi";
    if (GetFileAttributesW(text::wide(path).c_str()) == INVALID_FILE_ATTRIBUTES)
        write_avi(path, clip);
}

std::string saved_name(const std::string& code, const PixelFormat* format, const char* kind)
{
    return suffixed(code, format) + "." + kind;
}

bool save_text(const std::string& folder, const std::string& name, const std::string& text)
{
    return write_file(folder, name, std::vector<unsigned char>(text.begin(), text.end()));
}

std::string file_name(const std::string& text)
{
    std::string name = text;
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 32 ||
            std::string_view("<>:\"/\\|?*").find(c) != std::string_view::npos)
            c = '_';
    // Nor may it end in a space or a dot.
    if (!name.empty() && (name.back() == ' ' || name.back() == '.'))
        name.back() = '_';
    return name;
}

Folder make_folder(const std::string& folder)
{
    const std::wstring wanted = text::wide(folder);
    std::wstring full(32768, L'\0');
    const DWORD length = GetFullPathNameW(wanted.c_str(), static_cast<DWORD>(full.size()),
                                          full.data(), nullptr);
    if (length == 0 || length >= full.size())
        return {folder, "it is not a path"};
    full.resize(length);
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    if (!CreateDirectoryW(full.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        return {text::utf8(full), last_error()};
    const DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return {text::utf8(full), "it is not a folder"};
    return {text::utf8(full), std::nullopt};
}

std::optional<std::string> save_sources(const std::string& folder, const Input& input)
{
    for (int n = 0; n < input.formats(); ++n) {
        const Input one = input.nth(n);
        const std::string name = suffixed("source", input.every_format ? one.format : nullptr);
        if (!write_file(folder, name + ".bmp", bmp_file(one.size, source(one))))
            return name + ".bmp: " + last_error();
        // The clip as given is written by the first round trip of its format,
        // which has it made already; one of an earlier run would mislead.
        DeleteFileW(text::wide(folder + "\\" + name + ".avi").c_str());
    }
    return std::nullopt;
}

bool save_back(const std::string& folder, const std::string& code, const Input& input,
               const PixelFormat* format, const Frame& back)
{
    const std::string name = suffixed(code, format);
    const Frame sent = source(input);
    const Frame different = difference(sent, back);
    const bool exact = std::all_of(different.begin(), different.end(),
                                   [](unsigned char value) { return value == 0; });
    return write_file(folder, name + ".bmp", bmp_file(input.size, back)) &&
        (exact || write_file(folder, name + "-difference.bmp", bmp_file(input.size, different)));
}

}  // namespace selnary::report
