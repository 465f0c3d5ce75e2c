#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

#include "controller/settings_writer.h"

namespace sonvale {

// The three stored settings, read once from the INI file and kept here; changes are written
// by a SettingsWriter, so the main thread never waits for the disk: "enabled" and the name
// at once, the gain (a slider drag) at most twice a second, and what is still due when this
// object goes. What was wrong with the stored file goes to the log given at construction.
// Main thread only.
class Settings {
public:
    using Log = std::function<void(const QString&)>;
    explicit Settings(QString path, const Log& log = {});

    bool enabled() const { return values_.enabled; }
    void setEnabled(bool value);
    QString targetName() const { return values_.targetName; }  // empty when absent or not a text
    // The chosen speakers: "targetName" first, then "moreTargetNames"; none without a first.
    QStringList targetNames() const;
    // Stores the names in order, each once; the first goes under "targetName".
    void setTargetNames(const QStringList& names);
    // 1.0 when absent or not a finite number of 0 or more; above 1.0 stays as stored.
    float gain() const { return gain_; }
    void setGain(double value);

private:
    void read(const Log& log);
    void save(bool urgent);

    QString path_;
    StoredSettings values_;
    float gain_ = 1.0f;
    std::unique_ptr<SettingsWriter> writer_;  // made at the first change
};

}  // namespace sonvale
