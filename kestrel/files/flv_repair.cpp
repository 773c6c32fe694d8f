#include "kestrel/files/flv_repair.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "common/flv_format.h"
#include "platform/byte_reader.h"
#include "platform/ui_port.h"

namespace kestrel::files {

namespace {

// Block = the previous-tag-size field followed by the tag header.
constexpr std::size_t kBlockSize = flv::kPreviousTagSizeSize + flv::kTagHeaderSize;
constexpr std::size_t kStreamBuffer = 256 * 1024;

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

struct TagBlock {
    std::uint8_t type = 0;
    std::uint32_t dataSize = 0;
};

TagBlock parseBlock(std::span<const std::uint8_t> block) {
    ByteReader r(block);
    TagBlock b;
    r.skip(flv::kPreviousTagSizeSize);
    b.type = r.u8();
    b.dataSize = r.be24();
    return b;
}

// Gives an audio or video block its previous tag size and synthetic time.
void rewriteBlock(std::array<std::uint8_t, kBlockSize>& block, std::uint32_t previousTagSize,
                  std::uint64_t timeMs) {
    flv::putBe32(&block[0], previousTagSize);
    flv::putBe24(&block[8], static_cast<std::uint32_t>(timeMs & 0xFFFFFF));
    block[11] = static_cast<std::uint8_t>(timeMs >> 24);
}

class Repairer {
public:
    Repairer(std::FILE* in, std::FILE* out) : in_(in), out_(out) {}

    // Copies header and tags; returns the outcome (Repaired, Truncated,
    // NotFlv, ReadFailed or WriteFailed) and fills the counters of report.
    RepairOutcome run(RepairReport& report) {
        std::array<std::uint8_t, flv::kFileHeaderSize> header{};
        std::size_t got = std::fread(header.data(), 1, header.size(), in_);
        if (got < header.size() && std::ferror(in_)) return RepairOutcome::ReadFailed;
        ByteReader headerReader(std::span<const std::uint8_t>(header.data(), got));
        if (got < header.size() || !headerReader.startsWith("FLV")) return RepairOutcome::NotFlv;
        if (!write(header.data(), header.size())) return RepairOutcome::WriteFailed;
        offset_ = header.size();

        RepairOutcome outcome = copyTags(report);
        if (outcome == RepairOutcome::ReadFailed || outcome == RepairOutcome::WriteFailed) return outcome;

        // The size field after the last tag, which a reader walking the file
        // backwards starts from (0 when no tag was copied).
        std::array<std::uint8_t, flv::kPreviousTagSizeSize> last{};
        if (wroteTag_) last = flv::previousTagSize(lastDataSize_);
        if (!write(last.data(), last.size())) return RepairOutcome::WriteFailed;
        return outcome;
    }

    std::uint64_t bytesWritten() const { return written_; }

private:
    RepairOutcome copyTags(RepairReport& report) {
        std::array<std::uint8_t, kBlockSize> block{};
        for (;;) {
            std::size_t got = std::fread(block.data(), 1, block.size(), in_);
            if (got < block.size()) {
                if (std::ferror(in_)) return RepairOutcome::ReadFailed;
                // Nothing, or just the last tag's size field: a clean end.
                if (got == 0 || got == flv::kPreviousTagSizeSize) return RepairOutcome::Repaired;
                report.truncatedAt = offset_;
                return RepairOutcome::Truncated;
            }
            TagBlock tag = parseBlock(block);
            if (data_.size() < tag.dataSize) data_.resize(tag.dataSize);
            got = std::fread(data_.data(), 1, tag.dataSize, in_);
            if (got < tag.dataSize) {
                if (std::ferror(in_)) return RepairOutcome::ReadFailed;
                report.truncatedAt = offset_;
                return RepairOutcome::Truncated;
            }

            std::uint32_t previousTagSize =
                wroteTag_ ? lastDataSize_ + static_cast<std::uint32_t>(flv::kTagHeaderSize) : 0;
            if (tag.type == flv::kTagAudio) {
                rewriteBlock(block, previousTagSize, audioMs_);
                audioMs_ += kRepairAudioStepMs;
                ++report.audioTags;
            } else if (tag.type == flv::kTagVideo) {
                rewriteBlock(block, previousTagSize, videoMs_);
                videoMs_ += kRepairVideoStepMs;
                ++report.videoTags;
            } else {
                ++report.otherTags;
            }
            if (!write(block.data(), block.size()) || !write(data_.data(), tag.dataSize))
                return RepairOutcome::WriteFailed;
            offset_ += block.size() + tag.dataSize;
            lastDataSize_ = tag.dataSize;
            wroteTag_ = true;
        }
    }

