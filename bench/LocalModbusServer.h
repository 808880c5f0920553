#pragma once

// A libmodbus TCP server on 127.0.0.1 and an ephemeral port, serving every connection on a
// thread of its own: holding register a holds a, input register a holds 10000 + a.
#include <modbus.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

class LocalModbusServer
{
public:
    static constexpr int Registers = 10000;

    LocalModbusServer()
    {
        m_mapping = modbus_mapping_new(0, 0, Registers, Registers);
        for (int i = 0; i < Registers; ++i) {
            m_mapping->tab_registers[i] = uint16_t(i);
            m_mapping->tab_input_registers[i] = uint16_t(10000 + i);
        }
        m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(m_listen, 256);
        socklen_t len = sizeof addr;
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
        m_acceptor = std::thread([this] { acceptLoop(); });
    }

    ~LocalModbusServer()
    {
        m_stop = true;
        ::shutdown(m_listen, SHUT_RDWR);
        ::close(m_listen);
        m_acceptor.join();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (int s : m_clients)
                ::shutdown(s, SHUT_RDWR);
        }
        while (m_active.load() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        modbus_mapping_free(m_mapping);
    }

    int port = 0;

private:
    void acceptLoop()
    {
        while (!m_stop) {
            const int s = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
            if (s < 0)
                break;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_clients.insert(s);
            ++m_active;
            std::thread([this, s] { serve(s); }).detach();
        }
    }

    void serve(int s)
    {
        modbus_t* ctx = modbus_new_tcp("127.0.0.1", 0);
        modbus_set_socket(ctx, s);
        uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
        for (;;) {
            const int rc = modbus_receive(ctx, query);
            if (rc < 0)
                break;
            if (rc > 0)
                modbus_reply(ctx, query, rc, m_mapping);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_clients.erase(s);
            ::close(s);
        }
        modbus_free(ctx);
        --m_active;
    }

    modbus_mapping_t* m_mapping;
    int m_listen;
    std::atomic<bool> m_stop{false};
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::set<int> m_clients;
    std::atomic<int> m_active{0};
};
