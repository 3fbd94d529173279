#include "records.h"

#include <cmath>
#include <cstdio>

namespace nerova_tool {
namespace {

// JSON has no infinities or NaN; such a value (a broken network's score) prints as null.
std::string JsonNumber(double v, const char* format) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, format, v);
    return buf;
}

// Length of the well-formed UTF-8 sequence at s[i], or 0 (overlong forms, surrogates and
// code points above U+10FFFF are not well formed).
size_t Utf8Length(const std::string& s, size_t i) {
    const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = at(i);
    if (c < 0x80) return 1;
    size_t n;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3, lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4, lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    else
        return 0;
    if (i + n > s.size() || at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (size_t k = 2; k < n; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    return n;
}

}  // namespace

// File names are bytes: a byte that is not part of well-formed UTF-8 is written as the lone
// surrogate \udcXX, which keeps every line valid JSON and the name recoverable.
std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = Utf8Length(s, i);
        char buf[8];
        if (n == 0) {
            std::snprintf(buf, sizeof buf, "\\udc%02x", c);
            out += buf;
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            std::snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else {
            out.append(s, i, n);
        }
        i += n ? n : 1;
    }
    return out + "\"";
}

std::string Record(const std::string& path, int frame, double time_ms, int width, int height,
                   const std::vector<Face>& faces, double ms, int64_t cut) {
    std::string line = "{\"image\": " + JsonString(path);
    if (frame >= 0) {
        std::string t = JsonNumber(time_ms, "%.3f");
        // Whole milliseconds read as integers.
        if (t.find('.') != std::string::npos) {
            t.erase(t.find_last_not_of('0') + 1);
            if (t.back() == '.') t.pop_back();
        }
        line += ", \"frame\": " + std::to_string(frame) + ", \"time_ms\": " + t;
        if (cut >= 0) line += ", \"cut\": " + std::to_string(cut);
    }
    line += ", \"width\": " + std::to_string(width) + ", \"height\": " + std::to_string(height) +
            ", \"faces\": [";
    for (size_t i = 0; i < faces.size(); ++i) {
        const NerovaFaceInfo& f = faces[i].info;
        char box[80];
        std::snprintf(box, sizeof box, ", \"box\": [%d, %d, %d, %d]", f.x1, f.y1, f.x2, f.y2);
        line += std::string(i ? ", " : "") + "{\"score\": " + JsonNumber(f.score, "%.4f") + box;
        if (faces[i].track) line += ", \"track\": " + std::to_string(faces[i].track);
        const std::vector<float>& p = faces[i].points;
        if (!p.empty()) {
            line += ", \"landmarks\": [";
            for (size_t k = 0; k + 1 < p.size(); k += 2)
                line += std::string(k ? ", [" : "[") + JsonNumber(p[k], "%.2f") + ", " +
                        JsonNumber(p[k + 1], "%.2f") + "]";
            line += "]";
        }
        if (!faces[i].crop.empty()) line += ", \"crop\": " + JsonString(faces[i].crop);
        line += "}";
    }
    return line + "], \"ms\": " + JsonNumber(ms, "%.2f") + "}";
}

}  // namespace nerova_tool
