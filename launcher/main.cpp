#include "launcher/korvel_online_bootstrap.h"

int main(int argc, char** argv) {
    korvel::KorvelOnlineBootstrap::main(argc, argv);
    return 0;
}
