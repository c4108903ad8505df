#include "cli/cli_driver.h"
#include "cli/signal_cleanup.h"

int main(int argc, char** argv) {
    cbmp::InstallSignalCleanup();
    return cbmp::RunCli(argc, argv);
}
