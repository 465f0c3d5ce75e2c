#include "controller/settings.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringDecoder>

#include <algorithm>
#include <charconv>
#include <cmath>

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

// The INI reader skips what it cannot read without a word (a name cut inside a character
// loses that character, binary junk reads as no settings at all), and its own format error
// is not reported again once the file has been read: so the file is checked here. Every
// line must be blank, a comment, a section or a key with a value, in UTF-8 text.
bool readable(const QByteArray& bytes) {
    if (bytes.contains('\0')) return false;
    QStringDecoder utf8(QStringDecoder::Utf8);
    [[maybe_unused]] const QString text = utf8.decode(bytes);
    if (utf8.hasError()) return false;
    for (const QByteArray& untrimmed : bytes.split('\n')) {
        const QByteArray line = untrimmed.trimmed();
        const bool fine = line.isEmpty() || line.startsWith(';') || line.startsWith('#') || line.contains('=') ||
                          (line.startsWith('[') && line.endsWith(']'));
        if (!fine) return false;
    }
    return true;
}

// A list of names with one entry reads back from the INI file as a plain text. Anything
// else, or a list with an empty name, reads as no further names.
QStringList readNames(const QVariant& stored) {
    if (stored.userType() != QMetaType::QString && stored.userType() != QMetaType::QStringList) return {};
    const QStringList names = stored.toStringList();
    if (std::ranges::any_of(names, &QString::isEmpty)) return {};
    return names;
}

}  // namespace

Settings::Settings(QString path, const Log& log) : path_(std::move(path)) {
    read(log ? log : Log([](const QString&) {}));
}

void Settings::read(const Log& log) {
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) return;
    const QByteArray bytes = file.readAll();
    file.close();
    if (!readable(bytes)) {
        // Nothing in a damaged file can be trusted, and no value is guessed from it: it is
        // kept as it is for the user, and everything starts from the defaults. The copy is
        // made before anything could be written over it.
        const QString aside = path_ + ".damaged-" + QDateTime::currentDateTimeUtc().toString("yyyyMMdd-HHmmss");
        if (QFile::rename(path_, aside)) {
            log("设置文件无法解析，已另存为 " + QFileInfo(aside).fileName() + "，改用默认设置");
        } else {
            log("设置文件无法解析，也无法另存，改用默认设置");
        }
        return;
    }
    const QSettings stored(path_, QSettings::IniFormat);
    values_.enabled = readBoolean(stored.value("enabled"));
    const QVariant name = stored.value("targetName");
    if (name.isValid() && name.userType() == QMetaType::QString) values_.targetName = name.toString();
    if (!values_.targetName.isEmpty()) {
        QStringList names = readNames(stored.value("moreTargetNames"));
        names.removeAll(values_.targetName);
        names.removeDuplicates();
        values_.moreTargetNames = names;
    }
    const QVariant gain = stored.value("gain");
    if (!gain.isValid()) return;
    bool ok = false;
    const float value = gain.toFloat(&ok);
    if (ok && std::isfinite(value) && value >= 0.0f) {
        gain_ = value;
        values_.gain = gain.toString();
    } else {
        // "nan" would reach the speaker as full-scale noise, a negative gain inverted.
        log("存储的音量 " + gain.toString() + " 无效，按 1.0 处理");
    }
}

void Settings::setEnabled(bool value) {
    values_.enabled = value;
    save(true);
}

QStringList Settings::targetNames() const {
    if (values_.targetName.isEmpty()) return {};
    return QStringList{values_.targetName} + values_.moreTargetNames;
}

void Settings::setTargetNames(const QStringList& names) {
    QStringList unique = names;
    unique.removeDuplicates();
    values_.targetName = unique.value(0);
    values_.moreTargetNames = unique.mid(1);
    save(true);
}

void Settings::setGain(double value) {
    // Kept as the shortest text that reads back as the same float ("0.4", not 0.4000000059604645).
    gain_ = float(value);
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, gain_);
    values_.gain = QString::fromLatin1(text, written.ptr - text);
    save(false);
}

void Settings::save(bool urgent) {
    if (!writer_) writer_ = std::make_unique<SettingsWriter>(path_);
    writer_->write(values_, urgent);
}

}  // namespace sonvale
