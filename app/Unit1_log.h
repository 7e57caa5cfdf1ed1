// The daily log of the main window: one text line per page sent or failed, one file per day.
#pragma once
#include <ctime>
#include <functional>
#include <string>

class DailyLog {
public:
    // Local wall-clock time; tests pin it.
    using LocalTimeSource = std::function<std::tm()>;

    DailyLog();
    void setTimeSource(LocalTimeSource source) { now_ = std::move(source); }
    std::tm now() const { return now_(); }

    // "<dir>mm_dd_yy.txt"; a missing separator at the end of dir is added, '\' counts as one.
    static std::string fileName(const std::string& dir, const std::tm& t);
    // Short date and long time, e.g. "3/7/2024 2:05:09 PM".
    static std::string timeStamp(const std::tm& t);
    // A settings path ("..\logs\") as a path on disk.
    static std::string diskPath(const std::string& path);
    // Makes the log folder when it is missing: 0, or the system's error number.
    static int makeFolder(const std::string& dir);

    // Appends "<time stamp>, <text>" CR LF to today's file, creating the folder (one level) and the
    // file when missing; CR and LF inside the text become blanks so one event stays one line.
    // Returns false and sets error when the line could not be written.
    bool append(const std::string& dir, const std::string& text, std::string& error) const;

private:
    LocalTimeSource now_;
};
