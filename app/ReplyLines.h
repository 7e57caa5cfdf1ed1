// ReplyLines: frames a server's byte stream into reply lines, whatever the segments it came in.
// Each complete line comes out with its line end, in order; a line longer than the bound is cut
// there and the rest of it, up to its end, is skipped.
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
            const size_t lf = rest.find('\n');
            if (discard_) {
                if (lf == std::string_view::npos) {
                    clearBuffer();
                    return false;
                }
                pos_ += lf + 1;
                discard_ = false;
                continue;
            }
            if (lf != std::string_view::npos && lf < max_) {
                line.assign(rest.substr(0, lf + 1));
                pos_ += lf + 1;
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
    }

private:
    void clearBuffer() {
        buf_.clear();
        pos_ = 0;
    }

    size_t max_;
    std::string buf_;
    size_t pos_ = 0;       // start of what has not been taken yet
    bool discard_ = false; // the rest of a cut line is being skipped
};
