#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <thread>

#include <utility>
#include <vector>
#include "vcu/os/unique_fd.h"

namespace vrt::cm::test {

// Two namespaces joined by a veth pair, made and removed here.
class NetworkNamespaces {
  public:
    explicit NetworkNamespaces(std::string ipBinary) : ip_(std::move(ipBinary)) {
        const std::string id = std::to_string(::getpid());
        a_ = "vrtsipa" + id;
        b_ = "vrtsipb" + id;
        subnet_ = "10.231." + std::to_string(::getpid() % 250) + ".";
        const std::string script =
            "ip netns add " + a_ + " && ip netns add " + b_ + " && ip link add va" + id + " netns " + a_ +
            " type veth peer name vb" + id + " netns " + b_ + " && ip -n " + a_ + " addr add " + AddressA() +
            "/24 dev va" + id + " && ip -n " + b_ + " addr add " + AddressB() + "/24 dev vb" + id +
            " && ip -n " + a_ + " link set va" + id + " up && ip -n " + b_ + " link set vb" + id +
            " up && ip -n " + a_ + " link set lo up && ip -n " + b_ + " link set lo up";
        ok_ = std::system((script + " 2>/dev/null").c_str()) == 0;
    }
    ~NetworkNamespaces() {
        // Deleting a namespace removes its end of the veth pair, and with it the other end.
        (void)std::system(
            ("ip netns del " + a_ + " 2>/dev/null; ip netns del " + b_ + " 2>/dev/null").c_str());
    }
    NetworkNamespaces(const NetworkNamespaces&) = delete;
    NetworkNamespaces& operator=(const NetworkNamespaces&) = delete;

    bool Ok() const { return ok_; }
    std::string AddressA() const { return subnet_ + "1"; }
    std::string AddressB() const { return subnet_ + "2"; }
    std::vector<std::string> In(const std::string& ns, std::vector<std::string> argv) const {
        argv.insert(argv.begin(), {ip_, "netns", "exec", ns});
        return argv;
    }
    const std::string& A() const { return a_; }
    const std::string& B() const { return b_; }
    // B's end of the veth pair.
    std::string InterfaceB() const { return "vb" + std::to_string(::getpid()); }
    // Another host on the link: an address of the subnet, `host` from 3 to 254.
    std::string Address(int host) const { return subnet_ + std::to_string(host); }
    // Gives B's interface one more address, so that one namespace can play a third host.
    bool AddAddressToB(const std::string& address) const {
        return std::system(
                   (ip_ + " -n " + b_ + " addr add " + address + "/24 dev " + InterfaceB()).c_str()) == 0;
    }

    // Runs `work` on a thread inside namespace `ns`; sockets it makes stay there, whichever thread uses them
    // later. False when the namespace could not be entered.
    static bool RunIn(const std::string& ns, const std::function<void()>& work) {
        bool entered = false;
        std::thread([&] {
            const vcu::os::UniqueFd handle(::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC));
            entered = handle.valid() && ::setns(handle.get(), CLONE_NEWNET) == 0;
            if (entered) {
                work();
            }
        }).join();
        return entered;
    }

  private:
    std::string ip_, a_, b_, subnet_;
    bool ok_{false};
};

}  // namespace vrt::cm::test
