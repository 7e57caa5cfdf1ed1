// The daily log: file names per day, the line format and appending one line.
#include "app/Unit1_log.h"

#include "platform/Files.h"

#include <cerrno>
#include <cstdio>

namespace {
std::tm localNow() {
    std::time_t t = std::time(nullptr);
    std::tm out{};
    localtime_r(&t, &out);
    return out;
}

} // namespace

DailyLog::DailyLog() : now_(localNow) {}

std::string DailyLog::diskPath(const std::string& path) {
    std::string p = path;
    for (char& c : p)
        if (c == '\\') c = '/';
    return p;
}

int DailyLog::makeFolder(const std::string& dir) {
    int err = plat::DirectoryExists(dir) ? 0 : plat::DirCreate(dir);
    return err == EEXIST ? 0 : err;
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
        if (int err = makeFolder(folder)) {
            error = "cannot create " + folder + ": " + plat::FileErrorText(err);
            return false;
        }
    }
    std::string line = timeStamp(t) + ", " + text;
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    line += "\r\n";
    plat::File f;
    if (int err = f.open(file, plat::kFileWrite | plat::kFileAppendOnly | plat::kFileCreate)) {
        error = "cannot open " + file + ": " + plat::FileErrorText(err);
        return false;
    }
    int err = plat::FileWriteExact(f.handle(), 0, line.data(), line.size());
    int closeErr = f.close();
    if (!err) err = closeErr;
    if (err) error = "cannot write " + file + ": " + plat::FileErrorText(err);
    return err == 0;
}
