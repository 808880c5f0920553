// Modbus TCP servers for the HTTP benchmark's polling run: "bench_modbus_server N" serves on N
// ephemeral ports, prints "READY <port>..." and serves until it is ended (holding register a
// holds a, input register a holds 10000 + a).
#include "LocalModbusServer.h"

#include <csignal>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <memory>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1;
    std::vector<std::unique_ptr<LocalModbusServer>> servers;
    std::printf("READY");
    for (int i = 0; i < count; ++i) {
        servers.push_back(std::make_unique<LocalModbusServer>());
        std::printf(" %d", servers.back()->port);
    }
    std::printf("\n");
    std::fflush(stdout);
    for (;;)
        ::pause();
}
