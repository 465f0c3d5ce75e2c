#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace sonvale {

enum class MaintenanceMode { verifyPackage, status, cleanup };

// The first mode flag found, in the order --verify-package, --status, --cleanup.
std::optional<MaintenanceMode> selectMaintenanceMode(const std::vector<std::string_view>& arguments);
// Runs the mode, writing its report to out; returns the process exit status.
int runMaintenanceMode(MaintenanceMode mode, std::ostream& out);

// The package check of the resource directory: the report line (without line feed) and
// whether nothing is missing.
struct PackageReport {
    std::string json;
    bool ok = false;
};
PackageReport verifyPackage(const std::string& resourceDir, const std::string& version);
// Every output device as a compact JSON array.
std::string statusReport();

}  // namespace sonvale
