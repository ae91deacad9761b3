#pragma once
// The server's stop as every part of it sees it: once asked (SIGTERM), long
// calls take no new work, conclude what they have under way and answer what
// was done; once cut (the stop's grace over), the exchanges still waiting on
// an authority are broken off, their events left pending. One per process.
#include <atomic>

namespace zavserver {

class ServiceStop {
public:
    static void request() { flags().requested.store(true); }
    static void cut() { flags().cut.store(true); }
    static bool requested() { return flags().requested.load(); }
    static bool isCut() { return flags().cut.load(); }

private:
    struct Flags {
        std::atomic<bool> requested{false};
        std::atomic<bool> cut{false};
    };
    static Flags& flags() {
        static Flags f;
        return f;
    }
};

} // namespace zavserver
