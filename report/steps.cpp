#include "report/steps.h"

#include "report/protocol.h"

namespace selnary::report {

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

void Steps::begin(std::string_view step, const std::string& subject)
{
    if (channel_)
        send(channel_, protocol::calling(index_, step, subject));
}

void Steps::end()
{
    if (channel_)
        send(channel_, protocol::back(index_));
}

}  // namespace selnary::report
