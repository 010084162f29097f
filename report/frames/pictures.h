// Pictures and recordings of what comes back, for a person to look at: the
// source frame, the first frame each compressor gives back, and a lossy
// one's difference, each a BMP file, which every viewer on Windows opens;
// the clip as it went in and as each compressor gave it back, each an AVI
// file; and the report's JSON beside them, which says what each is.
#pragma once

#include "report/frames/avi.h"
#include "report/frames/clip.h"
#include "report/frames/formats.h"

#include <optional>
#include <string>

namespace selnary::report {

// FOLDER (UTF-8) made where it is missing, as a full path; or what is wrong.
struct Folder {
    std::string path;
    std::optional<std::string> problem;
};
Folder make_folder(const std::string& folder);

// The source frame of each format INPUT asks about, as a person sees it:
// source.bmp, or source-FORMAT.bmp for each format of the matrix. What
// could not be written, or none.
std::optional<std::string> save_sources(const std::string& folder, const Input& input);

// What came back from compressor CODE asked about INPUT (FORMAT, in the
// matrix), BACK as 32-bit RGB: CODE.bmp, and CODE-difference.bmp where it is
// not exact; CODE-FORMAT.bmp and CODE-FORMAT-difference.bmp in the matrix.
// False where a file could not be written.
bool save_back(const std::string& folder, const std::string& code, const Input& input,
               const PixelFormat* format, const Frame& back);

// The clip as it is given to a compressor (of FORMAT, in the matrix) as
// source.avi or source-FORMAT.avi, where no round trip wrote it already.
void save_clip(const std::string& folder, const PixelFormat* format, const Stream& clip);

// The name of compressor CODE's file of KIND ("bmp", "avi"), of FORMAT in
// the matrix: CODE.avi or CODE-FORMAT.avi.
std::string saved_name(const std::string& code, const PixelFormat* format, const char* kind);

// TEXT as the file NAME in FOLDER; false where it could not be written.
bool save_text(const std::string& folder, const std::string& name, const std::string& text);

// A name a file may have made of TEXT: what a file name cannot hold becomes '_'.
std::string file_name(const std::string& text);

}  // namespace selnary::report
