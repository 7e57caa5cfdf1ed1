// ReplyLines: frames a server's byte stream into reply lines, whatever the segments it came in.
// CR, LF and CR LF each end a line; each complete line comes out with its line end (the CR of a
// CR LF), in order. A line longer than the bound is cut there and the rest of it is skipped.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

class ReplyLines {
public:
    explicit ReplyLines(size_t maxLine) : max_(maxLine < 1 ? 1 : maxLine) {}

    void append(std::string_view bytes) {
        if (pos_ > 0 && pos_ >= buf_.size() / 2) { // keep the buffer from growing with what was taken
            buf_.erase(0, pos_);
            pos_ = 0;
        }
        buf_.append(bytes);
    }

    // The next complete (or cut) line; false when none is buffered yet.
    bool next(std::string& line) {
        for (;;) {
            const std::string_view rest = std::string_view(buf_).substr(pos_);
            if (rest.empty()) return false;
            if (afterCr_) { // a CR ended the last line: an LF right behind it belongs to that end
                afterCr_ = false;
                if (rest[0] == '\n') {
                    ++pos_;
                    continue;
                }
            }
            const size_t end = lineEnd(rest);
            if (discard_) {
                if (end == std::string_view::npos) {
                    clearBuffer();
                    return false;
                }
                pos_ += end + 1;
                discard_ = false;
                afterCr_ = rest[end] == '\r';
                continue;
            }
            if (end != std::string_view::npos && end < max_) {
                line.assign(rest.substr(0, end + 1));
                pos_ += end + 1;
                afterCr_ = rest[end] == '\r';
                return true;
            }
            if (rest.size() < max_) return false;
            line.assign(rest.substr(0, max_));
            pos_ += max_;
            discard_ = true;
            return true;
        }
    }

    // Forgets what is buffered (a new connection, or one being closed).
    void clear() {
        clearBuffer();
        discard_ = false;
        afterCr_ = false;
    }

private:
    // Where the first CR or LF is; a plain scan, as find_first_of looks each byte up in the set.
    static size_t lineEnd(std::string_view s) {
        for (size_t i = 0; i < s.size(); ++i)
            if (s[i] == '\r' || s[i] == '\n') return i;
        return std::string_view::npos;
    }

    void clearBuffer() {
        buf_.clear();
        pos_ = 0;
    }

    size_t max_;
    std::string buf_;
    size_t pos_ = 0;       // start of what has not been taken yet
    bool discard_ = false; // the rest of a cut line is being skipped
    bool afterCr_ = false; // the last line ended with a CR
};
