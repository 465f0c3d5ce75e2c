#include "entry/maintenance.h"

#include <algorithm>

namespace sonvale {

std::optional<MaintenanceMode> selectMaintenanceMode(const std::vector<std::string_view>& arguments) {
    const auto has = [&](std::string_view flag) {
        return std::find(arguments.begin(), arguments.end(), flag) != arguments.end();
    };
    if (has("--verify-package")) return MaintenanceMode::verifyPackage;
    if (has("--status")) return MaintenanceMode::status;
    if (has("--cleanup")) return MaintenanceMode::cleanup;
    return std::nullopt;
}

// Placeholders until the modes land.
int runMaintenanceMode(MaintenanceMode, std::ostream&) { return 0; }
PackageReport verifyPackage(const std::string&, const std::string&) { return {}; }
std::string statusReport() { return "[]"; }
void cleanupLeftoverOutput() {}

}  // namespace sonvale
