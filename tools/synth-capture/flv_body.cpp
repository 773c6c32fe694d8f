#include "tools/synth-capture/flv_body.h"

#include <algorithm>
#include <cstring>

#include "common/flv_format.h"

namespace kestrel::synth {
namespace {

std::uint64_t splitmix64(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::uint64_t rotl(std::uint64_t x, int k) {
    return (x << k) | (x >> (64 - k));
}

void putBe32(std::uint8_t* out, std::uint32_t v) {
    out[0] = static_cast<std::uint8_t>(v >> 24);
    out[1] = static_cast<std::uint8_t>(v >> 16);
    out[2] = static_cast<std::uint8_t>(v >> 8);
    out[3] = static_cast<std::uint8_t>(v);
}

// AMF0 pieces of the script tag.
std::size_t amfString(std::uint8_t* out, const char* text) {
    const std::size_t n = std::strlen(text);
    out[0] = static_cast<std::uint8_t>(n >> 8);
    out[1] = static_cast<std::uint8_t>(n);
    std::memcpy(out + 2, text, n);
    return 2 + n;
}

std::size_t amfNumber(std::uint8_t* out, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    out[0] = 0x00;
    for (int i = 0; i < 8; ++i) out[1 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    return 9;
}

// The tag header: type, 24-bit data size, timestamp (low 24 bits, then the
// high 8), stream id 0.
void tagHeader(std::uint8_t* out, std::uint8_t type, std::uint32_t dataSize, std::uint32_t time) {
    out[0] = type;
    flv::putBe24(out + 1, dataSize);
    flv::putBe24(out + 4, time & 0xFFFFFF);
    out[7] = static_cast<std::uint8_t>(time >> 24);
    out[8] = out[9] = out[10] = 0;
}

constexpr std::uint64_t kSmallestTag = flv::kTagHeaderSize + 5 + flv::kPreviousTagSizeSize;

}  // namespace

Random::Random(std::uint64_t seed) {
    for (auto& s : s_) s = splitmix64(seed);
}

std::uint64_t Random::next() {
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
}

std::uint32_t Random::below(std::uint32_t bound) {
    return static_cast<std::uint32_t>((next() >> 32) % bound);
}

void Random::fill(std::uint8_t* out, std::size_t n) {
    while (n > 0 && spareBytes_ > 0) {
        *out++ = static_cast<std::uint8_t>(spare_);
        spare_ >>= 8;
        --spareBytes_;
        --n;
    }
    while (n >= 8) {
        const std::uint64_t w = next();
        std::memcpy(out, &w, 8);  // byte order of the host: fine, only the sequence must repeat
        out += 8;
        n -= 8;
    }
    if (n > 0) {
        spare_ = next();
        spareBytes_ = 8;
        while (n > 0) {
            *out++ = static_cast<std::uint8_t>(spare_);
            spare_ >>= 8;
            --spareBytes_;
            --n;
        }
    }
}

std::uint64_t bodySeed(std::uint64_t seed, std::uint32_t index) {
    std::uint64_t x = seed ^ (0xD1B54A32D192ED03ULL * (static_cast<std::uint64_t>(index) + 1));
    return splitmix64(x);
}

FlvBodyGenerator::FlvBodyGenerator(std::uint64_t size, std::uint64_t seed) : random_(seed), remaining_(size), unplanned_(size) {}

void FlvBodyGenerator::queueFixed(const std::uint8_t* bytes, std::size_t n) {
    std::memcpy(fixedHead_, bytes, n);
    headLen_ = n;
    headPos_ = 0;
}

void FlvBodyGenerator::startNextTag() {
    const std::uint64_t unplanned = unplanned_;
    headLen_ = headPos_ = tailLen_ = tailPos_ = 0;
    randomLeft_ = 0;
    if (!headerDone_) {
        headerDone_ = true;
        const auto header = flv::fileHeader(flv::kFlagsAudio | flv::kFlagsVideo);
        queueFixed(header.data(), static_cast<std::size_t>(std::min<std::uint64_t>(header.size(), unplanned)));
        return;
    }
    if (!metadataDone_) {
        metadataDone_ = true;
        std::uint8_t data[100];
        std::size_t n = 0;
        data[n++] = 0x02;  // string
        n += amfString(data + n, "onMetaData");
        data[n++] = 0x08;  // ECMA array of three entries
        putBe32(data + n, 3);
        n += 4;
        n += amfString(data + n, "duration");
        n += amfNumber(data + n, static_cast<double>(remaining_) / 40000.0);
        n += amfString(data + n, "width");
        n += amfNumber(data + n, 640.0);
        n += amfString(data + n, "height");
        n += amfNumber(data + n, 360.0);
        data[n++] = 0x00;
        data[n++] = 0x00;
        data[n++] = 0x09;  // object end
        const std::uint64_t tagBytes = flv::kTagHeaderSize + n + flv::kPreviousTagSizeSize;
        if (unplanned >= tagBytes + kSmallestTag) {
            tagHeader(fixedHead_, flv::kTagScript, static_cast<std::uint32_t>(n), 0);
            std::memcpy(fixedHead_ + flv::kTagHeaderSize, data, n);
            headLen_ = flv::kTagHeaderSize + n;
            putBe32(fixedTail_, static_cast<std::uint32_t>(flv::kTagHeaderSize + n));
            tailLen_ = 4;
            return;
        }
    }
    if (unplanned < kSmallestTag) {
        // Only a body too small for one more tag ends in loose bytes.
        randomLeft_ = unplanned;
        return;
    }
    const bool video = videoTime_ <= audioTime_;
    std::uint8_t codec[5];
    std::size_t codecLen;
    std::uint32_t dataSize;
    std::uint32_t time;
    if (video) {
        const bool key = (videoTime_ / 40) % 25 == 0;
        codec[0] = key ? 0x17 : 0x27;  // key/inter frame, AVC
        codec[1] = 0x01;                // NAL units
        codec[2] = codec[3] = codec[4] = 0;
        codecLen = 5;
        dataSize = key ? 20000 + random_.below(20000) : 800 + random_.below(12000);
        time = videoTime_;
        videoTime_ += 40;
    } else {
        codec[0] = 0xAF;  // AAC, 44 kHz, 16 bit, stereo
        codec[1] = 0x01;  // raw frame
        codecLen = 2;
        dataSize = 150 + random_.below(350);
        time = audioTime_;
        audioTime_ += 23;
    }
    const std::uint64_t whole = flv::kTagHeaderSize + std::uint64_t{dataSize} + flv::kPreviousTagSizeSize;
    if (whole > unplanned || unplanned - whole < kSmallestTag)
        dataSize = static_cast<std::uint32_t>(unplanned - flv::kTagHeaderSize - flv::kPreviousTagSizeSize);
    tagHeader(fixedHead_, video ? flv::kTagVideo : flv::kTagAudio, dataSize, time);
    std::memcpy(fixedHead_ + flv::kTagHeaderSize, codec, codecLen);
    headLen_ = flv::kTagHeaderSize + codecLen;
    randomLeft_ = dataSize - codecLen;
    putBe32(fixedTail_, static_cast<std::uint32_t>(flv::kTagHeaderSize + dataSize));
    tailLen_ = 4;
}

void FlvBodyGenerator::fill(std::uint8_t* out, std::size_t n) {
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, remaining_));
    remaining_ -= n;
    while (n > 0) {
        if (headPos_ == headLen_ && randomLeft_ == 0 && tailPos_ == tailLen_) {
            startNextTag();
            unplanned_ -= headLen_ + randomLeft_ + tailLen_;
        }
        if (headPos_ < headLen_) {
            const std::size_t k = std::min(n, headLen_ - headPos_);
            std::memcpy(out, fixedHead_ + headPos_, k);
            headPos_ += k;
            out += k;
            n -= k;
        } else if (randomLeft_ > 0) {
            const std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, randomLeft_));
            random_.fill(out, k);
            randomLeft_ -= k;
            out += k;
            n -= k;
        } else {
            const std::size_t k = std::min(n, tailLen_ - tailPos_);
            std::memcpy(out, fixedTail_ + tailPos_, k);
            tailPos_ += k;
            out += k;
            n -= k;
        }
    }
}

}  // namespace kestrel::synth
