#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

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

  private:
    std::string ip_, a_, b_, subnet_;
    bool ok_{false};
};

}  // namespace vrt::cm::test
