// The child's side: every call into a compressor is a named step, announced
// to the parent before it is made and after it returns, so that the parent
// can name the step a compressor faulted or hung at, and never blames one
// for what the report does between its calls.
#pragma once

#include "platform/platform.h"
#include "report/base/text.h"
#include "report/out/protocol.h"

#include <cstdint>
#include <cwchar>  // for wcsnlen
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace selnary::report {

// Sends one message to the parent, whole, on the child's own channel; ends
// the process where the parent is gone.
inline void send(HANDLE channel, const std::string& message)
{
    std::size_t at = 0;
    while (at < message.size()) {
        DWORD written = 0;
        if (!WriteFile(channel, message.data() + at, static_cast<DWORD>(message.size() - at),
                       &written, nullptr) ||
            written == 0)
            ExitProcess(1);
        at += written;
    }
}

// A format a driver gives or a file holds: a header and what follows it, no more.
inline constexpr long long kMostFormatBytes = 64 * 1024;

// The header at the start of a format's BYTES.
inline BITMAPINFOHEADER* header_of(std::vector<unsigned char>& bytes)
{
    return reinterpret_cast<BITMAPINFOHEADER*>(bytes.data());
}

// A text field a driver fills, which it may fill to its last character
// with no end.
template <std::size_t N>
std::string bounded(const wchar_t (&text)[N])
{
    return text::utf8(std::wstring_view(text, wcsnlen(text, N)));
}

// Dies with the fault's code instead of waking a debugger or an error
// dialog, so the parent learns at once that the compressor faulted.
inline LONG WINAPI end_on_fault(EXCEPTION_POINTERS* fault)
{
    TerminateProcess(GetCurrentProcess(), fault->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

class Steps {
  public:
    // Without a channel the steps are made but not announced: in-process,
    // where no parent listens.
    Steps(HANDLE channel, int index) : channel_(channel), index_(index)
    {
    }

    template <class Call>
    auto operator()(std::string_view step, Call call, const std::string& subject = {})
    {
        begin(step, subject);
        auto result = call();
        end();
        return result;
    }

  private:
    void begin(std::string_view step, const std::string& subject)
    {
        if (channel_)
            send(channel_, protocol::calling(index_, step, subject));
    }
    void end()
    {
        if (channel_)
            send(channel_, protocol::back(index_));
    }

    HANDLE channel_;
    int index_;
};

// What a compressor answered, read as the 32-bit value drivers return
// (ICERR_ codes are negative), also where LRESULT is 64 bits wide.
inline long long answer(LRESULT result)
{
    if (result >= 0 && static_cast<unsigned long long>(result) <= 0xFFFFFFFFull)
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(result));
    return static_cast<long long>(result);
}

// A compressor opened in some mode, closed again as a named step.
class Opened {
  public:
    Opened(Steps& steps, HIC compressor, std::string_view close_step, std::string subject = {})
        : steps_(steps), compressor_(compressor), close_step_(close_step),
          subject_(std::move(subject))
    {
    }
    Opened(const Opened&) = delete;
    Opened& operator=(const Opened&) = delete;
    ~Opened()
    {
        if (compressor_)
            steps_(
                close_step_, [this] { return ICClose(compressor_); }, subject_);
    }

    HIC get() const
    {
        return compressor_;
    }
    explicit operator bool() const
    {
        return compressor_ != nullptr;
    }

  private:
    Steps& steps_;
    HIC compressor_;
    std::string_view close_step_;
    std::string subject_;
};

}  // namespace selnary::report
