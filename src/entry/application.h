#pragma once

namespace sonvale {

// Starts the tray application and runs its event loop until it terminates.
int runApplication(int argc, char** argv);

}  // namespace sonvale
