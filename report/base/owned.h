// Owners for the platform's handles, each closed when its owner goes.
#pragma once

#include "platform/platform.h"

#include <memory>
#include <type_traits>

namespace selnary::report {

struct HandleCloser {
    void operator()(HANDLE handle) const
    {
        CloseHandle(handle);
    }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// HANDLE, owned; the platform's two ways of saying "none" (null and
// INVALID_HANDLE_VALUE) both become an empty owner.
inline Handle own(HANDLE handle)
{
    return Handle(handle == INVALID_HANDLE_VALUE ? nullptr : handle);
}

struct KeyCloser {
    void operator()(HKEY key) const
    {
        RegCloseKey(key);
    }
};
using Key = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

struct ViewCloser {
    void operator()(const void* view) const
    {
        UnmapViewOfFile(view);
    }
};
using View = std::unique_ptr<const void, ViewCloser>;

}  // namespace selnary::report
