#pragma once

#include <QString>
#include <memory>
#include <optional>

namespace sonvale {

struct SonvaleEnvironment;

// Start at login through an XDG autostart entry. The status values are those of the login
// item service the controller was written against; "requires approval" never occurs here.
enum class LoginItemStatus { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

class LoginItem {
public:
    // entryPath: $XDG_CONFIG_HOME/autostart/local.sonvale.desktop; executable: an absolute path.
    LoginItem(QString entryPath, QString executable);

    // Enabled while our entry exists and does not say Hidden=true.
    LoginItemStatus status() const;
    // Both return the failure's description, or nothing on success.
    std::optional<QString> registerItem();
    std::optional<QString> unregisterItem();

    // The entry's Exec line: the executable, quoted where the entry format asks for it.
    static QString execLine(const QString& executable);

private:
    QString entryPath_;
    QString executable_;
};

// The controller's login item, made on first use.
LoginItem& loginItemFor(std::unique_ptr<LoginItem>& slot, const SonvaleEnvironment& environment);

}  // namespace sonvale
