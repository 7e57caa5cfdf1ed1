// The daily log: file names per day, the line format and appending one line.
#include "app/Unit1_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
std::tm localNow() {
    std::time_t t = std::time(nullptr);
    std::tm out{};
    localtime_r(&t, &out);
    return out;
}

bool writeAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}
} // namespace

DailyLog::DailyLog() : now_(localNow) {}

std::string DailyLog::diskPath(const std::string& path) {
    std::string p = path;
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

std::string DailyLog::fileName(const std::string& dir, const std::tm& t) {
    std::string d = dir;
    if (!d.empty() && d.back() != '\\' && d.back() != '/') d += '\\';
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d_%02d_%02d", (t.tm_mon + 1) % 100, t.tm_mday % 100,
                  (t.tm_year + 1900) % 100);
    return d + buf + ".txt";
}

std::string DailyLog::timeStamp(const std::tm& t) {
    int h = t.tm_hour % 12;
    if (h == 0) h = 12;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d/%d/%d %d:%02d:%02d %s", t.tm_mon + 1, t.tm_mday, t.tm_year + 1900, h,
                  t.tm_min, t.tm_sec, t.tm_hour < 12 ? "AM" : "PM");
    return buf;
}

bool DailyLog::append(const std::string& dir, const std::string& text, std::string& error) const {
    const std::tm t = now_();
    const std::string file = diskPath(fileName(dir, t));
    std::string folder = diskPath(dir);
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    if (!folder.empty()) {
        struct stat st {};
        if (::stat(folder.c_str(), &st) != 0 && ::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
            error = "cannot create " + folder + ": " + std::strerror(errno);
            return false;
        }
    }
    std::string line = timeStamp(t) + ", " + text;
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    line += "\r\n";
    int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = "cannot open " + file + ": " + std::strerror(errno);
        return false;
    }
    bool ok = writeAll(fd, line);
    int savedErrno = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) error = "cannot write " + file + ": " + std::strerror(savedErrno);
    return ok;
}
