#include "e2e_support.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace kestrel::merlin::e2e {

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> cells;
    std::string cell;
    std::istringstream in(line);
    while (std::getline(in, cell, '\t')) cells.push_back(cell);
    return cells;
}

std::size_t FrameMd5::count(const std::string& media) const {
    return static_cast<std::size_t>(
        std::count_if(packets.begin(), packets.end(), [&](const Packet& p) { return p.media == media; }));
}

namespace {
std::string trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    const auto e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::vector<std::string> splitCommas(const std::string& line) {
    std::vector<std::string> cells;
    std::string cell;
    std::istringstream in(line);
    while (std::getline(in, cell, ',')) cells.push_back(trim(cell));
    return cells;
}
}  // namespace

FrameMd5 parseFrameMd5(const std::string& text) {
    FrameMd5 result;
    std::map<std::string, std::string> mediaOf;  // stream index -> media
    std::map<std::string, std::string> extradataOf;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("#media_type ", 0) == 0) {
            const auto colon = line.find(':');
            mediaOf[trim(line.substr(12, colon - 12))] = trim(line.substr(colon + 1));
        } else if (line.rfind("#extradata ", 0) == 0) {
            const auto cells = splitCommas(line.substr(11));
            if (cells.size() == 3) extradataOf[cells[0]] = cells[1] + ", " + cells[2];
        } else if (!line.empty() && line[0] != '#') {
            const auto cells = splitCommas(line);
            if (cells.size() < 6) continue;
            Packet p;
            p.media = cells[0];
            p.dts = std::stoll(cells[1]);
            p.pts = std::stoll(cells[2]);
            p.size = std::stoll(cells[4]);
            p.hash = cells[5];
            result.packets.push_back(p);
        }
    }
    for (auto& p : result.packets) p.media = mediaOf.count(p.media) ? mediaOf[p.media] : "stream " + p.media;
    for (const auto& [index, value] : extradataOf) result.extradata[mediaOf[index]] = value;
    return result;
}

FrameMd5 readFrameMd5(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return parseFrameMd5(text.str());
}

FrameMd5 frameMd5Of(const std::string& flv) {
    std::string out;
    runCommand("ffmpeg -v error -nostdin -i " + quote(flv) + " -map 0 -c copy -f framemd5 -", out);
    return parseFrameMd5(out);
}

Comparison comparePackets(const FrameMd5& ref, const FrameMd5& got) {
    // Packets of still pictures repeat exactly, so matching is a longest
    // common subsequence per media rather than a search for each packet.
    Comparison c;
    c.refMatched.assign(ref.packets.size(), false);
    std::vector<bool> gotMatched(got.packets.size(), false);
    std::map<long long, std::size_t> dtsDifferences;
    std::map<std::string, std::pair<std::vector<std::size_t>, std::vector<std::size_t>>> byMedia;
    for (std::size_t i = 0; i < ref.packets.size(); ++i) byMedia[ref.packets[i].media].first.push_back(i);
    for (std::size_t k = 0; k < got.packets.size(); ++k) byMedia[got.packets[k].media].second.push_back(k);
    for (const auto& [media, lists] : byMedia) {
        const auto& r = lists.first;
        const auto& g = lists.second;
        auto same = [&](std::size_t a, std::size_t b) {
            const auto& x = ref.packets[r[a]];
            const auto& y = got.packets[g[b]];
            return x.size == y.size && x.hash == y.hash;
        };
        std::vector<std::vector<std::uint16_t>> table(r.size() + 1, std::vector<std::uint16_t>(g.size() + 1, 0));
        for (std::size_t a = r.size(); a-- > 0;)
            for (std::size_t b = g.size(); b-- > 0;)
                table[a][b] = same(a, b) ? static_cast<std::uint16_t>(table[a + 1][b + 1] + 1)
                                         : std::max(table[a + 1][b], table[a][b + 1]);
        std::size_t a = 0;
        std::size_t b = 0;
        while (a < r.size() && b < g.size()) {
            if (same(a, b) && table[a][b] == table[a + 1][b + 1] + 1) {
                const auto& x = ref.packets[r[a]];
                const auto& y = got.packets[g[b]];
                c.refMatched[r[a]] = true;
                gotMatched[g[b]] = true;
                ++c.matched;
                ++c.matchedByMedia[media];
                if (x.dts == y.dts && x.pts == y.pts) ++c.sameTimestamps;
                ++dtsDifferences[y.dts - x.dts];
                c.largestTimestampDifference =
                    std::max({c.largestTimestampDifference, std::llabs(y.dts - x.dts), std::llabs(y.pts - x.pts)});
                ++a;
                ++b;
            } else if (table[a + 1][b] >= table[a][b + 1]) {
                ++a;
            } else {
                ++b;
            }
        }
    }
    c.extra = static_cast<std::size_t>(std::count(gotMatched.begin(), gotMatched.end(), false));
    std::size_t best = 0;
    for (const auto& [difference, n] : dtsDifferences)
        if (n > best) {
            best = n;
            c.dtsOffset = difference;
        }
    return c;
}

std::map<PacketKey, std::vector<std::uint64_t>> probePackets(const std::string& flv) {
    std::string out;
    runCommand("ffprobe -v error -show_data_hash MD5 -show_entries packet=codec_type,size,pos,data_hash -of compact=p=0 " +
                   quote(flv),
               out);
    std::map<PacketKey, std::vector<std::uint64_t>> packets;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::map<std::string, std::string> fields;
        std::istringstream cells(line);
        std::string cell;
        while (std::getline(cells, cell, '|')) {
            const auto eq = cell.find('=');
            if (eq != std::string::npos) fields[cell.substr(0, eq)] = trim(cell.substr(eq + 1));
        }
        if (!fields.count("pos") || !fields.count("data_hash")) continue;
        std::string hash = fields["data_hash"];
        if (hash.rfind("MD5:", 0) == 0) hash = hash.substr(4);
        packets[PacketKey{fields["codec_type"], std::stoll(fields["size"]), hash}].push_back(std::stoull(fields["pos"]));
    }
    return packets;
}

std::vector<std::pair<std::uint64_t, std::uint64_t>> parseRanges(const std::string& text) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> ranges;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ',')) {
        const auto dash = item.find('-');
        if (dash == std::string::npos) continue;
        const std::uint64_t from = std::stoull(item.substr(0, dash));
        const std::uint64_t to = std::stoull(item.substr(dash + 1));
        if (!ranges.empty() && ranges.back().second == from)
            ranges.back().second = to;
        else
            ranges.emplace_back(from, to);
    }
    return ranges;
}

}  // namespace kestrel::merlin::e2e
