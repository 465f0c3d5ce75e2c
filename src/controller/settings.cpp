#include "controller/settings.h"

#include <charconv>

namespace sonvale {
namespace {

// Booleans as the INI file spells them; any other text or number follows QVariant's own
// conversion (non-zero numbers are true).
bool readBoolean(const QVariant& stored) {
    if (!stored.isValid()) return false;
    const QString text = stored.toString().trimmed().toLower();
    if (text == "true" || text == "yes") return true;
    if (text == "false" || text == "no" || text.isEmpty()) return false;
    bool ok = false;
    const double number = text.toDouble(&ok);
    return ok && number != 0.0;
}

}  // namespace

Settings::Settings(const QString& path) : store_(path, QSettings::IniFormat) {
    enabled_ = readBoolean(store_.value("enabled"));
    const QVariant name = store_.value("targetName");
    if (name.isValid() && name.userType() == QMetaType::QString) targetName_ = name.toString();
    bool ok = false;
    const float gain = store_.value("gain").toFloat(&ok);
    if (ok) gain_ = gain;
}

void Settings::setEnabled(bool value) {
    enabled_ = value;
    store_.setValue("enabled", value);
    store_.sync();
}

void Settings::setTargetName(const QString& name) {
    targetName_ = name;
    store_.setValue("targetName", name);
    store_.sync();
}

void Settings::setGain(double value) {
    // Kept as the shortest text that reads back as the same float ("0.4", not 0.4000000059604645).
    gain_ = float(value);
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, gain_);
    store_.setValue("gain", QString::fromLatin1(text, written.ptr - text));
    store_.sync();
}

}  // namespace sonvale
