// The messages the examining child sends its parent, one line each, on a
// pipe of their own: never a standard handle, which a compressor loaded in
// the child can write to as well. Both ends are in protocol.cpp.
//
// A line is a kind and named fields, separated by tabs: KIND NAME=VALUE ...
// with tab, line break and backslash escaped in values. In order:
//   entry index code driver       every installed compressor, in enumeration order
//   count n
//   step index step [subject]     about to ask compressor INDEX; see step_text
//   back index                    it answered
//   row index ...                 everything it answered (see row())
//   failed text                   the examination itself failed, not a compressor
#pragma once

#include "report/report.h"

#include <map>
#include <string>

namespace selnary::report::protocol {

struct Message {
    std::string kind;
    std::map<std::string, std::string> fields;

    const std::string& text(const std::string& name) const;
    long long number(const std::string& name) const;
};

std::string entry(int index, const std::string& code, const std::string& driver);
std::string count(int count);
std::string step(int index, const char* step, const std::string& subject = {});
std::string back(int index);
std::string row(const Row& row);
std::string failed(const std::string& why);

// One line, without its line break, into MESSAGE; false for one that is no message.
bool decode(const std::string& line, Message& message);
// What a row message says, into ROW (index, code and driver come from its entry).
void read_row(const Message& message, Row& row);

// What a step is, completing "faulted ..." and "no answer in 10 s ...".
std::string step_text(const std::string& step, const std::string& subject);

}  // namespace selnary::report::protocol
