#include "controller/settings_writer.h"

#include <QSettings>

namespace sonvale {
namespace {

void store(const QString& path, const StoredSettings& values) {
    QSettings file(path, QSettings::IniFormat);
    file.setValue("enabled", values.enabled);
    if (values.targetName.isEmpty()) {
        file.remove("targetName");
    } else {
        file.setValue("targetName", values.targetName);
    }
    // An older Sonvale reads only "targetName" and so still finds the first speaker.
    if (values.moreTargetNames.isEmpty()) {
        file.remove("moreTargetNames");
    } else {
        file.setValue("moreTargetNames", values.moreTargetNames);
    }
    if (values.gain) {
        file.setValue("gain", *values.gain);
    } else {
        file.remove("gain");
    }
    file.sync();
}

}  // namespace

SettingsWriter::SettingsWriter(QString path) : path_(std::move(path)), thread_([this] { run(); }) {}

SettingsWriter::~SettingsWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wakeUp_.notify_one();
    thread_.join();
}

void SettingsWriter::write(const StoredSettings& values, bool urgent) {
    {
        std::lock_guard lock(mutex_);
        due_ = values;
        urgent_ = urgent_ || urgent;
    }
    wakeUp_.notify_one();
}

void SettingsWriter::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wakeUp_.wait(lock, [this] { return due_ || stopping_; });
        if (!due_) return;
        wakeUp_.wait_until(lock, lastWrite_ + interval, [this] { return urgent_ || stopping_; });
        const StoredSettings values = *std::exchange(due_, std::nullopt);
        urgent_ = false;
        lock.unlock();
        store(path_, values);
        lock.lock();
        lastWrite_ = std::chrono::steady_clock::now();
    }
}

}  // namespace sonvale
