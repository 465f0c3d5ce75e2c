#include <iostream>
#include <malloc.h>
#include <string_view>
#include <vector>

#include "controller/guardian.h"
#include "entry/application.h"
#include "entry/maintenance.h"

int main(int argc, char** argv) {
    // Large blocks (PipeWire's converter buffers, about 4.5 MB for the forwarding output) are mapped
    // and unmapped each time. glibc would otherwise raise this threshold after the first such block
    // is freed, and the next sink's buffers would be carved from a heap that keeps its pages.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && arguments[0] == "--guardian") return sonvale::runGuardian();
    if (const auto mode = sonvale::selectMaintenanceMode(arguments)) {
        return sonvale::runMaintenanceMode(*mode, std::cout);
    }
    return sonvale::runApplication(argc, argv);
}
