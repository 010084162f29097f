// The child's side: what it asks each compressor, in this process, and the
// round trip that proves one that takes the probe. The parent (parent.h)
// runs it as --examine FIRST CHANNEL; the benchmark's baseline calls it
// in-process, without a channel.
#pragma once

#include "platform/platform.h"
#include "report/frames/avi.h"
#include "report/frames/clip.h"
#include "report/frames/formats.h"
#include "report/out/play.h"
#include "report/out/row.h"
#include "report/parent/options.h"
#include "report/child/steps.h"

#include <string>
#include <vector>

namespace selnary::report {

// Every installed compressor, as the platform lists them; no compressor is
// loaded for it.
struct Installed {
    std::vector<DWORD> handlers;
    std::vector<std::wstring> drivers;
    std::vector<bool> sound;  // a DLL for this bitness with a DriverProc, so it may be tried
};

// The list, each entry told on CHANNEL as it is found (where there is one).
Installed list_installed(HANDLE channel);

// What a round trip leaves for the files that show it: the first frame that
// came back, as 32-bit RGB; the clip's outputs as they came, in the format
// the compressor proposed, as far as it compressed; and the clip as given.
struct Kept {
    Frame back;
    Stream recording;
    Stream clip;
};

// Examines compressor INDEX, asked about INPUT, into ROW, and what its
// round trip leaves into KEPT where given. True when what
// it took may have changed this process for the next one: a driver that did
// not load as it should, or other compressors loaded to decompress its output.
bool examine_one(int index, const Installed& installed, const Input& input, Steps& steps, Row& row,
                 Kept* kept = nullptr);

// Compresses the clip, in INPUT's format and size, with COMPRESSOR, opened
// for compression, to FORMAT, the format it proposed, and gets it back:
// through HANDLER opened to decompress, or else through another installed
// one whose driver file is sound. Fills ROW's round trip, and its reason
// when a step fails or the frames are wrong, and KEPT, where given. True
// when it had to load other compressors for that.
bool round_trip(HIC compressor, DWORD handler, const Installed& installed, const Input& input,
                const std::vector<unsigned char>& format, Steps& steps, Row& row,
                Kept* kept = nullptr);

// What compressor ROW.code gave back (FORMAT, in the matrix) saved in
// FOLDER as CODE.avi or CODE-FORMAT.avi, into ROW's recording; where it is
// not written whole, why, also as ROW's reason where it has none.
void save_recording(const std::string& folder, const PixelFormat* format, const Stream& recording,
                    Row& row);

// The child: examines every compressor from FIRST on about INPUT, telling
// the parent on CHANNEL, and saves the pictures of what comes back in the
// folder SAVE, where there is one. Returns the exit status.
int examine(int first, HANDLE channel, const Input& input, const std::string& save);

// The playing child (--play-child): reads the file WATCH names, tells the
// parent its video stream, what the platform picks to play it and how each
// installed decompressor plays it, from unit WATCH.first on. Returns the
// exit status.
int play_child(const Watch& watch);

// What playing a file found: why it was not read, or its video stream, the
// platform's pick and every installed decompressor's row.
struct Playing {
    std::optional<std::string> refused;
    Movie movie;
    Pick pick;
    std::vector<Player> players;
};

// The same, in this process and unannounced, from the first unit on; the
// pictures saved in SAVE (a full path), where given; INSTALLED asked
// instead of the platform's list, where given.
Playing play_here(const std::string& path, int frames, const std::string& save = {},
                  const Installed* installed = nullptr);

}  // namespace selnary::report
