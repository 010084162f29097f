// The report's core in one process: its text helpers, both ends of the
// child's messages, the JSON and the table, the clip and its comparison, the
// command line, and the child's round trip against the test compressor,
// installed here as a function (ICInstall) rather than in a prefix.
//   report_unit_test COMPRESSOR_DLL [GOOGLETEST OPTIONS]

#include "platform/platform.h"
#include "probe/probe.h"
#include "report/child/child.h"
#include "report/frames/clip.h"
#include "report/parent/options.h"
#include "report/out/output.h"
#include "report/frames/pictures.h"
#include "report/frames/riff.h"
#include "report/out/protocol.h"
#include "report/base/text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <shellapi.h>  // for CommandLineToArgvW, after the platform header
#include <string>
#include <tuple>
#include <vector>

namespace {

using namespace selnary::report;
namespace text = selnary::text;

std::string compressor_dll;

// Every line of TEXT, without its line break.
std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// The table's text with each detail line joined to the one before, as it was
// before it was wrapped.
std::string unwrapped(const std::string& table)
{
    std::string joined;
    for (const std::string& line : lines_of(table)) {
        const bool detail = line.rfind("      ", 0) == 0;
        joined += detail ? ' ' : '\n';
        joined.append(line, detail ? 6 : 0);
    }
    return joined + '\n';
}

// ---- Text -------------------------------------------------------------------

TEST(Text, ConvertsUtf8AndWideBothWaysWithReplacementsForWhatIsBroken)
{
    const std::wstring mixed = L"A\u00fc\u65e5\U0001F600z";
    EXPECT_EQ(text::utf8(mixed), "A\xC3\xBC\xE6\x97\xA5\xF0\x9F\x98\x80z");
    EXPECT_EQ(text::wide(text::utf8(mixed)), mixed);
    // Half a surrogate pair, a stray continuation byte, a sequence cut short,
    // an overlong form and a surrogate written in UTF-8.
    EXPECT_EQ(text::utf8(std::wstring(L"a") + wchar_t(0xD800) + L"b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(text::wide("a\x80z"), L"a\uFFFDz");
    EXPECT_EQ(text::wide("a\xE6\x97"), L"a\uFFFD");
    EXPECT_EQ(text::wide("\xE0\x80\xAF"), L"\uFFFD");
    EXPECT_EQ(text::wide("\xED\xA0\x80"), L"\uFFFD");
}

TEST(Text, CountsTheColumnsATerminalGivesEachCharacter)
{
    EXPECT_EQ(text::columns("Gr\xC3\xBC\xC3\x9F"
                            "e"),
              5u);
    EXPECT_EQ(text::columns("\xE6\x97\xA5\xE6\x9C\xAC"), 4u) << "two wide characters";
    EXPECT_EQ(text::columns("e\xCC\x81"), 1u) << "a combining accent takes none";
    EXPECT_EQ(text::leading_columns("a\xE6\x97\xA5"
                                    "b",
                                    2),
              "a")
        << "a wide character not cut";
    EXPECT_EQ(text::leading_columns("a\xE6\x97\xA5"
                                    "b",
                                    3),
              "a\xE6\x97\xA5");
}

TEST(Text, NamesCodesAsThePlatformDefinesThem)
{
    EXPECT_EQ(text::fourcc(mmioFOURCC('s', 'l', 'n', 'j')), "slnj");
    EXPECT_EQ(text::fourcc(mmioFOURCC('a', '\n', '\xE9', 'b')), "a??b");
    EXPECT_EQ(text::compression_text(BI_RGB), "BI_RGB");
    EXPECT_EQ(text::compression_text(BI_BITFIELDS), "BI_BITFIELDS");
    EXPECT_EQ(text::compression_text(mmioFOURCC('X', 'V', 'I', 'D')), "XVID");
    EXPECT_EQ(text::compression_text(mmioFOURCC('X', 'V', 'I', '\x01')), "0x01495658");
    // Each name stands for the value vfw.h gives it.
    const std::pair<long long, const char*> named[] = {
        {ICERR_OK, "ICERR_OK"},
        {ICERR_DONTDRAW, "ICERR_DONTDRAW"},
        {ICERR_NEWPALETTE, "ICERR_NEWPALETTE"},
        {ICERR_GOTOKEYFRAME, "ICERR_GOTOKEYFRAME"},
        {ICERR_STOPDRAWING, "ICERR_STOPDRAWING"},
        {ICERR_UNSUPPORTED, "ICERR_UNSUPPORTED"},
        {ICERR_BADFORMAT, "ICERR_BADFORMAT"},
        {ICERR_MEMORY, "ICERR_MEMORY"},
        {ICERR_INTERNAL, "ICERR_INTERNAL"},
        {ICERR_BADFLAGS, "ICERR_BADFLAGS"},
        {ICERR_BADPARAM, "ICERR_BADPARAM"},
        {ICERR_BADSIZE, "ICERR_BADSIZE"},
        {ICERR_BADHANDLE, "ICERR_BADHANDLE"},
        {ICERR_CANTUPDATE, "ICERR_CANTUPDATE"},
        {ICERR_ABORT, "ICERR_ABORT"},
        {ICERR_ERROR, "ICERR_ERROR"},
        {ICERR_BADBITDEPTH, "ICERR_BADBITDEPTH"},
        {ICERR_BADIMAGESIZE, "ICERR_BADIMAGESIZE"},
        {ICERR_CUSTOM, "ICERR_CUSTOM"},
    };
    for (const auto& [value, name] : named)
        EXPECT_EQ(text::icerr_name(value).value_or("none"), name) << value;
    EXPECT_EQ(text::icerr_text(ICERR_BADFORMAT), "ICERR_BADFORMAT (-2)");
    EXPECT_EQ(text::icerr_text(-123), "-123");
}

// ---- Rows, through the child's messages and out as JSON ---------------------

// A row with every field set, none to its default.
Row full_row()
{
    Row row;
    row.index = 3;
    row.code = "slnj";
    row.driver = "sl\\nj.dll";
    row.description = "A \"quoted\"\ttab,\nline = Gr\xC3\xBC\xC3\x9F"
                      "e \\t";
    row.outcome = Outcome::hung;
    row.problem = "no answer in 10 s when opened";
    row.step = "compress";
    row.opens = true;
    row.accepts = true;
    row.query_result = -123;
    row.proposed = Proposed{"XVID", 24};
    row.configure = true;
    row.about = true;
    row.reason = Reason{"key_frame_unmarked", "its first frame\tis not marked"};
    row.driver_path = "C:\\windows\\system32\\slnj.dll";
    row.missing_dll = "slnyhelp.dll (needed by x.dll)";
    row.recording = Recording{"slnj.avi", 10, 1, "AVIStreamWrite answered AVIERR_FILEWRITE"};
    Compressed compressed;
    compressed.calls = 10;
    compressed.calls_before_first_frame = 2;
    compressed.key_frame_marked = true;
    compressed.compressed_bytes = 196608;
    compressed.delta_frame_bytes = 10.0 / 3;
    compressed.ratio = 2097152.0 / 196678;
    compressed.ms_per_frame = 0.1 + 0.2;
    Figures figures;
    figures.decompressor = "slnk";
    figures.output_bit_count = 24;
    figures.frames = 8;
    figures.lag_frames = 2;
    figures.psnr_db = 38.123456789012345;
    figures.looks = Looks::swapped;
    row.round_trip = RoundTrip{ICERR_UNSUPPORTED, compressed, figures, {std::nullopt, 40.25, 38.5}};
    return row;
}

Row read_back(const std::string& line)
{
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << "one line a message";
    const auto message = protocol::decode(line.substr(0, line.size() - 1));
    Row row;
    EXPECT_TRUE(message && message->kind == "row" && protocol::read_row(*message, row)) << line;
    return row;
}

TEST(Protocol, CarriesEveryFieldOfARowThereAndBack)
{
    const Row full = full_row();
    EXPECT_EQ(read_back(protocol::row(full)), full);

    // And every field missing, or at its default.
    Row sparse;
    sparse.index = 7;
    sparse.round_trip = RoundTrip{};  // tried and failed
    EXPECT_EQ(read_back(protocol::row(sparse)), sparse);
    sparse.round_trip->compressed = Compressed{};  // compressed, and nothing decompresses it
    EXPECT_EQ(read_back(protocol::row(sparse)), sparse);
    EXPECT_EQ(read_back(protocol::row(Row{})), Row{});

    Row entry;
    const std::string line = protocol::entry(5, "a\tb", "c\\d.dll");
    const auto message = protocol::decode(line.substr(0, line.size() - 1));
    ASSERT_TRUE(message);
    ASSERT_TRUE(protocol::read_entry(*message, entry));
    EXPECT_EQ(entry.index, 5);
    EXPECT_EQ(entry.code, "a\tb");
    EXPECT_EQ(entry.driver, "c\\d.dll");
}

// A decompressor's row with every field there, nested ones too.
Player full_player()
{
    Player player;
    player.index = 3;
    player.code = "msvc";
    player.driver = "msvidc32.dll";
    player.description = "Wine \"Video-1\"\tvideo codec";
    player.outcome = Outcome::hung;
    player.problem = "no answer in 10 s while decompressing";
    player.step = "decompress";
    player.opens = player.takes = player.picked = true;
    player.query_result = ICERR_OK;
    player.reason = Reason{"hung", "no answer in 10 s while decompressing"};
    player.driver_path = "C:\\windows\\system32\\msvidc32.dll";
    player.missing_dll = "x.dll";
    Decoded& decoded = player.decoded.emplace();
    decoded.output_bit_count = 16;
    decoded.frames = 29;
    decoded.failed_at = 30;
    decoded.failure = "ICDecompress answered ICERR_BADFORMAT (-2)";
    decoded.changes = true;
    decoded.delay_frames = 1;
    decoded.rgb24 = Depth{24, 3.25, Looks::swapped, 13.5, std::nullopt};
    decoded.rgb32 = Depth{32, std::nullopt, std::nullopt, std::nullopt,
                          "frame 2 does not decode: x"};
    decoded.against = "CRAM";
    decoded.offset_frames = -1;
    decoded.agreement_db = 61.5;
    return player;
}

TEST(Protocol, CarriesWhatPlayingAFileFoundThereAndBack)
{
    const auto back = [](const std::string& line, auto read, auto record) {
        const auto message = protocol::decode(line.substr(0, line.size() - 1));
        EXPECT_TRUE(message && read(*message, record)) << line;
        return record;
    };
    const Player player = full_player();
    EXPECT_EQ(back(protocol::player(player), protocol::read_player, Player{}), player);
    EXPECT_EQ(back(protocol::player(Player{}), protocol::read_player, Player{}), Player{});
    Movie movie{"CRAM",
                {256, -256, 16, "CRAM"},
                "masks 0x0000f800 0x000007e0 0x0000001f",
                1ll << 31,
                29.97,
                3,
                "1, 11, 21",
                2,
                "its index is short"};
    EXPECT_EQ(back(protocol::movie(movie), protocol::read_movie, Movie{}), movie);
    Pick pick{
        true,         "CRAM",        "Wine Video-1", "msvidc32.dll", 1, "msvc", Outcome::answered,
        std::nullopt, player.decoded};
    EXPECT_EQ(back(protocol::pick(pick), protocol::read_pick, Pick{}), pick);
    pick = Pick{};
    pick.outcome = Outcome::faulted;
    pick.problem = "faulted when the platform looked for a decompressor (ICLocate)";
    EXPECT_EQ(back(protocol::pick(pick), protocol::read_pick, Pick{}), pick);
    // A refusal says whose it is.
    const auto refused = protocol::decode("refused\twhy=it is empty\tplatform=0");
    EXPECT_EQ(protocol::refused("it is empty", false), "refused\twhy=it is empty\tplatform=0\n");
    EXPECT_EQ(refused->number("platform"), 0);
}

TEST(Table, SaysWhoPlaysAFileInOneHundredColumnsAndItsPathWhole)
{
    Play play;
    play.bits = 32;
    play.file = "C:\\Users\\someone with a long name\\Videos\\" + std::string(80, 'x') + ".avi";
    play.movie = {"CRAM",
                  {640, 480, 16, "CRAM"},
                  "",
                  30,
                  30,
                  1,
                  "1",
                  0,
                  "its header says 31 frames, and 30 are there"};
    play.pick = Pick{true,
                     "CRAM",
                     "Wine Video-1",
                     "msvidc32.dll",
                     0,
                     "msvc",
                     Outcome::answered,
                     std::nullopt,
                     full_player().decoded};
    play.players = {full_player(), full_player()};
    play.players[1].outcome = Outcome::answered;
    play.players[1].decoded.reset();
    play.players[1].reason = Reason{"refuses_format", std::string(300, 'r')};
    play.verdict = Reason{"plays", "msvc (msvidc32.dll) plays it " + std::string(150, 'v')};
    const std::string table = table_text(play);
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < table.size();) {
        const std::size_t end = table.find('\n', start);
        lines.push_back(table.substr(start, end - start));
        start = end + 1;
    }
    ASSERT_GT(lines.size(), 10u);
    EXPECT_EQ(lines[1], play.file);
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (i != 1) {
            EXPECT_LE(lines[i].size(), kTableWidth) << lines[i];
        }
    // Wrapped: words the same, lines apart.
    std::string flat;
    for (const char c : table)
        if (!std::isspace(static_cast<unsigned char>(c)) || (!flat.empty() && flat.back() != ' '))
            flat += std::isspace(static_cast<unsigned char>(c)) ? ' ' : c;
    for (const char* says :
         {"its header says 31 frames", "the platform's pick", "no answer in 10 s",
          "at 24 bits it disagrees with itself: its first picture with red and "
          "blue swapped; with them put back, 13.50 dB at worst",
          "against CRAM's pictures 61.50 dB at worst, 1 frame earlier",
          "msvc (msvidc32.dll) plays it"})
        EXPECT_NE(flat.find(says), std::string::npos) << says << "\n" << table;
    // And every field in the JSON, once each.
    const std::string json = json_text(play);
    for (const char* field : {"\"bits\": 32", "\"file\": ", "\"movie\": {", "\"verdict\": {",
                              "\"pick\": {", "\"decompressors\": [", "\"other_bitness\": []",
                              "\"swapped_back_db\": 13.50", "\"offset_frames\": -1"})
        EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
}

TEST(Protocol, EscapesWhatWouldEndAValueOrALine)
{
    const std::string line = protocol::failed("a\tb\nc\rd\\e=f");
    EXPECT_EQ(line, "failed\twhy=a\\tb\\nc\\rd\\\\e=f\n");
    const auto message = protocol::decode(line.substr(0, line.size() - 1));
    ASSERT_TRUE(message);
    EXPECT_EQ(message->text("why"), "a\tb\nc\rd\\e=f");
    EXPECT_EQ(protocol::decode("calling\tat=2\tcall=open\tsubject=")->text("subject"), "");
}

TEST(Protocol, RefusesGarbledLinesAndNeverTakesATruncatedOneForTheWhole)
{
    for (const char* garbled : {"", "\tat=1", "row\tindex", "row\t=1", "row\tat=1\tat=2"})
        EXPECT_FALSE(protocol::decode(garbled)) << garbled;
    // Values that do not read fail the whole row.
    for (const char* bad :
         {"row\tindex=x", "row\tindex=1.5", "row\tindex=99999999999", "row\topens=yes",
          "row\toutcome=exploded", "row\tquery_result=\tquery_result.value=-",
          "row\tround_trip=\tround_trip.psnr_db=loud", "row\tround_trip=\tround_trip.looks=odd",
          "row\tround_trip=\tround_trip.psnr_db_by_frame=1,x,-"}) {
        Row row;
        const auto message = protocol::decode(bad);
        ASSERT_TRUE(message) << bad;
        EXPECT_FALSE(protocol::read_row(*message, row)) << bad;
    }
    // Cut anywhere, a line reads as less than the row, or not at all.
    const Row full = full_row();
    const std::string line = protocol::row(full);
    for (std::size_t cut = 0; cut + 1 < line.size(); ++cut) {
        const auto message = protocol::decode(line.substr(0, cut));
        Row row;
        if (message && protocol::read_row(*message, row)) {
            EXPECT_NE(row, full) << "cut after " << cut << " bytes";
        }
    }
    // The step table names each call a compressor can be in.
    EXPECT_EQ(protocol::step_text("compress", ""), "while compressing");
    EXPECT_EQ(protocol::step_text("decompress", "slne"),
              "when slne was tried as its decompressor: while decompressing");
    EXPECT_EQ(protocol::step_text("new_one", ""), "at step new_one");
}

Report small_report()
{
    Report report;
    report.bits = 32;
    report.probe = {256, 256, 32, "BI_RGB"};
    Row full = full_row();
    full.index = 0;
    full.outcome = Outcome::answered;
    full.problem.reset();
    full.step.reset();
    full.round_trip->figures->looks.reset();
    report.rows.push_back(full);
    Row faulted;
    faulted.index = 1;
    faulted.code = "slnf";
    faulted.driver = "slnf.dll";
    faulted.outcome = Outcome::faulted;
    faulted.problem = "faulted when opened (exception 0xc0000005)";
    faulted.step = "open";
    faulted.reason = Reason{"faulted", *faulted.problem};
    report.rows.push_back(faulted);
    report.foreign.push_back({"slno", "slno.dll", 64, {"other_bitness", "use the x64 program"}});
    return report;
}

TEST(Json, WritesEveryFieldEachTimeEscapedAndNullWhereItDoesNotApply)
{
    const std::string expected =
        "{\n"
        "  \"bits\": 32,\n"
        "  \"probe\": {\"width\": 256, \"height\": 256, \"compression\": \"BI_RGB\", "
        "\"bit_count\": 32},\n"
        "  \"compressors\": [\n"
        "    {\"index\": 0, \"code\": \"slnj\", \"driver\": \"sl\\\\nj.dll\", \"description\": "
        "\"A \\\"quoted\\\"\\u0009tab,\\u000aline = Gr\xC3\xBC\xC3\x9F"
        "e \\\\t\", "
        "\"outcome\": \"answered\", \"problem\": null, \"step\": null, \"opens\": true, "
        "\"accepts_probe\": true, \"query_result\": {\"value\": -123, \"name\": null}, "
        "\"proposed\": {\"compression\": \"XVID\", \"bit_count\": 24}, \"configure\": true, "
        "\"about\": true, \"reason\": {\"code\": \"key_frame_unmarked\", \"text\": \"its first "
        "frame\\u0009is not marked\"}, \"driver_path\": \"C:\\\\windows\\\\system32\\\\slnj.dll\", "
        "\"missing_dll\": \"slnyhelp.dll (needed by x.dll)\", \"round_trip\": {\"worked\": true, "
        "\"frames_info\": {\"value\": -1, \"name\": \"ICERR_UNSUPPORTED\"}, \"calls\": 10, "
        "\"calls_before_first_frame\": 2, \"key_frame_marked\": true, \"compressed_bytes\": "
        "196608, \"delta_frame_bytes\": 3.3, \"ratio\": 10.663, \"ms_per_frame\": 0.300, "
        "\"decompressor\": \"slnk\", \"output_bit_count\": 24, \"frames\": 8, \"lag_frames\": 2, "
        "\"exact\": false, \"psnr_db\": 38.12, \"looks\": null, \"psnr_db_by_frame\": [null, "
        "40.25, 38.50]}, \"recording\": {\"file\": "
        "\"slnj.avi\", \"frames\": 10, \"key_frames\": 1, \"problem\": \"AVIStreamWrite answered "
        "AVIERR_FILEWRITE\"}},\n"
        "    {\"index\": 1, \"code\": \"slnf\", \"driver\": \"slnf.dll\", \"description\": \"\", "
        "\"outcome\": \"faulted\", \"problem\": \"faulted when opened (exception 0xc0000005)\", "
        "\"step\": \"open\", \"opens\": false, \"accepts_probe\": false, \"query_result\": null, "
        "\"proposed\": null, \"configure\": false, \"about\": false, \"reason\": {\"code\": "
        "\"faulted\", \"text\": \"faulted when opened (exception 0xc0000005)\"}, \"driver_path\": "
        "null, \"missing_dll\": null, \"round_trip\": null, \"recording\": null}\n"
        "  ],\n"
        "  \"other_bitness\": [\n"
        "    {\"code\": \"slno\", \"driver\": \"slno.dll\", \"bits\": 64, \"reason\": {\"code\": "
        "\"other_bitness\", \"text\": \"use the x64 program\"}}\n"
        "  ],\n"
        "  \"answered\": 1,\n"
        "  \"faulted_or_hung\": 1\n"
        "}\n";
    EXPECT_EQ(json_text(small_report()), expected);
}

// Two compressors, every format: one proves 32-bit RGB exactly, takes
// rgb24 lossily, faults compressing yuy2, hangs asked about nv12 and takes
// nothing else; one does not open at all.
Matrix small_matrix()
{
    Matrix matrix;
    matrix.bits = 32;
    matrix.size = {641, 481};
    Row refusal;
    refusal.code = "slny";
    refusal.driver = "slny.dll";
    refusal.description =
        "A test compressor with a description long enough to be wrapped, Gr\xC3\xBC\xC3\x9F"
        "e";
    refusal.opens = true;
    refusal.query_result = -2;
    refusal.reason = Reason{"rejects_probe", "it does not take it"};
    MatrixRow taker{refusal, std::vector<Row>(kFormats.size(), refusal)};
    Row& exact = taker.cells[1];
    exact.accepts = true;
    exact.query_result = 0;
    exact.reason.reset();
    exact.round_trip = RoundTrip{ICERR_OK, Compressed{}, Figures{}, {}};
    Row& lossy = taker.cells[0] = exact;
    lossy.round_trip->figures->psnr_db = 38.6;
    Row& fault = taker.cells[5] = exact;
    fault.outcome = Outcome::faulted;
    fault.round_trip.reset();
    fault.reason = Reason{"faulted", "faulted while compressing (exception 0xc0000005)"};
    Row& hung = taker.cells[9] = refusal;
    hung.outcome = Outcome::hung;
    hung.reason = Reason{"hung", "no answer in 10 s when asked about nv12 at 641 x 481"};
    matrix.rows.push_back(taker);
    Row closed;
    closed.index = 1;
    closed.code = "slnm";
    closed.driver = "slnm.dll";
    closed.reason = Reason{"driver_not_found", "its driver file slnm.dll is not found"};
    matrix.rows.push_back({closed, std::vector<Row>(kFormats.size(), closed)});
    return matrix;
}

TEST(Matrix, WritesACellForEveryFormatByNameAndCountsTheCells)
{
    const std::string json = json_text(small_matrix());
    EXPECT_EQ(json.rfind("{\n  \"bits\": 32,\n  \"size\": {\"width\": 641, \"height\": 481},\n"
                         "  \"formats\": [\"rgb24\", \"rgb32\", \"rgb555\", \"rgb565\", \"rgb8\", "
                         "\"yuy2\", \"uyvy\", \"yv12\", \"i420\", \"nv12\", \"rgb32-topdown\"],\n",
                         0),
              0u)
        << json;
    // Each cell: what it was asked, and the same fields a row has for that.
    EXPECT_NE(
        json.find("\"cells\": {\"rgb24\": {\"accepts\": true, \"query_result\": {\"value\": 0, "
                  "\"name\": \"ICERR_OK\"}, \"proposed\": null, \"round_trip\": {\"worked\": "
                  "true, "),
        std::string::npos)
        << json;
    EXPECT_NE(json.find("\"yuy2\": {\"accepts\": true, \"query_result\": {\"value\": 0, \"name\": "
                        "\"ICERR_OK\"}, \"proposed\": null, \"round_trip\": null, \"recording\": "
                        "null, \"reason\": "
                        "{\"code\": \"faulted\", \"text\": \"faulted while compressing (exception "
                        "0xc0000005)\"}, \"outcome\": \"faulted\", \"step\": null}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("{\"index\": 1, \"code\": \"slnm\", \"driver\": \"slnm.dll\", "
                        "\"description\": \"\", \"opens\": false, \"driver_path\": null, "
                        "\"missing_dll\": null, \"cells\": {\"rgb24\": {\"accepts\": false"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"rgb32-topdown\": {"), std::string::npos);
    const std::string counts = "\n  \"cells_answered\": 20,\n  \"cells_faulted_or_hung\": 2\n}\n";
    EXPECT_EQ(json.substr(json.size() - counts.size()), counts);
}

TEST(Matrix, FitsOneHundredColumnsWithAShortCellForEachFormatAndEachReasonOnce)
{
    const std::string table = table_text(small_matrix());
    for (std::size_t start = 0, end; start < table.size(); start = end + 1) {
        end = table.find('\n', start);
        EXPECT_LE(text::columns(table.substr(start, end - start)), kTableWidth)
            << table.substr(start, end - start);
    }
    EXPECT_NE(table.find("asked about every format at 641 x 481\n"), std::string::npos) << table;
    EXPECT_NE(
        table.find("\ncode  rgb24  rgb32  rgb555  rgb565  rgb8  yuy2   uyvy  yv12  i420  nv12  "
                   "topdown\n"
                   "slny  39     exact  no      no      no    fault  no    no    no    hung  no\n"),
        std::string::npos)
        << table;
    EXPECT_NE(table.find("yuy2: faulted while compressing (exception 0xc0000005)\n"),
              std::string::npos);
    EXPECT_NE(table.find("nv12: no answer in 10 s when asked about this format\n"),
              std::string::npos)
        << table;
    // A reason every cell shares is said once.
    EXPECT_NE(table.find("slnm  -      -"), std::string::npos);
    EXPECT_NE(table.find("every format: its driver file slnm.dll is not found\n"),
              std::string::npos);
    EXPECT_NE(table.find("\n2 installed, 20 cells answered, 2 faulted or hung\n"),
              std::string::npos);
    EXPECT_NE(table.find("fault, hung: it crashed or hung"), std::string::npos) << table;
}

TEST(Json, SaysNullForEveryFigureOfARoundTripThatFailedAndForEmptyLists)
{
    Report report = small_report();
    report.rows.resize(1);
    report.rows[0].round_trip = RoundTrip{};
    report.foreign.clear();
    const std::string json = json_text(report);
    EXPECT_NE(json.find("\"round_trip\": {\"worked\": false, \"frames_info\": null, \"calls\": "
                        "null, \"calls_before_first_frame\": null, \"key_frame_marked\": null, "
                        "\"compressed_bytes\": null, \"delta_frame_bytes\": null, \"ratio\": "
                        "null, \"ms_per_frame\": null, \"decompressor\": null, "
                        "\"output_bit_count\": null, \"frames\": null, \"lag_frames\": null, "
                        "\"exact\": null, \"psnr_db\": null, \"looks\": null, "
                        "\"psnr_db_by_frame\": []}, "),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"other_bitness\": [],\n"), std::string::npos) << json;
}

// ---- The table ------------------------------------------------------------------

TEST(Table, FitsOneHundredColumnsWithLongTextBeyondAscii)
{
    Report report = small_report();
    Row& full = report.rows[0];
    full.description.clear();
    for (int i = 0; i < 40; ++i)
        full.description += "Gr\xC3\xBC\xC3\x9F"
                            "e \xE6\x97\xA5";  // "Grüße 日"
    full.driver = std::string(80, 'd') + ".dll";
    full.reason->text = "a word longer than a line: " + std::string(150, 'w') + " and after it";
    full.round_trip->figures->looks = Looks::upside_down;
    report.rows[1].description = "tab\there, line\nthere";
    const std::string table = table_text(report);
    for (const std::string& line : lines_of(table)) {
        EXPECT_LE(text::columns(line), kTableWidth) << line;
        EXPECT_EQ(text::utf8(text::wide(line)), line) << "a character cut in two: " << line;
    }
    // Control characters a compressor put in its description do not break a line.
    EXPECT_NE(table.find("slnf  tab?here, line?there"), std::string::npos) << table;
    // A cut description keeps its first characters and says it was cut.
    EXPECT_NE(table.find("slnj  Gr\xC3\xBC\xC3\x9F"
                         "e \xE6\x97\xA5"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("~  dddd"), std::string::npos) << table;

    // Under the row: the round trip in words, then the reason.
    EXPECT_NE(unwrapped(table).find(
                  " round trip of 8 frames: key frame 262144 -> 196608 bytes, delta "
                  "frames 3 bytes on average (10.66:1 over the clip), comes back upside "
                  "down (38.1 dB); its output 2 frames behind"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("      a word longer than a line:\n      www"), std::string::npos)
        << table;
    EXPECT_NE(table.find("      faulted when opened (exception 0xc0000005)\n"), std::string::npos);
    EXPECT_NE(table.find("2 installed, 1 take the probe format, 1 give it back (0 exactly), 1 "
                         "faulted or hung"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("slno  slno.dll  use the x64 program"), std::string::npos) << table;
}

TEST(Table, SaysWhenEveryFrameCameOutAKeyFrameAndWithoutLag)
{
    Report report = small_report();
    RoundTrip& trip = *report.rows[0].round_trip;
    trip.compressed->delta_frame_bytes.reset();
    trip.figures->lag_frames = 0;
    trip.figures->psnr_db.reset();
    trip.frames_info = ICERR_OK;
    std::string table = unwrapped(table_text(report));
    EXPECT_NE(table.find("slnf  ?  "), std::string::npos) << "no description: " << table;
    EXPECT_NE(table.find("every frame a key frame (10.66:1 over the clip), exact; no lag, 0.30 ms "
                         "a frame; decompressed by slnk to 24-bit RGB its first frame"),
              std::string::npos)
        << table;

    // Nothing here decompresses it: what compressing showed, and the frame
    // count it did not take.
    trip.figures.reset();
    trip.frames_info = ICERR_UNSUPPORTED;
    trip.compressed->key_frame_marked = false;
    report.rows[0].reason = Reason{"no_decompressor", "no installed decompressor takes it"};
    table = unwrapped(table_text(report));
    EXPECT_NE(table.find("slnj  "), std::string::npos) << table;
    EXPECT_NE(table.find(" compressed only: key frame 262144 -> 196608 bytes, every frame a key "
                         "frame (10.66:1 over the clip), its key frame not marked; its first "
                         "frame after 2 empty or skip frames, 0.30 ms a frame; the frame count "
                         "announced (ICM_COMPRESS_FRAMES_INFO) answered ICERR_UNSUPPORTED (-1) "
                         "no installed decompressor takes it\n"),
              std::string::npos)
        << table;
}

// ---- The clip and its comparison --------------------------------------------------

class Clip : public testing::Test {
  protected:
    static const std::vector<Frame>& clip()
    {
        static const std::vector<Frame> made = make_clip();
        return made;
    }
    // FRAME as BITS-bit rows, padded to four bytes.
    static std::vector<unsigned char> as_bits(const Frame& frame, int bits)
    {
        const std::size_t step = static_cast<std::size_t>(bits / 8);
        const std::size_t stride = (selnary::probe_width * step + 3) / 4 * 4;
        std::vector<unsigned char> out(stride * selnary::probe_height, 0xEE);
        for (std::size_t y = 0; y < selnary::probe_height; ++y)
            for (std::size_t x = 0; x < selnary::probe_width; ++x)
                for (std::size_t c = 0; c < step; ++c)
                    out[y * stride + x * step + c] = frame[(y * selnary::probe_width + x) * 4 + c];
        return out;
    }
};

TEST_F(Clip, IsDistinctFramesOfTheProbePictureMovingTheSameOnEveryMachine)
{
    ASSERT_EQ(clip().size(), static_cast<std::size_t>(kClipFrames));
    for (std::size_t i = 0; i < clip().size(); ++i) {
        ASSERT_EQ(clip()[i].size(), selnary::probe_frame_bytes);
        for (std::size_t j = 0; j < i; ++j)
            EXPECT_NE(clip()[i], clip()[j]) << "frames " << j << " and " << i;
    }
    // Its first frame's first pixels, blue rising, red falling, and the noise's corner.
    const Frame& first = clip()[0];
    EXPECT_EQ(std::vector<unsigned char>(first.begin(), first.begin() + 8),
              (std::vector<unsigned char>{0, 0, 255, 0, 1, 0, 254, 0}));
    std::uint32_t sum = 0;
    for (const Frame& frame : clip())
        for (const unsigned char byte : frame)
            sum = sum * 31 + byte;
    EXPECT_EQ(sum, 0x887baa80u) << "the clip's bytes changed";
}

TEST_F(Clip, ComparesExactlyByPsnrUpsideDownAndSwapped)
{
    const Frame& sent = clip()[1];
    for (const int bits : {32, 24}) {
        const auto same = as_bits(sent, bits);
        EXPECT_FALSE(compare(sent, same.data(), bits).psnr_db) << bits;

        // Every blue byte one off: a mean squared error of 1/3 over three colours.
        Frame off = sent;
        for (std::size_t i = 0; i < off.size(); i += 4)
            off[i] ^= 1;
        const Comparison lossy = compare(sent, as_bits(off, bits).data(), bits);
        ASSERT_TRUE(lossy.psnr_db);
        EXPECT_NEAR(*lossy.psnr_db, 10 * std::log10(255.0 * 255.0 * 3), 1e-9);
        EXPECT_FALSE(lossy.looks);

        Frame flipped(sent.size()), swapped = sent;
        const std::size_t row = selnary::probe_width * 4;
        for (std::size_t y = 0; y < selnary::probe_height; ++y)
            std::copy_n(&sent[y * row], row, &flipped[(selnary::probe_height - 1 - y) * row]);
        for (std::size_t i = 0; i < swapped.size(); i += 4)
            std::swap(swapped[i], swapped[i + 2]);
        EXPECT_EQ(compare(sent, as_bits(flipped, bits).data(), bits).looks, Looks::upside_down);
        EXPECT_EQ(compare(sent, as_bits(swapped, bits).data(), bits).looks, Looks::swapped);
    }
    // The unused fourth byte is not compared.
    Frame noisy_fourth = sent;
    noisy_fourth[3] = 99;
    EXPECT_FALSE(compare(sent, noisy_fourth.data(), 32).psnr_db);
}

TEST_F(Clip, CallsLaterFramesWrongWhenTheyAreAnotherFrameOrFarWorseThanTheKey)
{
    const auto seen = [](const unsigned char* got) { return rgb_comparer(clip(), 32)(got); };
    // Exact all through.
    ClipCheck exact;
    for (const Frame& frame : clip())
        exact.add(seen(frame.data()));
    EXPECT_FALSE(exact.wrong());
    EXPECT_FALSE(exact.worst().psnr_db);

    // The second frame shows the first again, as a decoder that skipped a delta frame would.
    ClipCheck stale;
    stale.add(seen(clip()[0].data()));
    stale.add(seen(clip()[0].data()));
    ASSERT_TRUE(stale.wrong());
    EXPECT_EQ(stale.wrong()->rfind("frame 2 of 8 comes back as frame 1 (", 0), 0u)
        << *stale.wrong();

    // Black after a good key frame.
    ClipCheck black;
    black.add(seen(clip()[0].data()));
    const Frame nothing(clip()[1].size(), 0);
    black.add(seen(nothing.data()));
    ASSERT_TRUE(black.wrong());
    EXPECT_NE(black.wrong()->find("frame 2 of 8 comes back at "), std::string::npos)
        << *black.wrong();
    EXPECT_NE(black.wrong()->find("the key frame at exact"), std::string::npos) << *black.wrong();

    // Every frame upside down is how it looks, not wrong; the lowest PSNR is kept.
    ClipCheck flipped;
    const std::size_t row = selnary::probe_width * 4;
    double lowest = 1e9;
    for (const Frame& frame : clip()) {
        Frame turned(frame.size());
        for (std::size_t y = 0; y < selnary::probe_height; ++y)
            std::copy_n(&frame[y * row], row, &turned[(selnary::probe_height - 1 - y) * row]);
        lowest = std::min(lowest, *compare(frame, turned.data(), 32).psnr_db);
        flipped.add(seen(turned.data()));
    }
    EXPECT_FALSE(flipped.wrong()) << *flipped.wrong();
    EXPECT_EQ(flipped.worst().looks, Looks::upside_down);
    EXPECT_DOUBLE_EQ(*flipped.worst().psnr_db, lowest);
}

// The bytes of a header as a BITMAPINFOHEADER says them.
BITMAPINFOHEADER header_of(const std::vector<unsigned char>& bytes)
{
    BITMAPINFOHEADER header;
    std::memcpy(&header, bytes.data(), sizeof header);
    return header;
}

TEST(Formats, WriteTheirHeadersAsTheyAreDefinedTheProbesAsTheProbeRecord)
{
    BITMAPINFOHEADER probe;
    selnary::fill_probe_format(probe);
    const std::vector<unsigned char> asked = header_bytes(kProbePixels, kProbeSize);
    ASSERT_EQ(asked.size(), sizeof probe);
    EXPECT_EQ(std::memcmp(asked.data(), &probe, sizeof probe), 0);

    const Size odd{641, 481};
    const auto header = [&](const char* name) {
        return header_of(header_bytes(*find_format(name), odd));
    };
    EXPECT_EQ(header("rgb32-topdown").biHeight, -481);
    EXPECT_EQ(header("yuy2").biCompression, MAKEFOURCC('Y', 'U', 'Y', '2'));
    EXPECT_EQ(header("nv12").biBitCount, 12);
    // Rows of RGB padded to four bytes; YUV unpadded, odd chroma rounded up.
    EXPECT_EQ(header("rgb24").biSizeImage, 1924u * 481);
    EXPECT_EQ(header("yuy2").biSizeImage, 321u * 4 * 481);
    EXPECT_EQ(header("yv12").biSizeImage, 641u * 481 + 2 * 321 * 241);
    const std::vector<unsigned char> masks = header_bytes(*find_format("rgb565"), odd);
    ASSERT_EQ(masks.size(), 52u);
    EXPECT_EQ(header("rgb565").biCompression, static_cast<DWORD>(BI_BITFIELDS));
    EXPECT_EQ((std::vector<unsigned char>(masks.begin() + 40, masks.end())),
              (std::vector<unsigned char>{0, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0}));
    const std::vector<unsigned char> paletted = header_bytes(*find_format("rgb8"), odd);
    ASSERT_EQ(paletted.size(), 40u + 1024);
    EXPECT_EQ(header("rgb8").biClrUsed, 256u);
    EXPECT_EQ((std::vector<unsigned char>(paletted.end() - 4, paletted.end())),
              (std::vector<unsigned char>{255, 255, 255, 0}));
    EXPECT_EQ(find_format("rgb16"), nullptr);
}

TEST(Formats, ConvertByTheDocumentedConversionsAndComeBackTheSame)
{
    // BT.601 limited range: white, black and red as every YUV tool gives them.
    const Size one{2, 2};
    const auto yuy2_of = [&](unsigned char b, unsigned char g, unsigned char r) {
        const std::vector<unsigned char> rgb = {b, g, r, 0, b, g, r, 0, b, g, r, 0, b, g, r, 0};
        const std::vector<unsigned char> yuv = from_rgb(*find_format("yuy2"), one, rgb);
        return std::vector<unsigned char>(yuv.begin(), yuv.begin() + 4);
    };
    EXPECT_EQ(yuy2_of(255, 255, 255), (std::vector<unsigned char>{235, 128, 235, 128}));
    EXPECT_EQ(yuy2_of(0, 0, 0), (std::vector<unsigned char>{16, 128, 16, 128}));
    EXPECT_EQ(yuy2_of(0, 0, 255), (std::vector<unsigned char>{81, 90, 81, 240}));

    for (const Size size : {kProbeSize, Size{67, 41}, Size{3, 5}, Size{1, 1}}) {
        const Frame picture = make_clip(size, 1)[0];
        for (const PixelFormat& format : kFormats) {
            SCOPED_TRACE(std::string(format.name) + " at " + std::to_string(size.width) + "x" +
                         std::to_string(size.height));
            const std::vector<unsigned char> in = from_rgb(format, size, picture);
            ASSERT_EQ(in.size(), frame_bytes(format, size));
            const std::vector<unsigned char> again = from_rgb(format, size,
                                                              to_rgb(format, size, in.data()));
            const std::optional<double> drift = compare_in_format(format, size, in.data(),
                                                                  again.data());
            // RGB comes back exactly; YUV within the rounding of two conversions.
            if (is_rgb(format)) {
                EXPECT_FALSE(drift);
            } else if (size.width > 1) {
                EXPECT_GT(drift.value_or(99), 38);
            }
            if (format.bit_count == 32 && !format.top_down) {
                EXPECT_EQ(in, picture);
            }
        }
    }
    // Top-down rows: the picture's top row first.
    const Frame picture = make_clip(kProbeSize, 1)[0];
    const std::vector<unsigned char> top_down = from_rgb(*find_format("rgb32-topdown"), kProbeSize,
                                                         picture);
    EXPECT_TRUE(std::equal(top_down.begin(), top_down.begin() + 1024, picture.end() - 1024));
}

TEST(Formats, CompareWhatTheFormatHoldsAndNothingElse)
{
    const Size odd{3, 2};
    const Frame picture = make_clip(odd, 1)[0];
    const auto changed = [&](const char* name, std::size_t at, unsigned char bits) {
        const PixelFormat& format = *find_format(name);
        const std::vector<unsigned char> in = from_rgb(format, odd, picture);
        std::vector<unsigned char> got = in;
        got[at] ^= bits;
        return compare_in_format(format, odd, in.data(), got.data()).has_value();
    };
    EXPECT_FALSE(changed("rgb24", 9, 0xFF));  // a row's padding
    EXPECT_FALSE(changed("rgb32", 3, 0xFF));  // the unused byte
    EXPECT_FALSE(changed("rgb555", 1, 0x80));  // the unused top bit
    EXPECT_FALSE(changed("yuy2", 6, 0xFF));  // the Y of the pixel past an odd row's end
    EXPECT_TRUE(changed("rgb24", 8, 0x01));
    EXPECT_TRUE(changed("rgb565", 1, 0x80));
    EXPECT_TRUE(changed("rgb8", 0, 0x01));
    for (const char* planar : {"yv12", "i420", "nv12"})
        EXPECT_TRUE(changed(planar, frame_bytes(*find_format(planar), odd) - 1, 0x01)) << planar;
    // A small error in a deep sample counts for as much as in a shallow one.
    const PixelFormat& rgb555 = *find_format("rgb555");
    std::vector<unsigned char> in(8, 0), got(8, 0);
    got[0] = 1;  // one step of 31 in blue
    EXPECT_NEAR(*compare_in_format(rgb555, Size{1, 1}, in.data(), got.data()),
                10 * std::log10(3.0 * 31 * 31), 0.01);
}

TEST(Outputs, CarryTheClipsFramesPastEmptyAndSkipFramesWhereverTheyStand)
{
    const std::vector<Output> outputs = {
        {{}, false},  {{0x7F}, false}, {{1, 2, 3}, true}, {{0x7F}, false},
        {{}, false},  {{5}, false},    {{0x7F}, true},  // a key frame of one byte is a frame
        {{9}, false},
    };
    const Carried carries = carried(outputs, 3);
    EXPECT_EQ(carries.lead, 2);
    EXPECT_EQ(carries.frames, 4);
    EXPECT_EQ(carries.last, 6u);
    EXPECT_EQ(carried(outputs, 5).frames, 4) << "not all came";
    EXPECT_TRUE(is_lag({{0x7F}, false}));
    EXPECT_FALSE(is_lag({{0x7E}, false}));
}

TEST_F(Clip, LinesUpPicturesByWhatTheyShowWhateverHeldThemBack)
{
    // The premise: a codec's loss, here 15 dB, is far less than the clip's
    // frames differ from each other.
    Frame noisy[kClipFrames];
    for (int at = 0; at < kClipFrames; ++at) {
        noisy[at] = clip()[static_cast<std::size_t>(at)];
        for (std::size_t i = 0; i < noisy[at].size(); ++i)
            noisy[at][i] = static_cast<unsigned char>(
                std::clamp(noisy[at][i] + ((i * 7 + i / 5) % 2 ? 48 : -48), 0, 255));
    }
    const double lossy_db = *compare(clip()[3], noisy[3].data(), 32).psnr_db;
    ASSERT_GT(lossy_db, 14);
    ASSERT_LT(lossy_db, 16.5);

    // What each picture shows: a frame of the clip, or nothing (-1), each
    // compared once.
    const Frame nothing(clip()[0].size(), 0);
    const Comparer seen = rgb_comparer(clip(), 32);
    std::vector<Likeness> exact_seen, lossy_seen;
    for (int at = 0; at < kClipFrames; ++at) {
        exact_seen.push_back(seen(clip()[at].data()));
        lossy_seen.push_back(seen(noisy[at].data()));
    }
    const Likeness blank = seen(nothing.data());
    const auto pictures = [&](const std::vector<int>& shown, bool lossy) {
        std::vector<Likeness> all;
        for (const int at : shown)
            all.push_back(at < 0 ? blank : (lossy ? lossy_seen : exact_seen)[at]);
        return all;
    };
    const std::vector<int> whole = {0, 1, 2, 3, 4, 5, 6, 7};
    const auto after = [&](std::vector<int> first, std::vector<int> then) {
        first.insert(first.end(), then.begin(), then.end());
        return first;
    };
    struct Case {
        const char* held;
        std::vector<int> shown;
        int lag, short_by;
    };
    const Case cases[] = {
        {"by nothing", whole, 0, 0},
        {"by empty frames first", after({-1, -1}, whole), 2, 0},
        {"by skip frames after the key frame", after({0, 0, 0}, {1, 2, 3, 4, 5, 6, 7}), 2, 0},
        {"by a decompressor a picture late, cut short", {-1, 0, 1, 2, 3, 4, 5, 6}, 1, 1},
        {"by a decompressor a picture late, one call more", after({-1}, whole), 1, 0},
        {"by 46 empty frames, and frames past the clip",
         after(std::vector<int>(46, -1), after(whole, {7, 7})), 46, 0},
        {"by two skip frames, cut short", {0, 0, 0, 1, 2, 3, 4, 5}, 2, 2},
    };
    for (const Case& held : cases)
        for (const bool lossy : {false, true}) {
            const std::optional<LineUp> lined = line_up(pictures(held.shown, lossy));
            ASSERT_TRUE(lined) << held.held << (lossy ? ", lossy" : "");
            EXPECT_EQ(lined->lag, held.lag) << held.held << (lossy ? ", lossy" : "");
            EXPECT_EQ(lined->short_by, held.short_by) << held.held << (lossy ? ", lossy" : "");
        }
    // A clip that no single offset shows: one picture standing still, frames
    // out of order, one left out.
    for (const std::vector<int>& wrong :
         {std::vector<int>(10, 0), std::vector<int>{0, 2, 1, 3, 4, 5, 6, 7},
          std::vector<int>{0, 1, 2, 4, 5, 6, 7, 7, 7}})
        for (const bool lossy : {false, true})
            EXPECT_FALSE(line_up(pictures(wrong, lossy))) << wrong[1] << wrong[2] << lossy;
    EXPECT_FALSE(line_up({}));
}

// ---- The command line ---------------------------------------------------------

// What is wrong with ARGUMENTS, or "no error".
std::string usage(const std::vector<std::string>& arguments)
{
    const Command command = parse_command_line(arguments);
    return std::holds_alternative<UsageError>(command) ? std::get<UsageError>(command).what
                                                       : "no error";
}

TEST(CommandLine, SaysWhatWasWrong)
{
    EXPECT_EQ(usage({"--bogus"}), "unknown option --bogus");
    EXPECT_EQ(usage({"--json", "json"}), "unknown option json");
    for (const char* seconds : {"0", "3601", "1.5", "-1", "ten", "", "99999999999999999999"})
        EXPECT_EQ(usage({"--timeout", seconds}), "--timeout takes whole seconds, 1 to 3600")
            << seconds;
    EXPECT_EQ(usage({"--timeout"}), "--timeout takes whole seconds, 1 to 3600");
    EXPECT_EQ(usage({"--examine", "1"}), "--examine is for the report's own examining process");

    const Command fine = parse_command_line({"--timeout", "3600", "--json"});
    ASSERT_TRUE(std::holds_alternative<Options>(fine));
    EXPECT_TRUE(std::get<Options>(fine).json);
    EXPECT_EQ(std::get<Options>(fine).timeout, 3600);
    EXPECT_EQ(std::get<Options>(parse_command_line({})).timeout, kDefaultTimeout);
    for (const char* help : {"--help", "-h", "/?"})
        EXPECT_TRUE(std::holds_alternative<Help>(parse_command_line({"--json", help})));
    const Command child = parse_command_line({"--examine", "4", "1234"});
    ASSERT_TRUE(std::holds_alternative<Examine>(child));
    EXPECT_EQ(std::get<Examine>(child).first, 4);
    EXPECT_EQ(std::get<Examine>(child).channel, 1234u);
    EXPECT_TRUE(std::get<Examine>(child).input.is_probe());
}

TEST(CommandLine, AsksAboutAnotherFormatAndSizeAndPassesThemToTheChild)
{
    const std::string sizes =
        "--size takes WIDTHxHEIGHT, each 1 to 8192, at most 3840 x 2160 pixels in all";
    for (const char* size :
         {"0x10", "10x0", "10", "x10", "10x", "10x10x10", "8193x1", "3841x2161", "ten"})
        EXPECT_EQ(usage({"--size", size}), sizes) << size;
    EXPECT_EQ(usage({"--size"}), sizes);
    EXPECT_EQ(usage({"--format", "rgb16"}),
              "--format takes one of rgb24, rgb32, rgb555, rgb565, rgb8, yuy2, uyvy, yv12, i420, "
              "nv12, rgb32-topdown");
    for (const PixelFormat& format : kFormats)
        EXPECT_NE(std::string(kHelp).find(format.name), std::string::npos) << format.name;

    const Command asked = parse_command_line({"--format", "yuy2", "--size", "1366x768", "--json"});
    ASSERT_TRUE(std::holds_alternative<Options>(asked));
    const Input input = std::get<Options>(asked).input;
    EXPECT_EQ(input.format, find_format("yuy2"));
    EXPECT_EQ(input.size, (Size{1366, 768}));
    EXPECT_EQ(input.named("the probe format"), "yuy2 at 1366 x 768");
    EXPECT_EQ(parse_command_line({"--size", "3840x2160"}).index(), asked.index());
    EXPECT_EQ(parse_command_line({"--size", "8192x1"}).index(), asked.index());

    // What the parent passes its child names the same input.
    EXPECT_EQ(child_arguments(Input{}, ""), "");
    std::vector<std::string> arguments = {"--examine", "0", "9"};
    std::string passed = child_arguments(input, "");
    for (std::size_t at = 1, next = 0; at < passed.size(); at = next + 1) {
        next = passed.find(' ', at);
        next = next == std::string::npos ? passed.size() : next;
        arguments.push_back(passed.substr(at, next - at));
    }
    const Command child = parse_command_line(arguments);
    ASSERT_TRUE(std::holds_alternative<Examine>(child)) << passed;
    EXPECT_EQ(std::get<Examine>(child).input.format, input.format);
    EXPECT_EQ(std::get<Examine>(child).input.size, input.size);
    arguments.push_back("--json");
    EXPECT_EQ(usage(arguments), "--examine is for the report's own examining process");

    // Every format, at a size: the matrix, passed on the same way.
    EXPECT_EQ(usage({"--formats", "--format", "yuy2"}),
              "--formats asks about every format: leave out --format");
    const Command matrix = parse_command_line({"--size", "64x48", "--formats"});
    ASSERT_TRUE(std::holds_alternative<Options>(matrix));
    const Input every = std::get<Options>(matrix).input;
    EXPECT_TRUE(every.every_format);
    EXPECT_FALSE(every.is_probe());
    EXPECT_EQ(every.formats(), 11);
    EXPECT_EQ(every.nth(5).format, find_format("yuy2"));
    EXPECT_EQ(every.nth(5).size, (Size{64, 48}));
    EXPECT_EQ(child_arguments(every, ""), " --formats --size 64x48");
    const Command matrix_child = parse_command_line(
        {"--examine", "0", "9", "--formats", "--size", "64x48"});
    ASSERT_TRUE(std::holds_alternative<Examine>(matrix_child));
    EXPECT_TRUE(std::get<Examine>(matrix_child).input.every_format);
    EXPECT_EQ(usage({"--examine", "0", "9", "--size", "64x48", "--formats"}),
              "--examine is for the report's own examining process");
}

// LINE's arguments after the program's name, split as a child's command
// line is; none where it does not split.
std::vector<std::string> split(const std::wstring& line)
{
    int count = 0;
    wchar_t** parts = CommandLineToArgvW(line.c_str(), &count);
    std::vector<std::string> arguments;
    for (int i = 1; parts && i < count; ++i)
        arguments.push_back(text::utf8(parts[i]));
    LocalFree(parts);
    return arguments;
}

TEST(CommandLine, PassesTheFolderForPicturesWholeToTheChild)
{
    EXPECT_EQ(usage({"--save"}), "--save takes a folder");
    EXPECT_EQ(usage({"--save", ""}), "--save takes a folder");
    Input yuy2;
    yuy2.format = find_format("yuy2");
    // As the child's command line is split: spaces, a trailing backslash, letters beyond ASCII.
    for (const std::string folder : {"C:\\pictures", "C:\\my pictures\\", "\\\\server\\share\\",
                                     "C:\\Gr\xc3\xb6\xc3\x9f"
                                     "e \\x"}) {
        for (const Input& input : {Input{}, yuy2}) {
            const std::wstring line = L"selnary-compressors.exe --examine 3 9" +
                text::wide(child_arguments(input, folder));
            const Command child = parse_command_line(split(line));
            ASSERT_TRUE(std::holds_alternative<Examine>(child)) << text::utf8(line);
            EXPECT_EQ(std::get<Examine>(child).save, folder);
            EXPECT_EQ(std::get<Examine>(child).input.format, input.format);
        }
    }
}

TEST(CommandLine, PlaysAFileAndPassesItWholeToTheChild)
{
    EXPECT_EQ(usage({"--play"}), "--play takes an AVI file");
    EXPECT_EQ(usage({"--play", ""}), "--play takes an AVI file");
    for (const char* frames : {"0", "1001", "-1", "x", ""})
        EXPECT_EQ(usage({"--play", "a.avi", "--frames", frames}),
                  "--frames takes a whole number, 1 to 1000")
            << frames;
    EXPECT_EQ(usage({"--frames", "5"}), "--frames is for --play");
    for (const auto& other :
         {std::vector<std::string>{"--format", "yuy2"}, std::vector<std::string>{"--formats"},
          std::vector<std::string>{"--size", "64x48"}}) {
        std::vector<std::string> arguments = {"--play", "a.avi"};
        arguments.insert(arguments.end(), other.begin(), other.end());
        EXPECT_EQ(usage(arguments),
                  "--play asks about the file's own format: leave out --format, "
                  "--formats and --size")
            << other[0];
    }
    const Command asked = parse_command_line({"--play", "a b.avi", "--frames", "1000", "--json"});
    ASSERT_TRUE(std::holds_alternative<Options>(asked));
    EXPECT_EQ(std::tuple(std::get<Options>(asked).play, std::get<Options>(asked).frames),
              std::tuple(std::string("a b.avi"), 1000));
    EXPECT_EQ(std::get<Options>(parse_command_line({"--play", "a.avi"})).frames, kDefaultFrames);
    EXPECT_EQ(usage({"--play-child", "1", "2", "30", "0"}),
              "--play-child is for the report's own playing process");

    // As the child's command line is split: spaces, a trailing backslash, letters beyond ASCII.
    for (const std::string file : {"C:\\clip.avi", "C:\\my videos\\clip one.avi",
                                   "\\\\server\\share\\Gr\xc3\xb6\xc3\x9f"
                                   "e.avi"})
        for (const std::string folder : {"", "C:\\my pictures\\"})
            for (const bool reference : {false, true}) {
                const std::wstring line = L"selnary-compressors.exe --play-child 3 9" +
                    text::wide(watch_arguments(12, reference, file, folder));
                const Command child = parse_command_line(split(line));
                ASSERT_TRUE(std::holds_alternative<Watch>(child)) << text::utf8(line);
                const Watch& watch = std::get<Watch>(child);
                EXPECT_EQ(std::tuple(watch.first, watch.channel, watch.frames, watch.reference,
                                     watch.file, watch.save),
                          std::tuple(3, std::uintptr_t{9}, 12, reference, file, folder));
            }
}

TEST(Pictures, AreBmpFilesOfTheFrameAndOfItsDifferenceMagnified)
{
    // An odd width, so that each row is padded to four bytes.
    const Size size{67, 41};
    const Frame frame = make_clip(size, 1)[0];
    const std::vector<unsigned char> file = bmp_file(size, frame);
    const auto at = [&](std::size_t offset) {
        return file[offset] | file[offset + 1] << 8 | file[offset + 2] << 16 |
            file[offset + 3] << 24;
    };
    ASSERT_EQ(file.size(), 54u + 204u * 41u);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(at(2), static_cast<int>(file.size()));
    EXPECT_EQ(at(10), 54);
    EXPECT_EQ(at(14), 40);
    EXPECT_EQ(at(18), 67);
    EXPECT_EQ(at(22), 41);
    EXPECT_EQ(file[28], 24);
    // The last pixel of the second row, then that row's padding.
    EXPECT_TRUE(
        std::equal(&file[54 + 204 + 66 * 3], &file[54 + 204 + 67 * 3], &frame[(67 + 66) * 4]));
    EXPECT_EQ(file[54 + 204 + 201], 0);

    Frame changed = frame;
    changed[0] = static_cast<unsigned char>(frame[0] ^ 1), changed[4] = frame[4] > 127 ? 0 : 255;
    changed[3] = 77;  // the unused byte
    const Frame different = difference(frame, changed);
    EXPECT_EQ(different[0], kDifferenceGain);
    EXPECT_EQ(different[4], 255) << "a large difference saturates";
    EXPECT_EQ(different[3], 0);
    EXPECT_EQ(std::count(different.begin(), different.end(), 0),
              static_cast<long>(different.size()) - 2);
}

TEST(Pictures, AreSavedByFormatAndCodeWithADifferenceForALossyOne)
{
    wchar_t temporary[MAX_PATH];
    ASSERT_TRUE(GetTempPathW(MAX_PATH, temporary));
    const std::string folder = text::utf8(temporary) + "selnary pictures " +
        std::to_string(GetCurrentProcessId()) + "\\";
    const Folder made = make_folder(folder);
    ASSERT_FALSE(made.problem) << *made.problem;
    EXPECT_EQ(made.path + "\\", folder) << "a full path, without its trailing backslash";
    const auto exists = [&](const std::string& name) {
        return GetFileAttributesW(text::wide(made.path + "\\" + name).c_str()) !=
            INVALID_FILE_ATTRIBUTES;
    };
    Input every;
    every.every_format = true;
    every.size = {33, 17};
    ASSERT_FALSE(save_sources(made.path, every));
    for (const PixelFormat& format : kFormats)
        EXPECT_TRUE(exists("source-" + std::string(format.name) + ".bmp")) << format.name;
    EXPECT_FALSE(exists("source.bmp"));

    Input yuy2 = every.nth(5);
    const Frame source = to_rgb(
        *yuy2.format, yuy2.size,
        from_rgb(*yuy2.format, yuy2.size, make_clip(yuy2.size, 1)[0]).data());
    EXPECT_TRUE(save_back(made.path, "ab/c", yuy2, yuy2.format, source));
    EXPECT_TRUE(exists("ab_c-yuy2.bmp"));
    EXPECT_FALSE(exists("ab_c-yuy2-difference.bmp")) << "exact: no difference to show";
    Frame lossy = source;
    lossy[0] ^= 4;
    EXPECT_TRUE(save_back(made.path, "slna", Input{}, nullptr, lossy));
    EXPECT_TRUE(exists("slna.bmp") && exists("slna-difference.bmp"));
    EXPECT_EQ(file_name("a:b*c. "), "a_b_c._");

    // A file where the folder should be.
    EXPECT_TRUE(make_folder(made.path + "\\slna.bmp").problem);
    for (const char* name : {"slna.bmp", "slna-difference.bmp", "ab_c-yuy2.bmp"})
        DeleteFileW(text::wide(made.path + "\\" + name).c_str());
    for (const PixelFormat& format : kFormats)
        for (const char* kind : {".bmp", ".avi"})
            DeleteFileW(
                text::wide(made.path + "\\source-" + std::string(format.name) + kind).c_str());
    EXPECT_TRUE(RemoveDirectoryW(text::wide(made.path).c_str())) << "every file written is known";
}

// ---- The child's round trip, against the test compressor in this process ------

// The bytes of a file, or none.
std::vector<unsigned char> file_bytes(const std::string& path)
{
    std::vector<unsigned char> bytes;
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return bytes;
    unsigned char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
        bytes.insert(bytes.end(), buffer, buffer + read);
    CloseHandle(file);
    return bytes;
}

// The test compressor's DriverProc, installed under each code used here.
class RoundTrip : public testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        library_ = LoadLibraryA(compressor_dll.c_str());
        ASSERT_TRUE(library_) << "cannot load " << compressor_dll;
        const auto proc = GetProcAddress(library_, "DriverProc");
        ASSERT_TRUE(proc);
        // The variants, by handler (tests/compressor/compressor.cpp).
        SetEnvironmentVariableA("SELNARY_COMPRESSOR_STREAM",
                                "slnj:inter sln2:delay sln1:skip slnu:unmarked slnn:never "
                                "slns:stale slnd:nodelta slnb:bframes slnh:late slnc:counted "
                                "slno:inter");
        // One that plays the late one's frames, at once: installed under another code.
        SetEnvironmentVariableA("SELNARY_COMPRESSOR_DECODES", "slno:slnh");
        SetEnvironmentVariableA("SELNARY_COMPRESSOR_CODEC", "slne:exact slnv:flip sln4:exact");
        SetEnvironmentVariableA("SELNARY_COMPRESSOR_BITS", "sln4:24");
        SetEnvironmentVariableA("SELNARY_COMPRESSOR_MISBEHAVE",
                                "slnz:smallsize slnw:scribble slnf:forget");
        SetEnvironmentVariableA("SELNARY_COMPRESSOR_TAKES", "slny:yuy2");
        for (const char* code : kCodes)
            ASSERT_TRUE(ICInstall(ICTYPE_VIDEO, mmioFOURCC(code[0], code[1], code[2], code[3]),
                                  reinterpret_cast<LPARAM>(proc), nullptr, ICINSTALL_FUNCTION))
                << code;
    }
    static void TearDownTestSuite()
    {
        for (const char* code : kCodes)
            ICRemove(ICTYPE_VIDEO, mmioFOURCC(code[0], code[1], code[2], code[3]), 0);
    }

    // Examines CODE about INPUT as the child does, in this process and unannounced.
    static Row examined(const char* code, Input input = {}, Kept* kept = nullptr)
    {
        Installed installed;
        installed.handlers = {mmioFOURCC(code[0], code[1], code[2], code[3])};
        installed.drivers = {L"slnytest.dll"};
        installed.sound = {false};
        Steps steps(nullptr, 0);
        Row row;
        examine_one(0, installed, input, steps, row, kept);
        return row;
    }

    static constexpr const char* kCodes[] = {"slna", "slne", "slnv", "slnj", "sln2", "sln1", "slnu",
                                             "slnn", "slns", "slnd", "sln4", "slnz", "slny", "slnb",
                                             "slnh", "slnc", "slnw", "slnf", "slno"};
    static inline HMODULE library_ = nullptr;
};

TEST_F(RoundTrip, ProvesAnInterFrameCompressorByItsKeyFrameAndSmallerDeltaFrames)
{
    // code: the lag its pictures show, the calls that gave no frame first,
    // and the calls a clip took. No lag; two empty frames first; a skip frame
    // first; a key frame, then skip frames for two B-frames; a decompressor a
    // picture late; two empty frames first, told the frame count.
    struct Case {
        const char* code;
        int lag, before, calls;
    };
    for (const auto& [code, lag, before, calls] : {Case{"slnj", 0, 0, 8},
                                                   {"sln2", 2, 2, 10},
                                                   {"sln1", 1, 1, 9},
                                                   {"slnb", 2, 0, 10},
                                                   {"slnh", 1, 0, 9},
                                                   {"slnc", 2, 2, 10}}) {
        const Row row = examined(code);
        ASSERT_TRUE(row.round_trip && row.round_trip->figures && row.round_trip->compressed)
            << code << ": " << (row.reason ? row.reason->text : "no reason");
        const Figures& back = *row.round_trip->figures;
        const Compressed& trip = *row.round_trip->compressed;
        EXPECT_FALSE(row.reason) << code << ": " << row.reason->text;
        EXPECT_EQ(row.round_trip->frames_info, ICERR_OK) << code;
        EXPECT_EQ(back.frames, kClipFrames) << code;
        EXPECT_EQ(back.lag_frames, lag) << code;
        EXPECT_EQ(trip.calls_before_first_frame, before) << code;
        EXPECT_EQ(trip.calls, calls) << code;
        EXPECT_TRUE(trip.key_frame_marked) << code;
        EXPECT_EQ(trip.compressed_bytes, 196608) << code << ": the whole frame, 24 bits a pixel";
        EXPECT_FALSE(back.psnr_db) << code << ": " << *back.psnr_db << " dB";
        EXPECT_EQ(back.decompressor, code);
        EXPECT_GT(trip.ms_per_frame, 0) << code;
        if (std::string(code) == "slnb")
            continue;  // its B-frames are coded against an anchor further back
        // A shift and one run of unchanged bytes; a skip frame is a byte too.
        EXPECT_EQ(trip.delta_frame_bytes, 10.0) << code;
        const int skipped = std::string(code) == "sln1";
        EXPECT_NEAR(trip.ratio, 8.0 * 262144 / (196608 + 7 * 10 + skipped), 1e-9) << code;
    }
}

TEST_F(RoundTrip, AnnouncesEveryClipWithItsCallsAndNamesWhatACompressorGetsWrong)
{
    // Each clip announced with as many frames as it is given, at 30 a second.
    char folder[MAX_PATH], log[MAX_PATH];
    ASSERT_TRUE(GetTempPathA(sizeof folder, folder));
    ASSERT_TRUE(GetTempFileNameA(folder, "sln", 0, log));
    SetEnvironmentVariableA("SELNARY_COMPRESSOR_LOG", log);
    const Row counted = examined("slnc");
    SetEnvironmentVariableA("SELNARY_COMPRESSOR_LOG", nullptr);
    const std::vector<unsigned char> logged = file_bytes(log);
    const std::string said(logged.begin(), logged.end());
    DeleteFileA(log);
    std::vector<std::string> announced;
    for (const std::string& line : lines_of(said))
        if (line.rfind("frames ", 0) == 0)
            announced.push_back(line.substr(line.find(' ', 7) + 1));
    // The clip, then two more calls for the two frames it held, then the
    // timed clips; each at the default quality.
    EXPECT_EQ(
        announced,
        (std::vector<std::string>{"8 30/1 -1\r", "10 30/1 -1\r", "10 30/1 -1\r", "10 30/1 -1\r"}))
        << said;
    ASSERT_TRUE(counted.round_trip && counted.round_trip->figures);

    // An intra-frame coder does not take the count, and works as well.
    const Row intra = examined("slna");
    ASSERT_TRUE(intra.round_trip && intra.round_trip->figures);
    EXPECT_EQ(intra.round_trip->frames_info, ICERR_UNSUPPORTED);
    EXPECT_FALSE(intra.reason);

    // What a recorder trips on, named where the round trip still works.
    const Row scribbles = examined("slnw");
    ASSERT_TRUE(scribbles.round_trip && scribbles.round_trip->figures);
    EXPECT_EQ(scribbles.reason.value_or(Reason{}).code, "input_overwritten");
    EXPECT_NE(
        scribbles.reason.value_or(Reason{}).text.find(": frame 1 of 8 was not as it was sent"),
        std::string::npos)
        << scribbles.reason.value_or(Reason{}).text;
    const Row forgets = examined("slnf");
    ASSERT_TRUE(forgets.round_trip && forgets.round_trip->figures);
    EXPECT_EQ(forgets.reason.value_or(Reason{}).code, "settings_lost");
    EXPECT_NE(forgets.reason.value_or(Reason{}).text.find("(ICGetState, 12 bytes)"),
              std::string::npos)
        << forgets.reason.value_or(Reason{}).text;
}

TEST_F(RoundTrip, ProvesAnIntraFrameCompressorAsBefore)
{
    const Row lossy = examined("slna");
    ASSERT_TRUE(lossy.round_trip && lossy.round_trip->figures) << lossy.reason->text;
    const Figures& trip = *lossy.round_trip->figures;
    EXPECT_EQ(trip.lag_frames, 0);
    EXPECT_EQ(lossy.round_trip->compressed->compressed_bytes, 131072);
    EXPECT_FALSE(lossy.round_trip->compressed->delta_frame_bytes) << "every frame is a key frame";
    EXPECT_NEAR(lossy.round_trip->compressed->ratio, 2.0, 1e-9);
    // RGB 5:6:5 of this clip measures 39.6 dB at its worst.
    ASSERT_TRUE(trip.psnr_db);
    EXPECT_GT(*trip.psnr_db, 38);
    EXPECT_LT(*trip.psnr_db, 43);

    const Row exact = examined("slne");
    ASSERT_TRUE(exact.round_trip && exact.round_trip->figures);
    EXPECT_FALSE(exact.round_trip->figures->psnr_db);

    const Row flipped = examined("slnv");
    ASSERT_TRUE(flipped.round_trip && flipped.round_trip->figures) << flipped.reason->text;
    EXPECT_EQ(flipped.round_trip->figures->looks, Looks::upside_down);

    // Frames larger than it said they may be, within the slack: proved, and told.
    const Row understated = examined("slnz");
    ASSERT_TRUE(understated.round_trip && understated.round_trip->figures);
    ASSERT_TRUE(understated.reason);
    EXPECT_EQ(understated.reason->code, "size_understated");
    EXPECT_EQ(understated.reason->text,
              "it said a frame may need 126976 bytes (ICCompressGetSize), then wrote 131072: a "
              "recorder that allocates what it was told overruns its buffer");
}

TEST_F(RoundTrip, AsksAboutTheFormatAndSizeItIsGivenInTheirOwnWords)
{
    // A compressor of 24-bit RGB only: the probe's "no", 24-bit RGB's
    // proof, decompressed to 24-bit RGB, the input's own format.
    const Row probe = examined("sln4");
    EXPECT_FALSE(probe.accepts);
    ASSERT_TRUE(probe.reason);
    EXPECT_EQ(probe.reason->text.rfind("it does not take the probe format: ", 0), 0u)
        << probe.reason->text;
    Input rgb24;
    rgb24.format = find_format("rgb24");
    const Row taken = examined("sln4", rgb24);
    ASSERT_TRUE(taken.accepts);
    ASSERT_TRUE(taken.round_trip && taken.round_trip->figures)
        << (taken.reason ? taken.reason->text : "");
    EXPECT_FALSE(taken.round_trip->figures->psnr_db) << "exact";
    EXPECT_EQ(taken.round_trip->figures->output_bit_count, 24);
    EXPECT_NEAR(taken.round_trip->compressed->ratio, 1.0, 1e-9) << "24 bits in, 24 bits out";

    // Another size or a top-down frame, which it does not take, named as asked.
    Input other;
    other.size = {641, 481};
    const Row odd = examined("slne", other);
    ASSERT_TRUE(odd.reason);
    EXPECT_EQ(odd.reason->text,
              "it does not take rgb32 at 641 x 481: ICCompressQuery answered ICERR_BADFORMAT (-2)");
    other = {};
    other.format = find_format("rgb32-topdown");
    EXPECT_EQ(examined("slne", other)
                  .reason->text.rfind("it does not take rgb32-topdown at 256 x 256: ", 0),
              0u);
}

TEST_F(RoundTrip, GivesBackItsFirstFrameAsAPersonSeesIt)
{
    // Exact: the source frame itself; lossy: within a few levels of it; upside
    // down: far from it (255 / kDifferenceGain, saturated).
    const auto off_by = [](const Frame& back, Input input) {
        const Frame sent = from_rgb(*input.format, input.size, make_clip(input.size, 1)[0]);
        const Frame source = to_rgb(*input.format, input.size, sent.data());
        EXPECT_EQ(back.size(), source.size());
        const Frame different = difference(source, back);
        return *std::max_element(different.begin(), different.end()) / kDifferenceGain;
    };
    Input yuy2;
    yuy2.format = find_format("yuy2");
    yuy2.size = {67, 41};
    for (const auto& [code, input, most, least] : {std::tuple{"slne", Input{}, 0, 0},
                                                   {"slny", yuy2, 0, 0},
                                                   {"slna", Input{}, 7, 1},
                                                   {"slnv", Input{}, 31, 31}}) {
        Kept kept;
        const Row row = examined(code, input, &kept);
        ASSERT_TRUE(row.round_trip && row.round_trip->figures) << code;
        const int off = off_by(kept.back, input);
        EXPECT_LE(off, most) << code;
        EXPECT_GE(off, least) << code;
    }
    Kept none;
    examined("sln4", Input{}, &none);
    EXPECT_TRUE(none.back.empty()) << "nothing came back: it does not take the probe";
    EXPECT_TRUE(none.recording.frames.empty()) << "nothing was compressed";
}

TEST_F(RoundTrip, RecordsTheClipAsARecorderWouldAndSaysWhyAFileIsNotWritten)
{
    // Two frames behind: ten calls, the first two empty, the key frame third.
    Kept kept;
    Row row = examined("sln2", Input{}, &kept);
    ASSERT_EQ(kept.recording.frames.size(), 10u);
    ASSERT_EQ(kept.clip.frames.size(), 8u) << "the clip as given";
    EXPECT_EQ(kept.clip.frames[3].bytes, make_clip()[3]);
    char folder[MAX_PATH];
    ASSERT_TRUE(GetTempPathA(sizeof folder, folder));
    save_recording(folder, nullptr, kept.recording, row);
    ASSERT_TRUE(row.recording);
    EXPECT_EQ(row.recording->file, "sln2.avi");
    EXPECT_EQ(row.recording->frames, 10);
    EXPECT_EQ(row.recording->key_frames, 1);
    EXPECT_FALSE(row.recording->problem) << *row.recording->problem;
    EXPECT_FALSE(row.reason);

    // Read back as players read it, through the same library.
    AVIFileInit();
    PAVISTREAM stream = nullptr;
    const std::string written = std::string(folder) + "sln2.avi";
    ASSERT_EQ(
        AVIStreamOpenFromFileA(&stream, written.c_str(), streamtypeVIDEO, 0, OF_READ, nullptr),
        AVIERR_OK);
    AVISTREAMINFOA info{};
    AVIStreamInfoA(stream, &info, sizeof info);
    EXPECT_EQ(info.fccHandler, mmioFOURCC('s', 'l', 'n', '2'));
    EXPECT_EQ(info.dwRate / info.dwScale, 30u);
    EXPECT_EQ(AVIStreamLength(stream), 10);
    LONG format_size = 0;
    AVIStreamReadFormat(stream, 0, nullptr, &format_size);
    EXPECT_EQ(format_size, 40);
    for (LONG at = 0; at < 10; ++at) {
        LONG bytes = -1, samples = 0;
        AVIStreamRead(stream, at, 1, nullptr, 0, &bytes, &samples);
        const Output& frame = kept.recording.frames[static_cast<std::size_t>(at)];
        EXPECT_EQ(bytes, static_cast<LONG>(frame.bytes.size())) << at;
        // Wine's library marks an empty first frame a key frame of its own accord.
        if (!frame.bytes.empty()) {
            EXPECT_EQ(AVIStreamIsKeyFrame(stream, at), at == 2) << at;
        }
    }
    AVIStreamRelease(stream);
    AVIFileExit();
    DeleteFileA(written.c_str());

    // A folder that is not there: the file's row says why.
    Row lost = examined("sln2");
    save_recording(std::string(folder) + "no such folder", nullptr, kept.recording, lost);
    ASSERT_TRUE(lost.recording && lost.recording->problem);
    EXPECT_EQ(lost.reason.value_or(Reason{}).code, "avi_not_written");
    EXPECT_NE(lost.reason.value_or(Reason{}).text.find("its recording sln2.avi could not be "
                                                       "written: AVIFileOpen answered AVIERR_"),
              std::string::npos)
        << lost.reason.value_or(Reason{}).text;
}

TEST_F(RoundTrip, WalksAnAviFileItWroteAndSaysWhereEveryBrokenOneGoesWrong)
{
    // A file as the recordings are: two empty frames, a key frame, delta frames.
    Kept kept;
    Row row = examined("sln2", Input{}, &kept);
    char folder[MAX_PATH];
    ASSERT_TRUE(GetTempPathA(sizeof folder, folder));
    save_recording(folder, nullptr, kept.recording, row);
    const std::string path = std::string(folder) + "sln2.avi";
    const std::vector<unsigned char> file = file_bytes(path);
    DeleteFileA(path.c_str());
    ASSERT_GT(file.size(), 196608u);
    const AviShape shape = walk_avi(file);
    EXPECT_TRUE(shape.problems.empty()) << shape.problems.front();
    EXPECT_TRUE(shape.riff_avi && shape.index);
    EXPECT_EQ(shape.streams, 1);
    EXPECT_EQ(shape.video, 0);
    EXPECT_EQ(shape.handler, mmioFOURCC('s', 'l', 'n', '2'));
    EXPECT_EQ(shape.compression, mmioFOURCC('s', 'l', 'n', '2'));
    EXPECT_EQ(std::tuple(shape.width, shape.height, shape.bit_count), std::tuple(256, 256, 24));
    EXPECT_EQ(std::tuple(shape.header_frames, shape.stream_frames, shape.frames_found),
              std::tuple(10u, 10u, 10u));

    // Each field of a header, and a chunk's code and size, changed in turn.
    const auto at = [&](const char* what) {
        return static_cast<std::size_t>(std::search(file.begin(), file.end(), what, what + 4) -
                                        file.begin());
    };
    const auto with = [&](std::size_t offset, std::uint32_t value) {
        std::vector<unsigned char> changed = file;
        for (int i = 0; i < 4; ++i)
            changed[offset + static_cast<std::size_t>(i)] = static_cast<unsigned char>(value >>
                                                                                       (8 * i));
        return walk_avi(changed);
    };
    const auto says = [](const AviShape& found, const std::string& words) {
        for (const std::string& problem : found.problems)
            if (problem.find(words) != std::string::npos)
                return true;
        return false;
    };
    EXPECT_TRUE(says(with(at("strf") + 12, 100000), "its frames are 100000 x 256 pixels"));
    EXPECT_TRUE(says(with(at("strh") + 8, mmioFOURCC('a', 'u', 'd', 's')),
                     "it has no video stream: its streams are 'auds'"));
    EXPECT_TRUE(says(with(at("avih") + 24, 9), "its header says 9 frames, and 10 are there"));
    EXPECT_TRUE(says(with(at("idx1"), mmioFOURCC('J', 'U', 'N', 'K')), "it has no index"));
    EXPECT_TRUE(says(with(at("movi") - 4, 0x7FFFFFF0),
                     "'LIST' chunk at byte " + std::to_string(at("movi") - 8)));
    EXPECT_EQ(with(0, mmioFOURCC('R', 'I', 'F', 'X')).problems.front(),
              "it is not a RIFF file, as AVI files are: it starts with 'RIFX'");
    EXPECT_EQ(with(8, mmioFOURCC('W', 'A', 'V', 'E')).problems.front(),
              "it is a RIFF file of form 'WAVE', not an AVI file");
    EXPECT_EQ(walk_avi(std::vector<unsigned char>{}).problems.front(), "the file is empty");
    // A frame's chunk that runs past its list: said, and the walk goes on
    // after the list, where the index still is.
    const AviShape overrun = with(at("movi") + 8, 0xFFFFFFF0);
    EXPECT_TRUE(says(overrun, "says it is 4294967280 bytes, past the end of the 'movi' list"));
    EXPECT_TRUE(overrun.index && !says(overrun, "it has no index"));

    // Cut anywhere, it says it is cut short; every word of its headers
    // changed to what a hostile file holds, it answers, whatever it says.
    int cuts = 0, answered = 0;
    for (std::size_t cut = 0; cut < file.size(); cut += file.size() / 150 + 1, ++cuts) {
        const AviShape found = walk_avi(
            std::vector<unsigned char>(file.begin(), file.begin() + cut));
        EXPECT_TRUE(says(found, "cut short") || says(found, "too short") ||
                    says(found, "the file is empty"))
            << "cut at " << cut << ": " << (found.problems.empty() ? "" : found.problems[0]);
    }
    for (std::size_t offset = 0; offset < at("movi") + 16; offset += 4)
        for (const std::uint32_t value : {0u, 1u, 100000u, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
            with(offset, value);
            ++answered;
        }
    EXPECT_GE(cuts + answered, 200);
}

TEST_F(RoundTrip, PlaysItsOwnRecordingWithThePlatformsPickAndEveryOtherThatTakesIt)
{
    // The recording of a compressor whose decompressor holds a picture back.
    Kept kept;
    Row row = examined("slnh", Input{}, &kept);
    char folder[MAX_PATH];
    ASSERT_TRUE(GetTempPathA(sizeof folder, folder));
    save_recording(folder, nullptr, kept.recording, row);
    const std::string path = std::string(folder) + "slnh.avi";
    // The variants installed here, which the platform's list leaves out.
    Installed installed;
    for (const char* code : kCodes) {
        installed.handlers.push_back(mmioFOURCC(code[0], code[1], code[2], code[3]));
        installed.drivers.emplace_back();
        installed.sound.push_back(false);
    }
    const Playing played = play_here(path, 30, {}, &installed);
    DeleteFileA(path.c_str());
    ASSERT_FALSE(played.refused) << *played.refused;

    const Movie& movie = played.movie;
    const int frames = static_cast<int>(kept.recording.frames.size());
    EXPECT_EQ(movie.handler, "slnh");
    EXPECT_EQ(std::tuple(movie.format.width, movie.format.height, movie.format.bit_count,
                         movie.format.compression),
              std::tuple(256, 256, 24, std::string("slnh")));
    EXPECT_EQ(std::tuple(movie.frames, movie.rate, movie.key_frames, movie.key_frame_list),
              std::tuple(static_cast<long long>(frames), 30.0, 1ll, std::string("1")));

    // The platform's pick is its own decompressor: a picture late, so the
    // first is empty, and what comes later changes.
    const Pick& pick = played.pick;
    ASSERT_TRUE(pick.found && pick.decoded);
    EXPECT_EQ(pick.says, "slnh");
    const Decoded& late = *pick.decoded;
    EXPECT_EQ(std::tuple(late.frames, late.failed_at, late.delay_frames, late.changes, late.blank),
              std::tuple(frames, std::optional<int>(), 1, true, false));
    EXPECT_EQ(late.output_bit_count, 32);
    ASSERT_TRUE(late.rgb24);
    EXPECT_FALSE(late.rgb24->psnr_db || late.rgb24->problem) << *late.rgb24->psnr_db;

    // The one installed under another code takes the same frames, and shows
    // each a picture earlier than the pick, the same pictures.
    const auto player = [&](const char* code) {
        const auto found = std::find_if(played.players.begin(), played.players.end(),
                                        [&](const Player& entry) { return entry.code == code; });
        return found == played.players.end() ? Player{} : *found;
    };
    std::string listed;
    for (const Player& entry : played.players)
        listed += " " + entry.code + (entry.opens ? "" : "(closed)") +
            (entry.reason ? ": " + entry.reason->text : "");
    const Player other = player("slno");
    ASSERT_TRUE(other.takes && other.decoded) << listed;
    EXPECT_EQ(other.decoded->delay_frames, 0);
    EXPECT_EQ(other.decoded->against, std::optional<std::string>("slnh"));
    EXPECT_EQ(other.decoded->offset_frames, std::optional<int>(-1));
    EXPECT_FALSE(other.decoded->agreement_db) << *other.decoded->agreement_db;
    // Its own registration plays it as the pick does, against it with no offset.
    const Player own = player("slnh");
    ASSERT_TRUE(own.takes && own.decoded);
    EXPECT_EQ(std::tuple(own.decoded->delay_frames, own.decoded->offset_frames),
              std::tuple(1, std::optional<int>(0)));
    // Every other says no, and why.
    for (const Player& entry : played.players)
        if (entry.code != "slnh" && entry.code != "slno" && entry.opens) {
            EXPECT_EQ(entry.reason.value_or(Reason{}).code, "refuses_format") << entry.code;
        }

    // A file the platform does not read says so, in its words.
    const Playing missing = play_here(path, 30);
    ASSERT_TRUE(missing.refused);
    EXPECT_NE(missing.refused->find("the platform's AVI library does not open it (AVIERR_"),
              std::string::npos)
        << *missing.refused;
}

TEST_F(RoundTrip, SaysWhatIsWrongWithAStreamThatDoesNotHoldUp)
{
    const Row unmarked = examined("slnu");
    ASSERT_TRUE(unmarked.round_trip && unmarked.round_trip->figures);
    EXPECT_FALSE(unmarked.round_trip->compressed->key_frame_marked);
    EXPECT_EQ(unmarked.reason.value_or(Reason{}).code, "key_frame_unmarked");

    // code: (reason code, what it says)
    const std::pair<const char*, std::pair<const char*, const char*>> failing[] = {
        {"slnn", {"no_frame", "no frame came out of it in 72 calls"}},
        {"slns",
         {"frames_wrong", "its later frames are wrong: frame 2 of 8 comes back as frame 1"}},
        {"slnd",
         {"delta_failed",
          "frame 2 of 8 does not decompress after the ones before it "
          "(ICERR_BADFORMAT (-2))"}},
    };
    for (const auto& [code, why] : failing) {
        const Row row = examined(code);
        ASSERT_TRUE(row.round_trip) << code;
        EXPECT_FALSE(row.round_trip->figures) << code;
        ASSERT_TRUE(row.reason) << code;
        EXPECT_EQ(row.reason->code, why.first) << code;
        EXPECT_NE(row.reason->text.find(why.second), std::string::npos)
            << code << ": " << row.reason->text;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: report_unit_test COMPRESSOR_DLL [GOOGLETEST OPTIONS]\n");
        return 2;
    }
    compressor_dll = argv[1];
    return RUN_ALL_TESTS();
}
