// The child's side, shared by examine.cpp and roundtrip.cpp.
#pragma once

#include "platform/platform.h"
#include "report/report.h"

#include <cstdint>
#include <string>
#include <vector>

namespace selnary::report {

// A handler's four-character code, unprintable characters as '?'.
std::string fourcc(DWORD code);

// Sends one message to the parent, whole, on the child's own channel.
void send(HANDLE channel, const std::string& message);

// Announces each call into a compressor before it is made and after it
// returns, so the parent can name the step a compressor faulted or hung at,
// and never blames one for what the report does between its calls.
class Steps {
  public:
    Steps(HANDLE channel, int index) : channel_(channel), index_(index)
    {
    }

    template <class Call>
    auto operator()(const char* step, Call call, const std::string& subject = {})
    {
        begin(step, subject);
        auto result = call();
        end();
        return result;
    }

  private:
    void begin(const char* step, const std::string& subject);
    void end();

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

// Every installed compressor, as the platform lists them.
struct Installed {
    std::vector<DWORD> handlers;
    std::vector<std::wstring> drivers;
    std::vector<bool> sound;  // a DLL for this bitness with a DriverProc
};

// Compresses the probe frame with COMPRESSOR, opened for compression, to
// FORMAT, the format it proposed, and gets it back: through HANDLER opened
// to decompress, or else through another installed one whose driver file is
// sound. Fills ROW's round trip, or its reason when a step fails. True when
// it had to load other compressors for that.
bool round_trip(HIC compressor, DWORD handler, const Installed& installed,
                const std::vector<unsigned char>& format, Steps& steps, Row& row);

}  // namespace selnary::report
