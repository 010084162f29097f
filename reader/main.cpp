// list-reader: reads the compressor chooser that another program shows, with
// the platform's own messages, so a script can see what the dialog offers.
//
//   list-reader.exe TITLE                 prints the compressors, one a line, in list order
//   list-reader.exe --open TITLE          prints them too, then drops the list open (for a picture)
//   list-reader.exe --where ok|cancel|close TITLE
//                                         prints the screen point "X Y" of that button
//
// Each waits up to 60 seconds for a visible window titled exactly TITLE.
// Exit status: 0 done, 1 no such dialog in time, 2 usage, 3 not a chooser.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>  // for std::fputs
#include <cstring>  // for std::strcmp
#include <string>

namespace {

constexpr DWORD kWaitMilliseconds = 60'000;

// Output goes to the handle as UTF-8 bytes, whatever the console's code page.
void write_utf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size,
                        nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

std::wstring widen(const char* text)
{
    const int size = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), size);
    wide.resize(static_cast<std::size_t>(size > 0 ? size - 1 : 0));
    return wide;
}

HWND wait_for_dialog(const std::wstring& title)
{
    const ULONGLONG deadline = GetTickCount64() + kWaitMilliseconds;
    for (;;) {
        const HWND dialog = FindWindowW(nullptr, title.c_str());
        if (dialog && IsWindowVisible(dialog))
            return dialog;
        if (GetTickCount64() >= deadline)
            return nullptr;
        Sleep(50);
    }
}

int print_list(HWND combo)
{
    const LRESULT count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length == CB_ERR)
            return 3;
        std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
        const LRESULT copied = SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                                            reinterpret_cast<LPARAM>(text.data()));
        text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
        write_utf8(text + L"\n");
    }
    return 0;
}

BOOL CALLBACK paint_dropped_list(HWND window, LPARAM)
{
    wchar_t name[32];
    if (GetClassNameW(window, name, 32) && lstrcmpiW(name, L"ComboLBox") == 0 &&
        IsWindowVisible(window))
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    return TRUE;
}

// Drops the list and has it painted before returning, so a picture taken
// next shows it. The dropped list is a top-level window of the dialog's thread.
int open_list(HWND combo)
{
    SendMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0);
    if (!SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0))
        return 3;
    EnumThreadWindows(GetWindowThreadProcessId(combo, nullptr), paint_dropped_list, 0);
    return 0;
}

void print_point(LONG x, LONG y)
{
    write_utf8(std::to_wstring(x) + L" " + std::to_wstring(y) + L"\n");
}

int print_button(HWND dialog, const char* which)
{
    if (std::strcmp(which, "close") == 0) {
        // The close button, wherever the title bar is drawn: the middle of the
        // run of points on the caption's middle row that hit-test as HTCLOSE.
        RECT window;
        GetWindowRect(dialog, &window);
        const LONG y = window.top + GetSystemMetrics(SM_CYFIXEDFRAME) +
            GetSystemMetrics(SM_CYCAPTION) / 2;
        LONG first = -1, last = -1;
        for (LONG x = window.left; x < window.right; ++x) {
            const LRESULT hit = SendMessageW(dialog, WM_NCHITTEST, 0, MAKELPARAM(x, y));
            if (hit == HTCLOSE) {
                if (first < 0)
                    first = x;
                last = x;
            }
        }
        if (first < 0)
            return 3;
        print_point((first + last) / 2, y);
        return 0;
    }
    const int id = std::strcmp(which, "ok") == 0 ? IDOK
        : std::strcmp(which, "cancel") == 0      ? IDCANCEL
                                                 : 0;
    const HWND button = id ? GetDlgItem(dialog, id) : nullptr;
    RECT rect;
    if (!button || !GetWindowRect(button, &rect))
        return 3;
    print_point((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    return 0;
}

int usage()
{
    std::fputs("usage: list-reader.exe [--open | --where ok|cancel|close] TITLE\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    const char* mode = "list";
    const char* button = nullptr;
    int next = 1;
    if (argc > 1 && std::strcmp(argv[1], "--open") == 0) {
        mode = "open";
        next = 2;
    } else if (argc > 2 && std::strcmp(argv[1], "--where") == 0) {
        mode = "where";
        button = argv[2];
        next = 3;
    }
    if (argc != next + 1)
        return usage();

    const std::wstring title = widen(argv[next]);
    const HWND dialog = wait_for_dialog(title);
    if (!dialog) {
        std::fputs("list-reader: no visible window with that title within 60 s\n", stderr);
        return 1;
    }
    if (std::strcmp(mode, "where") == 0)
        return print_button(dialog, button);

    // The chooser's only combo box is its compressor list.
    const HWND combo = FindWindowExW(dialog, nullptr, L"ComboBox", nullptr);
    if (!combo) {
        std::fputs("list-reader: that window has no compressor list\n", stderr);
        return 3;
    }
    const int printed = print_list(combo);
    return printed == 0 && std::strcmp(mode, "open") == 0 ? open_list(combo) : printed;
}
