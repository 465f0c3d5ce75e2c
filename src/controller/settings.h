#pragma once

#include <QSettings>
#include <QString>

namespace sonvale {

// The three stored settings, read once from the INI file and written through on every
// change. Main thread only.
class Settings {
public:
    explicit Settings(const QString& path);

    bool enabled() const { return enabled_; }
    void setEnabled(bool value);
    QString targetName() const { return targetName_; }  // empty when absent or not a text
    void setTargetName(const QString& name);
    float gain() const { return gain_; }  // 1.0 when absent or not a number; never clamped
    void setGain(double value);

private:
    QSettings store_;
    bool enabled_ = false;
    QString targetName_;
    float gain_ = 1.0f;
};

}  // namespace sonvale
