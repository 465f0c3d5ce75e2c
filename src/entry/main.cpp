#include <iostream>
#include <string_view>
#include <vector>

#include "controller/guardian.h"
#include "entry/application.h"
#include "entry/maintenance.h"

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && arguments[0] == "--guardian") return sonvale::runGuardian();
    if (const auto mode = sonvale::selectMaintenanceMode(arguments)) {
        return sonvale::runMaintenanceMode(*mode, std::cout);
    }
    return sonvale::runApplication(argc, argv);
}