    bool write(const std::uint8_t* p, std::size_t n) {
        if (n == 0) return true;
        if (std::fwrite(p, 1, n, out_) != n) return false;
        written_ += n;
        return true;
    }

    std::FILE* in_;
    std::FILE* out_;
    std::vector<std::uint8_t> data_;  // grows to the largest tag, reused for every tag
    std::uint64_t offset_ = 0;        // input offset of the next block
    std::uint64_t written_ = 0;
    std::uint64_t audioMs_ = 0;
    std::uint64_t videoMs_ = 0;
    std::uint32_t lastDataSize_ = 0;
    bool wroteTag_ = false;
};

std::string withText(std::string_view a, std::string_view b) {
    std::string s;
    s.reserve(a.size() + b.size());
    s.append(a);
    s.append(b);
    return s;
}

}  // namespace

std::string repairedCopyPath(std::string_view path) {
    return withText(path, kRepairedSuffix);
}

RepairReport repairFlvFile(const std::string& path, platform::UiPort& ui) {
    RepairReport report;
    struct stat inputStat {};
    if (path.empty() || ::stat(path.c_str(), &inputStat) != 0) {
        report.outcome = RepairOutcome::NoSuchFile;
        return report;
    }

    File in(S_ISDIR(inputStat.st_mode) ? nullptr : std::fopen(path.c_str(), "rb"));
    if (!in) {
        report.outcome = RepairOutcome::CannotOpen;
        ui.messageBox(kRepairOpenFailedText);
        return report;
    }

    report.outputPath = repairedCopyPath(path);
    // Truncating a copy that is in fact the input (a link made by hand)
    // would destroy the very file being repaired.
    struct stat outputStat {};
    bool outputIsInput = ::stat(report.outputPath.c_str(), &outputStat) == 0 &&
                         outputStat.st_dev == inputStat.st_dev && outputStat.st_ino == inputStat.st_ino;
    File out(outputIsInput ? nullptr : std::fopen(report.outputPath.c_str(), "wb"));
    if (!out) {
        report.outcome = RepairOutcome::WriteFailed;
        ui.messageBox(withText(kRepairWriteFailedPrefix, report.outputPath));
        return report;
    }
    std::setvbuf(in.get(), nullptr, _IOFBF, kStreamBuffer);
    std::setvbuf(out.get(), nullptr, _IOFBF, kStreamBuffer);

    Repairer repairer(in.get(), out.get());
    report.outcome = repairer.run(report);
    report.outputBytes = repairer.bytesWritten();
    in.reset();
    if (std::fclose(out.release()) != 0 && report.outcome != RepairOutcome::ReadFailed)
        report.outcome = RepairOutcome::WriteFailed;

    switch (report.outcome) {
        case RepairOutcome::ReadFailed:
            ::unlink(report.outputPath.c_str());
            ui.messageBox(withText(kRepairReadFailedPrefix, path));
            break;
        case RepairOutcome::WriteFailed:
            ::unlink(report.outputPath.c_str());
            ui.messageBox(withText(kRepairWriteFailedPrefix, report.outputPath));
            break;
        case RepairOutcome::NotFlv:
            // Saying "fixed" over an empty copy would tell the user the
            // opposite of what happened.
            ::unlink(report.outputPath.c_str());
            ui.messageBox(withText(path, kRepairNotFlvSuffix));
            break;
        default:
            ui.messageBox(withText(path, kRepairDoneSuffix));
            break;
    }
    return report;
}

}  // namespace kestrel::files
