#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

namespace sonvale {

// The settings as they go into the file; an empty name, no further names and no gain leave
// their keys out.
struct StoredSettings {
    bool enabled = false;
    QString targetName;
    QStringList moreTargetNames;  // the speakers chosen after the first, in order
    std::optional<QString> gain;
};

// Writes the settings file on a thread of its own, so the thread that changes a setting
// never waits for the disk (an INI file is replaced with an fsync each time). Only the
// latest values are written. An urgent change is written as soon as the thread is free; any
// other (a slider drag) at most once per interval, the last one always. The destructor
// writes what is still due and waits for it.
class SettingsWriter {
public:
    explicit SettingsWriter(QString path);
    ~SettingsWriter();
    SettingsWriter(const SettingsWriter&) = delete;
    SettingsWriter& operator=(const SettingsWriter&) = delete;

    void write(const StoredSettings& values, bool urgent);

    static constexpr std::chrono::milliseconds interval{500};

private:
    void run();

    const QString path_;
    std::mutex mutex_;
    std::condition_variable wakeUp_;
    std::optional<StoredSettings> due_;
    bool urgent_ = false;
    bool stopping_ = false;
    std::chrono::steady_clock::time_point lastWrite_ = std::chrono::steady_clock::time_point::min();
    std::thread thread_;  // last: it starts once everything above is set up
};

}  // namespace sonvale
