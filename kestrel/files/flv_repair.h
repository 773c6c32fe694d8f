#pragma once
// Repair of an FLV file: writes a copy beside it ("movie.flv" gives
// "movie.flv.fixed.flv") whose audio and video tags carry regular synthetic
// timestamps (audio 0, 12, 24, ... ms; video 0, 10, 20, ... ms) and whose
// previous-tag-size fields are consistent. Tag data and tags of other types
// are copied byte for byte; the chosen file is never modified.
//
// Tags of any size the format allows (24-bit size) and any number of tags
// are repaired. The copy is truncated before writing, so an older, longer
// copy leaves no stale tail, and it always ends with the size field of its
// last complete tag: a truncated tag at the end of the input is left out
// instead of being copied as a header without its data.
//
// The synthetic time is written whole: its lower 24 bits in the timestamp
// field and its upper 8 bits in the extension byte. Keeping the extension
// byte of a damaged file would leave its timestamps depending on the old
// ones, and a 24-bit field alone would run back to 0 after about 4.6 hours
// of audio tags. The stream id stays as read.
//
// Called on the user-interface thread; reports to the user only through
// message boxes of the UI port, with the program's fixed texts.

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrel::platform {
class UiPort;
}

namespace kestrel::files {

inline constexpr std::string_view kRepairedSuffix = ".fixed.flv";

inline constexpr std::uint32_t kRepairAudioStepMs = 12;
inline constexpr std::uint32_t kRepairVideoStepMs = 10;

// Message texts.
inline constexpr std::string_view kRepairOpenFailedText =
    "Failed to open file, the file is already opened by other program";
inline constexpr std::string_view kRepairDoneSuffix = " file has been fixed.";
inline constexpr std::string_view kRepairNotFlvSuffix = " is not an FLV file; nothing was repaired.";
inline constexpr std::string_view kRepairWriteFailedPrefix = "Failed to write file ";
inline constexpr std::string_view kRepairReadFailedPrefix = "Failed to read file ";

enum class RepairOutcome {
    NoSuchFile,    // nothing at the path: nothing done, no message
    CannotOpen,    // the input could not be opened for reading
    NotFlv,        // no FLV header: no copy is left, and the user is told so
    Repaired,      // every tag was copied
    Truncated,     // the input ends inside a tag; everything before it was copied
    ReadFailed,    // the input could not be read to its end; the copy was removed
    WriteFailed,   // the copy could not be created or written; a partial copy was removed
};

struct RepairReport {
    RepairOutcome outcome = RepairOutcome::NoSuchFile;
    std::string outputPath;           // set once the outcome is past CannotOpen
    std::uint64_t audioTags = 0;
    std::uint64_t videoTags = 0;
    std::uint64_t otherTags = 0;
    std::uint64_t truncatedAt = 0;    // Truncated: input offset of the incomplete tag's block
    std::uint64_t outputBytes = 0;

    std::uint64_t tags() const { return audioTags + videoTags + otherTags; }
    // True when a copy exists at outputPath after the call.
    bool wroteCopy() const {
        return outcome == RepairOutcome::Repaired || outcome == RepairOutcome::Truncated;
    }
};

// path + ".fixed.flv".
std::string repairedCopyPath(std::string_view path);

// Repairs the file at path as described above and tells the user the
// outcome through ui (no message when nothing exists at path).
RepairReport repairFlvFile(const std::string& path, platform::UiPort& ui);

}  // namespace kestrel::files
