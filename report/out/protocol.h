// The messages the examining child sends its parent, one line each, on a
// pipe of their own: never a standard handle, which a compressor loaded in
// the child can write to as well. Both ends are here.
//
// A line is a kind and named values, separated by tabs: KIND NAME=VALUE ...,
// with tab, line break and backslash escaped in values. In order:
//   entry  at code driver         every installed compressor, in enumeration order
//   count  n
//   calling at call [subject]     about to call compressor AT; see step_text
//   back   at                     it returned
//   row    ...                    everything it answered: a Row, by the fields'
//                                 JSON names (fields.h), nested ones as a.b
//   failed why                    the examination itself failed, not a compressor
// and where it plays a file (--play), after the entries and count:
//   movie  ...                    the file's video stream, a Movie
//   refused why platform          the file is not read: by the platform (1), or by us (0)
//   pick   ...                    what the platform picks for it, a Pick (unit 0)
//   player ...                    one decompressor, a Player (unit index + 1)
#pragma once

#include "report/out/play.h"
#include "report/out/row.h"

#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace selnary::report::protocol {

struct Message {
    std::string kind;
    std::map<std::string, std::string, std::less<>> values;

    std::optional<std::string> text(std::string_view name) const;
    // A whole decimal number, or none.
    std::optional<long long> number(std::string_view name) const;
};

std::string entry(int at, const std::string& code, const std::string& driver);
std::string count(int count);
std::string calling(int at, std::string_view call, const std::string& subject = {});
std::string back(int at);
std::string row(const Row& row);
std::string failed(const std::string& why);
std::string movie(const Movie& movie);
std::string refused(const std::string& why, bool platform);
std::string pick(const Pick& pick);
std::string player(const Player& player);

// One line, without its line break; none for a line that is no message.
std::optional<Message> decode(std::string_view line);
// An entry message into ROW's index, code and driver; false if it does not read.
bool read_entry(const Message& message, Row& row);
// A row message into ROW; false where a value it has does not read.
bool read_row(const Message& message, Row& row);
bool read_movie(const Message& message, Movie& movie);
bool read_pick(const Message& message, Pick& pick);
bool read_player(const Message& message, Player& player);

// What a step is, completing "faulted ..." and "no answer in 10 s ...".
std::string step_text(std::string_view step, const std::string& subject, const Input& asked = {});

}  // namespace selnary::report::protocol
