// Every byte read from a driver file is checked against the file's size first.

#include "report/parent/driver.h"

#include "platform/platform.h"
#include "report/base/owned.h"
#include "report/base/text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>  // for std::snprintf
#include <set>

namespace selnary::report {
namespace {

// A read-only view of a whole file.
class Mapped {
  public:
    explicit Mapped(const std::wstring& path)
    {
        const Handle file = own(CreateFileW(path.c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER size{};
        if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart <= 0 ||
            static_cast<unsigned long long>(size.QuadPart) > SIZE_MAX)
            return;
        // The view keeps the file mapped once both handles are closed.
        const Handle mapping = own(
            CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (mapping)
            view_.reset(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
        if (view_) {
            data_ = static_cast<const std::uint8_t*>(view_.get());
            size_ = static_cast<std::size_t>(size.QuadPart);
        }
    }

    bool has(std::size_t offset, std::size_t length) const
    {
        return offset <= size_ && length <= size_ - offset;
    }
    // A little-endian number at OFFSET, or 0 beyond the end.
    std::uint32_t number(std::size_t offset, std::size_t length) const
    {
        std::uint32_t value = 0;
        if (length <= sizeof value && has(offset, length))
            for (std::size_t i = 0; i < length; ++i)
                value |= static_cast<std::uint32_t>(data_[offset + i]) << (8 * i);
        return value;
    }
    // A zero-terminated string at OFFSET, of at most 255 characters.
    std::string text(std::size_t offset) const
    {
        std::string out;
        while (has(offset, 1) && data_[offset] != 0 && out.size() < 255)
            out += static_cast<char>(data_[offset++]);
        return has(offset, 1) && data_[offset] == 0 ? out : std::string();
    }
    bool opened() const
    {
        return size_ > 0;
    }

  private:
    View view_;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// What the PE headers of a file say.
struct Image {
    bool pe = false;
    bool dll = false;
    unsigned machine = 0;
    std::vector<std::string> imports;  // the DLLs its import table names
    bool driver_proc = false;  // exports DriverProc, by name
};

Image read_image(const std::wstring& path)
{
    Image image;
    const Mapped file(path);
    if (!file.opened() || file.number(0, 2) != 0x5A4D)  // "MZ"
        return image;
    const std::size_t pe = file.number(0x3C, 4);
    if (file.number(pe, 4) != 0x00004550)  // "PE\0\0"
        return image;
    const std::size_t header = pe + 4, optional = header + 20;
    image.machine = file.number(header, 2);
    const unsigned sections = file.number(header + 2, 2);
    const std::size_t optional_size = file.number(header + 16, 2);
    image.dll = (file.number(header + 18, 2) & IMAGE_FILE_DLL) != 0;
    const unsigned magic = file.number(optional, 2);
    if (magic != 0x10B && magic != 0x20B)
        return image;
    image.pe = true;

    // The import directory is the second entry of the data directories.
    const std::size_t directories = optional + (magic == 0x10B ? 96 : 112);
    const std::size_t directory_count = file.number(directories - 4, 4);
    if (directory_count < 2 || directories + 16 > optional + optional_size)
        return image;
    const std::uint32_t imports = file.number(directories + 8, 4);
    const auto offset_of = [&](std::uint32_t rva) -> std::size_t {
        for (unsigned i = 0; i < sections && i < 96; ++i) {
            const std::size_t section = optional + optional_size + i * 40;
            const std::uint32_t address = file.number(section + 12, 4);
            const std::uint32_t length = std::max(file.number(section + 8, 4),
                                                  file.number(section + 16, 4));
            if (rva >= address && rva - address < length)
                return file.number(section + 20, 4) + (rva - address);
        }
        return SIZE_MAX;
    };
    std::size_t descriptor = imports ? offset_of(imports) : SIZE_MAX;
    for (int i = 0; i < 1024 && descriptor != SIZE_MAX && file.has(descriptor, 20);
         ++i, descriptor += 20) {
        const std::uint32_t name = file.number(descriptor + 12, 4);
        if (name == 0 && file.number(descriptor + 16, 4) == 0)
            break;
        const std::size_t at = offset_of(name);
        const std::string dll = at == SIZE_MAX ? std::string() : file.text(at);
        if (!dll.empty())
            image.imports.push_back(dll);
    }
    // The export directory, the first entry: its names.
    const std::uint32_t exports = file.number(directories, 4);
    const std::size_t directory = exports ? offset_of(exports) : SIZE_MAX;
    if (directory != SIZE_MAX && file.has(directory, 40)) {
        const std::uint32_t names = std::min<std::uint32_t>(file.number(directory + 24, 4), 65536);
        const std::size_t table = offset_of(file.number(directory + 32, 4));
        for (std::uint32_t i = 0; i < names && table != SIZE_MAX; ++i) {
            const std::size_t name = offset_of(file.number(table + 4 * i, 4));
            if (name != SIZE_MAX && file.text(name) == "DriverProc") {
                image.driver_proc = true;
                break;
            }
        }
    }
    return image;
}

std::wstring widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());  // import names are ASCII
}

std::wstring lower(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

// A folder the platform names through GET (GetSystemDirectoryW and the
// like), or empty where it names none.
std::wstring folder(UINT(WINAPI* get)(LPWSTR, UINT))
{
    wchar_t path[MAX_PATH];
    const UINT length = get(path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(path, length) : L"";
}

// The folder this process's system DLLs come from: syswow64 for a 32-bit
// program on 64-bit Windows, where system32 is redirected there.
std::wstring system_folder()
{
    const std::wstring redirected = sizeof(void*) == 4 ? folder(GetSystemWow64DirectoryW) : L"";
    return redirected.empty() ? folder(GetSystemDirectoryW) : redirected;
}

// Where the loader finds NAME: as a path, or along its own search order
// (the program's folder, the system folders, the current folder, PATH).
std::wstring find_file(const std::wstring& name)
{
    if (name.find_first_of(L"\\/:") != std::wstring::npos) {
        const DWORD attributes = GetFileAttributesW(name.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)
            ? name
            : L"";
    }
    std::wstring path(32768, L'\0');
    const DWORD length = SearchPathW(nullptr, name.c_str(), nullptr,
                                     static_cast<DWORD>(path.size()), path.data(), nullptr);
    if (length == 0 || length >= path.size())
        return L"";
    path.resize(length);
    return path;
}

bool is_api_set(const std::string& name)
{
    const std::string start = text::lower_ascii(name.substr(0, 7));
    return start == "api-ms-" || start == "ext-ms-";
}

// The first DLL that FILE's imports need, directly or through a DLL of its
// own, that the loader cannot find: "x.dll", or "x.dll (needed by y.dll)".
std::string first_missing(const std::wstring& file, std::set<std::wstring>& seen, int depth)
{
    const std::wstring platform[] = {lower(system_folder()), lower(folder(GetSystemDirectoryW)),
                                     lower(folder(GetSystemWindowsDirectoryW))};
    for (const std::string& name : read_image(file).imports) {
        if (is_api_set(name) || !seen.insert(lower(widen(name))).second)
            continue;
        const std::wstring path = find_file(widen(name));
        if (path.empty()) {
            // Not a file anywhere the loader looks; it may still be one the
            // platform provides without a file, which loads.
            if (GetModuleHandleA(name.c_str()))
                continue;
            const HMODULE module = LoadLibraryExA(name.c_str(), nullptr, 0);
            if (module) {
                FreeLibrary(module);
                continue;
            }
            return name;
        }
        // The platform's own DLLs are complete; a compressor's helpers may not be.
        const std::wstring folder = lower(path.substr(0, path.find_last_of(L"\\/")));
        if (depth < 4 &&
            std::find(std::begin(platform), std::end(platform), folder) == std::end(platform)) {
            const std::string deeper = first_missing(path, seen, depth + 1);
            if (!deeper.empty())
                return deeper.find(" (needed by ") == std::string::npos
                    ? deeper + " (needed by " + name + ")"
                    : deeper;
        }
    }
    return "";
}

const char* bits_text(unsigned machine)
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return "32-bit x86 programs";
    case IMAGE_FILE_MACHINE_AMD64:
        return "64-bit x64 programs";
    case 0xAA64:  // IMAGE_FILE_MACHINE_ARM64
        return "64-bit ARM programs";
    default:
        return nullptr;
    }
}

}  // namespace

DriverLook look_at_driver(const std::wstring& driver, bool follow_imports)
{
    DriverLook look;
    const std::wstring path = find_file(driver);
    if (path.empty()) {
        look.reason = {"driver_not_found",
                       "its driver file " + text::utf8(driver) +
                           " is not found: the platform looks in the program's folder, " +
                           text::utf8(system_folder()) + ", " +
                           text::utf8(folder(GetSystemWindowsDirectoryW)) +
                           ", the current folder and the folders on PATH"};
        return look;
    }
    const std::string found = text::utf8(path);
    look.path = found;
    const Image image = read_image(path);
    const unsigned own = sizeof(void*) == 8 ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
    if (!image.pe || !image.dll) {
        look.reason = {"not_a_dll", "its driver file " + found + " is not a DLL"};
    } else if (image.machine != own) {
        const char* bits = bits_text(image.machine);
        char machine[48];
        std::snprintf(machine, sizeof machine, "machine type 0x%04x", image.machine);
        look.reason = {"wrong_bitness",
                       "its driver file " + found + " is a DLL for " + (bits ? bits : machine) +
                           ", not for " + std::to_string(sizeof(void*) * 8) + "-bit programs"};
    } else {
        std::set<std::wstring> seen;
        const std::string missing = follow_imports ? first_missing(path, seen, 0) : "";
        if (!missing.empty()) {
            look.missing_dll = missing;
            look.reason = {"missing_dll",
                           "it needs " + missing + ", which is not found where the platform looks"};
        } else if (!image.driver_proc) {
            look.reason = {"no_driverproc",
                           "its driver file " + found +
                               " exports no DriverProc, so it is not a compressor driver"};
        }
    }
    return look;
}

}  // namespace selnary::report
