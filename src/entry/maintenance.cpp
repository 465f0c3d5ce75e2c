#include "entry/maintenance.h"


#include <algorithm>
#include <filesystem>
#include <memory>

#include <nlohmann/json.hpp>

#include "controller/environment.h"
#include "coreaudio/devices.h"

namespace sonvale {
namespace {

namespace ca = coreaudio;

// Names the package must hold, relative to the resource directory, in report order.
constexpr const char* requiredResources[] = {"sender.py", "vendor/pyatv/__init__.py", "AppIcon.icns",
                                             "system-test.wav"};

// Compact, keys sorted, non-ASCII as raw UTF-8, and "/" written as "\/" like the
// platform's JSON writer does. A slash can only occur inside strings in JSON text, so
// escaping every one of them after serialising is exact.
std::string compactJSON(const nlohmann::json& value) {
    const std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string escaped;
    escaped.reserve(text.size());
    for (char c : text) {
        if (c == '/') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

}  // namespace

std::optional<MaintenanceMode> selectMaintenanceMode(const std::vector<std::string_view>& arguments) {
    const auto has = [&](std::string_view flag) {
        return std::find(arguments.begin(), arguments.end(), flag) != arguments.end();
    };
    if (has("--verify-package")) return MaintenanceMode::verifyPackage;
    if (has("--status")) return MaintenanceMode::status;
    if (has("--cleanup")) return MaintenanceMode::cleanup;
    return std::nullopt;
}

int runMaintenanceMode(MaintenanceMode mode, std::ostream& out) {
    switch (mode) {
    case MaintenanceMode::verifyPackage: {
        const auto report = verifyPackage(resourceDirectory().toStdString(), SONVALE_VERSION);
        out << report.json << '\n' << std::flush;
        return report.ok ? 0 : 1;
    }
    case MaintenanceMode::status:
        out << statusReport() << '\n' << std::flush;
        return 0;
    case MaintenanceMode::cleanup:
        ca::cleanupLeftoverOutput();
        return 0;
    }
    return 0;
}

PackageReport verifyPackage(const std::string& resourceDir, const std::string& version) {
    nlohmann::json missing = nlohmann::json::array();
    for (const char* required : requiredResources) {
        // Without a resource directory nothing can be there.
        std::error_code error;
        if (resourceDir.empty() || !std::filesystem::exists(std::filesystem::path(resourceDir) / required, error)) {
            missing.push_back(required);
        }
    }
    const bool ok = missing.empty();
    return {compactJSON({{"missing", missing}, {"ok", ok}, {"version", version}}), ok};
}

std::string statusReport() {
    const ca::AudioObjectID selected = ca::current();
    nlohmann::json list = nlohmann::json::array();
    for (const ca::AudioObjectID device : ca::devices()) {
        if (ca::numbers(device, ca::selector::streams, ca::scope::output).empty()) continue;
        list.push_back({{"eligible", ca::eligible(device)},
                        {"name", ca::textProperty(device, ca::selector::name)},
                        {"selected", device == selected},
                        {"uid", ca::uid(device)}});
    }
    return compactJSON(list);
}

}  // namespace sonvale
