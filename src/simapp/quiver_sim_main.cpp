// quiver-sim: the updater on an emulated PC. The window is headless; everything it shows, every
// answer, every SCSI command and every restart request goes to standard output as a transcript.
// docs/quiver-sim.md describes the command line, the machine files and the transcript.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "simapp/session.h"

int main(int argc, char** argv) {
    using namespace quiver::simapp;
    try {
        SimOptions options;
        try {
            options = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
        } catch (const UsageError& e) {
            if (*e.what() != '\0') {
                std::cerr << "quiver-sim: " << e.what() << "\n";
            }
            std::cerr
                << "usage: quiver-sim [--machine FILE] [--package FILE] [--answer "
                   "A[+ACT[@DRIVE]]...]...\n"
                   "                  [--default-answer yes|no] [--choose N] [--update] [--close]\n"
                   "                  [--wait] [--speed F|virtual] [--times]\n"
                   "A: yes, no, ok or cancel. ACT: remove-disc, insert-disc, open-tray,\n"
                   "close-tray or unlock. See docs/quiver-sim.md.\n";
            return 2;
        }
        return RunSimulation(options, std::cout, std::cerr);
    } catch (const std::exception& e) {
        std::cerr << "quiver-sim: " << e.what() << "\n";
        return 1;
    }
}
