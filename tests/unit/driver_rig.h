// Test rig: one published instance of the driver's control interface on a real
// device-interface socket, served by a thread as the driver host would serve it.
#pragma once
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine/testKo_route.h"
#include "platform/devif.h"

namespace rig {

struct Seen {
    uint32_t code, inLen, outLen;
    std::string in;
};

// Each open gets status 0, each request the configured reply or what the handler makes
// of the request text (echo: {"result":"succ","echo":<the request>}), cut to the
// caller's output length.
class Driver {
public:
    explicit Driver(const char* instance, std::string reply = "{\"result\":\"succ\"}") : reply_(std::move(reply)) {
        char path[1024] = "";
        fd_ = DevIf_listen(KO_ROUTE_INTERFACE_CLASS, instance, "ioCtl", path, sizeof path);
        path_ = path;
        if (fd_ >= 0) thread_ = std::thread([this] { serve(); });
    }
    ~Driver() { withdraw(); }
    bool up() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    void withdraw() {
        if (fd_ < 0) return;
        stop_ = true;
        thread_.join();
        DevIf_unlisten(fd_, path_.c_str());
        fd_ = -1;
    }
    void setReply(std::string r, int32_t status = 0) {
        std::lock_guard<std::mutex> g(m_);
        reply_ = std::move(r);
        status_ = status;
    }
    void setHandler(std::function<std::string(const std::string&)> h) {
        std::lock_guard<std::mutex> g(m_);
        handler_ = std::move(h);
    }
    void setEcho() {
        setHandler([](const std::string& in) { return "{\"result\":\"succ\",\"echo\":" + in + "}"; });
    }
    std::vector<Seen> seen() {
        std::lock_guard<std::mutex> g(m_);
        return seen_;
    }

private:
    bool readable(int fd) {
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, 20) > 0;
    }
    void serve() {
        while (!stop_) {
            if (!readable(fd_)) continue;
            int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            DevIfReply opened{0, 0};
            DevIf_sendMsg(c, &opened, sizeof opened, nullptr, 0);
            while (!stop_) {
                if (!readable(c)) continue;
                DevIfRequest q{};
                size_t n = 0;
                if (!DevIf_recvMsg(c, &q, sizeof q, in_.data(), in_.size(), &n)) break; // hung up
                const char* in = in_.data();
                std::string out;
                DevIfReply r{};
                {
                    std::lock_guard<std::mutex> g(m_);
                    seen_.push_back({q.code, q.inLen, q.outLen, std::string(in, n)});
                    out = handler_ ? handler_(std::string(in, strnlen(in, n))) : reply_;
                    r.status = status_;
                }
                if (out.size() > q.outLen) out.resize(q.outLen);
                r.information = r.status < 0 ? 0 : uint32_t(out.size());
                DevIf_sendMsg(c, &r, sizeof r, out.data(), r.information);
            }
            ::close(c);
        }
    }
    int fd_ = -1;
    std::vector<char> in_ = std::vector<char>(DEVIF_MAX_IN);
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::function<std::string(const std::string&)> handler_;
    std::mutex m_;
    std::string reply_;
    int32_t status_ = 0;
    std::vector<Seen> seen_;
};

} // namespace rig
