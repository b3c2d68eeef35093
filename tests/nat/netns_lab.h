// Places joined by real links for the tests that need a network of their own: each place a
// network namespace with its loopback up, each link a veth pair. The names carry a prefix
// unique to the test process, so that test programs running side by side do not meet; the
// destructor removes every namespace it made (and with them their links).
#ifndef QRN_TESTS_NAT_NETNS_LAB_H
#define QRN_TESTS_NAT_NETNS_LAB_H

#include <stdio.h>

#include <string>
#include <vector>

namespace qrntest {

// Runs a shell command line; its output (standard output and error) goes to *output.
inline bool RunCommand(const std::string &command, std::string *output) {
    FILE *pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return false;
    char buffer[512];
    output->clear();
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) output->append(buffer, n);
    return pclose(pipe) == 0;
}

class CNetnsLab {
public:
    CNetnsLab(std::string ip, std::string prefix) : m_ip(std::move(ip)), m_prefix(std::move(prefix)) {}
    ~CNetnsLab() {
        std::string ignored;
        for (const std::string &ns : m_namespaces) RunCommand(m_ip + " netns del " + ns, &ignored);
    }
    CNetnsLab(const CNetnsLab &) = delete;
    CNetnsLab &operator=(const CNetnsLab &) = delete;

    std::string Ns(const char *place) const { return m_prefix + place; }
    const std::string &ip() const { return m_ip; }
    // The start of a command line that runs in the place.
    std::string In(const char *place) const { return m_ip + " netns exec " + Ns(place) + " "; }
    // The name of a's end of the link between a and b.
    std::string LinkEnd(const char *a, const char *b) const { return m_prefix + a + b; }

    // Runs a command line; false with the command and its output in *why when it fails.
    bool Do(const std::string &command, std::string *why) const {
        std::string output;
        if (RunCommand(command, &output)) return true;
        *why = command + ": " + output;
        return false;
    }

    bool AddPlace(const char *place, std::string *why) {
        if (!Do(m_ip + " netns add " + Ns(place), why)) {
            *why = "cannot create a network namespace: " + *why;
            return false;
        }
        m_namespaces.push_back(Ns(place));
        return Do(In(place) + m_ip + " link set lo up", why);
    }

    // A veth pair between two places, one end in each, addressed and up.
    bool Link(const char *a, const std::string &a_address, const char *b, const std::string &b_address,
              std::string *why) const {
        const std::string a_end = LinkEnd(a, b);
        const std::string b_end = LinkEnd(b, a);
        return Do(m_ip + " link add " + a_end + " netns " + Ns(a) + " type veth peer name " + b_end + " netns " + Ns(b),
                  why) &&
               Do(In(a) + m_ip + " addr add " + a_address + " dev " + a_end, why) &&
               Do(In(b) + m_ip + " addr add " + b_address + " dev " + b_end, why) &&
               Do(In(a) + m_ip + " link set " + a_end + " up", why) &&
               Do(In(b) + m_ip + " link set " + b_end + " up", why);
    }

private:
    std::string m_ip;
    std::string m_prefix;
    std::vector<std::string> m_namespaces;
};

}  // namespace qrntest

#endif
